#pragma once

#include "module/HXBModule.h"
#include "web/HXBRequestHandler.h"

#include <memory>
#include <string>

class Job;
class User;

// The bridge's module and its REST handler behind "/RPC2", "/batchbay" and "/sshrm".
//
// Its one instance is created while libbatchbay is loaded, which registers the module after
// the core's; doInit() runs once during server start-up: it opens the job store (creating the
// job and run-number tables, recovering saved jobs), builds the application catalogue,
// starts the controller, whose passes finish whatever of that the database did not take, and
// registers the XML-RPC methods and the routes.
//
// Every request but a pre-flight ("OPTIONS") needs Basic or Bearer credentials (401
// otherwise, "/RPC2" included). The command is found in the path without its last segment:
//     jobinfo, queueinfo, RPC2, then the per-job words uploadFile, finishedUploading,
//     finalize, cancel, outputFileList, getOutputFile, downloadTicket, downloadAll, download,
//     outputFileSizes, jobDescription, and last nodeinfo (no job)
// in that order (the last six are BatchbayJobDownloads'; download and downloadAll take a
// ticket instead of credentials); the last segment is the job ID, so an ID that contains a
// command word is never taken for the command. Only when the path before it names no command
// may the last segment itself be "jobinfo", "queueinfo", "RPC2" or "nodeinfo". Per-job
// commands need the job (404 "Job not found") and the right to act on it (403 "forbidden");
// the first user to touch an unowned job becomes its owner.
//
// Stateless; service() runs on many connection threads at once and never throws.
class BatchbayHandler : public HXBRequestHandler, public HXBModule
{
public:
    BatchbayHandler();
    ~BatchbayHandler() override;

    static std::shared_ptr<BatchbayHandler> instance();

    void service(const std::string &path, HttpRequest &request, HttpResponse &response) override;
    // Before the body: 401 (429 while a Basic log-in must wait) without valid credentials;
    // then uploads up to the listener's limit, "/RPC2" 16 MiB, other commands 1 MiB.
    HttpBodyPolicy bodyPolicy(const std::string &path, const HttpRequest &request) override;

    // {"jobs": [...]} of the jobs the settings' visibility lets the user see (1: all in full;
    // 2: others' jobs with four members "(hidden)"; 3: only the user's own). Administrators
    // see every job in full.
    void getJobList(HttpResponse &response, const std::shared_ptr<User> &user);
    // The cluster's queue figures as JSON (200), or 502 "Bad Gateway" with the body
    // "slurm unavailable" when they cannot be read.
    void getQueueInfo(HttpResponse &response);
    // Stores the request body as the file named by the header "filename" inside the job
    // directory: 200, 400 for a name that is not a plain relative path inside it, 500 when
    // the file cannot be stored (nothing is then left under the name).
    void uploadFile(HttpRequest &request, HttpResponse &response, std::shared_ptr<Job> &job);
    // {"files": [...]}: the files matching the job's output patterns, relative to its
    // directory.
    void getOutputFileList(const std::shared_ptr<Job> &job, HttpResponse &response);
    // Streams the file named by the header "filename" with Content-Length, in 64 KiB pieces,
    // until the client goes away. A missing file gives an empty 200 answer; a name leading
    // out of the job directory 400.
    void getOutputFile(HttpRequest &request, HttpResponse &response, std::shared_ptr<Job> &job);

    // Owned here from library load on; constructing it registers the module.
    static std::shared_ptr<BatchbayHandler> mpInstance;

protected:
    void doInit() override;

private:
    // Registration of the eight XML-RPC methods with their slots, and one call answered by a
    // fresh BatchbayWorker acting for the authenticated user.
    static void registerXmlRpcMethods();
    static void serveXmlRpc(HttpRequest &request, HttpResponse &response,
                            const std::shared_ptr<User> &user);
};
