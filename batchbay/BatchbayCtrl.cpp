#include "BatchbayCtrl.h"

#include "BatchbayJobStore.h"
#include "BatchbaySettings.h"
#include "Job.h"
#include "SlurmQueueSnapshot.h"
#include "log/HXBLogger.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QTimer>

#include <chrono>

#include <algorithm>
#include <vector>

namespace {

// The configured way of polling, logged once as the controller is made.
bool pollPerJobSetting()
{
    const bool perJob = BatchbaySettings::instance()->getPollPerJob();
    HXBLogger::instance()->logNormalInfo("BatchbayCtrl", "following jobs on Slurm",
                                         perJob ? "one squeue per job" : "one squeue answer for all jobs");
    return perJob;
}

} // namespace

BatchbayCtrl *BatchbayCtrl::instance()
{
    static BatchbayCtrl controller(pollPerJobSetting());
    return &controller;
}

BatchbayCtrl::BatchbayCtrl(bool pollPerJob)
    : mPollPerJob(pollPerJob)
{
    mJobThread.setObjectName(QStringLiteral("BatchbayJobs"));
    mCleanupThread.setObjectName(QStringLiteral("BatchbayCleanup"));
    mJobContext.moveToThread(&mJobThread);
    mCleanupContext.moveToThread(&mCleanupThread);
    mJobThread.start(QThread::InheritPriority);
    mCleanupThread.start(QThread::InheritPriority);
    if (QCoreApplication *app = QCoreApplication::instance())
        QObject::connect(app, &QObject::destroyed, &mJobContext, [this]() { stopAll(); },
                         Qt::DirectConnection);
    startThread();
}

BatchbayCtrl::~BatchbayCtrl()
{
    stopAll();
}

void BatchbayCtrl::stopAll()
{
    stop();
    for (QThread *thread : {&mJobThread, &mCleanupThread}) {
        if (thread == QThread::currentThread())
            continue;
        thread->quit();
        thread->wait();
    }
}

void BatchbayCtrl::post(QObject *context, std::function<void()> call)
{
    QMetaObject::invokeMethod(context, std::move(call), Qt::QueuedConnection);
}

void BatchbayCtrl::postJobCall(std::function<void()> call)
{
    ++mJobCallsPending;
    post(&mJobContext, [this, call = std::move(call)]() {
        call();
        --mJobCallsPending;
        if (!mPollPerJob)
            requestPass();
    });
}

void BatchbayCtrl::setCatchUp(std::function<bool()> pending, std::function<void()> run)
{
    std::lock_guard<std::mutex> lock(mCatchUpLock);
    mCatchUpPending = std::move(pending);
    mCatchUpRun = std::move(run);
}

void BatchbayCtrl::postCatchUp()
{
    if (mCatchUpRunning)
        return;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now < mNextCatchUpMs && mNextCatchUpMs - now <= sCatchUpIntervalMs)
        return;
    std::function<void()> run;
    {
        std::lock_guard<std::mutex> lock(mCatchUpLock);
        if (!mCatchUpPending || !mCatchUpRun || !mCatchUpPending())
            return;
        run = mCatchUpRun;
    }
    mNextCatchUpMs = now + sCatchUpIntervalMs;
    mCatchUpRunning = true;
    post(&mCleanupContext, [this, run = std::move(run)]() {
        run();
        mCatchUpRunning = false;
    });
}

void BatchbayCtrl::doUpdate()
{
    postCatchUp();

    // Only while the job thread has nothing left to do when the jobs share one squeue answer.
    const bool jobThreadIdle = mPollPerJob || mJobCallsPending.load() == 0;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const bool pollDue = now >= mNextPollMs || mNextPollMs - now > sPollIntervalMs;
    bool pollWaits = false;
    std::vector<std::shared_ptr<Job>> keep;
    std::vector<std::shared_ptr<Job>> poll;
    std::vector<std::shared_ptr<Job>> submit;
    std::shared_ptr<Job> job;
    while (mQueue.try_pop(job)) {
        if (job->replaced) {
            job.reset();
            continue;
        }
        switch (job->state.load()) {
        case JobWaitingForInput:
        case JobFinished:
        case JobFailed:
            keep.push_back(std::move(job));
            break;
        case JobToBeSubmitted:
            if (mPollPerJob) {
                postJobCall([this, job]() {
                    job->start();
                    push(job);
                });
            } else if (jobThreadIdle) {
                submit.push_back(std::move(job));
            } else {
                keep.push_back(std::move(job));
            }
            break;
        case JobQueued:
        case JobRunning:
            if (mPollPerJob) {
                postJobCall([this, job]() {
                    job->checkFinished();
                    push(job);
                });
            } else if (jobThreadIdle && pollDue) {
                poll.push_back(std::move(job));
            } else {
                pollWaits = pollWaits || jobThreadIdle;
                keep.push_back(std::move(job));
            }
            break;
        case JobToBeCancelled:
            postJobCall([this, job]() {
                job->cancel();
                push(job);
            });
            break;
        case JobFinalized:
            if (job->cancelsOnSlurm()) {
                // Its Slurm job may still run and write into the directory: cancelled first.
                postJobCall([this, job]() {
                    job->finalizeOnSlurm();
                    post(&mCleanupContext, [job]() { job->cleanup(); });
                });
            } else {
                post(&mCleanupContext, [job]() { job->cleanup(); });
            }
            break;
        default:
            break; // an unknown state leaves the controller
        }
        job.reset();
    }
    if (!poll.empty())
        mNextPollMs = now + sPollIntervalMs;
    // The job thread is idle and the next poll is due before the beat after it: a pass is
    // asked for then, so that a cycle is the squeue's time or the interval, not up to two beats.
    if (pollWaits && !mPollPassArmed) {
        mPollPassArmed = true;
        QTimer::singleShot(std::chrono::milliseconds(std::max<qint64>(mNextPollMs - now, 0)), Qt::PreciseTimer,
                           &mTimer, [this]() {
                               mPollPassArmed = false;
                               requestPass();
                           });
    }
    if (!poll.empty() || !submit.empty()) {
        postJobCall([this, poll = std::move(poll), submit = std::move(submit)]() {
            runRound(poll, submit);
        });
    }
    for (auto &kept : keep)
        push(kept);
}

void BatchbayCtrl::runRound(const std::vector<std::shared_ptr<Job>> &poll,
                            const std::vector<std::shared_ptr<Job>> &submit)
{
    // Following the jobs on Slurm comes first; submissions then get as long as the poll took
    // (a slow squeue must not starve them), and at least sSubmitBudgetMs.
    QElapsedTimer spent;
    spent.start();
    if (!poll.empty())
        pollTogether(poll);
    const qint64 budget = std::max(sSubmitBudgetMs, spent.elapsed());
    spent.restart();
    for (const auto &job : submit) {
        if (spent.elapsed() < budget)
            job->start();
        push(job);
    }
}

void BatchbayCtrl::pollTogether(const std::vector<std::shared_ptr<Job>> &jobs)
{
    std::vector<int> ids;
    ids.reserve(jobs.size());
    for (const auto &job : jobs)
        ids.push_back(job->slurmId);
    // Taken now, after the pass that collected the jobs: never older than the pass.
    const SlurmQueueSnapshot snapshot = SlurmQueueSnapshot::query(ids);
    // The jobs that changed are written together once all are read.
    BatchbayJobStore::SaveBatch batch;
    const bool ambiguous = snapshot.saysJobUnknown() && jobs.size() > 1;
    for (const auto &job : jobs) {
        if (ambiguous)
            job->checkFinished();
        else
            job->checkFinished(snapshot);
        push(job);
    }
}
