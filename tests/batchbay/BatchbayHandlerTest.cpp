#include "BatchbayHandler.h"

#include "BridgeTestEnv.h"
#include "Job.h"
#include "httpserver/HttpResponse.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <fcntl.h>
#include <set>
#include <unistd.h>

namespace {

class BufferOutput : public HttpOutput
{
public:
    QByteArray bytes;
    bool writeAll(const char *data, qint64 size) override
    {
        bytes.append(data, size);
        return true;
    }
    bool isOpen() const override { return true; }
};

TEST(BatchbayHandlerTest, RegistersItselfAndCreatesTheBridgeTablesOnInit)
{
    BridgeTestEnv env;
    const auto &modules = HXBModule::getModules();
    EXPECT_NE(std::find(modules.begin(), modules.end(), BatchbayHandler::instance().get()),
              modules.end());

    BatchbayHandler::instance()->init();
    EXPECT_TRUE(BatchbayHandler::instance()->isInitialised());
    for (const char *name : {"BatchbayJOBS", "BatchbayAPPS", "BatchbayJOBCOUNTER"})
        EXPECT_TRUE(env.database().hasTable(QLatin1String(name))) << name;
    EXPECT_TRUE(env.database().hasIndex(QStringLiteral("idx_miradoid")));
}

void makeLink(const QString &target, const QString &link)
{
    ASSERT_EQ(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()),
              0)
        << link.toStdString();
}

// Patterns that match files and directories, links that lead out of the job directory or
// round in a circle, and a name that is not UTF-8.
TEST(BatchbayHandlerTest, OutputFileListStaysInsideTheJobDirectory)
{
    BridgeTestEnv env;
    const QString dir = env.path("job");
    for (const char *file : {"a.out", "b.out", "c.txt", "res/x.dat", "res/.hidden", "res/sub/y.dat",
                             "../outside/secret.txt"}) {
        BridgeTestEnv::writeFile(dir + "/" + QLatin1String(file));
    }
    makeLink(QStringLiteral(".."), dir + "/res/sub/loop");
    makeLink(env.path("outside"), dir + "/res/out");
    makeLink(env.path("outside/secret.txt"), dir + "/leak.out");
    const std::string badName = QFile::encodeName(dir).toStdString() + "/bad\xff.out";
    const int fd = ::open(badName.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
    // Qt cannot name this file to remove it with the temporary directory.
    const std::unique_ptr<const char, void (*)(const char *)> removeBad(
        badName.c_str(), [](const char *name) { ::unlink(name); });

    auto job = std::make_shared<Job>();
    job->jobId = "listing";
    job->jobDir = dir.toStdString() + "/";
    job->outputFiles = {"*.out", "res", "../outside/*", "res/sub/loop/sub/*.dat", "none*"};

    BufferOutput output;
    HttpResponse response(&output);
    response.setRequestInfo(false, false, false);
    BatchbayHandler::instance()->getOutputFileList(job, response);
    response.complete();

    const qsizetype bodyStart = output.bytes.indexOf("\r\n\r\n");
    ASSERT_GE(bodyStart, 0);
    const auto answer = nlohmann::json::parse(output.bytes.mid(bodyStart + 4).toStdString());
    std::set<std::string> files;
    for (const auto &name : answer.at("files"))
        files.insert(name.get<std::string>());
    EXPECT_EQ(files,
              (std::set<std::string> {"a.out", "b.out", "bad\xEF\xBF\xBD.out", "res/x.dat",
                                      "res/sub/y.dat", "res/sub/loop/sub/y.dat"}));
}

} // namespace
