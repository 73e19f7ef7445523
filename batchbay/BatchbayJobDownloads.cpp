#include "BatchbayJobDownloads.h"

#include "BatchbayJobArchive.h"
#include "BatchbayJobFiles.h"
#include "BatchbayJobOwnership.h"
#include "BatchbayJobStore.h"
#include "BatchbayQueueInfo.h"
#include "Job.h"
#include "httpserver/HttpRequest.h"
#include "httpserver/HttpResponse.h"
#include "log/HXBLogger.h"
#include "user/User.h"

#include <QRandomGenerator>
#include <QUrl>

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using nlohmann::json;

std::mutex BatchbayJobDownloads::sTicketsMutex;
std::unordered_map<std::string, BatchbayJobDownloads::Ticket> BatchbayJobDownloads::sTickets;

namespace {

constexpr char sLogCategory[] = "download";

void answer(HttpResponse &response, int status, const QByteArray &reason, const QByteArray &body)
{
    response.setStatus(status, reason);
    response.write(body);
}

void answerJson(HttpResponse &response, const json &value)
{
    response.setStatus(200, "OK");
    response.write(
        QByteArray::fromStdString(value.dump(-1, ' ', false, json::error_handler_t::replace)));
}

// Content-Disposition for a file saved under `name` (RFC 6266): an ASCII fallback and the
// name itself in UTF-8.
QByteArray attachment(const std::string &name)
{
    QByteArray fallback;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        fallback.append(byte < 0x20 || byte > 0x7e || c == '"' || c == '\\' || c == '/' ? '_' : c);
    }
    return "attachment; filename=\"" + fallback + "\"; filename*=UTF-8''"
        + QUrl::toPercentEncoding(QByteArray::fromStdString(name));
}

std::string baseName(const std::string &name)
{
    const std::string::size_type slash = name.rfind('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

} // namespace

std::string BatchbayJobDownloads::issue(int userId, const std::string &jobId,
                                        const std::string &fileName)
{
    const auto now = std::chrono::steady_clock::now();
    quint32 words[8];
    QRandomGenerator::system()->fillRange(words);
    const std::string ticket
        = QByteArray(reinterpret_cast<const char *>(words), sizeof(words))
              .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals)
              .toStdString();
    std::lock_guard<std::mutex> lock(sTicketsMutex);
    for (auto it = sTickets.begin(); it != sTickets.end();) {
        if (it->second.expires <= now)
            it = sTickets.erase(it);
        else
            ++it;
    }
    if (sTickets.size() >= sMaxTickets)
        return {};
    sTickets[ticket] = Ticket {userId, jobId, fileName, now + sTicketLifetime};
    return ticket;
}

std::optional<BatchbayJobDownloads::Ticket> BatchbayJobDownloads::redeem(const std::string &ticket)
{
    std::lock_guard<std::mutex> lock(sTicketsMutex);
    const auto it = sTickets.find(ticket);
    if (it == sTickets.end())
        return std::nullopt;
    Ticket found = std::move(it->second);
    sTickets.erase(it);
    if (found.expires <= std::chrono::steady_clock::now())
        return std::nullopt;
    return found;
}

void BatchbayJobDownloads::issueTicket(HttpRequest &request, HttpResponse &response,
                                       const std::shared_ptr<User> &user,
                                       const std::shared_ptr<Job> &job)
{
    if (request.getMethod() != "POST") {
        response.setHeader("Allow", "POST");
        answer(response, 405, "Method Not Allowed", "a ticket is asked for with POST");
        return;
    }
    const std::string name = request.getHeader("filename").toStdString();
    if (!name.empty()) {
        std::string path;
        switch (BatchbayJobFiles(job->getJobDir()).locate(name, path)) {
        case BatchbayJobFiles::Result::Ok:
            break;
        case BatchbayJobFiles::Result::BadName:
        case BatchbayJobFiles::Result::Outside:
            answer(response, 400, "Bad Request",
                   "invalid filename: a relative path inside the job directory is required");
            return;
        default:
            answer(response, 404, "Not Found", "no such output file");
            return;
        }
    }
    const std::string ticket = issue(user->getId(), job->jobId, name);
    if (ticket.empty()) {
        answer(response, 429, "Too Many Requests", "too many downloads are waiting to start");
        return;
    }
    const QByteArray id = QUrl::toPercentEncoding(QByteArray::fromStdString(job->jobId));
    const QByteArray url = (name.empty() ? "/batchbay/downloadAll/" : "/batchbay/download/") + id
        + "?ticket=" + QByteArray::fromStdString(ticket);
    answerJson(response,
               json {{"ticket", ticket},
                     {"url", url.toStdString()},
                     {"expiresIn", sTicketLifetime.count()}});
}

