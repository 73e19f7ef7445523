#include "Job.h"
#include "SlurmQueueSnapshot.h"

#include <QFile>
#include <QStringList>

#include <set>

#include <gtest/gtest.h>

namespace {

using Outcome = SlurmJobReading::Outcome;

std::string sample(const std::string &name)
{
    QFile file(QStringLiteral(HXB_TEST_DATA_DIR "/slurm/") + QString::fromStdString(name));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name;
    return file.readAll().toStdString();
}

struct SampleCase
{
    const char *file;
    int slurmId;
    int state; // job state after the reading, starting from "running"
    const char *node;
    const char *stdOutPath;
    int exitCode;
    const char *reason;
};

// Real answers of Slurm 22.05 (captured here) and of 23.02 to 25.11, one job each.
TEST(SlurmQueueSnapshotTest, ReadsEveryRecordedSlurmVersion)
{
    const SampleCase cases[] = {
        // 22.05: job_state a string, standard_output empty or an unexpanded pattern,
        // job_resources absent while pending, every job listed whatever --job= asked.
        {"squeue-pending.json", 2, JobQueued, "", "/tmp/local-slurm-samples/slurm-2.out", -1, "PENDING"},
        {"squeue-running.json", 2, JobRunning, "vm", "/tmp/local-slurm-samples/slurm-2.out", -1, "RUNNING"},
        {"squeue-completed.json", 2, JobFinished, "vm", "/tmp/local-slurm-samples/slurm-2.out", 0, "COMPLETED"},
        {"squeue-failed.json", 3, JobFailed, "vm", "/tmp/local-slurm-samples/out-3.txt", 3, "FAILED NonZeroExitCode"},
        {"squeue-cancelled.json", 4, JobFailed, "vm", "/tmp/local-slurm-samples/slurm-4.out", 143, "CANCELLED"},
        {"squeue-all-options.json", 5, JobFailed, "", "/tmp/local-slurm-samples/slurm-5.out", 0, "CANCELLED JobHeldUser"},
        {"squeue-all-options.json", 7, JobQueued, "", "/dev/null", -1, "PENDING"},
        {"squeue-after-purge.json", 22, JobFinished, "vm", "/dev/null", 0, "COMPLETED"},
        // 23.02, 23.11 (v0.0.39/40): nodes a string, job_resources {} while pending.
        {"modern/23.02-v0.0.39-squeue-rest-pending.json", 326, JobQueued, "", "/home/jcampbell/slurm-326.out", -1, "PENDING Resources"},
        {"modern/23.02-v0.0.39-squeue-rest-running.json", 310, JobRunning, "cn[052-067]", "/home/cgross/slurm-310.out", -1, "RUNNING"},
        {"modern/23.02-v0.0.39-squeue-cli-array-held.json", 52175550, JobQueued, "",
         "/scratch/alice/dtu_regr/rvsys/./logs/slurm-52175550.out", -1, "PENDING JobHeldUser"},
        {"modern/23.11-v0.0.40-squeue-rest-completed.json", 777, JobFinished, "cn1", "/home/cpotter/slurm-777.out", 0, "COMPLETED"},
        {"modern/23.11-v0.0.40-squeue-rest-list.json", 776, JobFailed, "cn1", "/home/emendoza/slurm-776.out", 143, "TIMEOUT TimeLimit"},
        // 24.05, 24.11 (v0.0.41/42): nodes an object with "list"; job_resources null pending.
        {"modern/24.05-v0.0.41-squeue-rest-running.json", 649722, JobRunning, "cn001", "/home/ksoto/slurm-649722.out", -1, "RUNNING"},
        {"modern/24.05-v0.0.41-squeue-rest-list.json", 649717, JobFailed, "cn001", "/home/ksoto/slurm-649717.out", 143, "TIMEOUT TimeLimit"},
        {"modern/24.11-v0.0.42-squeue-rest-pending.json", 6370, JobQueued, "", "/home/jbeck/slurm-6370.out", -1, "PENDING BeginTime"},
        {"modern/24.11-v0.0.42-squeue-rest-running-multinode.json", 6371, JobRunning, "ia[1-2]", "/home/jthomas/slurm-6371.out", -1, "RUNNING"},
        {"modern/24.11-v0.0.42-squeue-rest-list.json", 6355, JobFailed, "ia1", "/home/progers/slurm-6355.out", 143, "CANCELLED"},
        // 25.05 (v0.0.43): standard_output and stdout_expanded empty -> Slurm's default name.
        {"modern/25.05-v0.0.43-squeue-rest-running.json", 4739, JobRunning, "cn1", "/home/progers/slurm-4739.out", -1, "RUNNING"},
        {"modern/25.05-v0.0.43-squeue-rest-list.json", 2195, JobFailed, "", "/dev/null", 0, "CANCELLED QOSMaxCpuPerJobLimit"},
        // 25.11 (v0.0.44): an unexpanded pattern beside stdout_expanded.
        {"modern/25.11-v0.0.44-squeue-rest-completed.json", 5749, JobFinished, "cn1", "/home/vhartman/slurm-5749.out", 0, "COMPLETED"},
        {"modern/25.11-v0.0.44-squeue-rest-running-multinode.json", 5679, JobRunning, "gpu[1-2]", "/home/dperez/slurm-5679.out", -1, "RUNNING"},
        {"modern/25.11-v0.0.41-squeue-rest-running.json", 16, JobRunning, "cn3", "/home/jthomas/slurm-16.out", -1, "RUNNING"},
        // 24.11 and 26.05 captured here (scripts/modern-slurm.sh), squeue --states=all: a
        // completed, a failed (exit 3), a cancelled, a running and a pending job; 26.05 gives
        // the pattern in standard_output and the path in stdout_expanded.
        {"modern/24.11-v0.0.42-squeue-cli-states-all.json", 1, JobFinished, "vm", "/tmp/modern-slurm-samples/slurm-1.out", 0, "COMPLETED"},
        {"modern/24.11-v0.0.42-squeue-cli-states-all.json", 2, JobFailed, "vm", "/tmp/modern-slurm-samples/out-2.txt", 3, "FAILED NonZeroExitCode"},
        {"modern/24.11-v0.0.42-squeue-cli-states-all.json", 3, JobFailed, "vm", "/tmp/modern-slurm-samples/slurm-3.out", 143, "CANCELLED"},
        {"modern/24.11-v0.0.42-squeue-cli-states-all.json", 4, JobRunning, "vm", "/tmp/modern-slurm-samples/slurm-4.out", -1, "RUNNING"},
        {"modern/24.11-v0.0.42-squeue-cli-states-all.json", 5, JobQueued, "", "/tmp/modern-slurm-samples/slurm-5.out", -1, "PENDING Resources"},
        {"modern/24.11-v0.0.42-scontrol-job-cli-completed.json", 1, JobFinished, "vm", "/tmp/modern-slurm-samples/slurm-1.out", 0, "COMPLETED"},
        {"modern/24.11-v0.0.42-squeue-cli-array.json", 6, JobRunning, "", "/tmp/modern-slurm-samples/slurm-6_3.out", -1, "RUNNING"},
        {"modern/24.11-v0.0.42-squeue-cli-array.json", 8, JobRunning, "vm", "/tmp/modern-slurm-samples/slurm-6_2.out", -1, "RUNNING"},
        {"modern/26.05-v0.0.45-squeue-cli-states-all.json", 1, JobFinished, "vm", "/tmp/modern-slurm-samples/slurm-1.out", 0, "COMPLETED"},
        {"modern/26.05-v0.0.45-squeue-cli-states-all.json", 2, JobFailed, "vm", "/tmp/modern-slurm-samples/out-2.txt", 3, "FAILED NonZeroExitCode"},
        {"modern/26.05-v0.0.45-squeue-cli-states-all.json", 3, JobFailed, "vm", "/tmp/modern-slurm-samples/slurm-3.out", 143, "CANCELLED"},
        {"modern/26.05-v0.0.45-squeue-cli-states-all.json", 4, JobRunning, "vm", "/tmp/modern-slurm-samples/slurm-4.out", -1, "RUNNING"},
        {"modern/26.05-v0.0.45-squeue-cli-states-all.json", 5, JobQueued, "", "/tmp/modern-slurm-samples/slurm-5.out", -1, "PENDING"},
        {"modern/26.05-v0.0.45-scontrol-job-cli-completed.json", 1, JobFinished, "vm", "/tmp/modern-slurm-samples/slurm-1.out", 0, "COMPLETED"},
        {"modern/26.05-v0.0.45-squeue-cli-array.json", 7, JobRunning, "vm", "/tmp/modern-slurm-samples/slurm-6_1.out", -1, "RUNNING"},
    };
    for (const SampleCase &c : cases) {
        SCOPED_TRACE(std::string(c.file) + " job " + std::to_string(c.slurmId));
        const SlurmJobReading reading = SlurmQueueSnapshot::fromOutput(sample(c.file)).lookup(c.slurmId);
        ASSERT_EQ(reading.outcome, Outcome::Found) << reading.error;
        EXPECT_EQ(reading.failedAt, "");
        EXPECT_EQ(SlurmQueueSnapshot::jobStateFor(reading.stateWord, JobRunning), c.state);
        EXPECT_EQ(reading.node, c.node);
        EXPECT_EQ(reading.stdOutPath, c.stdOutPath);
        EXPECT_EQ(reading.exitCode, c.exitCode);
        EXPECT_EQ(reading.reason, c.reason);
    }
}

// The same jobs asked in squeue's text form and in its JSON form at the same moment, on each
// version run here (tests/data/slurm/text/capture.sh): both forms read alike for every job of
// the answer (completed, exit 3, killed by a signal, cancelled, running, held, arrays).
TEST(SlurmQueueSnapshotTest, ReadsTheTextAnswerAsTheJsonAnswer)
{
    for (const char *version : {"22.05", "24.11", "26.05"}) {
        const std::string name = std::string("text/slurm-") + version;
        SCOPED_TRACE(name);
        // The capture asked what the server asks.
        QStringList arguments = QString::fromStdString(sample(name + ".args")).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        const QString list = arguments.filter(QStringLiteral("--jobs=")).value(0).mid(7);
        std::vector<int> ids;
        for (const QString &id : list.split(QLatin1Char(',')))
            ids.push_back(id.toInt());
        EXPECT_EQ(SlurmQueueSnapshot::textQueryArguments(ids), arguments);

        const SlurmQueueSnapshot text = SlurmQueueSnapshot::fromTextOutput(sample(name + ".txt"));
        const SlurmQueueSnapshot json = SlurmQueueSnapshot::fromOutput(sample(name + ".json"));
        std::set<std::string> states;
        for (int id : ids) {
            SCOPED_TRACE("job " + std::to_string(id));
            const SlurmJobReading a = text.lookup(id);
            const SlurmJobReading b = json.lookup(id);
            ASSERT_EQ(a.outcome, Outcome::Found) << a.error;
            ASSERT_EQ(b.outcome, Outcome::Found) << b.error;
            EXPECT_EQ(a.failedAt, "");
            EXPECT_EQ(a.stateWord, b.stateWord);
            EXPECT_EQ(a.exitCode, b.exitCode);
            // The text form gives the signal beside the reason: "RaisedSignal:9(Killed)".
            EXPECT_EQ(a.reason.substr(0, b.reason.size()), b.reason);
            EXPECT_EQ(a.node, b.node);
            EXPECT_EQ(a.stdOutPath, b.stdOutPath);
            states.insert(a.reason + " " + std::to_string(a.exitCode));
        }
        // The capture holds what it is meant to: an exit code, a signal and a failed array task.
        EXPECT_TRUE(states.count("FAILED NonZeroExitCode 3")) << ::testing::PrintToString(states);
        EXPECT_TRUE(states.count("FAILED NonZeroExitCode (array task 1) 1")) << ::testing::PrintToString(states);
    }
}

// A text answer of another shape (a field squeue does not know, a name holding the separator
// or a line break) is not guessed from: it is unreadable, and the caller asks again in JSON.
TEST(SlurmQueueSnapshotTest, RefusesATextAnswerOfAnotherShape)
{
    const std::string good = "7\x1f" "7\x1f" "N/A\x1f" "RUNNING\x1f" "0:0\x1f" "vm\x1f" "None\x1f" "u\x1f" "/w\x1f" "o-%j\x1f" "n\x1f";
    const SlurmJobReading fine = SlurmQueueSnapshot::fromTextOutput(good + "\n").lookup(7);
    ASSERT_EQ(fine.outcome, Outcome::Found);
    EXPECT_EQ(fine.stdOutPath, "/w/o-7");
    EXPECT_EQ(SlurmQueueSnapshot::fromTextOutput("").lookup(7).outcome, Outcome::NotFound);
    for (const std::string &bad : {good.substr(0, good.size() - 2) + "a\x1f" "b\x1f",  // separator in the name
                                   good.substr(0, good.size() - 2) + "\nx\x1f",        // line break in the name
                                   good.substr(good.find('\x1f') + 1),                  // a field missing
                                   "x" + good}) {                                       // not an ID
        const SlurmJobReading reading = SlurmQueueSnapshot::fromTextOutput(good + "\n" + bad + "\n").lookup(7);
        EXPECT_EQ(reading.outcome, Outcome::Error) << ::testing::PrintToString(bad);
    }
    EXPECT_EQ(SlurmQueueSnapshot::fromTextOutput("", 1, "slurm_load_jobs error: Invalid job id specified\n").lookup(7).outcome,
              Outcome::NotFound);
    EXPECT_EQ(SlurmQueueSnapshot::fromTextOutput("", 1, "squeue: error: Invalid job format specification: exit_code\n")
                  .lookup(7).outcome,
              Outcome::Error);
}

TEST(SlurmQueueSnapshotTest, TellsAJobSlurmDoesNotKnowFromAnAnswerThatCannotBeRead)
{
    struct Case
    {
        std::string output;
        int exitCode;
        std::string standardError;
        Outcome outcome;
    } const cases[] = {
        {sample("squeue-empty-queue.json"), 0, "", Outcome::NotFound},
        {sample("squeue-running.json"), 0, "", Outcome::NotFound}, // lists jobs 1 and 2 only
        {R"({"meta": {}})", 0, "", Outcome::NotFound},
        {R"({"jobs": null})", 0, "", Outcome::NotFound},
        // Purged after MinJobAge on 23.02 and later: error 2017, in the JSON or on stderr.
        {sample("modern/25.11-v0.0.44-squeue-rest-unfound.json"), 0, "", Outcome::NotFound},
        {"", 1, "slurm_load_jobs error: Invalid job id specified\n", Outcome::NotFound},
        // Controller down: exit 0, no jobs, but an error. Never "finished".
        {sample("squeue-controller-down.json"), 0, "", Outcome::Error},
        {R"({"jobs": [], "errors": ["boom"]})", 0, "", Outcome::Error},
        {R"({"jobs": []})", 1, "squeue: error: something else", Outcome::Error},
        {"", 0, "", Outcome::Error},
        {"garbage", 0, "", Outcome::Error},
        {"[1, 2]", 0, "", Outcome::Error},
        {R"({"jobs": 5})", 0, "", Outcome::Error},
        {R"({"jobs": [{"job_id": "9"}]})", 0, "", Outcome::Error},
        {R"({"jobs": [17]})", 0, "", Outcome::Error},
        {R"({"jobs": [{"job_id": 9}, {"nope": 1}]})", 0, "", Outcome::Error}, // not 99, bad entry
        {"{\"jobs\": [] /* comment */}", 0, "", Outcome::Error},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.output.substr(0, 80));
        EXPECT_EQ(SlurmQueueSnapshot::fromOutput(c.output, c.exitCode, c.standardError).lookup(99).outcome,
                  c.outcome);
    }
}

