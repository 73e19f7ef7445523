// Job operations against substitute Slurm tools, for the answers a real cluster cannot be made
// to give on demand: garbage, silence, hangs, long error streaks, a controller that is down,
// and queues of thousands of jobs. The live cluster tests cover everything else.
#include "BatchbayCtrl.h"
#include "BatchbayJobStore.h"
#include "BatchbaySettings.h"
#include "BridgeTestEnv.h"
#include "Job.h"
#include "SlurmQueueSnapshot.h"
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sys/stat.h>

namespace {

class JobSlurmTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        bin = env.path(QStringLiteral("bin"));
        QDir().mkpath(bin);
        // squeue and scancel print what the test put in answer.* and note their arguments.
        writeTool(QStringLiteral("squeue"),
                  "echo \"$@\" >> \"$D/squeue.calls\"\n"
                  "[ -f \"$D/answer.sleep\" ] && sleep \"$(cat \"$D/answer.sleep\")\"\n"
                  "[ -f \"$D/answer.err\" ] && cat \"$D/answer.err\" >&2\n"
                  "cat \"$D/answer.out\" 2>/dev/null\n"
                  "exit \"$(cat \"$D/answer.status\" 2>/dev/null || echo 0)\"\n");
        writeTool(QStringLiteral("scancel"), "echo \"$@\" >> \"$D/scancel.calls\"\n");
        // scontrol knows a job squeue no longer lists only when the test wrote scontrol.out.
        writeTool(QStringLiteral("scontrol"),
                  "echo \"$@\" >> \"$D/scontrol.calls\"\n"
                  "[ -f \"$D/scontrol.out\" ] && exec cat \"$D/scontrol.out\"\n"
                  "echo 'slurm_load_jobs error: Invalid job id specified' >&2; exit 1\n");
        savedPath = qgetenv("PATH");
        qputenv("PATH", bin.toUtf8() + ":" + savedPath);
        qputenv("D", bin.toUtf8());
        BatchbayJobStore::instance();
    }

    void TearDown() override
    {
        qputenv("PATH", savedPath);
        qunsetenv("D");
    }

    void writeTool(const QString &name, const QByteArray &body)
    {
        const QString path = bin + QLatin1Char('/') + name;
        BridgeTestEnv::writeFile(path, "#!/bin/sh\n" + body);
        QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner);
    }

    void answer(const QByteArray &out, int status = 0, const QByteArray &err = QByteArray())
    {
        BridgeTestEnv::writeFile(bin + QStringLiteral("/answer.out"), out);
        BridgeTestEnv::writeFile(bin + QStringLiteral("/answer.status"), QByteArray::number(status));
        BridgeTestEnv::writeFile(bin + QStringLiteral("/answer.err"), err);
    }

    QByteArray calls(const QString &tool) const
    {
        QFile file(bin + QLatin1Char('/') + tool + QStringLiteral(".calls"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // How the fake squeue notes a call of the text form about these jobs.
    static QByteArray textCall(const std::vector<int> &ids)
    {
        return SlurmQueueSnapshot::textQueryArguments(ids).join(QLatin1Char(' ')).toUtf8() + '\n';
    }

    static QByteArray sampleFile(const char *name)
    {
        QFile file(QStringLiteral(HXB_TEST_DATA_DIR "/slurm/") + QLatin1String(name));
        EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name;
        return file.readAll();
    }

    static std::shared_ptr<Job> runningJob(int slurmId)
    {
        auto job = std::make_shared<Job>();
        job->jobId = "J" + std::to_string(slurmId);
        job->slurmId = slurmId;
        job->state = JobRunning;
        return job;
    }

    BridgeTestEnv env;
    QString bin;
    QByteArray savedPath;
};

TEST_F(JobSlurmTest, PollAsksForTheJobAndFollowsItsState)
{
    auto job = runningJob(2);
    answer(sampleFile("squeue-pending.json"));
    job->checkFinished();
    EXPECT_EQ(calls(QStringLiteral("squeue")), "--json --states=all --jobs=2\n");
    EXPECT_EQ(job->state, JobQueued);
    EXPECT_EQ(job->getStdOutPath(), "/tmp/local-slurm-samples/slurm-2.out");

    answer(sampleFile("squeue-running.json"));
    job->checkFinished();
    EXPECT_EQ(job->state, JobRunning);
    EXPECT_EQ(job->getNode(), "vm");
    EXPECT_EQ(job->getJobInfo().node, "vm");

    answer(sampleFile("squeue-completed.json"));
    job->checkFinished();
    EXPECT_EQ(job->state, JobFinished);

    // A finished job is not polled again.
    job->checkFinished();
    EXPECT_EQ(calls(QStringLiteral("squeue")).count('\n'), 3);
}

TEST_F(JobSlurmTest, ReadingErrorsFailAJobOnlyWhenItsOwnEntryKeepsFailingOrAfterADay)
{
    auto job = runningJob(7);
    // The controller being down is not the job being finished: exit 0, no jobs, an error.
    // Unreadable answers as a whole, however many, say nothing about the job.
    answer(sampleFile("squeue-controller-down.json"));
    job->checkFinished();
    EXPECT_EQ(job->state, JobRunning);
    const QByteArray garbage[] = {"", "not json", "{\"jobs\": [{\"job_id\": \"7\"}]}"};
    for (int i = 1; i < Job::sMaxReadingErrors + 20; ++i) {
        answer(garbage[i % 3], i % 2);
        job->checkFinished();
    }
    EXPECT_EQ(job->state, JobRunning);
    // ... until no answer could be read for a day.
    job->readingErrorsSinceMs -= Job::sReadingErrorGraceSeconds * 1000;
    job->checkFinished();
    EXPECT_EQ(job->state, JobFailed);
    EXPECT_EQ(job->getReason().rfind("no answer of Slurm about the job could be read for 24 h", 0), 0u);

    // Slurm answers, but the job's own entry cannot be read: failed at the hundredth in a row;
    // a good answer in between starts the count again.
    job = runningJob(7);
    answer(R"({"jobs": [{"job_id": 7, "standard_output": "", "job_state": [7]}]})");
    for (int i = 0; i < Job::sMaxReadingErrors - 1; ++i)
        job->checkFinished();
    answer(R"({"jobs": [{"job_id": 7, "standard_output": "", "job_state": ["RUNNING"]}]})");
    job->checkFinished();
    EXPECT_EQ(job->parseErrorCount, 0);
    answer(R"({"jobs": [{"job_id": 7, "standard_output": "", "job_state": [7]}]})");
    for (int i = 0; i < Job::sMaxReadingErrors - 1; ++i)
        job->checkFinished();
    EXPECT_EQ(job->state, JobRunning);
    job->checkFinished();
    EXPECT_EQ(job->state, JobFailed);
    EXPECT_EQ(job->getReason(), "Slurm's entry for the job could not be read (job_state)");
}

TEST_F(JobSlurmTest, RequestsAreNeverLostAndNothingIsSubmittedOrCancelledTwice)
{
    writeTool(QStringLiteral("sbatch"), "echo \"$@\" >> \"$D/sbatch.calls\"\necho Submitted batch job 5\n");
    // Cancelled while waiting for input, then asked to run: refused, the job stays failed.
    auto job = std::make_shared<Job>();
    job->jobId = "L2";
    EXPECT_TRUE(job->requestCancel("bob"));
    job->cancel();
    EXPECT_EQ(job->state, JobFailed);
    EXPECT_EQ(job->getReason(), "cancelled by bob");
    EXPECT_FALSE(job->requestSubmit());
    EXPECT_FALSE(job->requestCancel("bob")); // has ended
    EXPECT_EQ(job->state, JobFailed);

    // A cancel or finalise that comes before the job thread acts on its state wins.
    for (const bool finalize : {false, true}) {
        job = std::make_shared<Job>();
        job->jobId = finalize ? "L3" : "L4";
        EXPECT_TRUE(job->requestSubmit());
        EXPECT_FALSE(job->requestSubmit());
        if (finalize)
            job->requestFinalize();
        else
            job->requestCancel("carol");
        job->start(); // what the controller had posted before the request
        EXPECT_EQ(job->state, finalize ? JobFinalized : JobToBeCancelled);
        EXPECT_FALSE(job->cancelsOnSlurm());
    }
    EXPECT_EQ(calls(QStringLiteral("sbatch")), "");

    // Finalising a job that runs on Slurm cancels it there first, and a cancel the job thread
    // had been given before the finalise does nothing.
    job = runningJob(42);
    job->requestCancel("dave");
    job->requestFinalize();
    job->cancel();
    EXPECT_EQ(job->state, JobFinalized);
    EXPECT_EQ(calls(QStringLiteral("scancel")), "");
    EXPECT_TRUE(job->cancelsOnSlurm());
    job->finalizeOnSlurm();
    EXPECT_EQ(calls(QStringLiteral("scancel")), "42\n");
    EXPECT_FALSE(job->cancelsOnSlurm());
}

TEST_F(JobSlurmTest, ASubmissionWhoseAnswerWasLostIsFoundOnSlurmByItsComment)
{
    // The server stopped after sbatch ran and before the Slurm ID was saved: the job comes
    // back "tobesubmitted" with the sign that sbatch ran, and is followed, not sent again.
    writeTool(QStringLiteral("sbatch"), "echo \"$@\" >> \"$D/sbatch.calls\"\necho Submitted batch job 99\n");
    auto job = std::make_shared<Job>();
    job->jobId = "lost";
    nlohmann::json record = nlohmann::json::parse(job->toRecord());
    record["state"] = int(JobToBeSubmitted);
    record["submitAttempted"] = true;
    ASSERT_TRUE(job->fromRecord(record.dump()));
    answer(R"({"jobs": [{"job_id": 30, "comment": "hxb:other", "job_state": "RUNNING", "standard_output": ""},
                        {"job_id": 31, "comment": "hxb:lost", "job_state": "RUNNING", "standard_output": ""}]})");
    job->start();
    EXPECT_EQ(job->state, JobQueued);
    EXPECT_EQ(job->slurmId, 31);
    EXPECT_EQ(calls(QStringLiteral("sbatch")), "");
    // An answer that cannot be read submits nothing: asked again at the next pass.
    job->state = JobToBeSubmitted;
    answer("garbage");
    job->start();
    EXPECT_EQ(job->state, JobToBeSubmitted);
    EXPECT_EQ(calls(QStringLiteral("sbatch")), "");
}

