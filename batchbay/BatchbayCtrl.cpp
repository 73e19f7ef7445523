#include "BatchbayCtrl.h"

#include "BatchbaySettings.h"
#include "Job.h"
#include "SlurmQueueSnapshot.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QMetaObject>

#include <vector>

BatchbayCtrl *BatchbayCtrl::instance()
{
    static BatchbayCtrl controller(BatchbaySettings::instance()->getPollPerJob());
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

    std::vector<std::shared_ptr<Job>> keep;
    std::vector<std::shared_ptr<Job>> poll;
    std::vector<std::shared_ptr<Job>> submit;
    std::shared_ptr<Job> job;
    while (mQueue.try_pop(job)) {
        switch (job->state.load()) {
        case JobWaitingForInput:
        case JobFinished:
        case JobFailed:
            keep.push_back(std::move(job));
            break;
        case JobToBeSubmitted:
            if (mPollPerJob) {
                post(&mJobContext, [this, job]() {
                    job->start();
                    push(job);
                });
            } else if (submit.size() < sMaxSubmissionsPerPass) {
                submit.push_back(std::move(job));
            } else {
                keep.push_back(std::move(job)); // submitted in a later pass
            }
            break;
        case JobQueued:
        case JobRunning:
            if (mPollPerJob) {
                post(&mJobContext, [this, job]() {
                    job->checkFinished();
                    push(job);
                });
            } else {
                poll.push_back(std::move(job));
            }
            break;
        case JobToBeCancelled:
            post(&mJobContext, [this, job]() {
                job->cancel();
                push(job);
            });
            break;
        case JobFinalized:
            post(&mCleanupContext, [job]() { job->cleanup(); });
            break;
        default:
            break; // an unknown state leaves the controller
        }
        job.reset();
    }
    // Following the jobs on Slurm comes before new submissions, and a pass submits a bounded
    // number, so that a burst of new jobs never holds up the news of jobs that ended.
    if (!poll.empty())
        post(&mJobContext, [this, poll = std::move(poll)]() { pollTogether(poll); });
    for (auto &next : submit) {
        post(&mJobContext, [this, next]() {
            next->start();
            push(next);
        });
    }
    for (auto &kept : keep)
        push(kept);
}

void BatchbayCtrl::pollTogether(const std::vector<std::shared_ptr<Job>> &jobs)
{
    std::vector<int> ids;
    ids.reserve(jobs.size());
    for (const auto &job : jobs)
        ids.push_back(job->slurmId);
    // Taken now, after the pass that collected the jobs: never older than the pass.
    const SlurmQueueSnapshot snapshot = SlurmQueueSnapshot::query(ids);
    const bool ambiguous = snapshot.saysJobUnknown() && jobs.size() > 1;
    for (const auto &job : jobs) {
        if (ambiguous)
            job->checkFinished();
        else
            job->checkFinished(snapshot);
        push(job);
    }
}
