#include "BatchbayWorker.h"

#include "BatchbayApp.h"
#include "BatchbayAppManager.h"
#include "BatchbayCtrl.h"
#include "BatchbayJobFiles.h"
#include "BatchbayJobOwnership.h"
#include "BatchbayJobStore.h"
#include "Job.h"
#include "log/HXBLogger.h"
#include "user/User.h"
#include "util/HXBStringUtils.h"

#include <QDateTime>
#include <QVariantList>

#include <algorithm>
#include <memory>
#include <mutex>
#include <utility>

namespace {

QString indexed(const char *prefix, int index)
{
    return QLatin1String(prefix) + QString::number(index);
}

// An argument as the log shows it: cut to a bounded length.
std::string loggedArg(const QString &arg)
{
    if (arg.size() <= BatchbayWorker::sMaxLoggedArgLength)
        return S(arg);
    return S(arg.left(BatchbayWorker::sMaxLoggedArgLength)) + "... ("
        + fromNumber(static_cast<long long>(arg.size())) + " characters)";
}

// One task struct of the job description. Appends the task's lines to summary unless
// logged is false.
Task readTask(const QVariantMap &map, std::string &summary, bool logged)
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
        if (argsCount > 0)
            task.args.reserve(static_cast<std::size_t>(argsCount));
        for (int i = 0; i < argsCount; ++i) {
            const QString arg = map.value(indexed("arg", i)).toString();
            task.args.push_back(S(arg));
            if (logged && i < BatchbayWorker::sMaxLoggedArgs)
                summary += "      arg: " + loggedArg(arg) + "\n";
        }
        if (logged && argsCount > BatchbayWorker::sMaxLoggedArgs)
            summary += "      ... and " + fromNumber(argsCount - BatchbayWorker::sMaxLoggedArgs)
                + " more arguments\n";
        if (logged)
            summary += "  --> process run app " + fromNumber(task.applicationId) + "\n";
    } else if (type == QLatin1String("copyTask")) {
        task.type = 0;
        task.source = S(map.value(QStringLiteral("source")).toString());
        task.target = S(map.value(QStringLiteral("target")).toString());
        task.relPath = S(map.value(QStringLiteral("relPath")).toString());
        if (logged)
            summary += "  --> copy " + loggedArg(Q(task.source)) + " ==> "
                + loggedArg(Q(task.target)) + " (" + loggedArg(Q(task.relPath)) + ")\n";
    }
    return task;
}

// A count member of a description: at most the number of members the struct holds (each
// counted item is one member; missing ones read as empty) and at most max.
bool countFits(const QVariantMap &map, const char *member, int max, QString &error)
{
    const int count = map.value(QLatin1String(member)).toInt();
    if (count <= max && count <= map.size())
        return true;
    error = QStringLiteral("\"%1\" is %2, but at most %3 is accepted here")
                .arg(QLatin1String(member))
                .arg(count)
                .arg(std::min<qsizetype>(max, map.size()));
    return false;
}

} // namespace

BatchbayWorker::BatchbayWorker(std::shared_ptr<User> caller, QObject *parent)
    : XmlRpcResponder(parent)
    , mCaller(std::move(caller))
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

bool BatchbayWorker::readDescription(const QVariantMap &map, Job &job, std::string &summary,
                                     QString &error)
{
    // Every count is checked before anything is built from it.
    if (!countFits(map, "outputFileCount", sMaxOutputFiles, error)
        || !countFits(map, "size", sMaxTasks, error))
        return false;
    const int outputFileCount = map.value(QStringLiteral("outputFileCount")).toInt();
    const int size = map.value(QStringLiteral("size")).toInt();
    for (int i = 0; i < size; ++i) {
        const QVariantMap task = map.value(indexed("task", i)).toMap();
        if (task.value(QStringLiteral("type")).toString() == QLatin1String("processTask")
            && !countFits(task, "argsCount", sMaxArgs, error)) {
            error = QStringLiteral("task%1: %2").arg(i).arg(error);
            return false;
        }
    }

    summary = "received job\n";
    for (int i = 0; i < outputFileCount; ++i) {
        const QString pattern = map.value(indexed("outputFile", i)).toString().trimmed();
        if (!BatchbayJobFiles::isValidPattern(S(pattern))) {
            error = QStringLiteral("\"outputFile%1\" leads out of the job directory").arg(i);
            return false;
        }
        job.outputFiles.push_back(S(pattern));
    }
    for (int i = 0; i < size; ++i)
        job.tasks.push_back(
            readTask(map.value(indexed("task", i)).toMap(), summary, i < sMaxLoggedTasks));
    if (size > sMaxLoggedTasks)
        summary += "  ... and " + fromNumber(size - sMaxLoggedTasks) + " more tasks\n";

    job.jobId = S(map.value(QStringLiteral("taskId")).toString());
    job.designName = S(map.value(QStringLiteral("designName")).toString());
    job.maxRunTime = map.value(QStringLiteral("maxRunTime")).toInt();
    if (map.contains(QStringLiteral("derun"))) {
        const QVariantMap run = map.value(QStringLiteral("derun")).toMap();
        job.runId = S(run.value(QStringLiteral("uuid")).toString());
        job.runName = S(run.value(QStringLiteral("name")).toString());
    }
    job.projectName = S(map.value(QStringLiteral("projectName")).toString());
    job.removeFiles = map.value(QStringLiteral("removeFiles")).toInt() != 0;
    return true;
}

