#include "BatchbayJobStore.h"
#include "BatchbaySettings.h"
#include "BridgeTestEnv.h"
#include "Job.h"
#include "SlurmCommand.h"
#include "quicktype/JobList.h"
#include "db/HXBDB.h"
#include "db/HXBQuery.h"
#include "user/User.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <set>
#include <thread>

namespace {

struct Names
{
    std::string project;
    std::string run;
    std::string design;
    std::string runId;
};

std::shared_ptr<Job> makeJob(const Names &names)
{
    auto job = std::make_shared<Job>();
    job->projectName = names.project;
    job->runName = names.run;
    job->designName = names.design;
    job->runId = names.runId;
    return job;
}

class JobDirTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        BatchbayJobStore::createCounterTable();
        off = env.settings();
        on = env.settings(QStringLiteral("removeInputDir=true\n"));
        work = off->getTmpDir();
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(work)));
    }

    static bool exists(const std::string &path) { return QFileInfo::exists(QString::fromStdString(path)); }

    static int counterRows()
    {
        return BridgeTestEnv::scalar(QStringLiteral("SELECT COUNT(*) FROM BatchbayJOBCOUNTER;"));
    }

    BridgeTestEnv env;
    std::unique_ptr<BatchbaySettings> off;
    std::unique_ptr<BatchbaySettings> on;
    std::string work;
};

TEST_F(JobDirTest, LayoutForEveryCombinationOfNames)
{
    // The first run identifier of a fresh counter table gets number 1.
    struct Row
    {
        Names names;
        std::string expected; // below the work directory
    };
    const Row rows[] = {
        {{"", "", "", ""}, "/_0001/"},
        {{"P", "", "", ""}, "/P/"},
        {{"", "R", "", ""}, "/R/"},
        {{"", "", "D", ""}, "/D/"},
        {{"P", "R", "", ""}, "/P/R/"},
        {{"P", "", "D", ""}, "/P/D/"},
        {{"", "R", "D", ""}, "/R/D/"},
        {{"Hull A", "R1", "D1", ""}, "/Hull A/R1/D1/"},
        {{"", "", "", "run-1"}, "/_0001/"},
        {{"P", "", "", "run-1"}, "/P_1/"},
        {{"", "R", "", "run-1"}, "/R_1/"},
        {{"", "", "D", "run-1"}, "/D/"},
        {{"P", "R", "", "run-1"}, "/P_1/R_1/"},
        {{"P", "", "D", "run-1"}, "/P_1/D/"},
        {{"", "R", "D", "run-1"}, "/R_1/D/"},
        {{"Hull A", "R1", "D1", "run-1"}, "/Hull A_1/R1_1/D1/"},
    };
    for (const Row &row : rows) {
        BridgeTestEnv fresh;
        BatchbayJobStore::createCounterTable();
        const auto settings = fresh.settings();
        const std::string freshWork = settings->getTmpDir();
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(freshWork)));

        auto job = makeJob(row.names);
        const std::string dir = job->getJobDir(*settings);
        const std::string label = row.names.project + "|" + row.names.run + "|" + row.names.design
                                  + "|" + row.names.runId;
        EXPECT_EQ(dir, freshWork + row.expected) << label;
        EXPECT_EQ(job->jobDir, dir) << label;
        EXPECT_TRUE(QFileInfo(QString::fromStdString(dir)).isDir()) << label;
        EXPECT_EQ(BridgeTestEnv::scalar(QStringLiteral("SELECT COUNT(*) FROM BatchbayJOBCOUNTER;")),
                  row.names.runId.empty() ? 0 : 1)
            << label;
    }
}

TEST_F(JobDirTest, OneRunSharesItsNumberAndAnotherRunGetsAnother)
{
    auto first = makeJob({"P", "R", "D1", "run-1"});
    auto second = makeJob({"P", "R", "D2", "run-1"});
    auto other = makeJob({"P", "R", "D1", "run-2"});

    EXPECT_EQ(first->getJobDir(*off), work + "/P_1/R_1/D1/");
    EXPECT_EQ(second->getJobDir(*off), work + "/P_1/R_1/D2/");
    EXPECT_EQ(other->getJobDir(*off), work + "/P_2/R_2/D1/");
    EXPECT_EQ(counterRows(), 2);
}

