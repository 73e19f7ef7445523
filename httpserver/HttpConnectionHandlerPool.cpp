#include "HttpConnectionHandlerPool.h"

#include <QtGlobal>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdint>
#include <system_error>
#include <tuple>
#include <vector>

namespace {

// Keys of the epoll set besides the connections'.
constexpr quint64 sDoorbellKey = 0;
constexpr quint64 sTimerKey = 1;

} // namespace

HttpConnectionHandlerPool::HttpConnectionHandlerPool(const Settings &settings,
                                                     HttpRequestHandler *handler, QObject *parent)
    : QObject(parent)
    , mSettings(settings)
    , mConnectionHandler(settings.connection, handler)
    , mWatchLimit(int(qMax(1u, std::thread::hardware_concurrency())))
{
    mEpoll = ::epoll_create1(EPOLL_CLOEXEC);
    mDoorbell = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    // The steady clock is CLOCK_MONOTONIC, so deadlines arm the timer as they are.
    mTimer = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    epoll_event doorbell{};
    doorbell.events = EPOLLIN;
    doorbell.data.u64 = sDoorbellKey;
    epoll_event timer{};
    timer.events = EPOLLIN;
    timer.data.u64 = sTimerKey;
    if (mEpoll < 0 || mDoorbell < 0 || mTimer < 0
        || ::epoll_ctl(mEpoll, EPOLL_CTL_ADD, mDoorbell, &doorbell) != 0
        || ::epoll_ctl(mEpoll, EPOLL_CTL_ADD, mTimer, &timer) != 0) {
        // Out of descriptors: every connection is answered 503 rather than left unserved.
        qWarning("HTTP pool could not set up its epoll set: %s", strerror(errno));
        mStopping = true;
    }
    {
        std::lock_guard lock(mMutex);
        for (int i = 0; !mStopping && i < qMax(0, qMin(mSettings.minThreads, mSettings.maxThreads)); ++i)
            startWorkerLocked();
    }
    if (!mStopping)
        mWatchdog = std::thread([this] { watchdogLoop(); });
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
        updateDoorbellLocked();
        // Ends the writes of connections being served; parked ones are closed below.
        for (const auto &[id, entry] : mConnections) {
            if (!entry.parked)
                ::shutdown(entry.connection->fd, SHUT_RDWR);
        }
        for (const PendingConnection &p : mPending)
            ::close(p.fd);
        mPending.clear();
        workers.swap(mWorkers);
    }
    mStandbyWake.notify_all();
    mWatchdogWake.notify_all();
    if (mWatchdog.joinable())
        mWatchdog.join();
    for (const auto &w : workers)
        w->thread.join();
    // Only parked connections are left; each ends (a TLS session says goodbye) before its socket closes.
    for (auto &[id, entry] : mConnections) {
        const int fd = entry.connection->fd;
        entry.connection.reset();
        ::close(fd);
    }
    mConnections.clear();
    mExpiry.clear();
    for (int fd : {mTimer, mDoorbell, mEpoll}) {
        if (fd >= 0)
            ::close(fd);
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

int HttpConnectionHandlerPool::connectionCount() const
{
    std::lock_guard lock(mMutex);
    return int(mConnections.size());
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

void HttpConnectionHandlerPool::watchdogLoop()
{
    std::unique_lock lock(mMutex);
    while (!mStopping) {
        if (mWatching > 0 || mExpiry.empty()) {
            // Someone watches the parked connections, or there are none.
            mWatchdogIdle = true;
            mWatchdogWake.wait(lock);
            mWatchdogIdle = false;
            continue;
        }
        const quint64 progress = mProgress;
        mWatchdogWake.wait_for(lock, std::chrono::milliseconds(10));
        if (mStopping || mWatching > 0 || mExpiry.empty() || progress != mProgress)
            continue;
        // Every thread is held up: call one in to watch.
        if (mStandby > mCallIn) {
            ++mCallIn;
            mStandbyWake.notify_one();
        } else if (mThreads < mSettings.maxThreads) {
            startWorkerLocked();
        }
    }
}

void HttpConnectionHandlerPool::updateDoorbellLocked()
{
    const bool ring = mStopping || !mPending.empty() || !mReady.empty() || mRetire > 0;
    if (ring == mDoorbellRung)
        return;
    std::uint64_t value = 1;
    // Level-triggered: readable (waking the free threads) from the write to the read.
    [[maybe_unused]] const ssize_t n = ring ? ::write(mDoorbell, &value, sizeof(value))
                                            : ::read(mDoorbell, &value, sizeof(value));
    mDoorbellRung = ring;
}

void HttpConnectionHandlerPool::armTimerLocked()
{
    itimerspec when{};
    if (!mExpiry.empty()) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            mExpiry.begin()->first.time_since_epoch()).count();
        // Zero would disarm the timer; a deadline at the clock's origin is long past anyway.
        when.it_value.tv_sec = time_t(ns / 1000000000);
        when.it_value.tv_nsec = long(qMax<qint64>(1, ns % 1000000000));
    }
    ::timerfd_settime(mTimer, TFD_TIMER_ABSTIME, &when, nullptr);
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
            if (mIdle < int(mPending.size()) && !mPendingTimer.isActive())
                mPendingTimer.start();
            updateDoorbellLocked();
        }
    }
    if (refuse)
        answerBusy(fd);
    else
        mStandbyWake.notify_one();
}

