#include "BatchbayQueueInfo.h"

#include "SlurmCommand.h"
#include "quicktype/Job.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <string>
#include <vector>

using nlohmann::json;

namespace {

const QString sDataDir = QStringLiteral(HXB_TEST_DATA_DIR "/slurm/");

QByteArray readData(const QString &name)
{
    QFile file(sDataDir + name);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << file.fileName().toStdString();
    return file.readAll();
}

std::string text(const quicktype::QueueList &list)
{
    return quicktype::toJsonText(json(list));
}

std::string computeText(const char *nodes, int *skipped = nullptr)
{
    return text(BatchbayQueueInfo::compute(json::parse(nodes), skipped));
}

// "name:cpus_total/idle/other" per queue, comma-separated, in answer order.
std::string queueSummary(const quicktype::QueueList &list)
{
    std::string summary;
    for (const quicktype::QueueInfo &queue : list.queues) {
        if (!summary.empty())
            summary += ',';
        summary += queue.partition + ':' + std::to_string(int(queue.cpus_total)) + '/'
            + std::to_string(int(queue.idle)) + '/' + std::to_string(int(queue.other));
    }
    return summary;
}

const char *const sEmptyList = R"({"cluster":{"allocated":0.0,"cpus_total":0.0,"idle":0.0,)"
                               R"("nodes":0.0,"other":0.0,"states":{}},"queues":[]})";

} // namespace