TEST_F(JobDirTest, OccupiedDirectoryGetsNextNumberedName)
{
    const Names names{"P", "R", "D", ""};
    EXPECT_EQ(makeJob(names)->getJobDir(*off), work + "/P/R/D/");
    EXPECT_EQ(makeJob(names)->getJobDir(*off), work + "/P/R/D_0001/");
    EXPECT_EQ(makeJob(names)->getJobDir(*off), work + "/P/R/D_0002/");

    // A file occupies a name as much as a directory does.
    BridgeTestEnv::writeFile(QString::fromStdString(work + "/P/R/E"));
    EXPECT_EQ(makeJob({"P", "R", "E", ""})->getJobDir(*off), work + "/P/R/E_0001/");
}

TEST_F(JobDirTest, ConcurrentJobsWithEqualNamesNeverShareADirectory)
{
    // Upload requests of different jobs resolve their directories on different threads.
    constexpr int threadCount = 8;
    constexpr int jobsPerThread = 6;
    for (const Names &names : {Names{"P", "R", "D", ""}, Names{}}) {
        std::vector<std::string> dirs(threadCount * jobsPerThread);
        std::vector<std::thread> threads;
        for (int t = 0; t < threadCount; ++t) {
            threads.emplace_back([&, t] {
                for (int j = 0; j < jobsPerThread; ++j)
                    dirs[t * jobsPerThread + j] = makeJob(names)->getJobDir(*off);
                HXBDB::threadFinished();
            });
        }
        for (auto &thread : threads)
            thread.join();
        EXPECT_EQ(std::set<std::string>(dirs.begin(), dirs.end()).size(), dirs.size())
            << names.design;
        for (const std::string &dir : dirs)
            EXPECT_TRUE(QFileInfo(QString::fromStdString(dir)).isDir()) << dir;
    }
}

TEST_F(JobDirTest, JobWithoutNamesGetsNumberedDirectoryBelowWorkDirectory)
{
    // Also when the work directory does not exist yet.
    ASSERT_TRUE(QDir(QString::fromStdString(work)).removeRecursively());
    EXPECT_EQ(makeJob({})->getJobDir(*off), work + "/_0001/");
    EXPECT_EQ(makeJob({})->getJobDir(*off), work + "/_0002/");
}

TEST_F(JobDirTest, RemoveInputDirEmptiesAndReusesTheDirectory)
{
    const Names names{"P", "R", "D", ""};
    const std::string dir = makeJob(names)->getJobDir(*on);
    const QString qdir = QString::fromStdString(dir);
    BridgeTestEnv::writeFile(qdir + QStringLiteral("input.dat"));
    BridgeTestEnv::writeFile(qdir + QStringLiteral(".hidden"));
    BridgeTestEnv::writeFile(qdir + QStringLiteral("sub/deeper/file.txt"));
    // What a link inside points to is not the job's to delete.
    const QString outside = env.path(QStringLiteral("outside"));
    BridgeTestEnv::writeFile(outside + QStringLiteral("/keep.txt"));
    ASSERT_TRUE(QFile::link(outside, qdir + QStringLiteral("link")));
    // Neither are the neighbours.
    BridgeTestEnv::writeFile(QString::fromStdString(work + "/P/R/sibling.txt"));

    EXPECT_EQ(makeJob(names)->getJobDir(*on), dir);
    EXPECT_TRUE(QDir(qdir).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System));
    EXPECT_TRUE(QFileInfo::exists(outside + QStringLiteral("/keep.txt")));
    EXPECT_TRUE(exists(work + "/P/R/sibling.txt"));
}

TEST_F(JobDirTest, RemoveInputDirNeverEmptiesAnotherLiveJobsDirectory)
{
    auto live = makeJob({"P", "R", "D", ""});
    live->jobId = "live-job";
    const std::string liveDir = live->getJobDir(*on);
    BridgeTestEnv::writeFile(QString::fromStdString(liveDir + "result.dat"));
    BatchbayJobStore::instance()->addOrUpdateJob(live);
    struct Forget
    {
        ~Forget() { BatchbayJobStore::instance()->removeJob("live-job"); }
    } forget;

    // An empty design name makes the run level, which holds the live job's folder, the
    // directory; equal names give the live job's own directory.
    EXPECT_EQ(makeJob({"P", "R", "", ""})->getJobDir(*on), work + "/P/R/_0001/");
    EXPECT_EQ(makeJob({"P", "R", "D", ""})->getJobDir(*on), work + "/P/R/D_0001/");
    EXPECT_TRUE(exists(liveDir + "result.dat"));

    // Once the job has left the store its directory is emptied and reused as before.
    BatchbayJobStore::instance()->removeJob("live-job");
    EXPECT_EQ(makeJob({"P", "R", "D", ""})->getJobDir(*on), liveDir);
    EXPECT_FALSE(exists(liveDir + "result.dat"));
}

