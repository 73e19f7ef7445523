#include "BatchbayJobStore.h"
#include "BridgeTestEnv.h"
#include "TestSupport.h"
#include "Job.h"
#include "db/HXBDB.h"
#include "db/HXBQuery.h"

#include <QVariant>

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

namespace {

struct Row
{
    int slurmId;
    std::string jobId;
    int ownerId;
    bool operator==(const Row &other) const = default;
};

class BatchbayJobStoreTest : public ::testing::Test
{
protected:
    static std::shared_ptr<Job> makeJob(const std::string &id, int slurmId = -1, int ownerId = -1)
    {
        auto job = std::make_shared<Job>();
        job->jobId = id;
        job->slurmId = slurmId;
        job->ownerId = ownerId;
        return job;
    }

    static std::vector<Row> rows()
    {
        std::vector<Row> result;
        HXBQuery query = HXBDB::getQuery();
        EXPECT_TRUE(query.read(
            QStringLiteral("SELECT slurmId, jobId, ownerId FROM BatchbayJOBS ORDER BY rowid;")));
        while (query.next())
            result.push_back({query.value(0).toInt(), query.value(1).toString().toStdString(),
                              query.value(2).toInt()});
        return result;
    }

    static std::vector<Row> sorted(std::vector<Row> list)
    {
        std::sort(list.begin(), list.end(),
                  [](const Row &a, const Row &b) { return a.jobId < b.jobId; });
        return list;
    }

    static void insertRow(int slurmId, const std::string &jobId, int ownerId)
    {
        HXBQuery insert = HXBDB::getQuery();
        insert.prepare(QStringLiteral("INSERT INTO BatchbayJOBS(jobId,slurmId,ownerId) VALUES(?,?,?);"));
        insert.addBindValue(QString::fromStdString(jobId));
        insert.addBindValue(slurmId);
        insert.addBindValue(ownerId);
        ASSERT_TRUE(insert.write());
    }

