#include "HttpConnectionHandlerPool.h"

#include <QtGlobal>

#include <sys/socket.h>
#include <unistd.h>

#include <system_error>
#include <vector>

HttpConnectionHandlerPool::HttpConnectionHandlerPool(const Settings &settings,
                                                     HttpRequestHandler *handler, QObject *parent)
    : QObject(parent)
    , mSettings(settings)
    , mConnectionHandler(settings.connection, handler,
                         [this] { return mWaiting.load(std::memory_order_relaxed) > 0; })
{
    {
        std::lock_guard lock(mMutex);
        for (int i = 0; i < qMax(0, qMin(mSettings.minThreads, mSettings.maxThreads)); ++i)
            startWorkerLocked();
    }
    connect(&mCleanupTimer, &QTimer::timeout, this, &HttpConnectionHandlerPool::cleanup);
    mCleanupTimer.start(qMax(1, mSettings.cleanupInterval));
    connect(&mPendingTimer, &QTimer::timeout, this, &HttpConnectionHandlerPool::expirePending);
    mPendingTimer.setInterval(qBound(10, mSettings.maxWaitTime / 4, 250));
}

HttpConnectionHandlerPool::~HttpConnectionHandlerPool()
{
    std::list<std::unique_ptr<Worker>> workers;
    {
        std::lock_guard lock(mMutex);
        mStopping = true;
        for (int fd : mActiveFds)
            ::shutdown(fd, SHUT_RDWR);
        for (const PendingConnection &p : mPending)
            ::close(p.fd);
        mPending.clear();
        workers.swap(mWorkers);
    }
    mWake.notify_all();
    for (const auto &w : workers)
        w->thread.join();
}

void HttpConnectionHandlerPool::setDestructionCallback(std::function<void()> callback)
{
    std::lock_guard lock(mMutex);
    mDestructionCallback = std::move(callback);
}

int HttpConnectionHandlerPool::threadCount() const
{
    std::lock_guard lock(mMutex);
    return mThreads;
}

int HttpConnectionHandlerPool::busyCount() const
{
    std::lock_guard lock(mMutex);
    return mThreads - mIdle;
}

int HttpConnectionHandlerPool::pendingCount() const
{
    std::lock_guard lock(mMutex);
    return int(mPending.size());
}

bool HttpConnectionHandlerPool::startWorkerLocked()
{
    auto worker = std::make_unique<Worker>();
    Worker *raw = worker.get();
    try {
        worker->thread = std::thread([this, raw] { workerLoop(raw); });
    } catch (const std::system_error &e) {
        qWarning("HTTP pool could not start a thread: %s", e.what());
        return false;
    }
    mWorkers.push_back(std::move(worker));
    ++mThreads;
    // Counted idle from the start, so that handleConnection does not start a second
    // thread for a connection this one is about to take.
    ++mIdle;
    return true;
}

void HttpConnectionHandlerPool::joinFinishedLocked()
{
    for (auto it = mWorkers.begin(); it != mWorkers.end();) {
        if ((*it)->finished) {
            // The thread has only its return left to do.
            (*it)->thread.join();
            it = mWorkers.erase(it);
        } else {
            ++it;
        }
    }
}

void HttpConnectionHandlerPool::handleConnection(int fd)
{
    bool refuse = false;
    {
        std::lock_guard lock(mMutex);
        if (mStopping) {
            refuse = true;
        } else if (int(mPending.size()) >= mSettings.maxPending) {
            refuse = true;
        } else {
            mPending.push_back({fd, QDeadlineTimer(qMax(0, mSettings.maxWaitTime))});
            if (mIdle < int(mPending.size()) && mThreads < mSettings.maxThreads)
                startWorkerLocked();
            mWaiting = int(mPending.size()) - mIdle;
            if (mIdle < int(mPending.size()) && !mPendingTimer.isActive())
                mPendingTimer.start();
        }
    }
    if (refuse)
        answerBusy(fd);
    else
        mWake.notify_one();
}

void HttpConnectionHandlerPool::workerLoop(Worker *worker)
{
    std::unique_lock lock(mMutex);
    for (;;) {
        mWake.wait(lock, [this] { return mStopping || !mPending.empty() || mRetire > 0; });
        if (mStopping)
            break;
        if (mPending.empty()) {
            // Asked to retire and nothing to do.
            --mRetire;
            break;
        }
        const int fd = mPending.front().fd;
        mPending.pop_front();
        --mIdle;
        mWaiting = int(mPending.size()) - mIdle;
        mActiveFds.insert(fd);
        lock.unlock();
        mConnectionHandler.serve(fd);
        lock.lock();
        mActiveFds.erase(fd);
        ++mIdle;
        mWaiting = int(mPending.size()) - mIdle;
    }
    --mIdle;
    --mThreads;
    mWaiting = int(mPending.size()) - mIdle;
    const std::function<void()> callback = mDestructionCallback;
    lock.unlock();
    if (callback) {
        try {
            callback();
        } catch (...) {
            qWarning("HTTP pool: the destruction callback threw");
        }
    }
    lock.lock();
    // Joined by the main thread's next clean-up, or by the destructor.
    worker->finished = true;
}

void HttpConnectionHandlerPool::cleanup()
{
    {
        std::lock_guard lock(mMutex);
        joinFinishedLocked();
        const int surplus = qMin(mIdle - mRetire, mThreads - mRetire - mSettings.minThreads);
        if (surplus <= 0 || !mPending.empty())
            return;
        mRetire += surplus;
    }
    mWake.notify_all();
}

void HttpConnectionHandlerPool::expirePending()
{
    std::vector<int> expired;
    {
        std::lock_guard lock(mMutex);
        while (!mPending.empty() && mPending.front().deadline.hasExpired()) {
            expired.push_back(mPending.front().fd);
            mPending.pop_front();
        }
        mWaiting = int(mPending.size()) - mIdle;
        if (mPending.empty())
            mPendingTimer.stop();
    }
    for (int fd : expired)
        answerBusy(fd);
}

void HttpConnectionHandlerPool::answerBusy(int fd)
{
    // Runs on the main thread and must not block: drop what the client has sent so far,
    // answer and close.
    // Bounded: a client that keeps sending must not hold the main thread here.
    char sink[4096];
    for (int i = 0; i < 64 && ::recv(fd, sink, sizeof(sink), MSG_DONTWAIT) > 0; ++i) {
    }
    static const char sBusy[] = "HTTP/1.1 503 Service Unavailable\r\n"
                                "Content-Type: text/plain; charset=UTF-8\r\n"
                                "Content-Length: 24\r\n"
                                "Retry-After: 1\r\n"
                                "Connection: close\r\n"
                                "\r\n"
                                "503 service unavailable\n";
    [[maybe_unused]] const ssize_t n = ::send(fd, sBusy, sizeof(sBusy) - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(fd, SHUT_WR);
    ::close(fd);
}
