#include "BatchbayWorker.h"

#include "BatchbayJobStore.h"
#include "BridgeTestEnv.h"
#include "Job.h"
#include "user/User.h"

#include <QMetaObject>
#include <QVariantList>

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

std::shared_ptr<User> makeUser(int id, FUserType type)
{
    auto user = std::make_shared<User>();
    user->mId = id;
    user->mType = type;
    return user;
}

class BatchbayWorkerTest : public ::testing::Test
{
protected:
    // A job in the store only: the controller never sees it, so its state stays put. Owned by
    // the fixture's caller unless another owner is given.
    static std::shared_ptr<Job> storedJob(const std::string &id, int state,
                                          std::vector<int> taskTypes = {}, int ownerId = 3)
    {
        auto job = std::make_shared<Job>();
        job->jobId = id;
        job->state = state;
        job->ownerId = ownerId;
        for (int type : taskTypes) {
            Task task;
            task.type = type;
            job->tasks.push_back(task);
        }
        BatchbayJobStore::instance()->addOrUpdateJob(job);
        return job;
    }

    // Called by name, as the XML-RPC layer calls it.
    int jobState(const QString &id, int taskCount)
    {
        int result = -1;
        EXPECT_TRUE(QMetaObject::invokeMethod(&worker, "jobState", Qt::DirectConnection,
                                              Q_RETURN_ARG(int, result), Q_ARG(QString, id),
                                              Q_ARG(int, taskCount)));
        return result;
    }

    QVariantMap startJob(const QVariantMap &description)
    {
        QVariantMap reply;
        EXPECT_TRUE(QMetaObject::invokeMethod(&worker, "startJob", Qt::DirectConnection,
                                              Q_RETURN_ARG(QVariantMap, reply),
                                              Q_ARG(QVariantMap, description)));
        return reply;
    }

    BridgeTestEnv env;
    std::shared_ptr<User> caller = makeUser(3, FUserTypeNormal);
    BatchbayWorker worker {caller};
};

TEST_F(BatchbayWorkerTest, JobStateMapsEveryStateToTheClientsNumbering)
{
    const struct
    {
        int state;
        int expected;
    } rows[] = {{JobWaitingForInput, 1},
                {JobToBeSubmitted, 2},
                {JobQueued, 2},
                {JobRunning, 2},
                {JobFinished, 3},
                {JobToBeCancelled, 2},
                {JobFailed, 5},
                {JobFinalized, 5},
                {8, 5},
                {-1, 5}};
    for (const auto &row : rows) {
        const std::string id = "state-" + std::to_string(row.state);
        storedJob(id, row.state);
        EXPECT_EQ(jobState(QString::fromStdString(id), 0), row.expected) << "state " << row.state;
    }
    EXPECT_EQ(jobState(QStringLiteral("no-such-job"), 0), 5);
}

TEST_F(BatchbayWorkerTest, JobStateAnswersThreeOnlyForTheCountedCopyTask)
{
    storedJob("copy-first", JobRunning, {0, 1});
    const struct
    {
        int taskCount;
        int expected;
    } rows[] = {{1, 3}, {2, 2}, {0, 2}, {-1, 2}, {3, 2}};
    for (const auto &row : rows)
        EXPECT_EQ(jobState(QStringLiteral("copy-first"), row.taskCount), row.expected)
            << "taskCount " << row.taskCount;
}

TEST_F(BatchbayWorkerTest, CancelJobMarksTheJobAndAlwaysAnswersTrue)
{
    auto job = storedJob("to-cancel", JobQueued);
    EXPECT_TRUE(worker.cancelJob(QStringLiteral("to-cancel")));
    EXPECT_EQ(job->state, JobToBeCancelled);
    EXPECT_TRUE(worker.cancelJob(QStringLiteral("never-existed")));
    EXPECT_EQ(BatchbayJobStore::instance()->getJobById("never-existed"), nullptr);
    EXPECT_EQ(worker.getStdOut(QStringLiteral("never-existed")), QString());
}