    BridgeTestEnv env;
};

TEST_F(BatchbayJobStoreTest, RepeatedSavesKeepOneRowWithTheLatestValues)
{
    BatchbayJobStore store;
    auto job = makeJob("J1");
    store.addOrUpdateJob(job);
    job->slurmId = 4711;
    store.addOrUpdateJob(job);
    job->ownerId = 3;
    store.addOrUpdateJob(job);
    store.addOrUpdateJob(makeJob("J2", 12, 2));

    EXPECT_EQ(rows(), (std::vector<Row>{{4711, "J1", 3}, {12, "J2", 2}}));
    EXPECT_EQ(store.getAllJobs().size(), 2u);
    EXPECT_EQ(store.getJobById("J1"), job);
}

TEST_F(BatchbayJobStoreTest, SavingAnotherObjectUnderAnIdReplacesTheFirst)
{
    BatchbayJobStore store;
    store.addOrUpdateJob(makeJob("J1", 1));
    auto replacement = makeJob("J1", 2);
    store.addOrUpdateJob(replacement);
    EXPECT_EQ(store.getJobById("J1"), replacement);
    EXPECT_EQ(rows(), (std::vector<Row>{{2, "J1", -1}}));
}

TEST_F(BatchbayJobStoreTest, RestartRecoversEveryJobAsItWasAndOlderRowsAsRunning)
{
    {
        BatchbayJobStore store;
        auto job = makeJob("J1", 4711, 2);
        job->state = JobFailed;
        job->projectName = "Hull A";
        job->designName = "D1";
        job->runId = "8f2c";
        job->runName = "R1";
        job->removeFiles = true;
        job->outputFiles = {"*.txt", "out/"};
        job->receivedTimestamp = 1700000000;
        job->startedTimestamp = 1700000100;
        job->jobDir = "/srv/work/Hull A_1/R1_1/D1/";
        Task task;
        task.args = {"-x", "two words"};
        task.partitionName = "long";
        task.hasPriority = true;
        task.priority = 10;
        job->tasks = {task};
        job->setOutcome(3, "FAILED NonZeroExitCode");
        store.addOrUpdateJob(job);
        store.addOrUpdateJob(makeJob("waiting"));
    }
    insertRow(99, "earlier-run", 4); // a row of an earlier version: no record beside it
    std::vector<std::string> handed;
    BatchbayJobStore restarted([&](const std::shared_ptr<Job> &job) { handed.push_back(job->jobId); });

    const auto job = restarted.getJobById("J1");
    ASSERT_NE(job, nullptr);
    const std::string before = job->toRecord();
    EXPECT_EQ(job->state, JobFailed);
    EXPECT_EQ(job->getJobInfo().jobdir, "/srv/work/Hull A_1/R1_1/D1/");
    EXPECT_EQ(job->getExitCode(), 3);
    EXPECT_EQ(job->tasks.at(0).args, (std::vector<std::string>{"-x", "two words"}));
    EXPECT_EQ(job->tasks.at(0).partitionName, "long");
    EXPECT_EQ(job->outputFiles, (std::vector<std::string>{"*.txt", "out/"}));
    EXPECT_EQ(job->startedTimestamp, 1700000100);
    EXPECT_EQ(restarted.getJobById("waiting")->state, JobWaitingForInput);
    const auto earlier = restarted.getJobById("earlier-run");
    ASSERT_NE(earlier, nullptr);
    EXPECT_EQ(earlier->state, JobRunning);
    EXPECT_EQ(earlier->slurmId, 99);
    std::sort(handed.begin(), handed.end());
    EXPECT_EQ(handed, (std::vector<std::string>{"J1", "earlier-run", "waiting"}));

    // A record that cannot be read leaves its job as the row says.
    EXPECT_FALSE(job->fromRecord(R"({"state": 3})"));
    EXPECT_FALSE(job->fromRecord("garbage"));
    EXPECT_EQ(job->toRecord(), before);
}

TEST_F(BatchbayJobStoreTest, TableWithoutRowNumbersOfAnEarlierVersionIsRecovered)
{
    // As earlier versions created it on MariaDB: no rowid column to order by.
    HXBQuery create = HXBDB::getQuery();
    ASSERT_TRUE(create.write(QStringLiteral(
        "CREATE TABLE BatchbayJOBS (slurmId INTEGER, jobId MEDIUMTEXT, ownerId INTEGER DEFAULT -1)")));
    insertRow(4711, "J1", 3);
    insertRow(77, "J2", 5);
    BatchbayJobStore store;
    ASSERT_EQ(store.getAllJobs().size(), 2u);
    EXPECT_EQ(store.getJobById("J1")->slurmId, 4711);
    EXPECT_EQ(store.getJobById("J2")->ownerId, 5);
}

TEST_F(BatchbayJobStoreTest, AReplacedJobNoLongerSavesItself)
{
    BatchbayJobStore store;
    auto first = makeJob("J1", 1);
    store.addOrUpdateJob(first);
    auto second = makeJob("J1", 2);
    store.addOrUpdateJob(second);
    first->slurmId = 3;
    store.saveJob(first);
    EXPECT_EQ(store.getJobById("J1"), second);
    EXPECT_EQ(rows(), (std::vector<Row>{{2, "J1", -1}}));
}

TEST_F(BatchbayJobStoreTest, OlderTableWithDuplicateRowsLoadsTheNewestRowPerJob)
{
    HXBQuery create = HXBDB::getQuery();
    ASSERT_TRUE(create.write(QStringLiteral(
        "CREATE TABLE IF NOT EXISTS BatchbayJOBS (slurmId INTEGER ,jobId MEDIUMTEXT ,ownerId INTEGER DEFAULT -1);")));
    insertRow(-1, "J1", -1);
    insertRow(4711, "J1", -1);
    insertRow(77, "J2", 5);
    insertRow(4711, "J1", 3);

    int handed = 0;
    BatchbayJobStore store([&](const std::shared_ptr<Job> &) { ++handed; });
    EXPECT_EQ(handed, 2);
    ASSERT_EQ(store.getAllJobs().size(), 2u);
    EXPECT_EQ(store.getJobById("J1")->ownerId, 3);
    EXPECT_EQ(store.getJobById("J1")->slurmId, 4711);
    EXPECT_EQ(store.getJobById("J2")->ownerId, 5);
    EXPECT_EQ(rows(), (std::vector<Row>{{77, "J2", 5}, {4711, "J1", 3}}));

    store.addOrUpdateJob(store.getJobById("J1"));
    EXPECT_EQ(rows(), (std::vector<Row>{{77, "J2", 5}, {4711, "J1", 3}}));
}

TEST_F(BatchbayJobStoreTest, GarbageRowsNeitherStopRecoveryNorGetLost)
{
    if (hxbtest::TestDatabase::onMariaDb())
        GTEST_SKIP() << "values of the wrong type only fit in SQLite's loosely typed columns";
    HXBQuery create = HXBDB::getQuery();
    ASSERT_TRUE(create.write(QStringLiteral(
        "CREATE TABLE IF NOT EXISTS BatchbayJOBS (slurmId INTEGER ,jobId MEDIUMTEXT ,ownerId INTEGER DEFAULT -1);")));
    const char *garbage[] = {
        "INSERT INTO BatchbayJOBS VALUES('{\"not\": json', 'G1', 'x');",
        "INSERT INTO BatchbayJOBS VALUES(NULL, 'G2', NULL);",
        "INSERT INTO BatchbayJOBS VALUES(99999999999999, 'G3', 2.5);",
        "INSERT INTO BatchbayJOBS VALUES(7, X'00FF41', -1);",
        "INSERT INTO BatchbayJOBS VALUES(8, NULL, 1);",
        "INSERT INTO BatchbayJOBS(jobId) VALUES('G4');",
    };
    for (const char *statement : garbage) {
        HXBQuery insert = HXBDB::getQuery();
        ASSERT_TRUE(insert.write(QString::fromLatin1(statement))) << statement;
    }
    insertRow(4711, "J1", 2);

    int handed = 0;
    BatchbayJobStore store([&](const std::shared_ptr<Job> &) { ++handed; });
    EXPECT_EQ(handed, 7);
    ASSERT_NE(store.getJobById("J1"), nullptr);
    EXPECT_EQ(store.getJobById("J1")->slurmId, 4711);
    for (const char *id : {"G1", "G2", "G3", "G4"}) {
        ASSERT_NE(store.getJobById(id), nullptr) << id;
        EXPECT_EQ(store.getJobById(id)->state, JobRunning) << id;
    }
    EXPECT_EQ(store.getJobById("G4")->ownerId, -1);
    // Nothing that could not be read is thrown away.
    EXPECT_EQ(BridgeTestEnv::scalar(QStringLiteral("SELECT COUNT(*) FROM BatchbayJOBS;")), 7);
}

TEST_F(BatchbayJobStoreTest, RemoveDeletesEveryRowOfTheJobAndToleratesUnknownIds)
{
    BatchbayJobStore store;
    insertRow(1, "J1", -1);
    insertRow(2, "J1", -1);
    store.addOrUpdateJob(makeJob("J2", 9));
    store.addOrUpdateJob(makeJob("J1", 3));
    insertRow(4, "J1", -1);

    store.removeJob("J1");
    EXPECT_EQ(store.getJobById("J1"), nullptr);
    EXPECT_EQ(rows(), (std::vector<Row>{{9, "J2", -1}}));

    store.removeJob("unknown");
    EXPECT_EQ(store.getJobById("unknown"), nullptr);
    EXPECT_EQ(store.getAllJobs().size(), 1u);

    store.addOrUpdateJob(nullptr);
    EXPECT_EQ(rows().size(), 1u);
}

TEST_F(BatchbayJobStoreTest, HandedOutJobsOutliveTheirRemoval)
{
    BatchbayJobStore store;
    store.addOrUpdateJob(makeJob("J1", 5));
    const auto all = store.getAllJobs();
    store.removeJob("J1");
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all.at("J1")->slurmId, 5);
}