TEST(BatchbayQueueInfoTest, SumsNodesIntoClusterAndQueues)
{
    struct Row
    {
        const char *what;
        const char *nodes;
        const char *expected;
    };
    const Row rows[] = {
        {"idle node in one partition",
         R"([{"cpus":16,"alloc_cpus":4,"state":["IDLE"],"partitions":["batch"]}])",
         R"({"cluster":{"allocated":4.0,"cpus_total":16.0,"idle":12.0,"nodes":1.0,"other":0.0,)"
         R"("states":{"IDLE":{"cpus":16.0,"nodes":1.0}}},"queues":[{"allocated":4.0,)"
         R"("cpus_total":16.0,"idle":12.0,"nodes":1.0,"other":0.0,"partition":"batch",)"
         R"("states":{"IDLE":{"cpus":16.0,"nodes":1.0}}}]})"},
        {"draining node: free CPUs are other, counted under both states",
         R"([{"cpus":16,"alloc_cpus":4,"state":["MIXED","DRAIN"],"partitions":["batch"]}])",
         R"({"cluster":{"allocated":4.0,"cpus_total":16.0,"idle":0.0,"nodes":1.0,"other":12.0,)"
         R"("states":{"DRAIN":{"cpus":16.0,"nodes":1.0},"MIXED":{"cpus":16.0,"nodes":1.0}}},)"
         R"("queues":[{"allocated":4.0,"cpus_total":16.0,"idle":0.0,"nodes":1.0,"other":12.0,)"
         R"("partition":"batch","states":{"DRAIN":{"cpus":16.0,"nodes":1.0},)"
         R"("MIXED":{"cpus":16.0,"nodes":1.0}}}]})"},
        {"more allocated than CPUs leaves nothing free",
         R"([{"cpus":4,"alloc_cpus":6,"state":["ALLOCATED"],"partitions":null}])",
         R"({"cluster":{"allocated":6.0,"cpus_total":4.0,"idle":0.0,"nodes":1.0,"other":0.0,)"
         R"("states":{"ALLOCATED":{"cpus":4.0,"nodes":1.0}}},"queues":[]})"},
        {"node in two partitions counts in both; state null means available",
         R"([{"cpus":2,"alloc_cpus":1,"state":null,"partitions":["debug","long"]}])",
         R"({"cluster":{"allocated":1.0,"cpus_total":2.0,"idle":1.0,"nodes":1.0,"other":0.0,)"
         R"("states":{}},"queues":[{"allocated":1.0,"cpus_total":2.0,"idle":1.0,"nodes":1.0,)"
         R"("other":0.0,"partition":"debug","states":{}},{"allocated":1.0,"cpus_total":2.0,)"
         R"("idle":1.0,"nodes":1.0,"other":0.0,"partition":"long","states":{}}]})"},
        {"queues in byte order, state names differing in case are available",
         R"([{"cpus":1,"alloc_cpus":0,"state":["down"],"partitions":["b"]},)"
         R"({"cpus":1,"alloc_cpus":0,"state":["Drain"],"partitions":["a"]},)"
         R"({"cpus":1,"alloc_cpus":0,"state":["DOWN"],"partitions":["B"]}])",
         R"({"cluster":{"allocated":0.0,"cpus_total":3.0,"idle":2.0,"nodes":3.0,"other":1.0,)"
         R"("states":{"DOWN":{"cpus":1.0,"nodes":1.0},"Drain":{"cpus":1.0,"nodes":1.0},)"
         R"("down":{"cpus":1.0,"nodes":1.0}}},"queues":[{"allocated":0.0,"cpus_total":1.0,)"
         R"("idle":0.0,"nodes":1.0,"other":1.0,"partition":"B","states":{"DOWN":{"cpus":1.0,)"
         R"("nodes":1.0}}},{"allocated":0.0,"cpus_total":1.0,"idle":1.0,"nodes":1.0,)"
         R"("other":0.0,"partition":"a","states":{"Drain":{"cpus":1.0,"nodes":1.0}}},)"
         R"({"allocated":0.0,"cpus_total":1.0,"idle":1.0,"nodes":1.0,"other":0.0,)"
         R"("partition":"b","states":{"down":{"cpus":1.0,"nodes":1.0}}}]})"},
        {"nodes as object, names as string and object, counts as float, bool and wrapped",
         R"({"n2":{"cpus":{"set":true,"infinite":false,"number":8},"alloc_cpus":true,)"
         R"("state":"PLANNED","partitions":"p"},)"
         R"("n1":{"cpus":2.9,"alloc_cpus":{"set":false,"infinite":false,"number":5},)"
         R"("state":{"0":"IDLE","1":"MAINT"},"partitions":{"x":"p"}}})",
         R"({"cluster":{"allocated":1.0,"cpus_total":10.0,"idle":0.0,"nodes":2.0,"other":9.0,)"
         R"("states":{"IDLE":{"cpus":2.0,"nodes":1.0},"MAINT":{"cpus":2.0,"nodes":1.0},)"
         R"("PLANNED":{"cpus":8.0,"nodes":1.0}}},"queues":[{"allocated":1.0,"cpus_total":10.0,)"
         R"("idle":0.0,"nodes":2.0,"other":9.0,"partition":"p","states":{"IDLE":{"cpus":2.0,)"
         R"("nodes":1.0},"MAINT":{"cpus":2.0,"nodes":1.0},"PLANNED":{"cpus":8.0,"nodes":1.0}}}]})"},
        {"empty array", "[]", sEmptyList},
        {"empty object", "{}", sEmptyList},
        {"null", "null", sEmptyList},
        {"neither array nor object", R"("nodes")", sEmptyList},
    };
    for (const Row &row : rows) {
        int skipped = -1;
        EXPECT_EQ(computeText(row.nodes, &skipped), row.expected) << row.what;
        EXPECT_EQ(skipped, 0) << row.what;
    }
}