TEST_F(JobSlurmTest, AJobSlurmNoLongerListsIsReadFromTheControllerElseFinishedUnseen)
{
    // How Slurm 23.02 and later answer for a job gone after MinJobAge.
    auto job = runningJob(11500);
    answer("", 1, "slurm_load_jobs error: Invalid job id specified\n");
    job->checkFinished();
    EXPECT_EQ(calls(QStringLiteral("scontrol")), "show job 11500 --json\n");
    EXPECT_EQ(job->state, JobFinished);
    EXPECT_EQ(job->parseErrorCount, 0);
    EXPECT_EQ(job->getReason(), Job::sUnlistedReason);
    EXPECT_EQ(job->getExitCode(), -1);

    // The controller still knows how it ended: that is the job's end.
    BridgeTestEnv::writeFile(bin + QStringLiteral("/scontrol.out"),
                             R"({"jobs": [{"job_id": 11501, "job_state": ["FAILED"], "state_reason": "NonZeroExitCode",
                                 "standard_output": "/w/o", "exit_code": {"return_code": {"set": true, "number": 3}}}]})");
    auto failed = runningJob(11501);
    failed->checkFinished();
    EXPECT_EQ(failed->state, JobFailed);
    EXPECT_EQ(failed->getExitCode(), 3);
    EXPECT_EQ(failed->getJobInfo().reason, "FAILED NonZeroExitCode");
}