TEST(SlurmQueueSnapshotTest, ReadsTheFirstMatchingEntryAndStopsAtTheFirstBadMember)
{
    // A match before a bad entry is still found; an object of jobs works like an array.
    auto first = SlurmQueueSnapshot::fromOutput(
                     R"({"jobs": {"a": {"job_id": 1.9, "standard_output": "o", "job_state": ["RUNNING", "COMPLETING"],
                          "current_working_directory": "/w", "job_resources": {"nodes": {"list": "n1"}}},
                                  "b": {"bad": true}}})")
                     .lookup(1);
    EXPECT_EQ(first.outcome, Outcome::Found);
    EXPECT_EQ(first.stdOutPath, "/w/o");
    EXPECT_EQ(first.stateWord, "RUNNING");
    EXPECT_EQ(first.node, "n1");

    struct Case
    {
        const char *entry;
        const char *failedAt;
    } const cases[] = {
        {R"({"job_id": true, "job_state": "RUNNING"})", "standard_output"},
        {R"({"job_id": 1, "standard_output": 3, "job_state": "RUNNING"})", "standard_output"},
        {R"({"job_id": 1, "standard_output": "", "job_state": []})", "job_state"},
        {R"({"job_id": 1, "standard_output": "", "job_state": [7]})", "job_state"},
        {R"({"job_id": {"set": true, "number": 1}, "standard_output": "", "job_state": "PENDING", "nodes": 4})", "node"},
        {R"({"job_id": 1, "standard_output": "", "job_state": "RUNNING", "job_resources": {"nodes": {"count": 1}}})", "node"},
        {R"({"job_id": 1, "standard_output": "", "job_state": "RUNNING", "job_resources": {}, "nodes": "top"})", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.entry);
        const SlurmJobReading reading
            = SlurmQueueSnapshot::fromOutput(std::string(R"({"jobs": [)") + c.entry + "]}").lookup(1);
        EXPECT_EQ(reading.outcome, Outcome::Found);
        EXPECT_EQ(reading.failedAt, c.failedAt);
    }
}

