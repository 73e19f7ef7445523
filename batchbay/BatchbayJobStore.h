#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

class Job;

// The registry of live jobs: job ID -> shared job, mirrored in the table BatchbayJOBS
// (job ID, Slurm ID and owner, one row per job) and, beside it, in BatchbayJOBDATA (job ID and
// the job's record, Job::toRecord), so that every job is shown and followed after a restart
// as it was before.
//
// Every operation may be called from any thread; each holds the store's recursive lock for
// its whole duration, database statements included. The store never takes a job's lock, so
// a caller may hold a job's lock while calling in (lock order: job, then store, then dbMutex).
//
// The in-memory map is updated whether or not the database takes the change. A row change
// that fails (the database is down, say) is remembered per job ID, the latest change winning
// (save the job's current row, or delete its rows), and catchUp() writes it later; so is a
// start-up that could not read the table. The first unsaved change and the catch-up are
// logged once each, not per job.
class BatchbayJobStore
{
public:
    using RecoveredJobHandler = std::function<void(const std::shared_ptr<Job> &)>;

    // The process-wide store, constructed on first call.
    static BatchbayJobStore *instance();

    // Creates BatchbayJOBS, BatchbayJOBDATA and the run-number table if needed and recovers
    // the jobs saved there: a job with a readable record as it was saved; a row without one
    // (written by an earlier version) in state "running" with only its job ID, Slurm ID and
    // owner set. Where the table holds several rows for one job ID (databases of older
    // versions did), the newest row counts (any, on a table without a row number) and the
    // others are dropped. onRecovered, when set, is called once per
    // recovered job. When the database cannot be read the store starts empty and catchUp()
    // recovers the jobs once it can.
    explicit BatchbayJobStore(const RecoveredJobHandler &onRecovered = {});
    BatchbayJobStore(const BatchbayJobStore &) = delete;
    BatchbayJobStore &operator=(const BatchbayJobStore &) = delete;

    // Creates the run-number table BatchbayJOBCOUNTER and its index if they do not exist.
    static bool createCounterTable();

    // Puts the job under its ID (replacing any other job of that ID) and replaces the ID's
    // rows by one row with its current Slurm ID and owner, in one transaction.
    void addOrUpdateJob(const std::shared_ptr<Job> &job);
    // addOrUpdateJob for a job the store still holds under its ID; nothing for a job that was
    // replaced or removed meanwhile. Within a SaveBatch on the calling thread, written when the
    // batch ends.
    void saveJob(const std::shared_ptr<Job> &job);

    // While one lives on a thread, saveJob there only notes the job; when it ends, every noted
    // job the store still holds is written with its record of that moment, all in one
    // transaction (a poll that changes a thousand jobs commits once, not a thousand times).
    // When that transaction fails, none is written and each is left for catchUp(). Nested
    // batches join the outermost.
    class SaveBatch
    {
    public:
        SaveBatch();
        ~SaveBatch();
        SaveBatch(const SaveBatch &) = delete;
        SaveBatch &operator=(const SaveBatch &) = delete;

    private:
        friend class BatchbayJobStore;
        BatchbayJobStore *mStore = nullptr; // the store of the first job noted
        std::vector<std::shared_ptr<Job>> mJobs;
        bool mOutermost = false;
    };
    // The same, unless a job of that ID is stored and mayReplace refuses it: then nothing
    // changes and the answer is false. The lookup and the replacement are one step under the
    // store's lock, which mayReplace runs under: it must not take a job's lock.
    bool addOrReplaceJob(const std::shared_ptr<Job> &job,
                         const std::function<bool(const std::shared_ptr<Job> &existing)> &mayReplace);
    // Forgets the job and deletes its rows; an unknown ID only runs the delete.
    void removeJob(const std::string &jobId);
    // Null for an unknown ID.
    std::shared_ptr<Job> getJobById(const std::string &jobId);
    // A copy of the map; the jobs are shared, not copied.
    std::unordered_map<std::string, std::shared_ptr<Job>> getAllJobs() const;

    // Whether a start-up step or a row change is still to be written; takes no lock.
    bool hasPendingWork() const { return mPendingWork.load(); }
    // Number of job IDs whose last row change is not yet in the database.
    size_t unsavedCount() const;
    // Does what failed before, once the database answers again: the start-up (the tables and
    // the recovery of the saved jobs, where a job ID the store already holds or has an unsaved
    // change for keeps what the store has), then each unsaved row change. A database whose
    // connection does not open is left alone. Stops at the first failure, keeping the rest
    // for the next call. True when nothing is left to do.
    bool catchUp();

private:
    bool startUp();
    bool recover();
    // The job's row written in one transaction (delete, then insert); false when it was not.
    bool writeRow(const Job &job);
    bool deleteRows(const std::string &jobId);
    void writeBatch(const std::vector<std::shared_ptr<Job>> &jobs);
    // Bookkeeping after a row change of jobId was written or failed. The caller holds mLock.
    void noteWritten(const std::string &jobId);
    void noteUnsaved(const std::string &jobId, bool remove);
    void updatePendingWork();

    enum class Change
    {
        Save,
        Delete
    };

    mutable std::recursive_mutex mLock;
    std::unordered_map<std::string, std::shared_ptr<Job>> mJobs;
    RecoveredJobHandler mOnRecovered;
    // The latest row change per job ID that the database did not take.
    std::unordered_map<std::string, Change> mUnsaved;
    // Unsaved changes written since the first of the present outage, for the log.
    size_t mWrittenLate = 0;
    bool mStartUpPending = false;
    std::atomic<bool> mPendingWork{false};
};
