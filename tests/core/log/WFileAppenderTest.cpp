#include "log/WFileAppender.h"
#include "log/WFormater.h"
#include "log/WHTMLFormater.h"
#include "log/WLogLevel.h"
#include "log/WLogger.h"
#include "log/WLoggingEvent.h"

#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "QtGTestPrinters.h"

#include <gtest/gtest.h>

using namespace WLog;

namespace {

// Fixed decorations, so file contents can be compared exactly.
class MarkerFormater : public WFormater
{
public:
    QString getInitLine() override { return QStringLiteral("INIT"); }
    QString format(const WLoggingEvent &event) override { return event.getHeader(); }
    QString getLogStartLine() override { return QStringLiteral("START|"); }
    QString getLogEndLine() override { return QStringLiteral("END"); }
};

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void writeAll(const QString &path, const QByteArray &content)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

WLoggingEvent event(const QString &header)
{
    return WLoggingEvent(WLogLevel::WINFO, QStringLiteral("c"), header, QString(), true);
}

class WFileAppenderTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(mDir.isValid()); }

    QString dir() const { return mDir.path(); }
    QString logFile() const { return dir() + QStringLiteral("/log.html"); }
    QString backup(int k) const { return logFile() + QLatin1Char('.') + QString::number(k); }

    WFileAppender *appender(unsigned maxKiB = 500, unsigned backups = 3)
    {
        return new WFileAppender(new MarkerFormater, dir(), QStringLiteral("log.html"), maxKiB,
                                 backups, false);
    }

    QTemporaryDir mDir;
};

TEST_F(WFileAppenderTest, NewFileGetsInitTextThenRows)
{
    std::unique_ptr<WFileAppender> a(appender());
    a->writeLineToFile(QStringLiteral("row1"));
    a->writeLineToFile(QStringLiteral("row2"));
    EXPECT_EQ(readAll(logFile()), QByteArray("INIT\nrow1\nrow2\n"));
}

TEST_F(WFileAppenderTest, ExistingFileGetsStartLineOncePerAppender)
{
    writeAll(logFile(), "INIT\nold\n");
    std::unique_ptr<WFileAppender> a(appender());
    a->writeLineToFile(QStringLiteral("new1"));
    a->writeLineToFile(QStringLiteral("new2"));
    EXPECT_EQ(readAll(logFile()), QByteArray("INIT\nold\nSTART|new1\nnew2\n"));
}

TEST_F(WFileAppenderTest, DestructionWritesEndLine)
{
    {
        std::unique_ptr<WFileAppender> a(appender());
        a->writeLineToFile(QStringLiteral("row"));
    }
    EXPECT_EQ(readAll(logFile()), QByteArray("INIT\nrow\nEND\n"));
}

TEST_F(WFileAppenderTest, EmptyLineWritesNothing)
{
    auto *a = new WFileAppender(new WHTMLFormater, dir(), QStringLiteral("log.html"), 500, 3, false);
    a->writeLineToFile(QString());
    EXPECT_FALSE(QFileInfo::exists(logFile()));
    delete a->takeFormater(); // no end line either
    delete a;
    EXPECT_FALSE(QFileInfo::exists(logFile()));
}

TEST_F(WFileAppenderTest, RollsOverIntoNumberedBackups)
{
    writeAll(logFile(), QByteArray(1100, 'x'));
    writeAll(backup(1), "b1");
    writeAll(backup(2), "b2");
    writeAll(backup(3), "b3");
    std::unique_ptr<WFileAppender> a(appender(1, 3));
    a->writeLineToFile(QStringLiteral("fresh"));
    EXPECT_EQ(readAll(logFile()), QByteArray("INIT\nfresh\n"));
    EXPECT_EQ(readAll(backup(1)), QByteArray(1100, 'x'));
    EXPECT_EQ(readAll(backup(2)), QByteArray("b1"));
    EXPECT_EQ(readAll(backup(3)), QByteArray("b2"));
    EXPECT_FALSE(QFileInfo::exists(backup(4)));
}

