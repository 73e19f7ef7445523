// The logger singleton, run in a child program whose directory layout the test owns
// (<root>/bin/hxbcoreprobe, configuration at <root>/hxbconfig.ini).
#include "CoreProbe.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const QStringList kAllOperations = {
    "logLowInfo",    "logLowWarn",    "logLowCritical",    "logNormalInfo",
    "logNormalWarn", "logNormalCritical", "logHighInfo",   "logHighWarn",
    "logHighCritical", "logDebugInfo", "logDebugWarn",     "logDebugCritical",
};

class HXBLoggerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(mDir.isValid());
        ASSERT_TRUE(QDir().mkpath(hxbtest::probeBinDir(root())));
        mRoot = QDir(root()).canonicalPath();
    }

    QString root() const { return mDir.path(); }
    QString logDir() const { return mRoot + QStringLiteral("/bin/logs/"); }
    QString logFile() const { return logDir() + QStringLiteral("log.html"); }

    hxbtest::ProbeResult run(const QStringList &args, const QString &workDir = QString())
    {
        hxbtest::ProbeResult result = hxbtest::runProbe(root(), args, workDir);
        EXPECT_EQ(result.exitCode, 0) << result.output.toStdString();
        return result;
    }

    QTemporaryDir mDir;
    QString mRoot;
};

TEST_F(HXBLoggerTest, TierDecidesWhichOperationsWrite)
{
    const struct
    {
        int level;
        int enabledTiers; // Low, Normal, High, Debug in that order
    } cases[] = {{0, 1}, {1, 2}, {2, 3}, {3, 4}};
    for (const auto &c : cases) {
        const hxbtest::ProbeResult result =
            run({QStringLiteral("set:%1").arg(c.level), QStringLiteral("all")});
        QSet<QString> written;
        for (const QString &line : result.logLines()) {
            const QStringList words = line.split(QLatin1Char(' '));
            if (words.value(2).startsWith(QLatin1String("log")))
                written.insert(words.value(2));
        }
        QSet<QString> expected;
        for (int i = 0; i < c.enabledTiers * 3; ++i)
            expected.insert(kAllOperations[i]);
        EXPECT_EQ(written, expected) << "level " << c.level;
    }
}

TEST_F(HXBLoggerTest, KindGivesTheEntryLevel)
{
    const hxbtest::ProbeResult result = run({QStringLiteral("set:3"), QStringLiteral("all")});
    const QStringList lines = result.logLines();
    for (const QString &op : kAllOperations) {
        const QString level = op.endsWith(QLatin1String("Info"))   ? QStringLiteral("INFO")
                              : op.endsWith(QLatin1String("Warn")) ? QStringLiteral("WARN")
                                                                   : QStringLiteral("CRITICAL");
        EXPECT_TRUE(lines.contains(QStringLiteral("*** %1 %2 : h").arg(level, op)))
            << op.toStdString() << "\n" << result.output.toStdString();
    }
}

TEST_F(HXBLoggerTest, ConsoleLineShapeWithAndWithoutDetails)
{
    const hxbtest::ProbeResult result =
        run({QStringLiteral("log:logNormalInfo:Startup:es geht los ...:"),
             QStringLiteral("log:logLowWarn:DB:open failed:no such file")});
    const QStringList lines = result.logLines();
    EXPECT_TRUE(lines.contains(QStringLiteral("*** INFO Startup : es geht los ...")))
        << result.output.toStdString();
    EXPECT_TRUE(lines.contains(QStringLiteral("*** WARN DB : open failed [no such file]")));
}

TEST_F(HXBLoggerTest, WritesHtmlLogInConfiguredDirectory)
{
    const hxbtest::ProbeResult result =
        run({QStringLiteral("log:logNormalInfo:Startup:es geht los ...:")});
    EXPECT_TRUE(result.logLines().contains(
        QStringLiteral("*** INFO Logging : using logfile : ") + logFile()))
        << result.output.toStdString();
    const QString html = QString::fromUtf8(hxbtest::readTextFile(logFile()));
    EXPECT_TRUE(html.startsWith(QStringLiteral("<!DOCTYPE HTML PUBLIC")));
    EXPECT_TRUE(html.contains(QStringLiteral("<title>Orlenta-Systems HXB Server Logfile</title>")));
    EXPECT_TRUE(html.contains(QStringLiteral(" all times in UTC<br/>")));
    EXPECT_TRUE(html.contains(QStringLiteral("<td title=\"Header\">using logfile : ") + logFile()));
    EXPECT_TRUE(html.contains(QStringLiteral(
        "style=\"color:rgb(70,130,200);\">INFO</td>\n<td title=\"Category\">Startup</td>\n"
        "<td title=\"Header\">es geht los ...</td>")));
    // UTC time stamps in the server's own row format.
    const QRegularExpression stamp(
        QStringLiteral("\n<tr>\n<td>\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d,\\d{3}</td>\n"
                       "<td title=\"Thread\">\\d+</td>"));
    EXPECT_TRUE(stamp.match(html).hasMatch()) << html.toStdString();
}

TEST_F(HXBLoggerTest, SecondRunAppendsStartLine)
{
    run({QStringLiteral("log:logNormalInfo:c:first run:")});
    run({QStringLiteral("log:logNormalInfo:c:second run:")});
    const QString html = QString::fromUtf8(hxbtest::readTextFile(logFile()));
    EXPECT_EQ(html.count(QStringLiteral("<!DOCTYPE")), 1);
    EXPECT_EQ(html.count(QStringLiteral("Log session start time")), 2);
    EXPECT_EQ(html.count(QStringLiteral("<table ")), 2);
    EXPECT_LT(html.indexOf(QStringLiteral("first run")), html.lastIndexOf(QStringLiteral("<table ")));
    EXPECT_GT(html.indexOf(QStringLiteral("second run")), html.lastIndexOf(QStringLiteral("<table ")));
}