TEST_F(JobSlurmTest, AHangingSqueueIsStoppedAtTheLimit)
{
    auto job = runningJob(3);
    BridgeTestEnv::writeFile(bin + QStringLiteral("/answer.sleep"), "60");
    QElapsedTimer timer;
    timer.start();
    job->checkFinished();
    EXPECT_LT(timer.elapsed(), 20000);
    EXPECT_EQ(job->state, JobRunning);
    EXPECT_EQ(job->parseErrorCount, 1);
}

TEST_F(JobSlurmTest, FindsItsJobInAQueueOfThousands)
{
    QByteArray out = "{\"errors\": [], \"jobs\": [";
    for (int id = 1; id <= 5000; ++id) {
        out += (id > 1 ? "," : "") + QByteArray("{\"job_id\": ") + QByteArray::number(id)
               + ", \"standard_output\": \"/o/%j\", \"job_state\": \"" + (id == 4321 ? "PENDING" : "RUNNING")
               + "\", \"nodes\": \"n" + QByteArray::number(id % 7) + "\"}";
    }
    answer(out + "]}");
    auto job = runningJob(4321);
    job->checkFinished();
    EXPECT_EQ(job->state, JobQueued);
    EXPECT_EQ(job->getStdOutPath(), "/o/4321");
    EXPECT_EQ(job->getNode(), "n2");
}