TEST_F(JobDirTest, RemoveInputDirNeverEmptiesTheWorkDirectory)
{
    BridgeTestEnv::writeFile(QString::fromStdString(work + "/other-job/result.dat"));
    BridgeTestEnv::writeFile(QString::fromStdString(work + "/top.dat"));

    EXPECT_EQ(makeJob({})->getJobDir(*on), work + "/_0001/");
    EXPECT_EQ(makeJob({})->getJobDir(*on), work + "/_0002/");
    EXPECT_TRUE(exists(work + "/other-job/result.dat"));
    EXPECT_TRUE(exists(work + "/top.dat"));
}

TEST_F(JobDirTest, RemoveInputDirDoesNotFollowALinkOutOfTheWorkDirectory)
{
    const QString outside = env.path(QStringLiteral("outside"));
    BridgeTestEnv::writeFile(outside + QStringLiteral("/keep.txt"));
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(work + "/P")));
    ASSERT_TRUE(QFile::link(outside, QString::fromStdString(work + "/P/D")));

    EXPECT_EQ(makeJob({"P", "", "D", ""})->getJobDir(*on), work + "/P/D_0001/");
    EXPECT_TRUE(QFileInfo::exists(outside + QStringLiteral("/keep.txt")));
}

TEST_F(JobDirTest, RelativeDataDirReusesTheDirectoryWithoutEmptyingIt)
{
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(env.root()));
    const auto relative = env.settings(QStringLiteral("datadir=rel/\nremoveInputDir=true\n"));
    BridgeTestEnv::writeFile(env.path(QStringLiteral("rel/work/P/D/input.dat")));

    const std::string dir = makeJob({"P", "", "D", ""})->getJobDir(*relative);
    QDir::setCurrent(previous);
    EXPECT_EQ(dir, "rel/work//P/D/");
    EXPECT_TRUE(QFileInfo::exists(env.path(QStringLiteral("rel/work/P/D/input.dat"))));
}

TEST_F(JobDirTest, ClientNamesCannotLeaveTheWorkDirectory)
{
    BridgeTestEnv::writeFile(env.path(QStringLiteral("data/precious.dat")));
    BridgeTestEnv::writeFile(QString::fromStdString(work + "/neighbour.dat"));

    struct Row
    {
        Names names;
        std::string expected;
    };
    const Row rows[] = {
        {{"..", "", "", ""}, "/__/"},
        {{"..", "..", "..", ""}, "/__/__/__/"},
        {{".", "", "", ""}, "/_/"},
        {{"", "", "../../x", ""}, "/.._.._x/"},
        {{"/etc", "", "passwd", ""}, "/_etc/passwd/"},
        {{"a/../../b", "", "", ""}, "/a_.._.._b/"},
        {{std::string("x\0y", 3), "", "", ""}, "/x_y/"},
        {{"...", "", "", ""}, "/.../"},
        {{"..", "", "", "run-9"}, "/___1/"},
    };
    for (const BatchbaySettings *settings : {off.get(), on.get()}) {
        for (const Row &row : rows) {
            auto job = makeJob(row.names);
            const std::string dir = job->getJobDir(*settings);
            const std::string canonical =
                QFileInfo(QString::fromStdString(dir)).canonicalFilePath().toStdString();
            const std::string canonicalWork =
                QFileInfo(QString::fromStdString(work)).canonicalFilePath().toStdString();
            EXPECT_EQ(canonical.rfind(canonicalWork + "/", 0), 0u) << dir;
            if (settings == off.get()) {
                EXPECT_EQ(dir, work + row.expected) << row.names.project << row.names.design;
            }
        }
    }
    EXPECT_TRUE(QFileInfo::exists(env.path(QStringLiteral("data/precious.dat"))));
    EXPECT_TRUE(exists(work + "/neighbour.dat"));
}

TEST_F(JobDirTest, SecondCallReturnsStoredDirectoryWithoutTouchingDiskOrTable)
{
    auto job = makeJob({"P", "R", "D", "run-1"});
    const std::string dir = job->getJobDir(*on);
    ASSERT_TRUE(QDir(QString::fromStdString(work + "/P_1")).removeRecursively());
    HXBQuery wipe = HXBDB::getQuery();
    ASSERT_TRUE(wipe.write(QStringLiteral("DELETE FROM BatchbayJOBCOUNTER;")));

    EXPECT_EQ(job->getJobDir(*on), dir);
    EXPECT_EQ(job->getJobDir(*off), dir);
    EXPECT_FALSE(exists(dir));
    EXPECT_EQ(counterRows(), 0);
}

