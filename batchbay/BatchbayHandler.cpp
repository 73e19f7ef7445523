#include "BatchbayHandler.h"

#include "BatchbayAppManager.h"
#include "BatchbayCtrl.h"
#include "BatchbayJobDownloads.h"
#include "BatchbayJobFiles.h"
#include "BatchbayJobOwnership.h"
#include "BatchbayJobStore.h"
#include "BatchbayQueueInfo.h"
#include "BatchbaySettings.h"
#include "BatchbayWorker.h"
#include "Job.h"
#include "httpserver/HttpRequest.h"
#include "httpserver/HttpResponse.h"
#include "log/HXBLogger.h"
#include "quicktype/JobList.h"
#include "user/HXBRequestAuth.h"
#include "user/User.h"
#include "web/HXBWebRouter.h"

#include "xmlrpc/MaiaXmlRpcServerConnection.h"
#include "xmlrpc/MaiaXmlRpcServerSecurity.h"

#include <QFile>

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

std::shared_ptr<BatchbayHandler> BatchbayHandler::mpInstance = std::make_shared<BatchbayHandler>();

namespace {

constexpr qint64 sDownloadChunk = 64 * 1024;

enum class Command {
    None,
    JobInfo,
    QueueInfo,
    Rpc,
    UploadFile,
    FinishedUploading,
    Finalize,
    Cancel,
    OutputFileList,
    GetOutputFile,
    NodeInfo,
    DownloadTicket,
    DownloadAll,
    Download,
    OutputFileSizes,
    JobDescription,
};

struct CommandWord
{
    const char *word;
    Command command;
};

// In the order they are tested; jobinfo, queueinfo, RPC2 and nodeinfo take no job ID.
constexpr CommandWord sCommandWords[] = {
    {"jobinfo", Command::JobInfo},
    {"queueinfo", Command::QueueInfo},
    {"RPC2", Command::Rpc},
    {"uploadFile", Command::UploadFile},
    {"finishedUploading", Command::FinishedUploading},
    {"finalize", Command::Finalize},
    {"cancel", Command::Cancel},
    {"outputFileList", Command::OutputFileList},
    {"getOutputFile", Command::GetOutputFile},
    {"downloadTicket", Command::DownloadTicket},
    {"downloadAll", Command::DownloadAll},
    {"download", Command::Download},
    {"outputFileSizes", Command::OutputFileSizes},
    {"jobDescription", Command::JobDescription},
    {"nodeinfo", Command::NodeInfo},
};

struct Route
{
    Command command = Command::None;
    std::string jobId;
};

// The command comes from the path before its last segment, the job ID; so an ID that
// contains a command word is never read as the command.
Route routeOf(const std::string &path)
{
    Route route;
    const std::string::size_type slash = path.rfind('/');
    const std::string head = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    route.jobId = slash == std::string::npos ? path : path.substr(slash + 1);
    for (const CommandWord &entry : sCommandWords) {
        if (head.find(entry.word) != std::string::npos) {
            route.command = entry.command;
            return route;
        }
    }
    for (const CommandWord &entry : sCommandWords) {
        if (entry.command != Command::JobInfo && entry.command != Command::QueueInfo
            && entry.command != Command::Rpc && entry.command != Command::NodeInfo) {
            continue;
        }
        if (route.jobId == entry.word) {
            route.command = entry.command;
            return route;
        }
    }
    return route;
}

std::shared_ptr<User> authenticate(const HttpRequest &request)
{
    return HXBRequestAuth::authenticate(request).user;
}

// XML-RPC calls carry a job's input inline; JSON commands are short.
constexpr qint64 sMaxRpcBody = 16 * 1024 * 1024;
constexpr qint64 sMaxCommandBody = 1024 * 1024;

void answer(HttpResponse &response, int status, const QByteArray &reason, const QByteArray &body)
{
    response.setStatus(status, reason);
    response.write(body);
}

// A request the job's life cycle does not allow in its present state (see Job.h).
void refuse(HttpResponse &response, const std::shared_ptr<Job> &job, const char *why)
{
    HXBLogger::instance()->logNormalInfo("service", why, job->jobId);
    answer(response, 409, "Conflict", why);
}

} // namespace

BatchbayHandler::BatchbayHandler() = default;

BatchbayHandler::~BatchbayHandler() = default;