TEST_F(JobSlurmTest, CancelRunsScancelOnlyForASlurmJob)
{
    for (int id : {-1, 0}) {
        auto job = runningJob(id);
        job->state = JobToBeCancelled;
        job->cancel();
        EXPECT_EQ(job->state, JobFailed);
    }
    EXPECT_EQ(calls(QStringLiteral("scancel")), "");
    auto job = runningJob(42);
    job->requestCancel("alice");
    EXPECT_EQ(job->state, JobToBeCancelled);
    job->cancel();
    EXPECT_EQ(job->state, JobFailed);
    EXPECT_EQ(job->getReason(), "cancelled by alice");
    EXPECT_EQ(calls(QStringLiteral("scancel")), "42\n");
}

TEST_F(JobSlurmTest, ControllerSortsJobsByStateAndPollsTogetherOrPerJob)
{
    answer(sampleFile("squeue-completed.json"));
    for (const bool perJob : {false, true}) {
        SCOPED_TRACE(perJob ? "per job" : "together");
        QFile::remove(bin + QStringLiteral("/squeue.calls"));
        BatchbayCtrl controller(perJob);
        auto waiting = std::make_shared<Job>();
        auto first = runningJob(1);
        auto second = runningJob(2);
        auto finalized = runningJob(9);
        finalized->state = JobFinalized;
        auto unknown = runningJob(10);
        unknown->state = 9;
        BatchbayJobStore::instance()->addOrUpdateJob(finalized);
        for (const auto &job : {waiting, first, second, finalized, unknown})
            controller.push(job);

        ASSERT_TRUE(hxbtest::waitUntil([&] { return first->state == JobFinished && second->state == JobFinished; },
                                       10000));
        ASSERT_TRUE(hxbtest::waitUntil([&] { return !BatchbayJobStore::instance()->getJobById("J9"); }, 5000));
        const quint64 passes = controller.passCount();
        ASSERT_TRUE(hxbtest::waitUntil([&] { return controller.passCount() > passes + 2; }, 5000));
        controller.stopAll();
        EXPECT_EQ(waiting->state, JobWaitingForInput);
        // Together: the text form first; the answer here is JSON, not the asked text, so the
        // same question is asked again as JSON.
        EXPECT_EQ(calls(QStringLiteral("squeue")),
                  perJob ? "--json --states=all --jobs=1\n--json --states=all --jobs=2\n"
                         : textCall({1, 2}) + "--json --states=all --jobs=1,2\n");
        EXPECT_EQ(waiting.use_count(), 1); // stopAll discarded what was queued
    }
}