TEST_F(BatchbayJobStoreTest, ConcurrentSavesFromManyThreadsKeepOneRowPerJob)
{
    BatchbayJobStore store;
    // Another writer outside the store competes for the database at the same time.
    HXBQuery create = HXBDB::getQuery();
    ASSERT_TRUE(create.write(QStringLiteral("CREATE TABLE other (x INTEGER);")));

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&store, t] {
            for (int round = 0; round < 10; ++round) {
                for (int j = 0; j < 3; ++j) {
                    auto job = std::make_shared<Job>();
                    job->jobId = "T" + std::to_string(t) + "-" + std::to_string(j);
                    job->slurmId = round;
                    store.addOrUpdateJob(job);
                }
                HXBQuery other = HXBDB::getQuery();
                other.write(QStringLiteral("INSERT INTO other VALUES (1);"));
            }
            HXBDB::threadFinished();
        });
    }
    for (auto &thread : threads)
        thread.join();

    const auto saved = rows();
    ASSERT_EQ(saved.size(), 12u);
    for (const Row &row : saved)
        EXPECT_EQ(row.slurmId, 9) << row.jobId;
    EXPECT_EQ(BridgeTestEnv::scalar(QStringLiteral("SELECT COUNT(*) FROM other;")), 40);
}

// The database goes away and comes back: every change made meanwhile reaches it once, the
// latest change of a job winning, and the outage is logged once, not per job.
TEST_F(BatchbayJobStoreTest, ChangesTheDatabaseMissedAreWrittenOnceItAnswers)
{
    BatchbayJobStore store;
    store.addOrUpdateJob(makeJob("KEPT", 1));
    store.addOrUpdateJob(makeJob("GONE", 2));
    const auto before = sorted(rows());

    hxbtest::StdoutCapture capture;
    env.database().useUnreachable();
    auto added = makeJob("ADDED");
    store.addOrUpdateJob(added);
    added->slurmId = 10;
    store.addOrUpdateJob(added);
    store.addOrUpdateJob(makeJob("BRIEF", 5));
    store.removeJob("BRIEF"); // a delete after a failed save
    store.removeJob("GONE");
    store.getJobById("KEPT")->ownerId = 7;
    store.addOrUpdateJob(store.getJobById("KEPT"));
    EXPECT_EQ(store.unsavedCount(), 4u);
    EXPECT_FALSE(store.catchUp());
    EXPECT_EQ(store.unsavedCount(), 4u);
    EXPECT_EQ(store.getAllJobs().size(), 2u);

    env.database().use();
    EXPECT_EQ(sorted(rows()), before);
    EXPECT_TRUE(store.hasPendingWork());
    EXPECT_TRUE(store.catchUp());
    EXPECT_FALSE(store.hasPendingWork());
    const std::vector<Row> after{{1, "KEPT", 7}, {10, "ADDED", -1}};
    EXPECT_EQ(sorted(rows()), sorted(after));
    EXPECT_TRUE(store.catchUp());
    EXPECT_EQ(sorted(rows()), sorted(after));

    EXPECT_TRUE(hxbtest::waitUntil([&] { return hxbtest::countOf(capture.text(), "unsaved job rows written") == 1; }));
    EXPECT_EQ(hxbtest::countOf(capture.text(), "could not save job rows"), 1);
}