TEST(BatchbayQueueInfoTest, SkipsNodesThatCannotBeRead)
{
    const char *const good = R"({"cpus":4,"alloc_cpus":1,"state":["IDLE"],"partitions":["p"]})";
    const std::string alone = computeText((std::string("[") + good + "]").c_str());
    const char *const badNodes[] = {
        R"(7)",
        R"(null)",
        R"({"alloc_cpus":1,"state":["IDLE"],"partitions":["p"]})",
        R"({"cpus":4,"state":["IDLE"],"partitions":["p"]})",
        R"({"cpus":4,"alloc_cpus":1,"partitions":["p"]})",
        R"({"cpus":4,"alloc_cpus":1,"state":["IDLE"]})",
        R"({"cpus":"4","alloc_cpus":1,"state":["IDLE"],"partitions":["p"]})",
        R"({"cpus":4,"alloc_cpus":null,"state":["IDLE"],"partitions":["p"]})",
        R"({"cpus":[4],"alloc_cpus":1,"state":["IDLE"],"partitions":["p"]})",
        R"({"cpus":1e20,"alloc_cpus":1,"state":["IDLE"],"partitions":["p"]})",
        R"({"cpus":-1e20,"alloc_cpus":1,"state":["IDLE"],"partitions":["p"]})",
        R"({"cpus":18446744073709551615,"alloc_cpus":1,"state":["IDLE"],"partitions":["p"]})",
        R"({"cpus":-9223372036854775807,"alloc_cpus":1,"state":["IDLE"],"partitions":["p"]})",
        R"({"cpus":{"set":true,"infinite":true,"number":0},"alloc_cpus":1,"state":[],)"
        R"("partitions":["p"]})",
        R"({"cpus":{"set":true,"number":{"set":true,"number":4}},"alloc_cpus":1,"state":[],)"
        R"("partitions":["p"]})",
        R"({"cpus":{"number":4},"alloc_cpus":1,"state":[],"partitions":["p"]})",
        R"({"cpus":{"set":true},"alloc_cpus":1,"state":[],"partitions":["p"]})",
        R"({"cpus":4,"alloc_cpus":1,"state":["IDLE",1],"partitions":["p"]})",
        R"({"cpus":4,"alloc_cpus":1,"state":7,"partitions":["p"]})",
        R"({"cpus":4,"alloc_cpus":1,"state":[["IDLE"]],"partitions":["p"]})",
        R"({"cpus":4,"alloc_cpus":1,"state":["IDLE"],"partitions":5})",
        R"({"cpus":4,"alloc_cpus":1,"state":["IDLE"],"partitions":{"a":null}})",
    };
    for (const char *bad : badNodes) {
        int skipped = 0;
        // Before and after the good node, so a bad node neither ends the walk nor leaks sums.
        const std::string nodes = std::string("[") + bad + "," + good + "," + bad + "]";
        EXPECT_EQ(computeText(nodes.c_str(), &skipped), alone) << bad;
        EXPECT_EQ(skipped, 2) << bad;
    }
}