HttpConnectionHandler::Connection *HttpConnectionHandlerPool::takeLocked(quint64 id)
{
    const auto it = mConnections.find(id);
    // Gone since the event was reported.
    if (it == mConnections.end())
        return nullptr;
    if (!it->second.parked) {
        // Being served, or taken by the expiry of its deadline: whoever has it serves it
        // again before parking it.
        it->second.readable = true;
        return nullptr;
    }
    it->second.parked = false;
    mExpiry.erase(it->second.expiry);
    it->second.expiry = mExpiry.end();
    return it->second.connection.get();
}

void HttpConnectionHandlerPool::workerLoop(Worker *worker)
{
    std::unique_lock lock(mMutex);
    bool calledIn = false;
    epoll_event events[sEventsPerWait];
    for (;;) {
        if (mStopping)
            break;
        quint64 id = 0;
        Connection *connection = nullptr;
        if (!mPending.empty()) {
            const int fd = mPending.front().fd;
            mPending.pop_front();
            updateDoorbellLocked();
            id = mNextId++;
            Entry &entry = mConnections[id];
            entry.connection = std::make_unique<Connection>(fd);
            entry.expiry = mExpiry.end();
            connection = entry.connection.get();
        } else if (!mReady.empty()) {
            std::tie(id, connection) = mReady.front();
            mReady.pop_front();
            updateDoorbellLocked();
        } else if (mRetire > 0) {
            // Asked to retire and nothing to do.
            --mRetire;
            updateDoorbellLocked();
            break;
        } else if (mWatching >= mWatchLimit && !calledIn) {
            ++mStandby;
            mStandbyWake.wait(lock, [this] {
                return mStopping || mRetire > 0 || !mPending.empty() || mCallIn > 0
                       || mWatching < mWatchLimit;
            });
            --mStandby;
            if (mCallIn > 0) {
                --mCallIn;
                calledIn = true;
            }
            continue;
        } else {
            calledIn = false;
            ++mWatching;
            lock.unlock();
            const int n = ::epoll_wait(mEpoll, events, sEventsPerWait, -1);
            lock.lock();
            if (--mWatching == 0 && mWatchdogIdle && !mExpiry.empty())
                mWatchdogWake.notify_one();
            bool timer = false;
            for (int i = 0; i < n; ++i) {
                const quint64 key = events[i].data.u64;
                if (key == sTimerKey) {
                    timer = true;
                } else if (key != sDoorbellKey) {
                    if (Connection *ready = takeLocked(key))
                        mReady.emplace_back(key, ready);
                }
            }
            // Served from the top of the loop: by this thread one after the other, and by
            // any other free one (the doorbell rings while some are left).
            updateDoorbellLocked();
            if (timer)
                expireParkedLocked(lock);
            continue;
        }
        --mIdle;
        serveLocked(lock, id, connection);
        ++mIdle;
        ++mProgress;
    }
    --mIdle;
    --mThreads;
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

void HttpConnectionHandlerPool::serveLocked(std::unique_lock<std::mutex> &lock, quint64 id,
                                            Connection *connection)
{
    for (;;) {
        lock.unlock();
        const HttpConnectionHandler::Outcome outcome = mConnectionHandler.serve(*connection);
        lock.lock();
        Entry &entry = mConnections.at(id);
        if (outcome == HttpConnectionHandler::Outcome::WaitForInput && !mStopping) {
            if (entry.readable) {
                // Bytes arrived while it was being served: serve it again rather than park.
                entry.readable = false;
                continue;
            }
            // Registered once, edge-triggered: every later arrival of bytes reports it.
            epoll_event event{};
            event.events = EPOLLIN | EPOLLET;
            event.data.u64 = id;
            if (entry.inEpoll || ::epoll_ctl(mEpoll, EPOLL_CTL_ADD, connection->fd, &event) == 0) {
                entry.inEpoll = true;
                entry.parked = true;
                entry.expiry = mExpiry.emplace(connection->deadline, id);
                if (entry.expiry == mExpiry.begin())
                    armTimerLocked();
                return;
            }
        }
        lock.unlock();
        closeConnection(id);
        lock.lock();
        return;
    }
}

void HttpConnectionHandlerPool::expireParkedLocked(std::unique_lock<std::mutex> &lock)
{
    std::uint64_t expirations = 0;
    [[maybe_unused]] const ssize_t n = ::read(mTimer, &expirations, sizeof(expirations));
    std::vector<std::pair<quint64, Connection *>> expired;
    const Clock::time_point now = Clock::now();
    while (!mExpiry.empty() && mExpiry.begin()->first <= now) {
        const quint64 id = mExpiry.begin()->second;
        expired.emplace_back(id, takeLocked(id));
    }
    armTimerLocked();
    if (expired.empty())
        return;
    // Answering 408 may wait for the client: this thread is busy meanwhile.
    --mIdle;
    lock.unlock();
    for (const auto &[id, connection] : expired) {
        mConnectionHandler.expire(*connection);
        closeConnection(id);
    }
    lock.lock();
    ++mIdle;
    ++mProgress;
}

void HttpConnectionHandlerPool::closeConnection(quint64 id)
{
    std::unique_ptr<Connection> connection;
    {
        std::lock_guard lock(mMutex);
        const auto it = mConnections.find(id);
        connection = std::move(it->second.connection);
        mConnections.erase(it);
    }
    // Leaves the epoll set with it. What the connection still holds (a request being
    // received, its spool file, its TLS session, which says goodbye on the socket) goes
    // outside the lock, before the socket closes.
    const int fd = connection->fd;
    connection.reset();
    ::close(fd);
}

void HttpConnectionHandlerPool::cleanup()
{
    {
        std::lock_guard lock(mMutex);
        joinFinishedLocked();
        // While connections are parked, one thread stays to watch them.
        const int keep = mExpiry.empty() ? 0 : 1;
        const int surplus = qMin(mIdle - mRetire - keep,
                                 mThreads - mRetire - qMax(mSettings.minThreads, keep));
        if (surplus <= 0 || !mPending.empty())
            return;
        mRetire += surplus;
        updateDoorbellLocked();
    }
    mStandbyWake.notify_all();
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
        updateDoorbellLocked();
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
