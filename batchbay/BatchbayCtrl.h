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
// which runs them one at a time in posting order and pushes each job back when done;
// finalised jobs are posted to the clean-up thread and leave the controller.
//
// Unless polling per job is configured, the job thread never holds more than one round of
// work: a pass posts only while the job thread is idle (the jobs wait in the queue otherwise),
// and then one call that polls every job to poll with one squeue answer (polls start at
// least sPollIntervalMs apart) and then submits new jobs for as long as the poll took, and at
// least sSubmitBudgetMs. When that call ends it asks for the next pass at once, and a pass
// that finds the next poll not yet due asks for one when it is, so a large queue is followed
// as fast as squeue answers, and a burst of new jobs never holds up the news of jobs that ended.
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
    // Posts to the job thread, counting the calls not yet done.
    void postJobCall(std::function<void()> call);
    // Polls the jobs with one squeue answer, then puts each back on the queue.
    void pollTogether(const std::vector<std::shared_ptr<Job>> &jobs);
    // pollTogether(poll), then submits jobs of submit until the budget is spent; every job
    // goes back on the queue (those not submitted still in state "tobesubmitted").
    void runRound(const std::vector<std::shared_ptr<Job>> &poll,
                  const std::vector<std::shared_ptr<Job>> &submit);

    void postCatchUp();

    const bool mPollPerJob;
    // With one squeue answer for all: the least time one round may spend on submissions (the
    // first submission always runs), and the shortest time between the starts of two polls.
    static constexpr qint64 sSubmitBudgetMs = 300;
    // Each squeue in text form costs the controller two RPCs (the jobs and the partitions):
    // fewer than four per second.
    static constexpr qint64 sPollIntervalMs = 600;
    std::atomic<int> mJobCallsPending{0};
    qint64 mNextPollMs = 0; // the controller's thread only
    // A pass is asked for at mNextPollMs, rather than at the beat after it (the controller's
    // thread only).
    bool mPollPassArmed = false;
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
