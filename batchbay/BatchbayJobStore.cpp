#include "BatchbayJobStore.h"

#include "BatchbayCtrl.h"
#include "Job.h"
#include "db/HXBDB.h"
#include "db/HXBQuery.h"
#include "log/HXBLogger.h"
#include "util/HXBStringUtils.h"

#include <QVariant>

#include <unordered_set>
#include <vector>

BatchbayJobStore *BatchbayJobStore::instance()
{
    // Recovered jobs go to the controller, which is created by the first of them only.
    static BatchbayJobStore store(
        [](const std::shared_ptr<Job> &job) { BatchbayCtrl::instance()->push(job); });
    return &store;
}

BatchbayJobStore::BatchbayJobStore(const RecoveredJobHandler &onRecovered)
    : mOnRecovered(onRecovered)
{
    std::lock_guard<std::recursive_mutex> lock(mLock);
    if (startUp())
        return;
    mStartUpPending = true;
    mPendingWork = true;
    HXBLogger::instance()->logNormalCritical(
        "BatchbayJobStore", "could not read the saved jobs; they are recovered when the database answers", "");
}

bool BatchbayJobStore::createCounterTable()
{
    return HXBDB::getQuery().write(QStringLiteral(
               "CREATE TABLE IF NOT EXISTS BatchbayJOBCOUNTER (id INTEGER PRIMARY KEY AUTOINCREMENT,miradoId MEDIUMTEXT);"))
           && HXBDB::getQuery().write(
               QStringLiteral("CREATE INDEX IF NOT EXISTS idx_miradoid ON BatchbayJOBCOUNTER (miradoId)"));
}

bool BatchbayJobStore::startUp()
{
    return HXBDB::getQuery().write(QStringLiteral(
               "CREATE TABLE IF NOT EXISTS BatchbayJOBS (slurmId INTEGER ,jobId MEDIUMTEXT ,ownerId INTEGER DEFAULT -1);"))
           // Every save deletes the job's rows by ID: without an index each one reads the table.
           && HXBDB::getQuery().write(
               QStringLiteral("CREATE INDEX IF NOT EXISTS idx_jobs_jobid ON BatchbayJOBS (jobId)"))
           && HXBDB::getQuery().write(
               QStringLiteral("CREATE TABLE IF NOT EXISTS BatchbayJOBDATA (jobId MEDIUMTEXT ,data MEDIUMTEXT);"))
           && HXBDB::getQuery().write(
               QStringLiteral("CREATE INDEX IF NOT EXISTS idx_jobdata_jobid ON BatchbayJOBDATA (jobId)"))
           && createCounterTable() && recover();
}

bool BatchbayJobStore::recover()
{
    // Row IDs are handed out in insertion order (SQLite's implicit rowid, an auto-increment
    // column of that name on MariaDB), so the last row read for an ID is the newest.
    HXBQuery query = HXBDB::getQuery();
    bool ordered = query.read(QStringLiteral("SELECT slurmId, jobId, ownerId FROM BatchbayJOBS ORDER BY rowid;"));
    // A MariaDB table created by an earlier version has no row number: read it as it is.
    if (!ordered && !query.read(QStringLiteral("SELECT slurmId, jobId, ownerId FROM BatchbayJOBS;")))
        return false;

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
    }
    query.finish();

    std::unordered_map<std::string, std::string> records;
    HXBQuery data = HXBDB::getQuery();
    if (!data.read(QStringLiteral("SELECT jobId, data FROM BatchbayJOBDATA;")))
        return false;
    while (data.next())
        records[S(data.value(0).toString())] = S(data.value(1).toString());
    data.finish();

    HXBLogger *log = HXBLogger::instance();
    if (rows > recovered.size()) {
        if (ordered) {
            HXBDB::getQuery().write(QStringLiteral(
                "DELETE FROM BatchbayJOBS WHERE rowid NOT IN (SELECT MAX(rowid) FROM BatchbayJOBS GROUP BY jobId);"));
        } else {
            for (const auto &job : recovered)
                writeRow(*job);
        }
    }

    for (const auto &job : recovered) {
        if (const auto record = records.find(job->jobId); record != records.end()) {
            // The row's Slurm ID and owner are the ones written last, with the record.
            const int slurmId = job->slurmId;
            const int ownerId = job->ownerId;
            if (job->fromRecord(record->second)) {
                job->slurmId = slurmId;
                job->ownerId = ownerId;
            } else {
                log->logNormalWarn("BatchbayJobStore", "unreadable job record, job recovered as running",
                                   job->jobId);
            }
        }
    }

    for (const auto &job : recovered) {
        // Recovered late, after the database came back: a job the store took meanwhile, or one
        // whose rows are to be deleted, is newer than the row.
        if (mJobs.count(job->jobId) || mUnsaved.count(job->jobId))
            continue;
        mJobs[job->jobId] = job;
        log->logNormalInfo("BatchbayJobStore", "recovered Job",
                           fromNumber(int(job->slurmId)) + " --> " + job->jobId);
        if (mOnRecovered)
            mOnRecovered(job);
    }
    return true;
}

