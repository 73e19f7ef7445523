#pragma once

#include "ctrl/HXBCtrlBase.h"

#include <QObject>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class Job;

// Drives every job through its life on Slurm. Every 300 ms a pass (on the controller's own
// thread) drains the queue and sorts each job by its state: jobs waiting for input, finished
// or failed are kept; submissions, polls and cancellations are posted to the job thread,
// which runs them one at a time in posting order and pushes each job back when done (the jobs
// to poll share one call and one squeue answer, unless polling per job is configured);
// finalised jobs are posted to the clean-up thread and leave the controller.
//
// A job is in at most one place at a time: the queue, the keep list of the running pass, or
// one pending or running call. push() may be called from any thread.
//
// Database work that failed earlier (see setCatchUp) is also retried from the pass, on the
// clean-up thread, so that a database that is slow to answer never holds up the pass.
class BatchbayCtrl : public HXBCtrlBase<std::shared_ptr<Job>>
{
public:
    // The process-wide controller; constructed and started on first call.
    static BatchbayCtrl *instance();

    // pollPerJob: every polled job runs its own squeue (one call per job and pass); otherwise
    // the jobs polled in a pass share one squeue answer taken after the pass.
    explicit BatchbayCtrl(bool pollPerJob = false);
    ~BatchbayCtrl() override;

    // Stops the timer thread, then the job and clean-up threads after the call each is running.
    // Calls still pending are dropped. Idempotent; callable from any other thread.
    void stopAll();

    // Work left by database statements that failed: every pass asks pending() (on the
    // controller's thread, so it must be quick and must not block) and, when it answers true,
    // posts run() to the clean-up thread; at most one run at a time and at most one a second.
    // Replaces an earlier pair; callable from any thread.
    void setCatchUp(std::function<bool()> pending, std::function<void()> run);

protected:
    void doUpdate() override;

private:
    void post(QObject *context, std::function<void()> call);
    // Polls the jobs with one squeue answer, then puts each back on the queue.
    void pollTogether(const std::vector<std::shared_ptr<Job>> &jobs);

    void postCatchUp();

    const bool mPollPerJob;
    // Submissions one pass posts when the jobs share one squeue answer; the rest wait for the
    // next pass.
    static constexpr size_t sMaxSubmissionsPerPass = 8;
    QThread mJobThread;
    QObject mJobContext;
    QThread mCleanupThread;
    QObject mCleanupContext;

    std::mutex mCatchUpLock;
    std::function<bool()> mCatchUpPending;
    std::function<void()> mCatchUpRun;
    std::atomic<bool> mCatchUpRunning{false};
    qint64 mNextCatchUpMs = 0; // the controller's thread only
    static constexpr qint64 sCatchUpIntervalMs = 1000;
};
