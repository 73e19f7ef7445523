#pragma once

#include "xmlrpc/XmlRpcResponder.h"

#include <QString>
#include <QVariantMap>

#include <memory>
#include <string>

class Job;
class User;

// The object whose public slots answer the desktop client's XML-RPC methods
// ("sshResourceManager.*"). The XML-RPC layer finds the slots by name, so their names,
// parameter types and order are part of the wire contract; struct member names in the
// replies ("messsage", "Apps", "HasMore", ...) are what the client reads.
//
// One worker is built per request on the connection's thread for the authenticated caller;
// everything else lives in the job store, the jobs and the application catalogue. A job is
// reached by the same rule as over REST (claimOrAuthorize): a job that is not the caller's is
// refused with the fault ApplicationError "forbidden" (startJobv2 naming a stored job decides
// by mayReplace, the same rule); an unknown job ID gives a neutral answer. Without a caller
// every job is refused.
class BatchbayWorker : public XmlRpcResponder
{
    Q_OBJECT

public:
    explicit BatchbayWorker(std::shared_ptr<User> caller = {}, QObject *parent = nullptr);
    ~BatchbayWorker() override;

    // Bounds of a job description: larger counts are refused before anything is built.
    static constexpr int sMaxOutputFiles = 1000;
    static constexpr int sMaxTasks = 1000;
    static constexpr int sMaxArgs = 10000;
    // The log summary of one job shows this many arguments per task and tasks, then a count;
    // an argument is cut to sMaxLoggedArgLength characters.
    static constexpr int sMaxLoggedArgs = 20;
    static constexpr int sMaxLoggedTasks = 20;
    static constexpr int sMaxLoggedArgLength = 200;

    // The client's state number for a job state: 1 waiting for input; 2 to be submitted,
    // queued, running or to be cancelled; 3 finished; 5 failed, finalized or anything else.
    static int clientState(int state);

    // Reads a startJobv2 description into job (patterns, tasks, ID, names, run, removeFiles)
    // and sets summary to the log text. False, with error for the fault, when a count exceeds
    // the members the description holds or the bounds above (checked before anything is
    // built), or an output pattern leads out of the job directory. Touches nothing else.
    static bool readDescription(const QVariantMap &map, Job &job, std::string &summary,
                                QString &error);

public Q_SLOTS:
    // {"Apps": [app struct, ...], "HasMore": false, "HasMail": false, "ConfigAddress":
    // "internal"}; withAuth is not used.
    QVariantMap applicationList(int withAuth);
    // Builds a job in state "waiting for input" owned by the caller from the client's job
    // description, saves it and hands it to the controller. A job of the same ID is replaced
    // only when the caller may act on it (its owner stays the owner) and it still waits for
    // its input, else refused with ApplicationError. Refused with
    // InvalidParams: a count beyond the members the description holds or beyond the bounds
    // above, an output pattern that is absolute or has a ".." segment.
    QVariantMap startJob(QVariantMap map);
    // Asks for the job's cancellation (Job::requestCancel; a job that has ended stays as it
    // is); true whether or not the job exists.
    bool cancelJob(QString jobId);
    // The client's state number (clientState); 3 when task taskCount - 1 is a copy task,
    // 5 for an unknown job. Reads without the job's lock.
    int jobState(QString jobId, int taskCount);
    // {"hxbserver": true}: output files are fetched over this server's own port.
    QVariantMap outputServerPort();
    // The job's Slurm output (only a regular file inside the job directory is read); empty
    // for an unknown job.
    QString getStdOut(QString jobId);
    bool blockSchedule();
    bool unblockSchedule();

private:
    // The stored job if the caller may act on it (claiming an unowned one); null, with the
    // call refused, when not; null for an unknown ID.
    std::shared_ptr<Job> authorizedJob(const QString &jobId);

    std::shared_ptr<User> mCaller;
};