bool BatchbayJobStore::writeRow(const Job &job)
{
    // Delete and insert must not interleave with other writers, so the write lock is held
    // for the whole transaction (it would otherwise be taken per statement only).
    std::lock_guard<std::recursive_mutex> writeLock(dbMutex);
    const bool outermost = transactionCount() == 0;
    HXBDB::startTransaction();

    bool saved = deleteRows(job.jobId);
    if (saved) {
        HXBQuery insert = HXBDB::getQuery();
        insert.prepare(QStringLiteral("INSERT INTO BatchbayJOBS(jobId,slurmId,ownerId) VALUES(?,?,?);"));
        insert.addBindValue(Q(job.jobId));
        insert.addBindValue(int(job.slurmId));
        insert.addBindValue(int(job.ownerId));
        saved = insert.write();
    }
    if (saved) {
        HXBQuery insert = HXBDB::getQuery();
        insert.prepare(QStringLiteral("INSERT INTO BatchbayJOBDATA(jobId,data) VALUES(?,?);"));
        insert.addBindValue(Q(job.jobId));
        insert.addBindValue(Q(job.toRecord()));
        saved = insert.write();
    }

    if (!saved && outermost) {
        // Keep the job's previous row rather than lose it.
        HXBDB::getDB().rollback();
        transactionCount() = 0;
        return false;
    }
    // Only the outermost commit reaches the database; a failed one leaves the row unsaved
    // (or saved after all: writing it again still leaves one row).
    const bool committed = HXBDB::commit();
    return saved && (committed || !outermost);
}

bool BatchbayJobStore::deleteRows(const std::string &jobId)
{
    HXBQuery remove = HXBDB::getQuery();
    remove.prepare(QStringLiteral("DELETE FROM BatchbayJOBS WHERE jobId = ?;"));
    remove.addBindValue(Q(jobId));
    if (!remove.write())
        return false;
    HXBQuery removeData = HXBDB::getQuery();
    removeData.prepare(QStringLiteral("DELETE FROM BatchbayJOBDATA WHERE jobId = ?;"));
    removeData.addBindValue(Q(jobId));
    return removeData.write();
}

void BatchbayJobStore::noteWritten(const std::string &jobId)
{
    if (mUnsaved.erase(jobId) == 0)
        return;
    ++mWrittenLate;
    updatePendingWork();
    if (mUnsaved.empty()) {
        HXBLogger::instance()->logNormalWarn("BatchbayJobStore", "unsaved job rows written",
                                             fromNumber(int(mWrittenLate)) + " job(s)");
        mWrittenLate = 0;
    }
}

void BatchbayJobStore::noteUnsaved(const std::string &jobId, bool remove)
{
    if (mUnsaved.empty()) {
        HXBLogger::instance()->logNormalCritical(
            "BatchbayJobStore", "could not save job rows; kept in memory and written when the database answers",
            "first: " + jobId);
    }
    mUnsaved[jobId] = remove ? Change::Delete : Change::Save;
    updatePendingWork();
}

void BatchbayJobStore::updatePendingWork()
{
    mPendingWork = mStartUpPending || !mUnsaved.empty();
}

void BatchbayJobStore::addOrUpdateJob(const std::shared_ptr<Job> &job)
{
    if (!job)
        return;
    std::lock_guard<std::recursive_mutex> lock(mLock);
    mJobs[job->jobId] = job;
    if (writeRow(*job))
        noteWritten(job->jobId);
    else
        noteUnsaved(job->jobId, false);
}

