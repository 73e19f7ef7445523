#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

class HttpRequest;
class HttpResponse;
class Job;
class User;

// Downloads the browser saves straight to disk, and the job and node details the front end
// shows beside the routes the desktop client uses.
//
// A browser download is a plain navigation, which carries no Authorization header. So the page
// first asks for a ticket with its Bearer token ("downloadTicket", POST), for one output file
// (header "filename") or for all of them as a ZIP archive (no header), and then opens
//     /batchbay/download/<jobId>?ticket=T       or      /batchbay/downloadAll/<jobId>?ticket=T
// A ticket is 256 random bits, names its user, job and file, lives 60 s and is used up by
// the first request that presents it; the user's right to the job is checked again then.
// The session token itself never appears in a URL.
//
// All functions run on the web server's connection threads, several at once.
class BatchbayJobDownloads
{
public:
    struct Ticket
    {
        int userId = -1;
        std::string jobId;
        std::string fileName; // empty: the whole archive
        std::chrono::steady_clock::time_point expires;
    };

    static constexpr std::chrono::seconds sTicketLifetime {60};
    // Outstanding tickets beyond this are refused (429) rather than kept.
    static constexpr std::size_t sMaxTickets = 10000;

    // A fresh ticket, or an empty string when too many are outstanding. Thread-safe.
    static std::string issue(int userId, const std::string &jobId, const std::string &fileName);
    // Takes the ticket out (whether or not it has expired): the ticket if it was valid.
    static std::optional<Ticket> redeem(const std::string &ticket);

    // "downloadTicket": answers {"ticket", "url", "expiresIn"} (200), 405 for a method other
    // than POST, 400 for a file name that is not a plain relative path, 404 when the file is
    // not a regular file inside the job directory, 429 when too many tickets are outstanding.
    // The caller has authorised user and job.
    static void issueTicket(HttpRequest &request, HttpResponse &response,
                            const std::shared_ptr<User> &user, const std::shared_ptr<Job> &job);
    // "download" and "downloadAll" with ?ticket=: needs no credentials. 403 "forbidden" when
    // the ticket is unknown, used, expired, for another job or file kind, or its user may no
    // longer act on the job; 404 when the job or file is gone. The file goes out with its
    // length, the archive in chunks, both as attachments.
    static void serveWithTicket(HttpRequest &request, HttpResponse &response, bool archive,
                                const std::string &jobId);

    // "outputFileSizes": {"files": [{"name", "size"}, ...]} of the files outputFileList
    // lists, sorted by name; a file that went away meanwhile is left out.
    static void outputFileSizes(const std::shared_ptr<Job> &job, HttpResponse &response);
    // "jobDescription": what the job was started with (application, arguments, Slurm options,
    // output patterns, names), so that a new job can be started like it.
    static void jobDescription(const std::shared_ptr<Job> &job, HttpResponse &response);
    // "nodeinfo": {"nodes": [...]} as BatchbayQueueInfo::describeNodes gives it, or 502 when
    // Slurm's answer cannot be had.
    static void nodeInfo(HttpResponse &response);

private:
    static std::mutex sTicketsMutex; // guards sTickets
    static std::unordered_map<std::string, Ticket> sTickets;
};
