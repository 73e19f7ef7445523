#pragma once

#include "quicktype/Job.h"

#include <QtGlobal>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class BatchbaySettings;
class QByteArray;
class SlurmQueueSnapshot;
struct SlurmCommandResult;
struct SlurmJobReading;

// The states of a job; stateName() gives the name shown to clients.
enum JobState : int {
    JobWaitingForInput = 0,
    JobToBeSubmitted = 1,
    JobQueued = 2,
    JobRunning = 3,
    JobFinished = 4,
    JobToBeCancelled = 5,
    JobFailed = 6,
    JobFinalized = 7,
};

// One task of a job, as the desktop client sent it. Type 1 is a process task (runs the
// catalogue application applicationId), type 0 a copy task. A default task is a process task
// of application 0 with nothing else given.
struct Task
{
    int type = 1;
    int applicationId = 0;
    std::vector<std::string> args;
    std::string source;
    std::string target;
    std::string relPath;
    int numberOfTasks = 0;
    int priority = 0;
    bool hasPriority = false;
    int numberOfNodes = 0;
    int numberOfCPUsPerTask = 0;
    std::string partitionName;
};

// The bridge's record of one client job. Always created with std::make_shared and shared by
// the job store, the controller's queue and the request handlers.
//
// Life cycle. Requests (REST, XML-RPC) and the controller's job thread move a job, each under
// the job's lock, so neither overwrites what the other did:
//   waiting for input --requestSubmit (finishedUploading)--> tobesubmitted
//   tobesubmitted --start (job thread, sbatch)--> queued, or failed when Slurm refused it
//   queued, running --poll (job thread)--> queued, running, finished or failed
//   any state that has not ended --requestCancel--> tobecancelled --cancel--> failed
//   any state --requestFinalize--> finalized; the controller then cancels the Slurm job when it
//       may still run (finalizeOnSlurm), and removes the job (cleanup)
// Refused (the request returns false and changes nothing): requestSubmit of a job that does not
// wait for input (a job is never submitted twice), requestCancel of a job that has ended
// (finished, failed, finalized). The job thread acts only on the state it was given the job
// for: start() on "tobesubmitted", cancel() on "tobecancelled", a poll on "queued"/"running".
// Every change is saved in the job store (save()).
//
// Threads: state, slurmId and ownerId may be read without a lock from any thread. The other
// fields are set while the job is created, by the operation that owns them, or under mutex;
// jobDir, node and stdOutPath change on the job thread while others read them: read them
// through getJobDir(), getNode(), getStdOutPath() or getJobInfo().
// Lock order: mutex, then sJobIdMutex, then dbMutex; mutex, then the job store's lock.
class Job : public std::enable_shared_from_this<Job>
{
public:
    Job() = default;
    Job(const Job &) = delete;
    Job &operator=(const Job &) = delete;

    // "waiting for input", "tobesubmitted", ... ; "unknown" outside 0 to 7.
    static std::string stateName(int state);

    // The job-info record; looks the owner's name up afresh. Takes no lock of the job.
    quicktype::Job getJobInfo() const;

    // The job directory, always ending in "/". The first call resolves it below the work
    // directory of BatchbaySettings::instance(), creates it and stores it; later calls
    // return the stored value without touching the disk or the database. Takes mutex.
    std::string getJobDir();
    // The same against the given settings. With "Core/removeInputDir" an existing directory
    // is emptied and reused, unless it is, or lies above, another stored job's directory:
    // then a numbered directory is used instead.
    std::string getJobDir(const BatchbaySettings &settings);
    // The job directory as resolved so far (empty before getJobDir); takes only the field
    // lock, so any thread may call it while holding other jobs' locks.
    std::string getStoredJobDir() const;

    // Hands the job to Slurm with sbatch: state 2 ("queued") with its Slurm ID, or 6
    // ("failed"); unchanged when the job's lock is busy. Runs on the controller's job thread.
    void start();
    // Polls Slurm once for the job (states 2 and 3 only) and updates state, node and the
    // output path. Only tries the lock. Runs on the controller's job thread.
    void checkFinished();
    // The same with the job's entry in an answer of squeue taken for several jobs at once.
    void checkFinished(const SlurmQueueSnapshot &snapshot);
    // Cancels the Slurm job, if there is one; state 6, and the reason names who asked
    // (requestCancel). Only in state "tobecancelled". Waits for the lock.
    void cancel();
    // The requests of the life cycle above; each waits for the lock and saves the change.
    // requestCancel names the user who asked (empty when not known) in the reason.
    bool requestSubmit();
    bool requestCancel(const std::string &userName);
    void requestFinalize();
    // For a finalised job: cancels its Slurm job when it may still run. Job thread.
    void finalizeOnSlurm();
    // Whether finalizeOnSlurm has a Slurm job to cancel; any thread.
    bool cancelsOnSlurm() const;
    // Writes the job's current state to the job store, unless the store holds another job
    // under its ID by now. Takes the store's lock.
    void save();