namespace {

// The outermost SaveBatch of the thread, if any.
thread_local BatchbayJobStore::SaveBatch *tSaveBatch = nullptr;

} // namespace

BatchbayJobStore::SaveBatch::SaveBatch()
    : mOutermost(tSaveBatch == nullptr)
{
    if (mOutermost)
        tSaveBatch = this;
}

BatchbayJobStore::SaveBatch::~SaveBatch()
{
    if (!mOutermost)
        return;
    tSaveBatch = nullptr;
    if (mStore)
        mStore->writeBatch(mJobs);
}

void BatchbayJobStore::writeBatch(const std::vector<std::shared_ptr<Job>> &jobs)
{
    std::lock_guard<std::recursive_mutex> lock(mLock);
    // Each job the store still holds, once.
    std::vector<const Job *> held;
    std::unordered_set<const Job *> seen;
    for (const auto &job : jobs) {
        const auto found = mJobs.find(job->jobId);
        if (found != mJobs.end() && found->second == job && seen.insert(job.get()).second)
            held.push_back(job.get());
    }
    if (held.empty())
        return;

    std::lock_guard<std::recursive_mutex> writeLock(dbMutex);
    const bool outermost = transactionCount() == 0;
    HXBDB::startTransaction();
    bool saved = true;
    for (const Job *job : held) {
        if (!(saved = writeRow(*job)))
            break;
    }
    if (!saved && outermost) {
        // Nothing of the batch rather than a part: every job keeps its previous row.
        HXBDB::getDB().rollback();
        transactionCount() = 0;
    }
    const bool committed = (saved || !outermost) && HXBDB::commit();
    for (const Job *job : held) {
        if (saved && (committed || !outermost))
            noteWritten(job->jobId);
        else
            noteUnsaved(job->jobId, false);
    }
}

void BatchbayJobStore::saveJob(const std::shared_ptr<Job> &job)
{
    if (!job)
        return;
    if (tSaveBatch && (!tSaveBatch->mStore || tSaveBatch->mStore == this)) {
        tSaveBatch->mStore = this;
        tSaveBatch->mJobs.push_back(job);
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(mLock);
    const auto found = mJobs.find(job->jobId);
    if (found == mJobs.end() || found->second != job)
        return;
    if (writeRow(*job))
        noteWritten(job->jobId);
    else
        noteUnsaved(job->jobId, false);
}

bool BatchbayJobStore::addOrReplaceJob(
    const std::shared_ptr<Job> &job,
    const std::function<bool(const std::shared_ptr<Job> &existing)> &mayReplace)
{
    if (!job)
        return false;
    std::lock_guard<std::recursive_mutex> lock(mLock);
    const auto found = mJobs.find(job->jobId);
    if (found != mJobs.end() && found->second && !mayReplace(found->second))
        return false;
    addOrUpdateJob(job);
    return true;
}

void BatchbayJobStore::removeJob(const std::string &jobId)
{
    std::lock_guard<std::recursive_mutex> lock(mLock);
    mJobs.erase(jobId);
    if (deleteRows(jobId))
        noteWritten(jobId);
    else
        noteUnsaved(jobId, true);
}

size_t BatchbayJobStore::unsavedCount() const
{
    std::lock_guard<std::recursive_mutex> lock(mLock);
    return mUnsaved.size();
}

bool BatchbayJobStore::catchUp()
{
    if (!mPendingWork)
        return true;
    // Asking for the connection opens it again if it can (a server at most once a second);
    // while it does not open, nothing is sent, so the outage costs no failed statements.
    if (!HXBDB::getDB().isOpen())
        return false;
    std::lock_guard<std::recursive_mutex> lock(mLock);
    if (mStartUpPending) {
        if (!startUp())
            return false;
        mStartUpPending = false;
        updatePendingWork();
        HXBLogger::instance()->logNormalWarn("BatchbayJobStore", "saved jobs recovered after the database came back",
                                             "");
    }
    while (!mUnsaved.empty()) {
        const auto [jobId, change] = *mUnsaved.begin();
        const auto job = mJobs.find(jobId);
        const bool written = change == Change::Save && job != mJobs.end() ? writeRow(*job->second)
                                                                          : deleteRows(jobId);
        if (!written)
            return false;
        noteWritten(jobId);
    }
    return true;
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
