#include "BatchbayWorker.h"

#include "BatchbayApp.h"
#include "BatchbayAppManager.h"
#include "BatchbayCtrl.h"
#include "BatchbayJobStore.h"
#include "Job.h"
#include "log/HXBLogger.h"
#include "util/HXBStringUtils.h"

#include <QDateTime>
#include <QVariantList>

#include <memory>
#include <mutex>

namespace {

QString indexed(const char *prefix, int index)
{
    return QLatin1String(prefix) + QString::number(index);
}

// One task struct of the job description. Appends the task's lines to summary.
Task readTask(const QVariantMap &map, std::string &summary)
{
    Task task;
    const QString type = map.value(QStringLiteral("type")).toString();
    if (type == QLatin1String("processTask")) {
        task.type = 1;
        task.applicationId = map.value(QStringLiteral("applicationId")).toInt();
        task.numberOfTasks = 1;
        if (map.contains(QStringLiteral("numberOfTasks")))
            task.numberOfTasks = map.value(QStringLiteral("numberOfTasks")).toInt();
        if (map.contains(QStringLiteral("priority"))) {
            task.priority = map.value(QStringLiteral("priority")).toInt();
            task.hasPriority = true;
        }
        if (map.contains(QStringLiteral("numberOfNodes")))
            task.numberOfNodes = map.value(QStringLiteral("numberOfNodes")).toInt();
        if (map.contains(QStringLiteral("numberOfCPUsPerTask")))
            task.numberOfCPUsPerTask = map.value(QStringLiteral("numberOfCPUsPerTask")).toInt();
        if (map.contains(QStringLiteral("partitionName")))
            task.partitionName = S(map.value(QStringLiteral("partitionName")).toString());
        const int argsCount = map.value(QStringLiteral("argsCount")).toInt();
        for (int i = 0; i < argsCount; ++i) {
            task.args.push_back(S(map.value(indexed("arg", i)).toString()));
            summary += "      arg: " + task.args.back() + "\n";
        }
        summary += "  --> process run app " + fromNumber(task.applicationId) + "\n";
    } else if (type == QLatin1String("copyTask")) {
        task.type = 0;
        task.source = S(map.value(QStringLiteral("source")).toString());
        task.target = S(map.value(QStringLiteral("target")).toString());
        task.relPath = S(map.value(QStringLiteral("relPath")).toString());
        summary
            += "  --> copy " + task.source + " ==> " + task.target + " (" + task.relPath + ")\n";
    }
    return task;
}

} // namespace

BatchbayWorker::BatchbayWorker(QObject *parent)
    : QObject(parent)
{ }

BatchbayWorker::~BatchbayWorker() = default;

int BatchbayWorker::clientState(int state)
{
    switch (state) {
    case JobWaitingForInput:
        return 1;
    case JobToBeSubmitted:
    case JobQueued:
    case JobRunning:
    case JobToBeCancelled:
        return 2;
    case JobFinished:
        return 3;
    default:
        return 5;
    }
}

QVariantMap BatchbayWorker::applicationList(int withAuth)
{
    Q_UNUSED(withAuth);
    QVariantList apps;
    for (const auto &app : BatchbayAppManager::instance()->getApps())
        apps.append(app->getMap());
    QVariantMap reply;
    reply.insert(QStringLiteral("Apps"), apps);
    reply.insert(QStringLiteral("HasMore"), false);
    reply.insert(QStringLiteral("HasMail"), false);
    reply.insert(QStringLiteral("ConfigAddress"), QStringLiteral("internal"));
    return reply;
}

QVariantMap BatchbayWorker::startJob(QVariantMap map)
{
    auto job = std::make_shared<Job>();
    std::string summary = "received job\n";

    const int outputFileCount = map.value(QStringLiteral("outputFileCount")).toInt();
    for (int i = 0; i < outputFileCount; ++i)
        job->outputFiles.push_back(S(map.value(indexed("outputFile", i)).toString().trimmed()));

    const int size = map.value(QStringLiteral("size")).toInt();
    for (int i = 0; i < size; ++i)
        job->tasks.push_back(readTask(map.value(indexed("task", i)).toMap(), summary));

    job->jobId = S(map.value(QStringLiteral("taskId")).toString());
    job->designName = S(map.value(QStringLiteral("designName")).toString());
    job->maxRunTime = map.value(QStringLiteral("maxRunTime")).toInt();
    if (map.contains(QStringLiteral("derun"))) {
        const QVariantMap run = map.value(QStringLiteral("derun")).toMap();
        job->runId = S(run.value(QStringLiteral("uuid")).toString());
        job->runName = S(run.value(QStringLiteral("name")).toString());
    }
    job->projectName = S(map.value(QStringLiteral("projectName")).toString());
    job->removeFiles = map.value(QStringLiteral("removeFiles")).toInt() != 0;
    job->receivedTimestamp = static_cast<int>(QDateTime::currentSecsSinceEpoch());

    BatchbayJobStore::instance()->addOrUpdateJob(job);
    BatchbayCtrl::instance()->push(job);

    QVariantMap reply;
    reply.insert(QStringLiteral("messsage"), QStringLiteral("Alles geht"));
    reply.insert(QStringLiteral("jobId"), Q(job->jobId));
    reply.insert(QStringLiteral("serverPort"), -1);
    reply.insert(QStringLiteral("hxbserver"), true);
    HXBLogger::instance()->logNormalInfo("startJob", "created Job " + job->jobId, summary);
    return reply;
}

bool BatchbayWorker::cancelJob(QString jobId)
{
    const auto job = BatchbayJobStore::instance()->getJobById(S(jobId));
    if (job) {
        std::lock_guard<std::recursive_mutex> lock(job->mutex);
        HXBLogger::instance()->logNormalInfo("cancelJob", "cancel Job", job->jobId);
        job->state = JobToBeCancelled;
    }
    return true;
}

int BatchbayWorker::jobState(QString jobId, int taskCount)
{
    const auto job = BatchbayJobStore::instance()->getJobById(S(jobId));
    if (!job)
        return 5;
    const int index = taskCount - 1;
    if (index >= 0 && static_cast<std::size_t>(index) < job->tasks.size()
        && job->tasks[static_cast<std::size_t>(index)].type == 0) {
        return 3;
    }
    return clientState(job->state);
}

QVariantMap BatchbayWorker::outputServerPort()
{
    QVariantMap reply;
    reply.insert(QStringLiteral("hxbserver"), true);
    return reply;
}

QString BatchbayWorker::getStdOut(QString jobId)
{
    const auto job = BatchbayJobStore::instance()->getJobById(S(jobId));
    if (!job)
        return {};
    return Q(job->getStdOut());
}

bool BatchbayWorker::blockSchedule()
{
    return true;
}

bool BatchbayWorker::unblockSchedule()
{
    return true;
}