TEST_F(JobSlurmTest, SharedAnswerThatAJobIsUnknownIsAskedAgainPerJob)
{
    // Asked about several jobs, "Invalid job id" does not say which: each is asked alone, and
    // only the one Slurm does not know is finished.
    writeTool(QStringLiteral("squeue"),
              "echo \"$@\" >> \"$D/squeue.calls\"\n"
              "case \"$*\" in *--jobs=5) echo '{\"jobs\": [{\"job_id\": 5, \"standard_output\": \"\", \"job_state\": \"RUNNING\"}]}';;\n"
              "*) echo 'slurm_load_jobs error: Invalid job id specified' >&2; exit 1;; esac\n");
    BatchbayCtrl controller(false);
    auto known = runningJob(5);
    auto purged = runningJob(6);
    controller.push(known);
    controller.push(purged);
    ASSERT_TRUE(hxbtest::waitUntil([&] { return purged->state == JobFinished; }, 10000));
    controller.stopAll();
    EXPECT_EQ(known->state, JobRunning);
    EXPECT_TRUE(calls(QStringLiteral("squeue")).startsWith(
        textCall({5, 6}) + "--json --states=all --jobs=5\n--json --states=all --jobs=6\n"));
}

class JobCleanupTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        settings = env.settings();
        work = QString::fromStdString(settings->getTmpDir());
        QDir().mkpath(work);
    }

    std::shared_ptr<Job> jobIn(const QString &dir, bool removeFiles)
    {
        auto job = std::make_shared<Job>();
        job->jobId = "C" + std::to_string(++count);
        job->removeFiles = removeFiles;
        job->jobDir = dir.toStdString();
        BatchbayJobStore::instance()->addOrUpdateJob(job);
        return job;
    }

    BridgeTestEnv env;
    std::unique_ptr<BatchbaySettings> settings;
    QString work;
    int count = 0;
};

TEST_F(JobCleanupTest, RemovesOnlyADirectoryStrictlyBelowTheWorkDirectory)
{
    const QString kept = work + QStringLiteral("/P/keep/");
    BridgeTestEnv::writeFile(kept + QStringLiteral("out.txt"));
    auto keep = jobIn(kept, false);
    keep->cleanup(*settings);
    EXPECT_TRUE(QFileInfo::exists(kept + QStringLiteral("out.txt")));
    EXPECT_FALSE(BatchbayJobStore::instance()->getJobById(keep->jobId));

    auto removed = std::make_shared<Job>();
    removed->jobId = "R";
    removed->projectName = "P";
    removed->designName = "D";
    removed->removeFiles = true;
    removed->jobDir = (work + QStringLiteral("/P/D/")).toStdString();
    BridgeTestEnv::writeFile(work + QStringLiteral("/P/D/sub/out.txt"));
    removed->cleanup(*settings);
    EXPECT_FALSE(QFileInfo::exists(work + QStringLiteral("/P/D")));
    EXPECT_TRUE(QFileInfo::exists(kept)); // the project level still holds another job

    // Never the work directory, a sibling that merely shares its prefix, or a link out of it.
    const QString sibling = work.chopped(1) + QStringLiteral("2/x/");
    const QString outside = env.path(QStringLiteral("outside/"));
    BridgeTestEnv::writeFile(sibling + QStringLiteral("f"));
    BridgeTestEnv::writeFile(outside + QStringLiteral("f"));
    QFile::link(outside, work + QStringLiteral("/link"));
    BridgeTestEnv::writeFile(work + QStringLiteral("/other/f"));
    for (const QString &dir : {work, work + QStringLiteral("/"), sibling, work + QStringLiteral("/link/"),
                               work + QStringLiteral("/P/../")}) {
        auto job = jobIn(dir, true);
        job->cleanup(*settings);
        EXPECT_FALSE(BatchbayJobStore::instance()->getJobById(job->jobId)) << dir.toStdString();
    }
    EXPECT_TRUE(QFileInfo::exists(sibling + QStringLiteral("f")));
    EXPECT_TRUE(QFileInfo::exists(outside + QStringLiteral("f")));
    EXPECT_TRUE(QFileInfo::exists(work + QStringLiteral("/other/f")));
}

