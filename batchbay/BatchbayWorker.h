#pragma once

#include <QObject>
#include <QString>
#include <QVariantMap>

// The object whose public slots answer the desktop client's XML-RPC methods
// ("sshResourceManager.*"). The XML-RPC layer finds the slots by name, so their names,
// parameter types and order are part of the wire contract; struct member names in the
// replies ("messsage", "Apps", "HasMore", ...) are what the client reads.
//
// Holds no state: one worker is built per request on the connection's thread; everything
// lives in the job store, the jobs and the application catalogue. No slot raises a fault:
// an unknown job ID gives a neutral answer.
class BatchbayWorker : public QObject
{
    Q_OBJECT

public:
    explicit BatchbayWorker(QObject *parent = nullptr);
    ~BatchbayWorker() override;

    // The client's state number for a job state: 1 waiting for input; 2 to be submitted,
    // queued, running or to be cancelled; 3 finished; 5 failed, finalized or anything else.
    static int clientState(int state);

public Q_SLOTS:
    // {"Apps": [app struct, ...], "HasMore": false, "HasMail": false, "ConfigAddress":
    // "internal"}; withAuth is not used.
    QVariantMap applicationList(int withAuth);
    // Builds a job in state "waiting for input" from the client's job description, saves it
    // (replacing a job of the same ID) and hands it to the controller. Never refuses.
    QVariantMap startJob(QVariantMap map);
    // Marks the job "tobecancelled" under its lock; true whether or not the job exists.
    bool cancelJob(QString jobId);
    // The client's state number (clientState); 3 when task taskCount - 1 is a copy task,
    // 5 for an unknown job. Reads without the job's lock.
    int jobState(QString jobId, int taskCount);
    // {"hxbserver": true}: output files are fetched over this server's own port.
    QVariantMap outputServerPort();
    // The job's Slurm output; empty for an unknown job.
    QString getStdOut(QString jobId);
    bool blockSchedule();
    bool unblockSchedule();
};