TEST(BatchbayQueueInfoTest, SumsRealSlurmAnswers)
{
    enum class Source { Sinfo2205, Scontrol, BareArray };
    struct Row
    {
        const char *file;
        Source source;
        double allocated, cpusTotal, idle, nodes, other;
        const char *states;
        const char *queues;
    };
    // Expected figures worked out once from the files.
    const Row rows[] = {
        {"sinfo-idle.json", Source::Sinfo2205, 0, 2, 2, 1, 0,
         R"({"IDLE":{"cpus":2.0,"nodes":1.0}})", "debug:2/2/0,long:2/2/0"},
        {"sinfo-mixed.json", Source::Sinfo2205, 1, 2, 1, 1, 0,
         R"({"MIXED":{"cpus":2.0,"nodes":1.0}})", "debug:2/1/0,long:2/1/0"},
        {"sinfo-allocated.json", Source::Sinfo2205, 2, 2, 0, 1, 0,
         R"({"ALLOCATED":{"cpus":2.0,"nodes":1.0}})", "debug:2/0/0,long:2/0/0"},
        {"sinfo-drained.json", Source::Sinfo2205, 0, 2, 0, 1, 2,
         R"({"DRAIN":{"cpus":2.0,"nodes":1.0},"IDLE":{"cpus":2.0,"nodes":1.0}})",
         "debug:2/0/2,long:2/0/2"},
        {"modern/23.02-v0.0.39-scontrol-nodes-rest-list.json", Source::Scontrol, 2, 8, 2, 4, 4,
         R"({"ALLOCATED":{"cpus":2.0,"nodes":1.0},"DOWN":{"cpus":2.0,"nodes":1.0},)"
         R"("DRAIN":{"cpus":2.0,"nodes":1.0},"IDLE":{"cpus":4.0,"nodes":2.0}})",
         "batch:4/0/2,debug:4/2/2"},
        {"modern/23.11-v0.0.40-scontrol-nodes-rest-list.json", Source::Scontrol, 109, 288, 51, 5,
         128,
         R"({"ALLOCATED":{"cpus":64.0,"nodes":1.0},"DOWN":{"cpus":64.0,"nodes":1.0},)"
         R"("DRAIN":{"cpus":64.0,"nodes":1.0},"IDLE":{"cpus":96.0,"nodes":2.0},)"
         R"("MIXED":{"cpus":64.0,"nodes":1.0}})",
         "ia:32/32/0,standard:256/19/128"},
        {"modern/24.05-v0.0.41-scontrol-nodes-rest-drain.json", Source::Scontrol, 0, 48, 0, 1, 48,
         R"({"DRAIN":{"cpus":48.0,"nodes":1.0},"IDLE":{"cpus":48.0,"nodes":1.0}})",
         "batch:48/0/48"},
        {"modern/24.05-v0.0.41-scontrol-nodes-rest-draining.json", Source::Scontrol, 1, 64, 0, 1,
         63, R"({"DRAIN":{"cpus":64.0,"nodes":1.0},"MIXED":{"cpus":64.0,"nodes":1.0}})",
         "normal:64/0/63"},
        {"modern/24.05-v0.0.41-scontrol-nodes-rest-list.json", Source::Scontrol, 65, 256, 127, 4,
         64,
         R"({"ALLOCATED":{"cpus":64.0,"nodes":1.0},"DOWN":{"cpus":64.0,"nodes":1.0},)"
         R"("IDLE":{"cpus":64.0,"nodes":1.0},"MIXED":{"cpus":64.0,"nodes":1.0}})",
         "batch:256/127/64"},
        {"modern/24.11-v0.0.42-scontrol-nodes-cli-down-drain.json", Source::Scontrol, 0, 4, 0, 3, 4,
         R"({"DOWN":{"cpus":3.0,"nodes":2.0},"DRAIN":{"cpus":3.0,"nodes":2.0},)"
         R"("IDLE":{"cpus":1.0,"nodes":1.0},"NOT_RESPONDING":{"cpus":3.0,"nodes":2.0}})",
         "compute-group:4/0/4,defq:4/0/4"},
        {"modern/24.11-v0.0.42-scontrol-nodes-rest-list.json", Source::Scontrol, 0, 224, 96, 4, 128,
         R"({"COMPLETING":{"cpus":32.0,"nodes":1.0},"DOWN":{"cpus":64.0,"nodes":1.0},)"
         R"("DRAIN":{"cpus":64.0,"nodes":1.0},"IDLE":{"cpus":160.0,"nodes":3.0}})",
         "ia:32/32/0,standard:192/64/128"},
        {"modern/24.11-v0.0.42-scontrol-nodes-rest-mixed.json", Source::Scontrol, 1, 64, 63, 1, 0,
         R"({"MIXED":{"cpus":64.0,"nodes":1.0}})", "standard:64/63/0"},
        {"modern/25.05-v0.0.43-scontrol-nodes-rest-list.json", Source::Scontrol, 0, 224, 96, 4, 128,
         R"({"COMPLETING":{"cpus":32.0,"nodes":1.0},"DOWN":{"cpus":64.0,"nodes":1.0},)"
         R"("DRAIN":{"cpus":64.0,"nodes":1.0},"IDLE":{"cpus":160.0,"nodes":3.0}})",
         "gpu:32/32/0,normal:192/64/128"},
        {"modern/25.05-v0.0.43-scontrol-nodes-rest-mixed.json", Source::Scontrol, 2, 64, 62, 1, 0,
         R"({"MIXED":{"cpus":64.0,"nodes":1.0}})", "normal:64/62/0"},
        {"modern/25.05-v0.0.43-scontrol-nodes-rest-planned.json", Source::Scontrol, 0, 32, 0, 1, 32,
         R"({"COMPLETING":{"cpus":32.0,"nodes":1.0},"IDLE":{"cpus":32.0,"nodes":1.0},)"
         R"("PLANNED":{"cpus":32.0,"nodes":1.0}})",
         "gpu:32/0/32"},
        {"modern/25.11-scontrol-nodes-entry-mixed-gpu.json", Source::BareArray, 52, 128, 76, 1, 0,
         R"({"MIXED":{"cpus":128.0,"nodes":1.0}})", "gpu:128/76/0"},
        {"modern/25.11-v0.0.44-scontrol-nodes-cli-down-dynamic.json", Source::Scontrol, 0, 8, 0, 1,
         8, R"({"DOWN":{"cpus":8.0,"nodes":1.0},"DYNAMIC_NORM":{"cpus":8.0,"nodes":1.0}})",
         "compute:8/0/8"},
        {"modern/25.11-v0.0.44-scontrol-nodes-rest-draining.json", Source::Scontrol, 13, 64, 0, 1,
         51, R"({"DRAIN":{"cpus":64.0,"nodes":1.0},"MIXED":{"cpus":64.0,"nodes":1.0}})",
         "normal:64/0/51"},
        {"modern/25.11-v0.0.44-scontrol-nodes-rest-list.json", Source::Scontrol, 110, 288, 50, 5,
         128,
         R"({"ALLOCATED":{"cpus":64.0,"nodes":1.0},"DOWN":{"cpus":64.0,"nodes":1.0},)"
         R"("DRAIN":{"cpus":64.0,"nodes":1.0},"IDLE":{"cpus":96.0,"nodes":2.0},)"
         R"("MIXED":{"cpus":64.0,"nodes":1.0}})",
         "gpu:32/32/0,normal:256/18/128"},
        {"modern/25.11-v0.0.44-scontrol-nodes-rest-planned.json", Source::Scontrol, 0, 32, 0, 1, 32,
         R"({"IDLE":{"cpus":32.0,"nodes":1.0},"PLANNED":{"cpus":32.0,"nodes":1.0}})",
         "gpu:32/0/32"},
        // Captured here (scripts/modern-slurm.sh), one job running on the 2-CPU node.
        {"modern/24.11-v0.0.42-scontrol-nodes-cli-mixed.json", Source::Scontrol, 1, 2, 1, 1, 0,
         R"({"MIXED":{"cpus":2.0,"nodes":1.0}})", "debug:2/1/0,long:2/1/0"},
        {"modern/26.05-v0.0.45-scontrol-nodes-cli-mixed.json", Source::Scontrol, 1, 2, 1, 1, 0,
         R"({"MIXED":{"cpus":2.0,"nodes":1.0}})", "debug:2/1/0,long:2/1/0"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.file);
        const QByteArray output = readData(QString::fromLatin1(row.file));
        QString error;
        std::optional<quicktype::QueueList> list;
        switch (row.source) {
        case Source::Sinfo2205:
            list = BatchbayQueueInfo::fromSinfoOutput(output, &error);
            break;
        case Source::Scontrol:
            list = BatchbayQueueInfo::fromScontrolOutput(output, &error);
            break;
        case Source::BareArray: {
            int skipped = -1;
            list = BatchbayQueueInfo::compute(json::parse(output.toStdString()), &skipped);
            EXPECT_EQ(skipped, 0);
            break;
        }
        }
        ASSERT_TRUE(list) << error.toStdString();
        const quicktype::ClusterInfo &cluster = list->cluster;
        EXPECT_EQ(cluster.allocated, row.allocated);
        EXPECT_EQ(cluster.cpus_total, row.cpusTotal);
        EXPECT_EQ(cluster.idle, row.idle);
        EXPECT_EQ(cluster.nodes, row.nodes);
        EXPECT_EQ(cluster.other, row.other);
        EXPECT_EQ(quicktype::toJsonText(json(cluster)["states"]), row.states);
        EXPECT_EQ(queueSummary(*list), row.queues);
    }
}