std::shared_ptr<BatchbayHandler> BatchbayHandler::instance()
{
    return mpInstance;
}

void BatchbayHandler::doInit()
{
    auto self = shared_from_base<BatchbayHandler>();
    BatchbayJobStore *store = BatchbayJobStore::instance();
    const std::shared_ptr<BatchbayAppManager> apps = BatchbayAppManager::instance();
    // What the database did not take, at start-up or later, is written by the controller's
    // passes once it answers; the routes are served meanwhile.
    BatchbayCtrl::instance()->setCatchUp(
        [store, apps]() { return store->hasPendingWork() || apps->isPending(); },
        [store, apps]() {
            store->catchUp();
            apps->retryPendingLoad();
        });
    registerXmlRpcMethods();
    for (const char *route : {"/RPC2", "/batchbay", "/sshrm"})
        HXBWebRouter::instance()->registerRoute(route, self);
    HXBLogger::instance()->logNormalInfo("BatchbayHandler", "module initialised", "");
}

void BatchbayHandler::registerXmlRpcMethods()
{
    static constexpr struct
    {
        const char *method;
        const char *slot;
    } sMethods[] = {
        {"sshResourceManager.getActiveApplications", "applicationList"},
        {"sshResourceManager.startJobv2", "startJob"},
        {"sshResourceManager.getJobState", "jobState"},
        {"sshResourceManager.cancelJob", "cancelJob"},
        {"sshResourceManager.requestOutputFileServerPort", "outputServerPort"},
        {"sshResourceManager.getJobOutput", "getStdOut"},
        {"sshResourceManager.blockSchedule", "blockSchedule"},
        {"sshResourceManager.unblockSchedule", "unblockSchedule"},
    };
    for (const auto &entry : sMethods)
        MaiaXmlRpcServerSecurity::instance()->addMethod(QString::fromLatin1(entry.method),
                                                        entry.slot);
}

void BatchbayHandler::serveXmlRpc(HttpRequest &request, HttpResponse &response,
                                  const std::shared_ptr<User> &user)
{
    BatchbayWorker worker(user);
    MaiaXmlRpcServerConnection::processRequest(request, response, &worker);
}

void BatchbayHandler::service(const std::string &, HttpRequest &request, HttpResponse &response)
{
    response.setHeader("Access-Control-Allow-Origin", "*");
    response.setHeader("Access-Control-Allow-Headers", "Content-Type");
    response.setHeader("Access-Control-Allow-Method", "POST, GET");
    response.setHeader("Access-Control-Allow-Credentials", "true");
    response.setHeader("Content-Type", "application/json");

    if (request.getMethod() == "OPTIONS") {
        response.setStatus(200, "");
        return;
    }
    const Route route = routeOf(request.getPath().toStdString());
    // A browser's download carries a ticket instead of credentials.
    if (route.command == Command::Download || route.command == Command::DownloadAll) {
        BatchbayJobDownloads::serveWithTicket(request, response,
                                              route.command == Command::DownloadAll, route.jobId);
        return;
    }
    auto user = authenticate(request);
    if (!user) {
        answer(response, 401, "unauthorized", "unauthorized");
        return;
    }

    switch (route.command) {
    case Command::JobInfo:
        getJobList(response, user);
        return;
    case Command::QueueInfo:
        getQueueInfo(response);
        return;
    case Command::Rpc:
        serveXmlRpc(request, response, user);
        return;
    case Command::NodeInfo:
        BatchbayJobDownloads::nodeInfo(response);
        return;
    default:
        break;
    }

    auto job = BatchbayJobStore::instance()->getJobById(route.jobId);
    if (!job) {
        HXBLogger::instance()->logNormalInfo("service", "job not found", route.jobId);
        answer(response, 404, "Job not found", "JobNotFound");
        return;
    }
    if (!claimOrAuthorize(user, job)) {
        HXBLogger::instance()->logNormalWarn("service", "forbidden job access", job->jobId);
        answer(response, 403, "forbidden", "forbidden");
        return;
    }

    switch (route.command) {
    case Command::UploadFile:
        uploadFile(request, response, job);
        return;
    case Command::FinishedUploading:
        if (!job->requestSubmit()) {
            refuse(response, job, "the job does not wait for input");
            return;
        }
        HXBLogger::instance()->logNormalInfo("service", "finished uploading job", job->jobId);
        break;
    case Command::Finalize:
        job->requestFinalize();
        HXBLogger::instance()->logNormalInfo("service", "finalized job", job->jobId);
        break;
    case Command::Cancel:
        if (!job->requestCancel(user->getUsername())) {
            refuse(response, job, "the job has already ended");
            return;
        }
        HXBLogger::instance()->logNormalInfo("service", "cancel requested for job", job->jobId);
        break;
    case Command::OutputFileList:
        getOutputFileList(job, response);
        break;
    case Command::GetOutputFile:
        getOutputFile(request, response, job);
        return;
    case Command::DownloadTicket:
        BatchbayJobDownloads::issueTicket(request, response, user, job);
        return;
    case Command::OutputFileSizes:
        BatchbayJobDownloads::outputFileSizes(job, response);
        return;
    case Command::JobDescription:
        BatchbayJobDownloads::jobDescription(job, response);
        return;
    default:
        answer(response, 404, "not found", "not found");
        return;
    }
    response.setStatus(200, "OK");
}

