#pragma once

#include "HttpConnectionHandler.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QTimer>

#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>


// The threads that serve connections. Lives on the main thread; handleConnection() is
// called there for every accepted socket. A thread serves a connection only while the
// client has input for it: a connection waiting for its next request, or for the rest of
// one, is parked in an epoll set shared by the pool's threads, and a free thread takes it
// when it becomes readable, or ends it when its deadline passes. Idle kept-alive
// connections therefore cost no thread.
//
// A connection enters the epoll set once, edge-triggered, and stays there until it is closed:
// bytes arriving while a thread serves it mark it to be served again before it parks. A
// thread takes every connection one wait reports (up to sEventsPerWait) and serves them in
// turn; the doorbell calls other free threads to share them.
//
// At most one free thread per processor waits in the epoll set (a busy thread finds the next
// ready connection there without sleeping; more waiters would only be woken in turn); other
// free threads stand by. Should every thread stay in a handler while connections are parked
// and none finishes for a moment, a standby thread is called in, or a new one started.
//
// The pool keeps at least minThreads threads and starts more on demand up to maxThreads;
// every cleanupInterval ms it ends threads that stayed idle above minThreads. A new
// connection arriving while all threads are busy waits for the next free one; after
// maxWaitTime ms, or when maxPending connections already wait, it is answered 503 and
// closed. A parked connection that becomes readable while all threads are busy is served by
// the next free one. The destruction callback runs on each pool thread as it ends.
class HttpConnectionHandlerPool : public QObject
{
    Q_OBJECT
public:
    struct Settings
    {
        int minThreads = 1;
        int maxThreads = 100;
        int cleanupInterval = 1000;
        int maxWaitTime = 10000;
        int maxPending = 1000;
        HttpConnectionHandler::Settings connection;
    };

    HttpConnectionHandlerPool(const Settings &settings, HttpRequestHandler *handler,
                              QObject *parent = nullptr);
    // Ends every connection and joins every thread.
    ~HttpConnectionHandlerPool() override;

    // Main thread only. Takes ownership of the descriptor.
    void handleConnection(int fd);
    // Thread-safe.
    void setDestructionCallback(std::function<void()> callback);

    // Thread-safe snapshots, for monitoring and tests.
    int threadCount() const;
    int busyCount() const;
    int pendingCount() const;
    // Connections taken from the queue and not yet closed: served or parked.
    int connectionCount() const;

private:
    using Connection = HttpConnectionHandler::Connection;
    using Clock = HttpConnectionHandler::Clock;

    struct Worker
    {
        std::thread thread;
        bool finished = false;
    };

    struct PendingConnection
    {
        int fd;
        QDeadlineTimer deadline;
    };

    struct Entry
    {
        std::unique_ptr<Connection> connection;
        // In the epoll set with no thread on it.
        bool parked = false;
        bool inEpoll = false;
        // Reported readable while not parked.
        bool readable = false;
        std::multimap<Clock::time_point, quint64>::iterator expiry;
    };

    void workerLoop(Worker *worker);
    Connection *takeLocked(quint64 id);
    // Serves the connection (the lock released meanwhile) until it waits for input, then
    // parks it, or closes it.
    void serveLocked(std::unique_lock<std::mutex> &lock, quint64 id, Connection *connection);
    void expireParkedLocked(std::unique_lock<std::mutex> &lock);
    void armTimerLocked();
    void closeConnection(quint64 id);
    bool startWorkerLocked();
    void watchdogLoop();
    void updateDoorbellLocked();
    void joinFinishedLocked();
    void cleanup();
    void expirePending();
    static void answerBusy(int fd);

    const Settings mSettings;
    HttpConnectionHandler mConnectionHandler;
    mutable std::mutex mMutex;
    // Parked connections (keyed by their id), the doorbell, which stays readable while a
    // free thread has something to do besides parked connections, and the timer, which
    // goes off no later than the first deadline of a parked connection.
    int mEpoll = -1;
    int mDoorbell = -1;
    int mTimer = -1;
    bool mDoorbellRung = false;
    std::deque<PendingConnection> mPending;
    // Connections reported readable and taken from the epoll set, not yet served.
    std::deque<std::pair<quint64, Connection *>> mReady;
    static constexpr int sEventsPerWait = 16;
    // Every connection taken from mPending, by id; ids are never reused, so that an event
    // of a connection closed meanwhile finds nothing.
    std::unordered_map<quint64, Entry> mConnections;
    quint64 mNextId = 2;
    // Parked connections by deadline.
    std::multimap<Clock::time_point, quint64> mExpiry;
    // Every thread not yet joined; mThreads counts those not on their way out.
    std::list<std::unique_ptr<Worker>> mWorkers;
    int mThreads = 0;
    std::function<void()> mDestructionCallback;
    int mIdle = 0;
    int mRetire = 0;
    // Free threads allowed in epoll_wait at once, those there, those standing by, and
    // standby threads called in to wait there regardless.
    const int mWatchLimit;
    int mWatching = 0;
    int mStandby = 0;
    int mCallIn = 0;
    std::condition_variable mStandbyWake;
    // Counts the pieces of work done, for the watchdog to tell a stall.
    quint64 mProgress = 0;
    std::thread mWatchdog;
    std::condition_variable mWatchdogWake;
    bool mWatchdogIdle = false;
    bool mStopping = false;
    QTimer mCleanupTimer;
    QTimer mPendingTimer;
};
