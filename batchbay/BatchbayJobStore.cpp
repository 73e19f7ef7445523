#include "BatchbayJobStore.h"

#include "BatchbayCtrl.h"
#include "Job.h"
#include "db/HXBDB.h"
#include "db/HXBQuery.h"
#include "log/HXBLogger.h"
#include "util/HXBStringUtils.h"

#include <QVariant>

#include <vector>

BatchbayJobStore *BatchbayJobStore::instance()
{
    // Recovered jobs go to the controller, which is created by the first of them only.
    static BatchbayJobStore store(
        [](const std::shared_ptr<Job> &job) { BatchbayCtrl::instance()->push(job); });
    return &store;
}

BatchbayJobStore::BatchbayJobStore(const RecoveredJobHandler &onRecovered)
{
    HXBDB::getQuery().write(QStringLiteral(
        "CREATE TABLE IF NOT EXISTS BatchbayJOBS (slurmId INTEGER ,jobId MEDIUMTEXT ,ownerId INTEGER DEFAULT -1);"));
    recover(onRecovered);
}

void BatchbayJobStore::createCounterTable()
{
    HXBDB::getQuery().write(QStringLiteral(
        "CREATE TABLE IF NOT EXISTS BatchbayJOBCOUNTER (id INTEGER PRIMARY KEY AUTOINCREMENT,miradoId MEDIUMTEXT);"));
    HXBDB::getQuery().write(
        QStringLiteral("CREATE INDEX IF NOT EXISTS idx_miradoid ON BatchbayJOBCOUNTER (miradoId)"));
}

void BatchbayJobStore::recover(const RecoveredJobHandler &onRecovered)
{
    // Row IDs are handed out in insertion order (SQLite's implicit rowid, an auto-increment
    // column of that name on MariaDB), so the last row read for an ID is the newest.
    HXBQuery query = HXBDB::getQuery();
    if (!query.read(QStringLiteral("SELECT slurmId, jobId, ownerId FROM BatchbayJOBS ORDER BY rowid;")))
        return;

    std::lock_guard<std::recursive_mutex> lock(mLock);
    std::vector<std::shared_ptr<Job>> recovered;
    // Position in recovered of each job ID, so that tables with many duplicates load fast.
    std::unordered_map<std::string, size_t> position;
    size_t rows = 0;
    while (query.next()) {
        ++rows;
        auto job = std::make_shared<Job>();
        job->slurmId = query.value(0).toInt();
        job->jobId = S(query.value(1).toString());
        job->ownerId = query.value(2).toInt();
        job->state = JobRunning;
        const auto [found, added] = position.emplace(job->jobId, recovered.size());
        if (added)
            recovered.push_back(job);
        else
            recovered[found->second] = job; // an older row of the same job: the newer one wins
        mJobs[job->jobId] = job;
    }
    query.finish();

    if (rows > recovered.size()) {
        HXBDB::getQuery().write(QStringLiteral(
            "DELETE FROM BatchbayJOBS WHERE rowid NOT IN (SELECT MAX(rowid) FROM BatchbayJOBS GROUP BY jobId);"));
    }

    HXBLogger *log = HXBLogger::instance();
    for (const auto &job : recovered) {
        log->logNormalInfo("BatchbayJobStore", "recovered Job",
                           fromNumber(int(job->slurmId)) + " --> " + job->jobId);
        if (onRecovered)
            onRecovered(job);
    }
}

void BatchbayJobStore::addOrUpdateJob(const std::shared_ptr<Job> &job)
{
    if (!job)
        return;
    std::lock_guard<std::recursive_mutex> lock(mLock);
    mJobs[job->jobId] = job;

    // Delete and insert must not interleave with other writers, so the write lock is held
    // for the whole transaction (it would otherwise be taken per statement only).
    std::lock_guard<std::recursive_mutex> writeLock(dbMutex);
    const bool outermost = transactionCount() == 0;
    HXBDB::startTransaction();

    HXBQuery remove = HXBDB::getQuery();
    remove.prepare(QStringLiteral("DELETE FROM BatchbayJOBS WHERE jobId = ?;"));
    remove.addBindValue(Q(job->jobId));
    bool saved = remove.write();
    if (saved) {
        HXBQuery insert = HXBDB::getQuery();
        insert.prepare(QStringLiteral("INSERT INTO BatchbayJOBS(jobId,slurmId,ownerId) VALUES(?,?,?);"));
        insert.addBindValue(Q(job->jobId));
        insert.addBindValue(int(job->slurmId));
        insert.addBindValue(int(job->ownerId));
        saved = insert.write();
    }

    if (!saved && outermost) {
        // Keep the job's previous row rather than lose it.
        HXBDB::getDB().rollback();
        transactionCount() = 0;
        HXBLogger::instance()->logNormalWarn("BatchbayJobStore", "could not save job", job->jobId);
    } else {
        HXBDB::commit();
    }
}

void BatchbayJobStore::removeJob(const std::string &jobId)
{
    std::lock_guard<std::recursive_mutex> lock(mLock);
    mJobs.erase(jobId);
    HXBQuery remove = HXBDB::getQuery();
    remove.prepare(QStringLiteral("DELETE FROM BatchbayJOBS WHERE jobId = ?;"));
    remove.addBindValue(Q(jobId));
    remove.write();
}

std::shared_ptr<Job> BatchbayJobStore::getJobById(const std::string &jobId)
{
    std::lock_guard<std::recursive_mutex> lock(mLock);
    const auto found = mJobs.find(jobId);
    return found == mJobs.end() ? nullptr : found->second;
}

std::unordered_map<std::string, std::shared_ptr<Job>> BatchbayJobStore::getAllJobs() const
{
    std::lock_guard<std::recursive_mutex> lock(mLock);
    return mJobs;
}