TEST(BatchbayQueueInfoTest, RefusesUnusableAnswers)
{
    struct Row
    {
        const char *what;
        QByteArray output;
        bool sinfo;
        const char *reason; // part of the error text
    };
    const Row rows[] = {
        {"controller down (22.05 sinfo)", readData("sinfo-controller-down.json"), true,
         "Unspecified error"},
        {"sinfo of newer Slurm", readData("modern/23.02-v0.0.39-sinfo-cli-node.json"), true,
         "no \"nodes\""},
        {"sinfo of 24.11", readData("modern/24.11-v0.0.42-sinfo-cli-mixed.json"), true, "no \"nodes\""},
        {"sinfo of 26.05", readData("modern/26.05-v0.0.45-sinfo-cli-mixed.json"), true, "no \"nodes\""},
        {"a job list", readData("squeue-running.json"), false, "no \"nodes\""},
        {"scontrol without --json", readData("scontrol-show-node-oneliner.txt"), false, "not JSON"},
        {"bare array", readData("modern/25.11-scontrol-nodes-entry-mixed-gpu.json"), false,
         "not a JSON object"},
        {"empty", QByteArray(), false, "no output"},
        {"blank", "  \n", true, "no output"},
        {"cut short", R"({"nodes":[{"cpus":2,)", false, "not JSON"},
        {"comment", "/* x */ {\"nodes\":[]}", false, "not JSON"},
        {"invalid UTF-8", "{\"nodes\":[],\"x\":\"\xff\"}", false, "not JSON"},
        {"nodes a number", R"({"nodes":5})", false, "neither an array nor an object"},
        {"errors beside nodes", R"({"nodes":[{"cpus":1}],"errors":[{"description":"busy"}]})",
         false, "busy"},
        {"error without text", R"({"nodes":[],"errors":[7]})", true, "7"},
    };
    for (const Row &row : rows) {
        QString error;
        const std::optional<quicktype::QueueList> list = row.sinfo
            ? BatchbayQueueInfo::fromSinfoOutput(row.output, &error)
            : BatchbayQueueInfo::fromScontrolOutput(row.output, &error);
        EXPECT_FALSE(list) << row.what;
        EXPECT_TRUE(error.contains(QLatin1String(row.reason)))
            << row.what << ": " << error.toStdString();
    }
}

