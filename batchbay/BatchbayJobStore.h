#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

class Job;

// The registry of live jobs: job ID -> shared job, mirrored in the table BatchbayJOBS
// (job ID, Slurm ID and owner, one row per job) so that jobs on Slurm can be picked up again
// after a restart.
//
// Every operation may be called from any thread; each holds the store's recursive lock for
// its whole duration, database statements included. The store never takes a job's lock, so
// a caller may hold a job's lock while calling in (lock order: job, then store, then dbMutex).
// Database failures are logged by the query; the in-memory map is updated regardless.
class BatchbayJobStore
{
public:
    using RecoveredJobHandler = std::function<void(const std::shared_ptr<Job> &)>;

    // The process-wide store, constructed on first call.
    static BatchbayJobStore *instance();

    // Creates BatchbayJOBS if needed and recovers the jobs saved there, each in state
    // "running" with only its job ID, Slurm ID and owner set. Where the table holds several
    // rows for one job ID (databases of older versions did), the newest row counts and the
    // older ones are dropped. onRecovered, when set, is called once per recovered job.
    explicit BatchbayJobStore(const RecoveredJobHandler &onRecovered = {});
    BatchbayJobStore(const BatchbayJobStore &) = delete;
    BatchbayJobStore &operator=(const BatchbayJobStore &) = delete;

    // Creates the run-number table BatchbayJOBCOUNTER and its index if they do not exist.
    static void createCounterTable();

    // Puts the job under its ID (replacing any other job of that ID) and replaces the ID's
    // rows by one row with its current Slurm ID and owner, in one transaction.
    void addOrUpdateJob(const std::shared_ptr<Job> &job);
    // Forgets the job and deletes its rows; an unknown ID only runs the delete.
    void removeJob(const std::string &jobId);
    // Null for an unknown ID.
    std::shared_ptr<Job> getJobById(const std::string &jobId);
    // A copy of the map; the jobs are shared, not copied.
    std::unordered_map<std::string, std::shared_ptr<Job>> getAllJobs() const;

private:
    void recover(const RecoveredJobHandler &onRecovered);

    mutable std::recursive_mutex mLock;
    std::unordered_map<std::string, std::shared_ptr<Job>> mJobs;
};