void BatchbayJobDownloads::serveWithTicket(HttpRequest &request, HttpResponse &response,
                                           bool archive, const std::string &jobId)
{
    const std::optional<Ticket> ticket = redeem(request.getParameter("ticket").toStdString());
    const std::shared_ptr<User> user = ticket ? User::getUserById(ticket->userId) : nullptr;
    if (!ticket || ticket->jobId != jobId || ticket->fileName.empty() != archive || !user) {
        answer(response, 403, "forbidden", "forbidden: the download ticket is not valid");
        return;
    }
    const std::shared_ptr<Job> job = BatchbayJobStore::instance()->getJobById(jobId);
    if (!job) {
        answer(response, 404, "Job not found", "JobNotFound");
        return;
    }
    if (!canActOn(user, job)) {
        HXBLogger::instance()->logNormalWarn("service", "forbidden job access", job->jobId);
        answer(response, 403, "forbidden", "forbidden");
        return;
    }
    const BatchbayJobFiles files(job->getJobDir());

    if (archive) {
        const std::set<std::string> names = files.listMatches(job->outputFiles);
        HXBLogger::instance()->logNormalInfo(sLogCategory, "job: " + job->jobId,
                                             "send archive of " + std::to_string(names.size())
                                                 + " file(s)");
        response.setHeader("Content-Type", "application/zip");
        response.setHeader("Content-Disposition", attachment(job->jobId + ".zip"));
        response.setHeader("Cache-Control", "no-store");
        response.setStatus(200, "OK");
        const BatchbayJobArchive::Result result
            = BatchbayJobArchive::write(files, names, [&response](const QByteArray &bytes) {
                  return response.isConnected() && response.write(bytes);
              });
        if (!result.complete)
            HXBLogger::instance()->logNormalWarn(sLogCategory, "job: " + job->jobId,
                                                 "archive not completed: client gone");
        return;
    }

    std::string path;
    if (files.locate(ticket->fileName, path) != BatchbayJobFiles::Result::Ok) {
        answer(response, 404, "Not Found", "no such output file");
        return;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status
    {
    };
    if (fd < 0 || ::fstat(fd, &status) != 0) {
        if (fd >= 0)
            ::close(fd);
        answer(response, 500, "Internal Server Error", "file cannot be read");
        return;
    }
    HXBLogger::instance()->logNormalInfo(sLogCategory, "job: " + job->jobId,
                                         "send file " + ticket->fileName);
    response.setHeader("Content-Type", "application/octet-stream");
    response.setHeader("Content-Disposition", attachment(baseName(ticket->fileName)));
    response.setHeader("Cache-Control", "no-store");
    response.setStatus(200, "OK");
    response.writeFile(fd, 0, status.st_size);
    ::close(fd);
}

void BatchbayJobDownloads::outputFileSizes(const std::shared_ptr<Job> &job, HttpResponse &response)
{
    const BatchbayJobFiles files(job->getJobDir());
    json list = json::array();
    for (const std::string &name : files.listMatches(job->outputFiles)) {
        std::string path;
        struct stat status
        {
        };
        if (files.locate(name, path) != BatchbayJobFiles::Result::Ok
            || ::stat(path.c_str(), &status) != 0)
            continue;
        list.push_back({{"name", name}, {"size", static_cast<qint64>(status.st_size)}});
    }
    answerJson(response, json {{"files", list}});
}

void BatchbayJobDownloads::jobDescription(const std::shared_ptr<Job> &job, HttpResponse &response)
{
    json description;
    {
        std::lock_guard<std::recursive_mutex> lock(job->mutex);
        json tasks = json::array();
        for (const Task &task : job->tasks) {
            if (task.type != 1)
                continue;
            json entry {{"applicationId", task.applicationId},
                        {"args", task.args},
                        {"numberOfTasks", task.numberOfTasks},
                        {"numberOfNodes", task.numberOfNodes},
                        {"numberOfCPUsPerTask", task.numberOfCPUsPerTask},
                        {"partitionName", task.partitionName}};
            entry["priority"] = task.hasPriority ? json(task.priority) : json(nullptr);
            tasks.push_back(std::move(entry));
        }
        description = {{"jobId", job->jobId},
                       {"projectName", job->projectName},
                       {"designName", job->designName},
                       {"runName", job->runName},
                       {"maxRunTime", job->maxRunTime},
                       {"removeFiles", job->removeFiles},
                       {"outputFiles", job->outputFiles},
                       {"tasks", tasks}};
    }
    answerJson(response, description);
}

void BatchbayJobDownloads::nodeInfo(HttpResponse &response)
{
    QString error;
    const std::optional<json> nodes = BatchbayQueueInfo::fetchNodes(&error);
    if (!nodes) {
        answer(response, 502, "Bad Gateway", "slurm unavailable");
        return;
    }
    answerJson(response, json {{"nodes", BatchbayQueueInfo::describeNodes(*nodes)}});
}