TEST_F(BatchbayWorkerTest, StartJobReadsTheDescriptionWithItsDefaults)
{
    QVariantMap process;
    process["type"] = "processTask";
    process["applicationId"] = 7;
    process["argsCount"] = 2;
    process["arg0"] = "-in";
    process["arg1"] = "hull.dat";
    process["priority"] = 40;
    process["partitionName"] = "batch";
    QVariantMap zeroTasks;
    zeroTasks["type"] = "processTask";
    zeroTasks["numberOfTasks"] = 0;
    QVariantMap copy;
    copy["type"] = "copyTask";
    copy["source"] = "a";
    copy["target"] = "b";
    copy["relPath"] = "c";
    QVariantMap odd;
    odd["type"] = "ProcessTask";
    odd["applicationId"] = 9;
    QVariantMap run;
    run["uuid"] = "run-uuid";
    run["name"] = "R1";

    QVariantMap description;
    description["taskId"] = "described";
    description["designName"] = "D1";
    description["projectName"] = "Hull A";
    description["maxRunTime"] = 3600;
    description["removeFiles"] = 2;
    description["derun"] = run;
    description["outputFileCount"] = 2;
    description["outputFile0"] = "  *.out \t";
    description["outputFile1"] = "results/";
    description["size"] = 4;
    description["task0"] = process;
    description["task1"] = zeroTasks;
    description["task2"] = copy;
    description["task3"] = odd;

    const QVariantMap reply = startJob(description);
    EXPECT_EQ(reply.value("messsage").toString(), QStringLiteral("Alles geht"));
    EXPECT_EQ(reply.value("jobId").toString(), QStringLiteral("described"));
    EXPECT_EQ(reply.value("serverPort").toInt(), -1);
    EXPECT_EQ(reply.value("hxbserver").toBool(), true);
    EXPECT_EQ(reply.size(), 4);

    auto job = BatchbayJobStore::instance()->getJobById("described");
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(job->state, JobWaitingForInput);
    EXPECT_EQ(job->ownerId, 3);
    EXPECT_EQ(job->outputFiles, (std::vector<std::string> {"*.out", "results/"}));
    EXPECT_EQ(job->designName, "D1");
    EXPECT_EQ(job->projectName, "Hull A");
    EXPECT_EQ(job->maxRunTime, 3600);
    EXPECT_TRUE(job->removeFiles);
    EXPECT_EQ(job->runId, "run-uuid");
    EXPECT_EQ(job->runName, "R1");
    EXPECT_GT(job->receivedTimestamp, 0);

    ASSERT_EQ(job->tasks.size(), 4u);
    const Task &p = job->tasks[0];
    EXPECT_EQ(p.type, 1);
    EXPECT_EQ(p.applicationId, 7);
    EXPECT_EQ(p.args, (std::vector<std::string> {"-in", "hull.dat"}));
    EXPECT_EQ(p.numberOfTasks, 1);
    EXPECT_TRUE(p.hasPriority);
    EXPECT_EQ(p.priority, 40);
    EXPECT_EQ(p.numberOfNodes, 0);
    EXPECT_EQ(p.partitionName, "batch");
    EXPECT_EQ(job->tasks[1].numberOfTasks, 0);
    EXPECT_FALSE(job->tasks[1].hasPriority);
    EXPECT_EQ(job->tasks[2].type, 0);
    EXPECT_EQ(job->tasks[2].source + job->tasks[2].target + job->tasks[2].relPath, "abc");
    // A task of an unknown type (the comparison is case-sensitive) is a default task.
    EXPECT_EQ(job->tasks[3].type, 1);
    EXPECT_EQ(job->tasks[3].applicationId, 0);
    EXPECT_EQ(job->tasks[3].numberOfTasks, 0);
}

TEST_F(BatchbayWorkerTest, StartJobWithoutTasksOrOptionalMembersStillSucceeds)
{
    QVariantMap description;
    description["taskId"] = "bare";
    EXPECT_EQ(startJob(description).value("messsage").toString(), QStringLiteral("Alles geht"));
    auto first = BatchbayJobStore::instance()->getJobById("bare");
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(first->tasks.empty());
    EXPECT_TRUE(first->runId.empty());
    EXPECT_FALSE(first->removeFiles);

    // The same task ID again replaces the job.
    startJob(description);
    auto second = BatchbayJobStore::instance()->getJobById("bare");
    EXPECT_NE(second, first);
}