    // The job as saved beside its row of BatchbayJOBS (JSON text): everything a restart needs
    // to show and follow it as it was. fromRecord fills a job recovered from its row; false
    // (nothing changed) for text it cannot read.
    std::string toRecord() const;
    bool fromRecord(const std::string &text);

    // The comment every Slurm job of ours carries, so that a job whose submission answer was
    // lost (sbatch timed out, or the server died before saving its ID) is found again.
    std::string slurmComment() const { return "hxb:" + jobId; }
    // Removes the job's directory (when removeFiles) and the job from the store. Takes no lock.
    void cleanup();
    // The same against the given settings.
    void cleanup(const BatchbaySettings &settings);
    // The job's Slurm output as recorded by the last good poll; empty while none is known.
    // At most sMaxStdOutBytes: of a longer file the end is returned. Any thread.
    std::string getStdOut() const;
    // Node list and output path as of the last good poll; safe from any thread.
    std::string getNode() const;
    std::string getStdOutPath() const;
    // Exit code (-1 while unknown) and reason as last learnt; safe from any thread.
    int getExitCode() const;
    std::string getReason() const;
    void setOutcome(int exitCode, const std::string &reason);

    static constexpr qint64 sMaxStdOutBytes = 64LL * 1024 * 1024;
    // Reading errors give a job up as failed only when Slurm answers but its entry cannot be
    // read this many times in a row, or when no answer about it could be read for
    // sReadingErrorGraceSeconds (a controller that is down for hours fails nothing before).
    static constexpr int sMaxReadingErrors = 100;
    static constexpr qint64 sReadingErrorGraceSeconds = 24 * 3600;

    // Applies one reading of Slurm's queue to the job, as checkFinished does after polling.
    // A job Slurm does not list is "finished", and its reason says its end was not seen:
    // checkFinished first asks the controller about it (settleUnlisted). The caller holds mutex.
    void applyReading(const SlurmJobReading &reading);

    // The Slurm ID in sbatch's answer: the number after "Submitted batch job" ("... job 42 on
    // cluster alpha"), else the number the answer's last word holds; 0 when there is none.
    static int slurmIdFromAnswer(const QByteArray &answer);
    // Why a submission failed in sbatch's own words: its first error line without the
    // "sbatch: error: " prefix, else its first line; a text of ours when it did not answer.
    static std::string submissionFailure(const SlurmCommandResult &result);

    // What the reason says of a job Slurm forgot before its end was seen.
    static constexpr const char *sUnlistedReason
        = "Slurm no longer lists the job: how it ended is not known";

    std::recursive_mutex mutex;
    std::atomic<int> state{JobWaitingForInput};
    std::string jobId;
    std::vector<std::string> outputFiles;
    int maxRunTime = 0;
    std::vector<Task> tasks;
    std::string projectName;
    std::string designName;
    bool removeFiles = false;
    std::atomic<int> slurmId{-1};
    int receivedTimestamp = 0;
    int startedTimestamp = 0;
    int parseErrorCount = 0;
    // When the present run of reading errors began (ms since the epoch), 0 without one.
    qint64 readingErrorsSinceMs = 0;
    std::atomic<int> ownerId{-1};
    // Set when startJobv2 replaced this job by another of its ID: it leaves the controller.
    std::atomic<bool> replaced{false};
    std::string runId;
    std::string runName;
    std::string jobDir;
    std::string stdOutPath;
    std::string node;

    // Serialises the allocation of run numbers in BatchbayJOBCOUNTER.
    static std::mutex sJobIdMutex;

private:
    // Tries the lock for a poll; false (lock released or never taken) when the job's lock is
    // busy or its state is not one that is polled.
    bool lockForPoll(std::unique_lock<std::recursive_mutex> &lock);

    // A reading of NotFound is replaced by what `scontrol show job` still knows of the job.
    SlurmJobReading settleUnlisted(const SlurmJobReading &reading) const;

    // Who asked for the cancellation; guarded by mFieldsMutex.
    std::string mCancelRequester;
    // Set under mutex: sbatch was started for the job (its Slurm job may exist even without an
    // ID), and a finalised job's Slurm job may still run.
    bool mSubmitAttempted = false;
    std::atomic<bool> mCancelOnSlurm{false};
    // The Slurm job carrying our comment, or 0; job thread, under mutex.
    int findSubmittedJob() const;
    int mExitCode = -1;
    std::string mReason;

    // Guards jobDir, node, stdOutPath, the exit code, the reason and the cancel requester, which readers on other threads (the job list, the
    // output request) read without the job's lock while the job thread writes them.
    mutable std::mutex mFieldsMutex;

    // The run number of runId, allocated in BatchbayJOBCOUNTER on first use of the run.
    int runNumber() const;
};
