#pragma once

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <tbb/cache_aligned_allocator.h>
#include <tbb/concurrent_queue.h>

#include <atomic>

// A worker thread that drains a lock-free work queue every 300 ms.
//
// Producers on any thread hand work over with mQueue.push() (or push()) and never wait; only
// the controller's own thread pops and runs items, in doUpdate(). A pass that outlasts the
// beat delays the next tick instead of overlapping with it. Work items must not throw.
//
// A derived class calls startThread() as the last step of its constructor and stop() first
// in its destructor, so that the thread never calls doUpdate() on a partly constructed or
// partly destroyed object. stop() (also run by the
// destructor) ends the thread in order: the pass under way finishes the item it is running,
// the timer stops, the event loop quits, the thread is waited for, and items still queued
// are discarded without running. Passes check isInterruptionRequested() between items.
template<typename T>
class HXBCtrlBase : public QThread
{
public:
    static constexpr int sBeatMs = 300;

    HXBCtrlBase()
        : QThread(nullptr)
    {
        mTimer.setInterval(sBeatMs);
        mTimer.moveToThread(this);
    }

    ~HXBCtrlBase() override { stop(); }

    HXBCtrlBase(const HXBCtrlBase &) = delete;
    HXBCtrlBase &operator=(const HXBCtrlBase &) = delete;

    void push(const T &item) { mQueue.push(item); }

    // Callable from any thread except the controller's own. Idempotent.
    void stop()
    {
        if (QThread::currentThread() == this)
            return;
        if (isRunning()) {
            requestInterruption();
            quit();
            wait();
        }
        mQueue.clear();
    }

    // Asks for a pass as soon as the controller's thread is free, on top of the beat (a pass
    // already running is not repeated). Callable from any thread; does nothing once stopping.
    void requestPass()
    {
        if (isInterruptionRequested() || !isRunning())
            return;
        QMetaObject::invokeMethod(&mTimer, [this]() {
            if (QThread::currentThread() == this)
                beat();
        }, Qt::QueuedConnection);
    }

    // Number of passes (doUpdate calls) completed so far.
    quint64 passCount() const { return mPasses.load(); }

    QTimer mTimer;
    bool mBusy = false;
    tbb::concurrent_queue<T, tbb::cache_aligned_allocator<T>> mQueue;

protected:
    // Starts the thread. When the application object is destroyed (the end of a test program,
    // say), the controller stops there, while the process-wide objects its work items use
    // (database connections among them) still exist; static destruction comes later.
    void startThread()
    {
        if (QCoreApplication *app = QCoreApplication::instance())
            QObject::connect(app, &QObject::destroyed, this, [this]() { stop(); },
                             Qt::DirectConnection);
        start(QThread::InheritPriority);
    }

    void run() override
    {
        QMetaObject::Connection ticks = QObject::connect(
            &mTimer, &QTimer::timeout, &mTimer, [this]() { beat(); }, Qt::DirectConnection);
        mTimer.start();
        QThread::run();
        mTimer.stop();
        QObject::disconnect(ticks);
        // Back to the thread that owns the controller, which also destroys the timer.
        mTimer.moveToThread(thread());
    }

    // One pass over the queue; runs only on the controller's thread.
    virtual void doUpdate() = 0;

private:
    void beat()
    {
        if (mBusy || isInterruptionRequested())
            return;
        mBusy = true;
        doUpdate();
        mBusy = false;
        mPasses.fetch_add(1);
    }

    std::atomic<quint64> mPasses{0};
};