TEST_F(HXBLoggerTest, MaiaRowsAreGreyAndMarkupIsEscapedInFileOnly)
{
    const hxbtest::ProbeResult result =
        run({QStringLiteral("log:logNormalWarn:MaiaXmlRpc:<b>bold</b> & \"q\":<i>d</i>"),
             QStringLiteral("log:logNormalWarn:maia lower:plain:")});
    EXPECT_TRUE(result.logLines().contains(
        QStringLiteral("*** WARN MaiaXmlRpc : <b>bold</b> & \"q\" [<i>d</i>]")))
        << result.output.toStdString();
    const QString html = QString::fromUtf8(hxbtest::readTextFile(logFile()));
    EXPECT_TRUE(html.contains(QStringLiteral(
        "<td title=\"Category\">MaiaXmlRpc</td>\n"
        "<td title=\"Header\">&lt;b&gt;bold&lt;/b&gt; &amp; &quot;q&quot;</td>\n"
        "<td title=\"Details\">&lt;i&gt;d&lt;/i&gt;</td></tr>")))
        << html.toStdString();
    EXPECT_FALSE(html.contains(QStringLiteral("<b>bold")));
    EXPECT_EQ(html.count(QStringLiteral("<tr BGCOLOR=#E0E0E0>")), 1);
    const int grey = html.indexOf(QStringLiteral("<tr BGCOLOR=#E0E0E0>"));
    EXPECT_LT(grey, html.indexOf(QStringLiteral("MaiaXmlRpc")));
    EXPECT_GT(html.indexOf(QStringLiteral("maia lower")), grey);
}

TEST_F(HXBLoggerTest, OutputsStayWithMainThreadWhenWorkerLogsFirst)
{
    const hxbtest::ProbeResult result = run({QStringLiteral("worker:from worker"),
                                             QStringLiteral("log:logLowInfo:main:after worker:")});
    const QStringList lines = result.logLines();
    EXPECT_TRUE(lines.contains(QStringLiteral("*** INFO worker : from worker")))
        << result.output.toStdString();
    EXPECT_TRUE(lines.contains(QStringLiteral("*** INFO main : after worker")))
        << result.output.toStdString();
    const QString html = QString::fromUtf8(hxbtest::readTextFile(logFile()));
    EXPECT_TRUE(html.contains(QStringLiteral(">from worker</td>")));
    EXPECT_TRUE(html.contains(QStringLiteral(">after worker</td>")));
}

TEST_F(HXBLoggerTest, LogPathComesFromConfiguration)
{
    ASSERT_TRUE(hxbtest::writeTextFile(root() + QStringLiteral("/hxbconfig.ini"),
                                       "[Core]\nlogpath=" + (mRoot + "/deep/er").toUtf8() + "\n"));
    run({QStringLiteral("log:logLowInfo:c:h:")});
    EXPECT_TRUE(QFileInfo::exists(mRoot + QStringLiteral("/deep/er/logs/log.html")));
    EXPECT_FALSE(QFileInfo::exists(logFile()));
}

TEST_F(HXBLoggerTest, MaxSizeIsReadFromWorkingDirectory)
{
    // 1 KiB in the working directory's file: the log rolls over.
    const QString work = mRoot + QStringLiteral("/work");
    ASSERT_TRUE(QDir().mkpath(work));
    ASSERT_TRUE(hxbtest::writeTextFile(work + QStringLiteral("/hxbconfig.ini"), "[Core]\nnumLogs=1\n"));
    // The backup count comes from the configuration file; one backup keeps rolling.
    ASSERT_TRUE(hxbtest::writeTextFile(root() + QStringLiteral("/hxbconfig.ini"), "[Core]\nlogkeep=1\n"));
    QStringList args;
    for (int i = 0; i < 20; ++i)
        args << QStringLiteral("log:logLowInfo:c:entry %1:").arg(i);
    run(args, work);
    EXPECT_TRUE(QFileInfo::exists(logFile() + QStringLiteral(".1")));
    EXPECT_FALSE(QFileInfo::exists(logFile() + QStringLiteral(".2")));
}

TEST_F(HXBLoggerTest, MaxSizeInExecutableConfigurationIsIgnored)
{
    // The configuration beside the executable is not where the size limit is read from,
    // but its backup count applies.
    ASSERT_TRUE(hxbtest::writeTextFile(root() + QStringLiteral("/hxbconfig.ini"),
                                       "[Core]\nnumLogs=1\nlogkeep=2\n"));
    const QString work = mRoot + QStringLiteral("/work");
    ASSERT_TRUE(QDir().mkpath(work));
    QStringList args;
    for (int i = 0; i < 20; ++i)
        args << QStringLiteral("log:logLowInfo:c:entry %1:").arg(i);
    run(args, work);
    EXPECT_FALSE(QFileInfo::exists(logFile() + QStringLiteral(".1")));
    EXPECT_GT(QFileInfo(logFile()).size(), 1024);

    ASSERT_TRUE(hxbtest::writeTextFile(work + QStringLiteral("/hxbconfig.ini"), "[Core]\nnumLogs=1\n"));
    for (int round = 0; round < 4; ++round)
        run(args, work);
    EXPECT_TRUE(QFileInfo::exists(logFile() + QStringLiteral(".2")));
    EXPECT_FALSE(QFileInfo::exists(logFile() + QStringLiteral(".3")));
}

} // namespace