TEST_F(WFileAppenderTest, RollsOnlyOnceTheFileIsPastTheLimit)
{
    std::unique_ptr<WFileAppender> a(appender(1, 3));
    const QString line(99, QLatin1Char('a')); // 100 bytes with its line end
    int written = 0;
    while (QFileInfo(logFile()).size() <= 1024 && written < 100) {
        a->writeLineToFile(line);
        ++written;
    }
    EXPECT_FALSE(QFileInfo::exists(backup(1)));
    const qint64 sizeBefore = QFileInfo(logFile()).size();
    EXPECT_LT(sizeBefore, 1024 + 100 + 1); // exceeds the limit by at most one line
    a->writeLineToFile(QStringLiteral("next"));
    EXPECT_EQ(QFileInfo(backup(1)).size(), sizeBefore);
    EXPECT_EQ(readAll(logFile()), QByteArray("INIT\nnext\n"));

    // Filling up again pushes the first backup down.
    while (QFileInfo(logFile()).size() <= 1024)
        a->writeLineToFile(line);
    a->writeLineToFile(QStringLiteral("third"));
    EXPECT_EQ(QFileInfo(backup(2)).size(), sizeBefore);
    EXPECT_TRUE(QFileInfo::exists(backup(1)));
}

TEST_F(WFileAppenderTest, FileAtExactlyTheLimitIsNotRolled)
{
    writeAll(logFile(), QByteArray(1024, 'x'));
    std::unique_ptr<WFileAppender> a(appender(1, 3));
    a->writeLineToFile(QStringLiteral("more"));
    EXPECT_FALSE(QFileInfo::exists(backup(1)));
    EXPECT_EQ(QFileInfo(logFile()).size(), 1024 + 6 + 5);
}

TEST_F(WFileAppenderTest, NoRollOverWithoutBackupsOrWithoutLimit)
{
    const struct
    {
        unsigned maxKiB;
        unsigned backups;
    } cases[] = {{1, 0}, {0, 3}};
    for (const auto &c : cases) {
        writeAll(logFile(), QByteArray(5000, 'x'));
        std::unique_ptr<WFileAppender> a(appender(c.maxKiB, c.backups));
        a->writeLineToFile(QStringLiteral("more"));
        EXPECT_FALSE(QFileInfo::exists(backup(1))) << c.maxKiB << "/" << c.backups;
        EXPECT_EQ(QFileInfo(logFile()).size(), 5000 + 6 + 5);
        QFile::remove(logFile());
    }
}

TEST_F(WFileAppenderTest, SingleBackupKeepsRolling)
{
    writeAll(logFile(), QByteArray(1100, 'x'));
    writeAll(backup(1), "older");
    std::unique_ptr<WFileAppender> a(appender(1, 1));
    a->writeLineToFile(QStringLiteral("a"));
    EXPECT_EQ(readAll(backup(1)), QByteArray(1100, 'x'));
    EXPECT_EQ(readAll(logFile()), QByteArray("INIT\na\n"));
    EXPECT_FALSE(QFileInfo::exists(backup(2)));
}

TEST_F(WFileAppenderTest, SetMaxSizeAndBackupsTakeKiB)
{
    std::unique_ptr<WFileAppender> a(appender(1, 3));
    EXPECT_EQ(a->getMaxSize(), 1024u);
    a->setMaxSize(3);
    a->setBackups(7);
    EXPECT_EQ(a->getMaxSize(), 3072u);
    EXPECT_EQ(a->getBackups(), 7u);
    a->setMaxSize(8u * 1024 * 1024); // 8 GiB does not wrap round to a tiny limit
    EXPECT_EQ(a->getMaxSize(), 0xFFFFFFFFu);
}

TEST_F(WFileAppenderTest, CreatesMissingDirectories)
{
    const QString deep = dir() + QStringLiteral("/a/b/logs/");
    std::unique_ptr<WFileAppender> a(
        new WFileAppender(new MarkerFormater, deep, QStringLiteral("log.html"), 500, 3, false));
    EXPECT_EQ(a->getFileName(), deep + QStringLiteral("log.html"));
    a->writeLineToFile(QStringLiteral("row"));
    EXPECT_EQ(readAll(deep + QStringLiteral("log.html")), QByteArray("INIT\nrow\n"));
}

TEST_F(WFileAppenderTest, EmptyPathWritesIntoWorkingDirectory)
{
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir()));
    {
        std::unique_ptr<WFileAppender> a(
            new WFileAppender(new MarkerFormater, QString(), QStringLiteral("plain.log"), 500, 3, false));
        a->writeLineToFile(QStringLiteral("row"));
    }
    QDir::setCurrent(previous);
    EXPECT_EQ(readAll(dir() + QStringLiteral("/plain.log")), QByteArray("INIT\nrow\nEND\n"));
}

TEST_F(WFileAppenderTest, UnopenableFileLosesLineAndRecovers)
{
    ASSERT_TRUE(QDir().mkpath(logFile())); // a directory where the file should be
    std::unique_ptr<WFileAppender> a(appender());
    a->writeLineToFile(QStringLiteral("lost"));
    ASSERT_TRUE(QDir().rmdir(logFile()));
    a->writeLineToFile(QStringLiteral("kept"));
    EXPECT_EQ(readAll(logFile()), QByteArray("INIT\nkept\n"));
}