// Saves within a batch reach the database together when it ends, each job with its record of
// that moment; a batch the database does not take is left, whole, for the catch-up.
TEST_F(BatchbayJobStoreTest, ABatchOfSavesIsWrittenTogetherOrLeftForTheCatchUp)
{
    BatchbayJobStore store;
    std::vector<std::shared_ptr<Job>> jobs{makeJob("A", 1), makeJob("B", 2), makeJob("C", 3)};
    for (const auto &job : jobs)
        store.addOrUpdateJob(job);
    {
        BatchbayJobStore::SaveBatch batch;
        for (const auto &job : jobs) {
            job->slurmId += 10;
            store.saveJob(job);
        }
        jobs[0]->slurmId = 99; // after its save, before the batch ends
        store.removeJob("B");
        EXPECT_EQ(rows(), (std::vector<Row>{{1, "A", -1}, {3, "C", -1}}));
    }
    EXPECT_EQ(rows(), (std::vector<Row>{{99, "A", -1}, {13, "C", -1}}));

    {
        hxbtest::StdoutCapture capture;
        env.database().useUnreachable();
        BatchbayJobStore::SaveBatch batch;
        jobs[0]->slurmId = 100;
        store.saveJob(jobs[0]);
        store.saveJob(jobs[2]);
    }
    EXPECT_EQ(store.unsavedCount(), 2u);
    env.database().use();
    EXPECT_TRUE(store.catchUp());
    EXPECT_EQ(sorted(rows()), (std::vector<Row>{{100, "A", -1}, {13, "C", -1}}));
}