HttpBodyPolicy BatchbayHandler::bodyPolicy(const std::string &, const HttpRequest &request)
{
    // Credentials are checked before any body byte is read: only a known caller may send
    // more than a few bytes, and only an upload may go to the spool.
    if (request.getMethod() == "OPTIONS")
        return HttpBodyPolicy::limit(sSmallBodyLimit);
    // A browser's download carries a ticket instead of credentials; service() checks it.
    if (const Command command = routeOf(request.getPath().toStdString()).command;
        command == Command::Download || command == Command::DownloadAll)
        return HttpBodyPolicy::limit(sSmallBodyLimit);
    const HXBRequestAuth::Outcome caller = HXBRequestAuth::authenticate(request);
    if (!caller.user) {
        // With the header fields every answer of these routes carries.
        HttpBodyPolicy refusal = HXBRequestAuth::refusal(caller);
        refusal.refuseHeaders += {{"Access-Control-Allow-Origin", "*"},
                                  {"Access-Control-Allow-Headers", "Content-Type"},
                                  {"Access-Control-Allow-Method", "POST, GET"},
                                  {"Access-Control-Allow-Credentials", "true"},
                                  {"Content-Type", "application/json"}};
        return refusal;
    }
    switch (routeOf(request.getPath().toStdString()).command) {
    case Command::UploadFile:
        return HttpBodyPolicy();
    case Command::Rpc:
        return HttpBodyPolicy::limit(sMaxRpcBody);
    default:
        return HttpBodyPolicy::limit(sMaxCommandBody);
    }
}

void BatchbayHandler::getJobList(HttpResponse &response, const std::shared_ptr<User> &user)
{
    const bool admin = user && user->isAdmin();
    const int visibility = BatchbaySettings::instance()->getJobListVisibility();
    const auto jobs = BatchbayJobStore::instance()->getAllJobs();
    quicktype::JobList list;
    list.jobs.reserve(jobs.size());
    for (const auto &[id, job] : jobs) {
        const bool mayAct = canActOn(user, job);
        if (visibility == 3 && !admin && !mayAct)
            continue;
        quicktype::Job info = job->getJobInfo();
        if (visibility == 2 && !admin && !mayAct) {
            info.designname = "(hidden)";
            info.jobdir = "(hidden)";
            info.projectname = "(hidden)";
            info.runname = "(hidden)";
        }
        list.jobs.push_back(std::move(info));
    }
    // Written straight from the text: a list of thousands of jobs is megabytes.
    const std::string text = quicktype::toJsonText(list);
    response.write(QByteArray::fromRawData(text.data(), qsizetype(text.size())));
}

void BatchbayHandler::getQueueInfo(HttpResponse &response)
{
    // Slurm's answer that cannot be had or read is the gateway's failure, not an empty cluster.
    const std::optional<quicktype::QueueList> queues = BatchbayQueueInfo::fetch();
    if (!queues) {
        answer(response, 502, "Bad Gateway", "slurm unavailable");
        return;
    }
    response.setStatus(200, "OK");
    response.write(QByteArray::fromStdString(quicktype::toJsonText(nlohmann::json(*queues))));
}