TEST_F(JobDirTest, UncreatableDirectoryIsStillStoredAndReturned)
{
    BridgeTestEnv::writeFile(QString::fromStdString(work + "/P"));
    auto job = makeJob({"", "", "P", ""});
    // "P" is a file, so the job gets P_0001; a file in the way of a parent cannot be skipped.
    EXPECT_EQ(job->getJobDir(*off), work + "/P_0001/");

    auto blocked = makeJob({"P", "", "D", ""});
    const std::string dir = blocked->getJobDir(*off);
    EXPECT_EQ(dir, work + "/P/D/");
    EXPECT_EQ(blocked->jobDir, dir);
    EXPECT_FALSE(exists(dir));
}

class JobInfoTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        HXBQuery create = HXBDB::getQuery();
        ASSERT_TRUE(create.write(QStringLiteral(
            "CREATE TABLE IF NOT EXISTS USERS (mId INTEGER PRIMARY KEY ,mType INTEGER ,mUsername MEDIUMTEXT, mPassword MEDIUMTEXT );")));
        for (const char *name : {"ann", "ben", "carol"})
            users.push_back(User::create(name));
        ASSERT_EQ(users[2]->getId(), 3);
    }

    void TearDown() override
    {
        for (const auto &user : users) {
            if (User::getUserById(user->getId()))
                user->destroy();
        }
    }

    static std::shared_ptr<Job> sampleJob()
    {
        auto job = std::make_shared<Job>();
        job->jobId = "J1";
        job->projectName = "Hull A";
        job->designName = "D1";
        job->runId = "8f2c";
        job->runName = "R1";
        job->node = "n01";
        job->slurmId = 4711;
        job->receivedTimestamp = 1700000000;
        job->state = JobQueued;
        job->removeFiles = true;
        return job;
    }

    static std::string json(const Job &job) { return quicktype::toJsonText(nlohmann::json(job.getJobInfo())); }

    BridgeTestEnv env;
    std::vector<std::shared_ptr<User>> users;
};

TEST_F(JobInfoTest, UnownedJobByteForByte)
{
    EXPECT_EQ(json(*sampleJob()),
              R"j({"designname":"D1","exitCode":-1.0,"jobdir":"","jobid":"J1","node":"n01","ownerid":-1.0,)j"
              R"j("ownername":"(unowned)","priority":null,"projectname":"Hull A","reason":"",)j"
              R"j("received_timestamp":1700000000.0,"removefiles":true,"runid":"8f2c",)j"
              R"j("runname":"R1","slurmid":4711.0,"started_timestamp":0.0,"state":"queued"})j");
}

TEST_F(JobInfoTest, OwnedJobShowsOwnerNameUntilTheUserIsDeleted)
{
    auto job = sampleJob();
    job->ownerId = 3;
    job->jobDir = "/srv/data/work//Hull A_7/R1_7/D1/";
    job->startedTimestamp = 1700000100;
    job->setOutcome(3, "FAILED NonZeroExitCode");
    const std::string expected =
        R"j({"designname":"D1","exitCode":3.0,"jobdir":"/srv/data/work//Hull A_7/R1_7/D1/","jobid":"J1",)j"
        R"j("node":"n01","ownerid":3.0,"ownername":"carol","priority":null,"projectname":"Hull A",)j"
        R"j("reason":"FAILED NonZeroExitCode",)j"
        R"j("received_timestamp":1700000000.0,"removefiles":true,"runid":"8f2c","runname":"R1",)j"
        R"j("slurmid":4711.0,"started_timestamp":1700000100.0,"state":"queued"})j";
    EXPECT_EQ(json(*job), expected);

    users[2]->destroy();
    EXPECT_EQ(job->getJobInfo().ownername, "(deleted)");
    EXPECT_EQ(job->getJobInfo().ownerid, 3.0);
}

TEST_F(JobInfoTest, PriorityOfTheLastProcessTaskThatHasOne)
{
    auto task = [](int type, bool hasPriority, int priority) {
        Task t;
        t.type = type;
        t.hasPriority = hasPriority;
        t.priority = priority;
        return t;
    };
    struct Row
    {
        std::vector<Task> tasks;
        std::string expected;
    };
    const Row rows[] = {
        {{}, "null"},
        {{task(1, false, 7)}, "null"},
        {{task(1, true, 5), task(1, true, 9)}, "9.0"},
        {{task(1, true, 5), task(1, false, 9)}, "5.0"},
        {{task(1, true, 5), task(0, true, 9)}, "5.0"},
        {{task(1, true, -2)}, "-2.0"},
        {{task(1, true, 0)}, "0.0"},
    };
    for (const Row &row : rows) {
        auto job = sampleJob();
        job->tasks = row.tasks;
        EXPECT_EQ(nlohmann::json(job->getJobInfo())["priority"].dump(), row.expected)
            << row.tasks.size();
    }
}