TEST(SlurmQueueSnapshotTest, ExpandsOutputPatternsAsSlurmDoes)
{
    const struct
    {
        const char *standardOutput;
        const char *expected;
    } cases[] = {
        {"out-%j.txt", "/home/u/out-42.txt"},
        {"/abs/%x-%u-%%-%6j.log", "/abs/hull-alice-%-000042.log"},
        {"%A_%a", "/home/u/42_4294967294"},
        {"keep-%N-%q", "/home/u/keep-%N-%q"},
        {"trailing%", "/home/u/trailing%"},
        {"", "/home/u/slurm-42.out"},
    };
    for (const auto &c : cases) {
        nlohmann::json entry = {{"job_id", 42}, {"name", "hull"}, {"user_name", "alice"},
                                {"current_working_directory", "/home/u"},
                                {"standard_output", c.standardOutput}};
        std::string path;
        ASSERT_TRUE(SlurmQueueSnapshot::outputPath(entry, path));
        EXPECT_EQ(path, c.expected) << c.standardOutput;
    }
    nlohmann::json array = {{"job_id", 43}, {"array_job_id", {{"set", true}, {"number", 40}}},
                            {"array_task_id", {{"set", true}, {"number", 3}}},
                            {"current_working_directory", "/w/"}, {"standard_output", ""}};
    std::string path;
    ASSERT_TRUE(SlurmQueueSnapshot::outputPath(array, path));
    EXPECT_EQ(path, "/w/slurm-40_3.out");
}

