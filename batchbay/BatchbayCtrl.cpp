#include "BatchbayCtrl.h"

#include "Job.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <vector>

BatchbayCtrl *BatchbayCtrl::instance()
{
    static BatchbayCtrl controller;
    return &controller;
}

BatchbayCtrl::BatchbayCtrl()
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

void BatchbayCtrl::doUpdate()
{
    std::vector<std::shared_ptr<Job>> keep;
    std::shared_ptr<Job> job;
    while (mQueue.try_pop(job)) {
        switch (job->state.load()) {
        case JobWaitingForInput:
        case JobFinished:
        case JobFailed:
            keep.push_back(std::move(job));
            break;
        case JobToBeSubmitted:
            post(&mJobContext, [this, job]() {
                job->start();
                push(job);
            });
            break;
        case JobQueued:
        case JobRunning:
            post(&mJobContext, [this, job]() {
                job->checkFinished();
                push(job);
            });
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
    for (auto &kept : keep)
        push(kept);
}