TEST(JobSubmissionTest, ReadsTheSlurmIdAndSbatchsOwnReasonForARefusal)
{
    const std::pair<QByteArray, int> answers[] = {
        {"Submitted batch job 42\n", 42},
        {"Submitted batch job 42 on cluster alpha\n", 42},
        {"sbatch: warning: x\nSubmitted batch job 7  \n", 7},
        {"  17  ", 17},
        {"Submitted batch job \n", 0},
        {"sbatch: error: invalid partition specified: nope\n", 0},
        {"Submitted batch job -3\n", 0},
    };
    for (const auto &[answer, id] : answers)
        EXPECT_EQ(Job::slurmIdFromAnswer(answer), id) << answer.toStdString();

    SlurmCommandResult refused;
    refused.started = refused.finished = true;
    refused.exitCode = 1;
    refused.output = "sbatch: error: invalid partition specified: nope\n"
                     "sbatch: error: Batch job submission failed: Invalid partition name specified\n";
    EXPECT_EQ(Job::submissionFailure(refused), "invalid partition specified: nope");
    refused.output = "\n  something odd\nmore\n";
    EXPECT_EQ(Job::submissionFailure(refused), "something odd");
    refused.output.clear();
    EXPECT_EQ(Job::submissionFailure(refused), "sbatch failed with exit status 1");
    refused.finished = false;
    EXPECT_EQ(Job::submissionFailure(refused), "sbatch did not finish in time");
}

TEST_F(JobInfoTest, StateNames)
{
    const std::vector<std::pair<int, std::string>> rows = {
        {0, "waiting for input"}, {1, "tobesubmitted"}, {2, "queued"}, {3, "running"},
        {4, "finished"},          {5, "tobecancelled"}, {6, "failed"}, {7, "finalized"},
        {8, "unknown"},           {-1, "unknown"}};
    for (const auto &[state, name] : rows) {
        auto job = sampleJob();
        job->state = state;
        EXPECT_EQ(job->getJobInfo().state, name) << state;
    }
}

TEST_F(JobInfoTest, JobListWrapsRecordsAndSurvivesBadText)
{
    quicktype::JobList list;
    EXPECT_EQ(quicktype::toJsonText(nlohmann::json(list)), R"j({"jobs":[]})j");

    auto job = sampleJob();
    job->designName = std::string("D\xff", 2);
    list.jobs.push_back(job->getJobInfo());
    const std::string text = quicktype::toJsonText(nlohmann::json(list));
    EXPECT_EQ(text.rfind(R"j({"jobs":[{"designname":"D)j" "\xef\xbf\xbd" R"j(","exitCode")j", 0), 0u) << text;

    const auto back = nlohmann::json::parse(text).get<quicktype::JobList>();
    ASSERT_EQ(back.jobs.size(), 1u);
    EXPECT_EQ(back.jobs[0].slurmid, 4711.0);
    EXPECT_FALSE(back.jobs[0].priority.has_value());
}

TEST_F(JobInfoTest, DirectJobListTextIsByteForByteTheLibrarysText)
{
    quicktype::JobList list;
    EXPECT_EQ(quicktype::toJsonText(list), quicktype::toJsonText(nlohmann::json(list)));
    const std::string texts[] = {
        "", "plain", "quote\" back\\slash", "ctl\x01\x1f\x7f\b\f\n\r\t",
        "ümlaut €", "\xf0\x9f\x99\x82", std::string("bad\xff", 4), "\xc3", "\xe2\x82", "\xed\xa0\x80",
        "\xc0\xaf", std::string("nul\0in", 6)};
    const double numbers[] = {0, -1, 4711, 2147483647, -2147483648.0, 1e15, 0.5, -0.0};
    int i = 0;
    for (const std::string &text : texts) {
        quicktype::Job job;
        job.designname = job.jobdir = job.jobid = job.node = job.ownername = text;
        job.projectname = job.runid = job.runname = job.state = job.reason = text;
        job.ownerid = job.received_timestamp = job.exitCode = numbers[i % 8];
        job.slurmid = job.started_timestamp = numbers[(i + 3) % 8];
        if (i % 2)
            job.priority = numbers[(i + 5) % 8];
        job.removefiles = i % 3 == 0;
        list.jobs.push_back(job);
        ++i;
    }
    EXPECT_EQ(quicktype::toJsonText(list), quicktype::toJsonText(nlohmann::json(list)));
}

} // namespace