QVariantMap BatchbayWorker::startJob(QVariantMap map)
{
    if (!mCaller) {
        refuse(XmlRpcFault::ApplicationError, QStringLiteral("forbidden"));
        return {};
    }
    auto job = std::make_shared<Job>();
    std::string summary;
    QString error;
    if (!readDescription(map, *job, summary, error)) {
        refuse(XmlRpcFault::InvalidParams, error);
        return {};
    }

    job->ownerId = mCaller->getId();
    job->receivedTimestamp = static_cast<int>(QDateTime::currentSecsSinceEpoch());
    // A job of the same ID is replaced only by whom it lets act on it, and only while it waits
    // for its input (a job that was handed to Slurm is never replaced); an owned job keeps its
    // owner, and the replaced one leaves the controller. Looked up and replaced in one step,
    // so no other user's job slips in between.
    bool notWaiting = false;
    const bool stored = BatchbayJobStore::instance()->addOrReplaceJob(
        job, [this, &job, &notWaiting](const std::shared_ptr<Job> &existing) {
            if (!mayReplace(mCaller, existing))
                return false;
            if (existing->state != JobWaitingForInput) {
                notWaiting = true;
                return false;
            }
            if (existing->ownerId != -1)
                job->ownerId = existing->ownerId.load();
            existing->replaced = true;
            return true;
        });
    if (!stored) {
        HXBLogger::instance()->logNormalWarn("startJob", notWaiting ? "job exists" : "forbidden job access",
                                             job->jobId);
        refuse(XmlRpcFault::ApplicationError,
               notWaiting ? QStringLiteral("a job of this ID exists and no longer waits for input")
                          : QStringLiteral("forbidden"));
        return {};
    }
    BatchbayCtrl::instance()->push(job);

    QVariantMap reply;
    reply.insert(QStringLiteral("messsage"), QStringLiteral("Alles geht"));
    reply.insert(QStringLiteral("jobId"), Q(job->jobId));
    reply.insert(QStringLiteral("serverPort"), -1);
    reply.insert(QStringLiteral("hxbserver"), true);
    HXBLogger::instance()->logNormalInfo("startJob", "created Job " + job->jobId, summary);
    return reply;
}

std::shared_ptr<Job> BatchbayWorker::authorizedJob(const QString &jobId)
{
    auto job = BatchbayJobStore::instance()->getJobById(S(jobId));
    if (!job || claimOrAuthorize(mCaller, job))
        return job;
    HXBLogger::instance()->logNormalWarn("BatchbayWorker", "forbidden job access", job->jobId);
    refuse(XmlRpcFault::ApplicationError, QStringLiteral("forbidden"));
    return {};
}

bool BatchbayWorker::cancelJob(QString jobId)
{
    const auto job = authorizedJob(jobId);
    if (job) {
        HXBLogger::instance()->logNormalInfo("cancelJob", "cancel Job", job->jobId);
        // A job that has ended stays as it ended.
        job->requestCancel(mCaller ? mCaller->getUsername() : std::string());
    }
    return true;
}

int BatchbayWorker::jobState(QString jobId, int taskCount)
{
    const auto job = authorizedJob(jobId);
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
    const auto job = authorizedJob(jobId);
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