TEST(SlurmQueueSnapshotTest, MapsEveryEndOfAJobThatDidNotComplete)
{
    for (const char *word :
         {"CANCELLED", "FAILED", "TIMEOUT", "NODE_FAIL", "OUT_OF_MEMORY", "BOOT_FAIL", "DEADLINE", "PREEMPTED"})
        EXPECT_EQ(SlurmQueueSnapshot::jobStateFor(word, JobRunning), JobFailed) << word;
    for (const char *word : {"COMPLETING", "SUSPENDED", "REQUEUED", "running", ""})
        EXPECT_EQ(SlurmQueueSnapshot::jobStateFor(word, JobQueued), JobQueued) << word;
}

TEST(SlurmQueueSnapshotTest, FollowsAJobArrayUntilEveryTaskHasEnded)
{
    // Task entries of array 50 (task 0 keeps the array's ID), a pending rest, another job.
    auto task = [](int id, int index, const char *state, int exitStatus) {
        return nlohmann::json{{"job_id", id}, {"array_job_id", {{"set", true}, {"number", 50}}},
                              {"array_task_id", {{"set", index >= 0}, {"number", index < 0 ? 0 : index}}},
                              {"job_state", {state}}, {"state_reason", "None"},
                              {"standard_output", "/w/out-%A_%a"},
                              {"exit_code", {{"return_code", {{"set", true}, {"number", exitStatus}}}}}};
    };
    auto read = [](std::vector<nlohmann::json> entries) {
        entries.push_back({{"job_id", 60}, {"array_job_id", 0}, {"job_state", "FAILED"}, {"standard_output", ""}});
        return SlurmQueueSnapshot::fromOutput(nlohmann::json{{"jobs", entries}}.dump()).lookup(50);
    };
    SlurmJobReading reading = read({task(50, 0, "COMPLETED", 0), task(51, 1, "RUNNING", 0), task(52, -1, "PENDING", 0)});
    EXPECT_EQ(reading.stateWord, "RUNNING");
    EXPECT_EQ(reading.exitCode, -1);
    EXPECT_EQ(reading.stdOutPath, "/w/out-50_0");
    reading = read({task(50, 0, "COMPLETED", 0), task(52, -1, "PENDING", 0)});
    EXPECT_EQ(reading.stateWord, "PENDING");
    reading = read({task(50, 0, "COMPLETED", 0), task(51, 1, "FAILED", 3), task(52, 2, "COMPLETED", 0)});
    EXPECT_EQ(SlurmQueueSnapshot::jobStateFor(reading.stateWord, JobRunning), JobFailed);
    EXPECT_EQ(reading.exitCode, 3);
    EXPECT_EQ(reading.reason, "FAILED (array task 1)");
    reading = read({task(51, 1, "COMPLETED", 0), task(50, 0, "COMPLETED", 2)});
    EXPECT_EQ(reading.stateWord, "COMPLETED");
    EXPECT_EQ(reading.exitCode, 2);
}

TEST(SlurmQueueSnapshotTest, ReadsTheExitCodeOnlyOnceTheJobHasEnded)
{
    const struct
    {
        const char *state;
        const char *exitCode;
        int expected;
    } cases[] = {
        {"FAILED", "512", 2},       // 22.05: the wait status
        {"CANCELLED", "9", 137},    // 22.05: killed by signal 9
        {"RUNNING", "0", -1},       // not ended: nothing is known yet
        {"FAILED", R"({"status": ["ERROR"], "return_code": 7, "signal": {"id": {"set": false, "number": 0}}})", 7},
        {"OUT_OF_MEMORY", R"({"status": ["SIGNALED"], "signal": {"id": 9, "name": "KILL"}})", 137},
        {"FAILED", R"({"status": ["ERROR"]})", -1},
        {"FAILED", R"("three")", -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.exitCode);
        const std::string answer = std::string(R"({"jobs": [{"job_id": 1, "standard_output": "", "job_state": ")")
                                   + c.state + R"(", "exit_code": )" + c.exitCode + "}]}";
        EXPECT_EQ(SlurmQueueSnapshot::fromOutput(answer).lookup(1).exitCode, c.expected);
    }
}

} // namespace
