#include "HttpConnectionHandlerPool.h"

#include <QThread>

#include <sys/socket.h>
#include <unistd.h>

#include <vector>

class HttpConnectionHandlerPool::Worker : public QThread
{
public:
    explicit Worker(HttpConnectionHandlerPool *pool)
        : mPool(pool)
    {
        setObjectName(QStringLiteral("HttpConnection"));
    }

protected:
    void run() override { mPool->workerLoop(this); }

private:
    HttpConnectionHandlerPool *mPool;
};

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
    std::set<Worker *> workers;
    {
        std::lock_guard lock(mMutex);
        mStopping = true;
        for (int fd : mActiveFds)
            ::shutdown(fd, SHUT_RDWR);
        for (const PendingConnection &p : mPending)
            ::close(p.fd);
        mPending.clear();
        workers = mWorkers;
    }
    mWake.notify_all();
    for (Worker *w : workers) {
        w->wait();
        delete w;
    }
}

void HttpConnectionHandlerPool::setDestructionCallback(std::function<void()> callback)
{
    std::lock_guard lock(mMutex);
    mDestructionCallback = std::move(callback);
}

int HttpConnectionHandlerPool::threadCount() const
{
    std::lock_guard lock(mMutex);
    return int(mWorkers.size());
}

int HttpConnectionHandlerPool::busyCount() const
{
    std::lock_guard lock(mMutex);
    return int(mWorkers.size()) - mIdle;
}

int HttpConnectionHandlerPool::pendingCount() const
{
    std::lock_guard lock(mMutex);
    return int(mPending.size());
}

void HttpConnectionHandlerPool::startWorkerLocked()
{
    auto *worker = new Worker(this);
    mWorkers.insert(worker);
    // Counted idle from the start, so that handleConnection does not start a second
    // thread for a connection this one is about to take.
    ++mIdle;
    worker->start();
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
            if (mIdle < int(mPending.size()) && int(mWorkers.size()) < mSettings.maxThreads)
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
    mWaiting = int(mPending.size()) - mIdle;
    const std::function<void()> callback = mDestructionCallback;
    const bool stopping = mStopping;
    if (!stopping)
        mWorkers.erase(worker);
    lock.unlock();
    if (callback)
        callback();
    if (!stopping) {
        // The pool's destructor joins the threads it still lists; a retired thread is
        // deleted by the main thread once it has finished.
        QObject::connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    }
}

void HttpConnectionHandlerPool::cleanup()
{
    {
        std::lock_guard lock(mMutex);
        const int surplus = qMin(mIdle - mRetire, int(mWorkers.size()) - mRetire - mSettings.minThreads);
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
    char sink[4096];
    while (::recv(fd, sink, sizeof(sink), MSG_DONTWAIT) > 0) {
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