TEST(BatchbayQueueInfoTest, NormalisesLowerCaseSinfoStates)
{
    const json nodes = json::parse(
        R"([{"cpus":2,"alloc_cpus":0,"state":"down","state_flags":["NOT_RESPONDING"],)"
        R"("partitions":[]},)"
        R"({"cpus":2,"alloc_cpus":0,"state":["IDLE"],"state_flags":["DRAIN"],"partitions":[]},)"
        R"({"cpus":2,"alloc_cpus":0,"state":"idle","partitions":[]}])");
    EXPECT_EQ(BatchbayQueueInfo::normaliseSinfoNodes(nodes),
              json::parse(R"([{"cpus":2,"alloc_cpus":0,"state":["DOWN","NOT_RESPONDING"],)"
                          R"("state_flags":["NOT_RESPONDING"],"partitions":[]},)"
                          R"({"cpus":2,"alloc_cpus":0,"state":["IDLE"],"state_flags":["DRAIN"],)"
                          R"("partitions":[]},)"
                          R"({"cpus":2,"alloc_cpus":0,"state":["IDLE"],"partitions":[]}])"));
}

// Slurm tools replaced by small scripts, put first on PATH for one test, for answers the real
// cluster does not give on demand.
class BatchbayQueueInfoFetchTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(mDir.isValid());
        mOldPath = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(mDir.path()) + ':' + mOldPath);
    }

    void TearDown() override { qputenv("PATH", mOldPath); }

    void writeTool(const QString &name, const QByteArray &body)
    {
        QFile file(mDir.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\n" + body + '\n');
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    static QByteArray catData(const char *name)
    {
        return "exec cat '" + QFile::encodeName(sDataDir) + name + "'";
    }

    QTemporaryDir mDir;
    QByteArray mOldPath;
};

TEST_F(BatchbayQueueInfoFetchTest, ReportsToolsThatGiveNoUsableAnswer)
{
    struct Row
    {
        const char *what;
        QByteArray scontrol;
        QByteArray sinfo;
        const char *reason;
    };
    const Row rows[] = {
        {"both print garbage", "echo 'Segmentation fault'", "printf '\\001\\002'", "not JSON"},
        {"scontrol crashes, sinfo cut short", "kill -SEGV $$", "printf '{\"nodes\": ['",
         "not JSON"},
        {"22.05 with its controller down", "echo \"unrecognized option '--json'\" >&2; exit 1",
         catData("sinfo-controller-down.json"), "Unspecified error"},
        // A hanging scontrol means a controller that does not answer: sinfo is not asked.
        {"scontrol hangs", "exec sleep 30", catData("sinfo-idle.json"), "did not finish"},
    };
    for (const Row &row : rows) {
        writeTool(QStringLiteral("scontrol"), row.scontrol);
        writeTool(QStringLiteral("sinfo"), row.sinfo);
        QString error;
        EXPECT_FALSE(BatchbayQueueInfo::fetch(&error)) << row.what;
        EXPECT_TRUE(error.contains(QLatin1String(row.reason)))
            << row.what << ": " << error.toStdString();
    }
}

TEST_F(BatchbayQueueInfoFetchTest, UsesScontrolAnswerOfNewerSlurm)
{
    writeTool(QStringLiteral("scontrol"),
              catData("modern/25.11-v0.0.44-scontrol-nodes-rest-list.json"));
    writeTool(QStringLiteral("sinfo"), "exit 1");
    QString error;
    const std::optional<quicktype::QueueList> list = BatchbayQueueInfo::fetch(&error);
    ASSERT_TRUE(list) << error.toStdString();
    EXPECT_EQ(list->cluster.cpus_total, 288.0);
    EXPECT_EQ(queueSummary(*list), "gpu:32/32/0,normal:256/18/128");
}

TEST(BatchbayQueueInfoLiveTest, ReadsTheLocalCluster)
{
    if (QStandardPaths::findExecutable(QStringLiteral("sinfo")).isEmpty())
        GTEST_SKIP() << "no Slurm on PATH";
    const SlurmCommandResult ping
        = SlurmCommand(QStringLiteral("scontrol"), {QStringLiteral("ping")}).run();
    if (!ping.output.contains("is UP"))
        GTEST_SKIP() << "the Slurm controller does not answer (scripts/local-slurm.sh start)";
    const SlurmCommandResult nproc = SlurmCommand(QStringLiteral("nproc"), {}).run();
    ASSERT_TRUE(nproc.succeeded());
    const double cpus = nproc.output.trimmed().toInt();
    ASSERT_GT(cpus, 0);

    QString error;
    const std::optional<quicktype::QueueList> list = BatchbayQueueInfo::fetch(&error);
    ASSERT_TRUE(list) << error.toStdString();
    EXPECT_EQ(list->cluster.nodes, 1.0);
    EXPECT_EQ(list->cluster.cpus_total, cpus);
    // Jobs of other tests may run: whatever is not allocated is free, idle or not.
    EXPECT_EQ(list->cluster.idle + list->cluster.other,
              std::max(0.0, cpus - list->cluster.allocated));
    ASSERT_EQ(list->queues.size(), 2u);
    EXPECT_EQ(list->queues[0].partition, "debug");
    EXPECT_EQ(list->queues[1].partition, "long");
    for (const quicktype::QueueInfo &queue : list->queues) {
        EXPECT_EQ(queue.nodes, 1.0) << queue.partition;
        EXPECT_EQ(queue.cpus_total, cpus) << queue.partition;
    }
}

TEST(BatchbayQueueInfoNodesTest, DescribesEachNodeOfOldAndNewSlurm)
{
    struct Row
    {
        const char *file;
        bool sinfo;
        std::size_t count;
        const char *first;
    };
    const Row rows[] = {
        {"sinfo-mixed.json", true, 1, nullptr},
        {"modern/25.11-v0.0.44-scontrol-nodes-rest-list.json", false, 5,
         R"({"alloc_cpus":0,"alloc_memory_mb":0,"cpus":64,"free_memory_mb":852,)"
         R"("memory_mb":131072,"name":"cn1","partitions":["normal"],)"
         R"("reason":"ECC memory error","state":["IDLE","DRAIN"]})"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.file);
        json nodes = json::parse(readData(QString::fromLatin1(row.file)).toStdString())["nodes"];
        if (row.sinfo)
            nodes = BatchbayQueueInfo::normaliseSinfoNodes(nodes);
        const json described = BatchbayQueueInfo::describeNodes(nodes);
        ASSERT_EQ(described.size(), row.count);
        for (const json &node : described) {
            EXPECT_FALSE(node["name"].get<std::string>().empty());
            EXPECT_GT(node["cpus"].get<int>(), 0);
            EXPECT_FALSE(node["state"].empty());
        }
        if (row.first) {
            EXPECT_EQ(described[0].dump(), row.first);
        }
    }
    // Entries that are not nodes are left out; unreadable members are null, not a failure.
    EXPECT_EQ(
        BatchbayQueueInfo::describeNodes(json::parse(R"([1, {"cpus": "x", "state": 5}])")).dump(),
        R"([{"alloc_cpus":null,"alloc_memory_mb":null,"cpus":null,"free_memory_mb":null,)"
        R"("memory_mb":null,"name":"","partitions":[],"reason":"","state":[]}])");
    EXPECT_EQ(BatchbayQueueInfo::describeNodes(json(nullptr)), json::array());
}