// Every call that names a job follows the REST rule: the owner and administrators act on it,
// an unowned job (of an earlier run) is claimed by the first caller, anybody else is refused.
TEST_F(BatchbayWorkerTest, CallsOnAJobFollowTheOwnershipRule)
{
    const auto stranger = makeUser(4, FUserTypeNormal);
    const auto admin = makeUser(1, FUserTypeAdmin);
    QVariantMap resubmit;
    resubmit["taskId"] = "owned";
    resubmit["designName"] = "taken over";
    const struct
    {
        const char *label;
        std::function<void(BatchbayWorker &)> call;
    } calls[] = {
        {"getJobState", [](BatchbayWorker &w) { w.jobState(QStringLiteral("owned"), 0); }},
        {"getJobOutput", [](BatchbayWorker &w) { w.getStdOut(QStringLiteral("owned")); }},
        {"cancelJob", [](BatchbayWorker &w) { w.cancelJob(QStringLiteral("owned")); }},
        {"startJobv2", [&resubmit](BatchbayWorker &w) { w.startJob(resubmit); }},
    };
    for (const auto &row : calls) {
        const auto job = storedJob("owned", JobWaitingForInput);
        for (const auto &who : {stranger, std::shared_ptr<User>()}) {
            BatchbayWorker refused(who);
            row.call(refused);
            EXPECT_EQ(refused.fault(), XmlRpcFault::ApplicationError) << row.label;
            EXPECT_EQ(refused.faultMessage(), QStringLiteral("forbidden")) << row.label;
        }
        EXPECT_EQ(BatchbayJobStore::instance()->getJobById("owned"), job) << row.label;
        EXPECT_EQ(job->state, JobWaitingForInput) << row.label;

        BatchbayWorker byAdmin(admin);
        row.call(byAdmin);
        EXPECT_EQ(byAdmin.fault(), XmlRpcFault::None) << row.label;
        BatchbayWorker byOwner(caller);
        row.call(byOwner);
        EXPECT_EQ(byOwner.fault(), XmlRpcFault::None) << row.label;
    }
    // Resubmitted by an administrator, the job stays its owner's.
    EXPECT_EQ(BatchbayJobStore::instance()->getJobById("owned")->ownerId, 3);
    // A job handed to Slurm is never replaced, not even by its owner; one that was replaced
    // leaves the controller.
    const auto waiting = BatchbayJobStore::instance()->getJobById("owned");
    const auto queued = storedJob("queued", JobQueued);
    resubmit["taskId"] = "queued";
    BatchbayWorker again(caller);
    again.startJob(resubmit);
    EXPECT_EQ(again.fault(), XmlRpcFault::ApplicationError);
    EXPECT_EQ(again.faultMessage(), QStringLiteral("a job of this ID exists and no longer waits for input"));
    EXPECT_EQ(BatchbayJobStore::instance()->getJobById("queued"), queued);
    resubmit["taskId"] = "owned";
    BatchbayWorker(caller).startJob(resubmit);
    EXPECT_TRUE(waiting->replaced);

    const auto unowned = storedJob("unowned", JobQueued, {}, -1);
    BatchbayWorker first(stranger);
    EXPECT_EQ(first.jobState(QStringLiteral("unowned"), 0), 2);
    EXPECT_EQ(unowned->ownerId, 4);
    worker.cancelJob(QStringLiteral("unowned"));
    EXPECT_EQ(worker.fault(), XmlRpcFault::ApplicationError);
}

TEST_F(BatchbayWorkerTest, StartJobRefusesCountsBeyondTheDescriptionBeforeBuildingAnything)
{
    QVariantMap task;
    task["type"] = "processTask";
    task["argsCount"] = 3000000;
    const struct
    {
        QVariantMap description;
        const char *fault;
    } rows[] = {
        {{{"taskId", "c1"}, {"size", 20000000}}, "\"size\" is 20000000, but at most 2"},
        {{{"taskId", "c2"}, {"size", BatchbayWorker::sMaxTasks + 1}}, "\"size\" is 1001"},
        {{{"taskId", "c3"}, {"outputFileCount", 5}}, "\"outputFileCount\" is 5"},
        {{{"taskId", "c4"}, {"size", 1}, {"task0", task}}, "task0: \"argsCount\" is 3000000"},
        {{{"taskId", "c5"}, {"outputFileCount", 1}, {"outputFile0", " ../../etc/*"}},
         "\"outputFile0\" leads out of the job directory"},
        {{{"taskId", "c6"}, {"outputFileCount", 1}, {"outputFile0", "/etc/*"}},
         "\"outputFile0\" leads out"},
    };
    for (const auto &row : rows) {
        BatchbayWorker w(caller);
        EXPECT_TRUE(w.startJob(row.description).isEmpty());
        EXPECT_EQ(w.fault(), XmlRpcFault::InvalidParams);
        EXPECT_TRUE(w.faultMessage().startsWith(QLatin1String(row.fault)))
            << w.faultMessage().toStdString();
        EXPECT_EQ(BatchbayJobStore::instance()->getJobById(
                      row.description.value("taskId").toString().toStdString()),
                  nullptr);
    }
}

TEST_F(BatchbayWorkerTest, FixedAnswers)
{
    const QVariantMap apps = worker.applicationList(0);
    EXPECT_EQ(apps, worker.applicationList(1));
    EXPECT_EQ(apps.keys(), (QStringList {"Apps", "ConfigAddress", "HasMail", "HasMore"}));
    EXPECT_EQ(apps.value("HasMore"), QVariant(false));
    EXPECT_EQ(apps.value("HasMail"), QVariant(false));
    EXPECT_EQ(apps.value("ConfigAddress"), QVariant(QStringLiteral("internal")));
    EXPECT_EQ(apps.value("Apps").typeId(), QMetaType::QVariantList);
    EXPECT_EQ(worker.outputServerPort(), (QVariantMap {{"hxbserver", true}}));
    EXPECT_TRUE(worker.blockSchedule());
    EXPECT_TRUE(worker.unblockSchedule());
}

} // namespace