void BatchbayHandler::uploadFile(HttpRequest &request, HttpResponse &response,
                                 std::shared_ptr<Job> &job)
{
    const std::string name = request.getHeader("filename").toStdString();
    if (!BatchbayJobFiles::isValidName(name)) {
        HXBLogger::instance()->logNormalWarn("uploadFile", "job: " + job->jobId,
                                             "refused file name " + name);
        answer(response, 400, "Bad Request",
               "invalid filename: a relative path inside the job directory is required");
        return;
    }
    const BatchbayJobFiles files(job->getJobDir());
    QIODevice *body = request.getBodyDevice();
    std::string error;
    BatchbayJobFiles::Result result = BatchbayJobFiles::Result::Failed;
    if (body)
        result = files.store(name, *body, error, [&request](const std::string &path) {
            return request.moveSpooledBody(QString::fromStdString(path));
        });
    else
        error = "the request body cannot be read";

    switch (result) {
    case BatchbayJobFiles::Result::Ok:
        HXBLogger::instance()->logNormalInfo("uploadFile", "job: " + job->jobId,
                                             "received file " + name + " --> saved to "
                                                 + files.root() + "/" + name);
        response.setStatus(200, "OK");
        return;
    case BatchbayJobFiles::Result::BadName:
    case BatchbayJobFiles::Result::Outside:
        HXBLogger::instance()->logNormalWarn("uploadFile", "job: " + job->jobId,
                                             "refused file name " + name + ": " + error);
        answer(response, 400, "Bad Request", "invalid filename: it leads out of the job directory");
        return;
    default:
        HXBLogger::instance()->logNormalWarn("uploadFile", "job: " + job->jobId,
                                             "could not store file " + name + ": " + error);
        answer(response, 500, "Internal Server Error",
               QByteArray("upload not stored: ") + QByteArray::fromStdString(error));
        return;
    }
}

void BatchbayHandler::getOutputFileList(const std::shared_ptr<Job> &job, HttpResponse &response)
{
    HXBLogger::instance()->logNormalInfo("getOutputFileList", "request outputfilelist for Job",
                                         job->jobId);
    const BatchbayJobFiles files(job->getJobDir());
    const std::set<std::string> names = files.listMatches(job->outputFiles);
    nlohmann::json list = nlohmann::json::array();
    for (const std::string &name : names)
        list.push_back(name);
    response.write(
        QByteArray::fromStdString(quicktype::toJsonText(nlohmann::json {{"files", list}})));
}

void BatchbayHandler::getOutputFile(HttpRequest &request, HttpResponse &response,
                                    std::shared_ptr<Job> &job)
{
    const std::string name = request.getHeader("filename").toStdString();
    const BatchbayJobFiles files(job->getJobDir());
    std::string path;
    switch (files.locate(name, path)) {
    case BatchbayJobFiles::Result::Ok:
        break;
    case BatchbayJobFiles::Result::BadName:
    case BatchbayJobFiles::Result::Outside:
        HXBLogger::instance()->logNormalWarn("getOutputFile", "job: " + job->jobId,
                                             "refused file name " + name);
        answer(response, 400, "Bad Request",
               "invalid filename: a relative path inside the job directory is required");
        return;
    default:
        HXBLogger::instance()->logNormalWarn("getOutputFile", "requested non exising file", name);
        response.setStatus(200, "OK");
        return;
    }

    // Opened by its byte path (names on disk need not be valid UTF-8), and checked once open:
    // the job may have swapped the file for a link or a FIFO since it was located.
    std::string error;
    const int fd = files.openInside(path, error);
    struct stat status
    {
    };
    QFile file;
    if (fd < 0 || ::fstat(fd, &status) != 0
        || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        if (fd >= 0)
            ::close(fd);
        HXBLogger::instance()->logNormalWarn("getOutputFile", "job: " + job->jobId,
                                             "cannot open file " + name + ": " + error);
        answer(response, 500, "Internal Server Error", "file cannot be read");
        return;
    }
    HXBLogger::instance()->logNormalInfo("getOutputFile", "job: " + job->jobId,
                                         "send file " + name);
    response.setHeader("Content-Type", "application/octet-stream");
    response.setHeader("Content-Length", static_cast<qint64>(status.st_size));
    response.setStatus(200, "OK");
    while (!file.atEnd() && response.isConnected()) {
        const QByteArray chunk = file.read(sDownloadChunk);
        if (chunk.isEmpty() || !response.write(chunk))
            break;
    }
}