// Down when the server starts: the saved jobs are recovered once it answers, except where the
// store took a job of that ID meanwhile, or deleted one.
TEST_F(BatchbayJobStoreTest, DatabaseDownAtStartRecoversLaterWithoutReplacingNewerJobs)
{
    {
        BatchbayJobStore first;
        for (int i = 1; i <= 3; ++i)
            first.addOrUpdateJob(makeJob("R" + std::to_string(i), 10 + i, i));
    }
    env.database().useUnreachable();
    std::vector<std::string> handed;
    BatchbayJobStore store([&](const std::shared_ptr<Job> &job) { handed.push_back(job->jobId); });
    EXPECT_TRUE(store.getAllJobs().empty());
    EXPECT_TRUE(store.hasPendingWork());
    const auto fresh = makeJob("R1");
    store.addOrUpdateJob(fresh);
    store.addOrUpdateJob(makeJob("R2"));
    store.removeJob("R2");
    EXPECT_FALSE(store.catchUp());

    env.database().use();
    EXPECT_TRUE(store.catchUp());
    EXPECT_FALSE(store.hasPendingWork());
    EXPECT_EQ(handed, std::vector<std::string>{"R3"});
    EXPECT_EQ(store.getJobById("R1"), fresh);
    EXPECT_EQ(store.getJobById("R2"), nullptr);
    ASSERT_NE(store.getJobById("R3"), nullptr);
    EXPECT_EQ(store.getJobById("R3")->slurmId, 13);
    EXPECT_EQ(sorted(rows()), (std::vector<Row>{{-1, "R1", -1}, {13, "R3", 3}}));
    EXPECT_TRUE(env.database().hasTable(QStringLiteral("BatchbayJOBCOUNTER")));
}

TEST_F(BatchbayJobStoreTest, CounterTableAllocatesIncreasingNumbers)
{
    BatchbayJobStore::createCounterTable();
    BatchbayJobStore::createCounterTable();
    HXBQuery insert = HXBDB::getQuery();
    insert.prepare(QStringLiteral("INSERT INTO BatchbayJOBCOUNTER(miradoId) VALUES(?);"));
    insert.addBindValue(QStringLiteral("a"));
    ASSERT_TRUE(insert.write());
    EXPECT_EQ(insert.lastInsertId().toInt(), 1);
    EXPECT_TRUE(env.database().hasIndex(QStringLiteral("idx_miradoid")));
}

} // namespace
