#pragma once

#include "HttpConnectionHandler.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <list>
#include <set>
#include <thread>


// The threads that serve connections. Lives on the main thread; handleConnection() is
// called there for every accepted socket. Each connection is served by one pool thread
// from start to end. The pool keeps at least minThreads threads, starts more on demand up
// to maxThreads, and every cleanupInterval ms ends threads that stayed idle above
// minThreads. A connection arriving while all threads are busy waits for the next free
// one (kept-alive connections idle between requests give their threads up for it); after
// maxWaitTime ms, or when maxPending connections already wait, it is answered 503 and closed. The destruction callback runs on each pool thread as it ends.
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

private:
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

    void workerLoop(Worker *worker);
    bool startWorkerLocked();
    void joinFinishedLocked();
    void cleanup();
    void expirePending();
    static void answerBusy(int fd);

    const Settings mSettings;
    HttpConnectionHandler mConnectionHandler;
    mutable std::mutex mMutex;
    std::condition_variable mWake;
    std::deque<PendingConnection> mPending;
    // Every thread not yet joined; mThreads counts those not on their way out.
    std::list<std::unique_ptr<Worker>> mWorkers;
    int mThreads = 0;
    std::set<int> mActiveFds;
    std::function<void()> mDestructionCallback;
    int mIdle = 0;
    // Connections waiting beyond the idle threads; read without the lock by connections
    // that may give their thread up.
    std::atomic<int> mWaiting = 0;
    int mRetire = 0;
    bool mStopping = false;
    QTimer mCleanupTimer;
    QTimer mPendingTimer;
};