TEST_F(JobCleanupTest, OutputIsReadWholeUpToTheBoundAndItsEndBeyond)
{
    auto job = std::make_shared<Job>();
    EXPECT_EQ(job->getStdOut(), ""); // no poll yet, no path
    job->jobDir = env.root().toStdString() + "/";
    const QString path = env.path(QStringLiteral("slurm-1.out"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("head\n");
    file.resize(Job::sMaxStdOutBytes + 5);
    file.seek(Job::sMaxStdOutBytes);
    file.write("tail\n");
    file.close();
    job->stdOutPath = path.toStdString();
    const std::string out = job->getStdOut();
    EXPECT_EQ(out.rfind("[... 5 bytes omitted ...]\n", 0), 0u);
    EXPECT_EQ(out.size(), std::string("[... 5 bytes omitted ...]\n").size() + Job::sMaxStdOutBytes);
    EXPECT_EQ(out.substr(out.size() - 5), "tail\n");

    file.resize(9);
    EXPECT_EQ(job->getStdOut(), std::string("head\n\0\0\0\0", 9));
}

// The job writes its own output file: what it leaves there must not lead the server elsewhere.
TEST_F(JobCleanupTest, OutputIsReadOnlyFromARegularFileInsideTheJobDirectory)
{
    const QString jobDir = env.path(QStringLiteral("job"));
    const QString outside = env.path(QStringLiteral("secret"));
    ASSERT_TRUE(QDir().mkpath(jobDir + QStringLiteral("/sub")));
    BridgeTestEnv::writeFile(outside, "secret");
    BridgeTestEnv::writeFile(jobDir + QStringLiteral("/sub/own.out"), "own");
    ASSERT_TRUE(QFile::link(outside, jobDir + QStringLiteral("/slurm-2.out")));
    ASSERT_TRUE(QFile::link(env.root(), jobDir + QStringLiteral("/up")));
    ASSERT_EQ(::mkfifo((jobDir + QStringLiteral("/slurm-3.out")).toUtf8().constData(), 0600), 0);
    const struct
    {
        QString path;
        std::string expected;
    } rows[] = {
        {jobDir + QStringLiteral("/sub/own.out"), "own"},
        {jobDir + QStringLiteral("/sub/../sub/own.out"), "own"},
        {jobDir + QStringLiteral("/slurm-2.out"), ""}, // a link to a file outside
        {jobDir + QStringLiteral("/up/secret"), ""}, // through a linked directory
        {jobDir + QStringLiteral("/slurm-3.out"), ""}, // a FIFO: no wait for a writer
        {outside, ""},
    };
    auto job = std::make_shared<Job>();
    job->jobDir = jobDir.toStdString() + "/";
    for (const auto &row : rows) {
        job->stdOutPath = row.path.toStdString();
        EXPECT_EQ(job->getStdOut(), row.expected) << row.path.toStdString();
    }

    // A job taken up from an earlier run has no directory resolved: the output's own folder
    // directly below the work directory stands for it.
    const QString work = QString::fromStdString(BatchbaySettings::instance()->getTmpDir());
    ASSERT_TRUE(QDir().mkpath(work));
    QTemporaryDir recovered(work + QStringLiteral("recovered-XXXXXX"));
    ASSERT_TRUE(recovered.isValid());
    BridgeTestEnv::writeFile(recovered.filePath(QStringLiteral("slurm-4.out")), "recovered");
    ASSERT_TRUE(QFile::link(outside, recovered.filePath(QStringLiteral("slurm-5.out"))));
    auto earlier = std::make_shared<Job>();
    for (const auto &[path, expected] :
         {std::pair {recovered.filePath(QStringLiteral("slurm-4.out")), "recovered"},
          std::pair {recovered.filePath(QStringLiteral("slurm-5.out")), ""},
          std::pair {jobDir + QStringLiteral("/sub/own.out"), ""}}) {
        earlier->stdOutPath = path.toStdString();
        EXPECT_EQ(earlier->getStdOut(), expected) << path.toStdString();
    }
}

} // namespace