TEST_F(WFileAppenderTest, DefaultFormaterWritesPlainLines)
{
    {
        WFileAppender a(dir(), QStringLiteral("plain.log"), 500, 3, false);
        a.logWarn(event(QStringLiteral("h")));
    }
    EXPECT_EQ(readAll(dir() + QStringLiteral("/plain.log")),
              QByteArray("Logfile written using WLog\n\n*** INFO c : h\n"));
}

TEST_F(WFileAppenderTest, ReceivesEventsThroughLogger)
{
    WLogger logger;
    logger.registerAppender(appender(), WLogLevel::WWARN);
    logger.info(QStringLiteral("c"), QStringLiteral("skipped"), QString());
    logger.warn(QStringLiteral("c"), QStringLiteral("warned"), QString());
    logger.critical(QStringLiteral("c"), QStringLiteral("critical"), QString());
    EXPECT_EQ(readAll(logFile()), QByteArray("INIT\nwarned\ncritical\n"));
}

TEST_F(WFileAppenderTest, ThreadedWriterWritesOnItsOwnThread)
{
    {
        WFileAppender a(new MarkerFormater, dir(), QStringLiteral("log.html"), 500, 3, true);
        EXPECT_TRUE(a.isThreaded());
        for (int i = 0; i < 50; ++i)
            a.logInfo(event(QStringLiteral("row%1").arg(i)));
        ASSERT_TRUE(hxbtest::waitUntil(
            [&] { return readAll(logFile()).endsWith("row49\n"); }, 10000));
    }
    // The writer thread's file gets its end line when the appender goes away.
    QByteArray expected("INIT");
    for (int i = 0; i < 50; ++i)
        expected += "row" + QByteArray::number(i) + "\n";
    expected += "END\n";
    EXPECT_EQ(readAll(logFile()), expected);
}

TEST_F(WFileAppenderTest, ThreadedWriterDrainsQueueBeforeStopping)
{
    {
        WFileAppender a(new MarkerFormater, dir(), QStringLiteral("log.html"), 500, 3, true);
        for (int i = 0; i < 500; ++i)
            a.logInfo(event(QStringLiteral("row%1").arg(i)));
    }
    const QList<QByteArray> lines = readAll(logFile()).split('\n');
    ASSERT_EQ(lines.size(), 502); // 500 rows, the end line, and the empty rest after it
    EXPECT_EQ(lines.front(), QByteArray("INITrow0"));
    EXPECT_EQ(lines[499], QByteArray("row499"));
    EXPECT_EQ(lines[500], QByteArray("END"));
}

TEST_F(WFileAppenderTest, ThreadedWriterFollowsAReplacedFormater)
{
    {
        WFileAppender a(new MarkerFormater, dir(), QStringLiteral("log.html"), 500, 3, true);
        a.logInfo(event(QStringLiteral("before")));
        ASSERT_TRUE(hxbtest::waitUntil([&] { return readAll(logFile()).endsWith("before\n"); }));
        a.setFormater(new WFormater);
        a.logInfo(event(QStringLiteral("after")));
        ASSERT_TRUE(hxbtest::waitUntil(
            [&] { return readAll(logFile()).endsWith("*** INFO c : after\n"); }));
        delete a.takeFormater();
        a.logInfo(event(QStringLiteral("dropped")));
    }
    EXPECT_EQ(readAll(logFile()), QByteArray("INITbefore\n*** INFO c : after\n"));
}

TEST_F(WFileAppenderTest, ThreadedWriterRollsOver)
{
    WFileAppender a(new MarkerFormater, dir(), QStringLiteral("log.html"), 500, 3, true);
    a.setMaxSize(1);
    a.setBackups(2);
    const QString line(99, QLatin1Char('a'));
    for (int i = 0; i < 30; ++i)
        a.logInfo(event(line));
    a.logInfo(event(QStringLiteral("last")));
    ASSERT_TRUE(hxbtest::waitUntil(
        [&] { return readAll(logFile()).endsWith("last\n"); }, 10000));
    EXPECT_TRUE(QFileInfo::exists(backup(1)));
    EXPECT_TRUE(QFileInfo::exists(backup(2)));
    EXPECT_FALSE(QFileInfo::exists(backup(3)));
    EXPECT_LE(QFileInfo(backup(1)).size(), 1024 + 100 + 4);
}

} // namespace
