#include "DbTestSupport.h"
#include "TestSupport.h"

#include "config/HXBConfig.h"
#include "db/HXBDB.h"
#include "db/HXBQuery.h"
#include "log/HXBLogger.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QThread>
#include <QVariant>

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <stdexcept>
#include <pthread.h>
#include <thread>

using hxbtest::observe;
using hxbtest::TestDatabase;

#define SKIP_UNLESS_SQLITE()                                                                       \
    if (TestDatabase::onMariaDb())                                                                 \
    GTEST_SKIP() << "behaviour of SQLite files"

namespace {

QString expectedNameOfThisThread()
{
    return QStringLiteral("treadID_%1").arg(static_cast<qulonglong>(pthread_self()));
}

template<typename F>
void runInThread(F &&f)
{
    std::thread thread(std::forward<F>(f));
    thread.join();
}

class HXBDBTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // The logger belongs to the thread that first uses it: make that this one.
        HXBLogger::instance();
        mDb.use();
    }

    void TearDown() override
    {
        while (transactionCount() > 0)
            HXBDB::commit();
        HXBDB::disconnect();
    }

    void createTable()
    {
        ASSERT_TRUE(HXBDB::getQuery().write(QStringLiteral("CREATE TABLE t (v INTEGER)")));
    }

    static bool insert(int value)
    {
        HXBQuery query = HXBDB::getQuery();
        if (!query.prepare(QStringLiteral("INSERT INTO t (v) VALUES (?)")))
            return false;
        query.addBindValue(value);
        return query.write();
    }

    QStringList rowsSeenByOthers() const { return mDb.observe(QStringLiteral("SELECT v FROM t ORDER BY v")); }

    TestDatabase mDb{QStringLiteral("test.sqlite")};
    const QString mPath = mDb.name();
    const QString mDirPath = mDb.dir();
};

TEST_F(HXBDBTest, EachThreadHasItsOwnNamedConnection)
{
    QString first;
    QString second;
    QString firstExpected;
    QString secondExpected;
    std::latch bothConnected(2);
    std::thread a([&] {
        first = HXBDB::getDB().connectionName();
        firstExpected = expectedNameOfThisThread();
        bothConnected.arrive_and_wait();
        HXBDB::threadFinished();
    });
    std::thread b([&] {
        second = HXBDB::getDB().connectionName();
        secondExpected = expectedNameOfThisThread();
        bothConnected.arrive_and_wait();
        HXBDB::threadFinished();
    });
    a.join();
    b.join();
    EXPECT_EQ(first, firstExpected);
    EXPECT_EQ(second, secondExpected);
    EXPECT_NE(first, second);

    const QString mine = HXBDB::getDB().connectionName();
    EXPECT_EQ(mine, expectedNameOfThisThread());
    EXPECT_EQ(HXBDB::getDB().connectionName(), mine);
    EXPECT_TRUE(HXBDB::getDB().isOpen());
}

TEST_F(HXBDBTest, ThreadFinishedCommitsOpenTransactionAndReconnectStartsAtZero)
{
    createTable();
    runInThread([&] {
        EXPECT_TRUE(HXBDB::startTransaction());
        EXPECT_TRUE(HXBDB::startTransaction());
        EXPECT_TRUE(insert(1));
        EXPECT_EQ(transactionCount(), 2);
        HXBDB::threadFinished();
        EXPECT_FALSE(QSqlDatabase::contains(expectedNameOfThisThread()));
        EXPECT_EQ(transactionCount(), 0);
        EXPECT_FALSE(HXBDB::commit());
        HXBDB::threadFinished();
    });
    EXPECT_EQ(rowsSeenByOthers(), QStringList{QStringLiteral("1")});
}

TEST_F(HXBDBTest, ThreadFinishedWithoutConnectionChangesNothing)
{
    runInThread([] { HXBDB::threadFinished(); });
    EXPECT_TRUE(HXBDB::getDB().isOpen());
}

TEST_F(HXBDBTest, OnlyOutermostTransactionReachesDatabase)
{
    createTable();
    ASSERT_TRUE(HXBDB::startTransaction());
    ASSERT_TRUE(HXBDB::startTransaction());
    ASSERT_TRUE(insert(1));
    EXPECT_TRUE(HXBDB::commit());
    EXPECT_EQ(transactionCount(), 1);
    EXPECT_TRUE(rowsSeenByOthers().isEmpty());
    EXPECT_TRUE(HXBDB::commit());
    EXPECT_EQ(transactionCount(), 0);
    EXPECT_EQ(rowsSeenByOthers(), QStringList{QStringLiteral("1")});
}

// A connection found closed is opened again by the BEGIN, and the transaction so begun is
// the one the commit ends (not left open, its rows unseen and locked).
TEST_F(HXBDBTest, TransactionBegunOnAReopenedConnectionIsCommitted)
{
    createTable();
    HXBDB::getDB().close();
    if (TestDatabase::onMariaDb())
        QThread::msleep(1100); // a server is asked again at most once a second
    ASSERT_TRUE(HXBDB::startTransaction());
    ASSERT_TRUE(insert(1));
    EXPECT_EQ(transactionCount(), 1);
    EXPECT_TRUE(HXBDB::commit());
    EXPECT_EQ(rowsSeenByOthers(), QStringList{QStringLiteral("1")});
}

TEST_F(HXBDBTest, CommitWithoutTransactionIsFalse)
{
    EXPECT_FALSE(HXBDB::commit());
    EXPECT_EQ(transactionCount(), 0);
    ASSERT_TRUE(HXBDB::startTransaction());
    EXPECT_TRUE(HXBDB::commit());
    EXPECT_FALSE(HXBDB::commit());
    EXPECT_EQ(transactionCount(), 0);
}

TEST_F(HXBDBTest, FlushCommitsAndKeepsNesting)
{
    createTable();
    ASSERT_TRUE(HXBDB::startTransaction());
    ASSERT_TRUE(HXBDB::startTransaction());
    ASSERT_TRUE(insert(1));
    EXPECT_TRUE(HXBDB::flush());
    EXPECT_EQ(transactionCount(), 2);
    EXPECT_EQ(rowsSeenByOthers(), QStringList{QStringLiteral("1")});

    // Still inside a transaction after the flush.
    ASSERT_TRUE(insert(2));
    EXPECT_EQ(rowsSeenByOthers(), QStringList{QStringLiteral("1")});
    EXPECT_TRUE(HXBDB::commit());
    EXPECT_EQ(rowsSeenByOthers(), QStringList{QStringLiteral("1")});
    EXPECT_TRUE(HXBDB::commit());
    EXPECT_EQ(rowsSeenByOthers(), (QStringList{QStringLiteral("1"), QStringLiteral("2")}));
}

TEST_F(HXBDBTest, AutoTransactionCommitsOnScopeExitAlsoByException)
{
    createTable();
    {
        HXBAutoTransaction outer;
        ASSERT_TRUE(insert(1));
        {
            HXBAutoTransaction inner;
            ASSERT_TRUE(insert(2));
        }
        EXPECT_TRUE(rowsSeenByOthers().isEmpty());
    }
    EXPECT_EQ(rowsSeenByOthers().size(), 2);

    try {
        HXBAutoTransaction scope;
        insert(3);
        throw std::runtime_error("leave");
    } catch (const std::runtime_error &) {
    }
    EXPECT_EQ(transactionCount(), 0);
    EXPECT_EQ(rowsSeenByOthers().size(), 3);
}

TEST_F(HXBDBTest, VacuumInsideTransactionKeepsItOpen)
{
    createTable();
    ASSERT_TRUE(HXBDB::startTransaction());
    ASSERT_TRUE(insert(1));
    EXPECT_TRUE(HXBDB::vacuum());
    EXPECT_EQ(transactionCount(), 1);
    EXPECT_EQ(rowsSeenByOthers(), QStringList{QStringLiteral("1")});
    ASSERT_TRUE(insert(2));
    EXPECT_EQ(rowsSeenByOthers().size(), 1);
    EXPECT_TRUE(HXBDB::commit());
    EXPECT_EQ(rowsSeenByOthers().size(), 2);
}

TEST_F(HXBDBTest, CheckIntegrity)
{
    EXPECT_FALSE(HXBDB::checkIntegrity()) << "no file yet";

    createTable();
    ASSERT_TRUE(insert(1));
    EXPECT_TRUE(HXBDB::checkIntegrity());

    // The check leaves the thread's own transaction alone.
    ASSERT_TRUE(HXBDB::startTransaction());
    ASSERT_TRUE(insert(2));
    EXPECT_TRUE(HXBDB::checkIntegrity());
    EXPECT_EQ(transactionCount(), 1);
    EXPECT_EQ(rowsSeenByOthers().size(), 1);
    EXPECT_TRUE(HXBDB::commit());
    EXPECT_EQ(rowsSeenByOthers().size(), 2);
}

TEST_F(HXBDBTest, CheckIntegrityFalseOnGarbageFile)
{
    SKIP_UNLESS_SQLITE();
    QFile garbage(mPath);
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
    garbage.write(QByteArray(8192, 'x'));
    garbage.close();
    EXPECT_FALSE(HXBDB::checkIntegrity());
}

TEST_F(HXBDBTest, GarbageFileQueriesFailAndAreLogged)
{
    SKIP_UNLESS_SQLITE();
    QFile garbage(mPath);
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
    garbage.write(QByteArray("this is not a database file, just some text that is long enough\n").repeated(100));
    garbage.close();

    HXBConfig::instance()->setDebugLevel(3);
    hxbtest::StdoutCapture capture;
    HXBQuery query = HXBDB::getQuery();
    EXPECT_FALSE(query.read(QStringLiteral("SELECT v FROM t")));
    EXPECT_FALSE(query.write(QStringLiteral("CREATE TABLE t (v INTEGER)")));
    EXPECT_TRUE(hxbtest::waitUntil([&] {
        return hxbtest::countOf(capture.text(), "query returned an error") >= 2;
    }));
    HXBDB::startTransaction();
    HXBDB::commit();
    EXPECT_EQ(transactionCount(), 0);
}

TEST_F(HXBDBTest, UnopenableLocationFailsQueriesWithoutCrashing)
{
    SKIP_UNLESS_SQLITE();
    HXBDB::setDatabase(0, (mDirPath + QStringLiteral("/missing/dir/db.sqlite")).toStdString());
    EXPECT_FALSE(HXBDB::getDB().isOpen());
    EXPECT_FALSE(HXBDB::getQuery().write(QStringLiteral("CREATE TABLE t (v INTEGER)")));
    EXPECT_FALSE(HXBDB::getQuery().read(QStringLiteral("SELECT 1")));
    EXPECT_FALSE(HXBDB::checkIntegrity());

    // Once the place exists, the next use opens the connection.
    ASSERT_TRUE(QDir(mDirPath).mkpath(QStringLiteral("missing/dir")));
    EXPECT_TRUE(HXBDB::getDB().isOpen());
    EXPECT_TRUE(HXBDB::getQuery().write(QStringLiteral("CREATE TABLE t (v INTEGER)")));
}

TEST_F(HXBDBTest, UnknownDatabaseTypeGivesFailingQueries)
{
    SKIP_UNLESS_SQLITE();
    HXBDB::setDatabase(7, mPath.toStdString());
    EXPECT_FALSE(HXBDB::getDB().isValid());
    EXPECT_FALSE(HXBDB::getQuery().write(QStringLiteral("CREATE TABLE t (v INTEGER)")));
    EXPECT_EQ(transactionCount(), 0);
    EXPECT_FALSE(HXBDB::startTransaction());
    EXPECT_FALSE(HXBDB::commit());
    EXPECT_EQ(transactionCount(), 0);
    // Each of these replaces the thread's nameless pool entry while running; the sanitizer
    // build reports it if the depth is read from the entry that was dropped.
    EXPECT_FALSE(HXBDB::flush());
    EXPECT_FALSE(HXBDB::vacuum());
    EXPECT_EQ(transactionCount(), 0);
    EXPECT_FALSE(QFile::exists(mPath));
}

TEST_F(HXBDBTest, MySqlWithoutServerGivesFailingQueriesAndLogsTheOutageOnce)
{
    HXBConfig::instance()->setDebugLevel(3);
    hxbtest::StdoutCapture capture;
    HXBDB::setServer("127.0.0.1", 1, "nobody", "");
    HXBDB::setDatabase(1, "hxbtest");
    EXPECT_FALSE(HXBDB::getDB().isOpen());
    EXPECT_FALSE(HXBDB::getQuery().write(QStringLiteral("CREATE TABLE t (v INTEGER)")));
    EXPECT_FALSE(HXBDB::getQuery().read(QStringLiteral("SELECT 1")));
    EXPECT_FALSE(HXBDB::checkIntegrity());
    HXBDB::startTransaction();
    HXBDB::commit();
    EXPECT_EQ(transactionCount(), 0);
    EXPECT_TRUE(hxbtest::waitUntil([&] { return hxbtest::countOf(capture.text(), "query returned an error") >= 2; }));
    EXPECT_EQ(hxbtest::countOf(capture.text(), "database server unreachable"), 1);
}

TEST_F(HXBDBTest, ChangedSettingsTakeEffectAtNextUse)
{
    SKIP_UNLESS_SQLITE();
    createTable();
    ASSERT_TRUE(insert(1));
    const QString other = QDir(mDirPath).filePath(QStringLiteral("other.sqlite"));
    HXBDB::setDatabase(0, other.toStdString());
    ASSERT_TRUE(HXBDB::getQuery().write(QStringLiteral("CREATE TABLE u (v INTEGER)")));
    EXPECT_EQ(observe(other, QStringLiteral("SELECT name FROM sqlite_master")), QStringList{QStringLiteral("u")});
    EXPECT_EQ(rowsSeenByOthers(), QStringList{QStringLiteral("1")});
}

TEST_F(HXBDBTest, RelativeSqliteNameIsPlacedBesideTheExecutableAndServerNameKeptAsIs)
{
    HXBDB::setDatabase(0, "relative.sqlite");
    EXPECT_EQ(HXBDB::mDbName, (QCoreApplication::applicationDirPath() + QStringLiteral("/relative.sqlite")).toStdString());
    HXBDB::setDatabase(0, "/abs/db.sqlite");
    EXPECT_EQ(HXBDB::mDbName, "/abs/db.sqlite");
    HXBDB::setDatabase(1, "hxbdb");
    EXPECT_EQ(HXBDB::mDbName, "hxbdb");
}

TEST_F(HXBDBTest, ManyThreadsWriteConcurrentlyWithoutLoss)
{
    createTable();
    constexpr int threads = 4;
    constexpr int perThread = 25;
    std::vector<std::thread> writers;
    std::atomic<int> failures{0};
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([t, &failures] {
            for (int i = 0; i < perThread; ++i) {
                if (!insert(t * perThread + i))
                    ++failures;
            }
            HXBDB::threadFinished();
        });
    }
    for (std::thread &writer : writers)
        writer.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(mDb.observe(QStringLiteral("SELECT COUNT(*) FROM t")), QStringList{QString::number(threads * perThread)});
}

// A MariaDB connection that the server drops (here: KILL from another connection, as
// wait_timeout or a restart would) is opened again by the next statement.
class HXBDBServerTest : public HXBDBTest
{
protected:
    void SetUp() override
    {
        if (!TestDatabase::onMariaDb())
            GTEST_SKIP() << "needs a MariaDB server";
        HXBDBTest::SetUp();
        createTable();
    }

    static QString connectionId()
    {
        HXBQuery query = HXBDB::getQuery();
        if (!query.read(QStringLiteral("SELECT CONNECTION_ID()")) || !query.next())
            return QString();
        return query.value(0).toString();
    }

    void dropConnection()
    {
        const QString id = connectionId();
        ASSERT_FALSE(id.isEmpty());
        ASSERT_TRUE(mDb.run(QStringLiteral("KILL CONNECTION %1").arg(id)));
    }
};

TEST_F(HXBDBServerTest, ReadsAndRepeatableWritesAfterADropRunOnAFreshConnection)
{
    ASSERT_TRUE(insert(1));
    const QString before = connectionId();
    dropConnection();
    HXBQuery read = HXBDB::getQuery();
    ASSERT_TRUE(read.read(QStringLiteral("SELECT v FROM t")));
    ASSERT_TRUE(read.next());
    EXPECT_EQ(read.value(0).toInt(), 1);
    EXPECT_NE(connectionId(), before);

    // A prepared UPDATE keeps its bound values across the reconnection.
    dropConnection();
    HXBQuery update = HXBDB::getQuery();
    ASSERT_TRUE(update.prepare(QStringLiteral("UPDATE t SET v = ? WHERE v = ?")));
    update.addBindValue(5);
    update.addBindValue(1);
    EXPECT_TRUE(update.write());
    EXPECT_EQ(rowsSeenByOthers(), QStringList{QStringLiteral("5")});
}

TEST_F(HXBDBServerTest, InsertAfterADropIsStoredExactlyOnce)
{
    for (int i = 1; i <= 3; ++i) {
        dropConnection();
        EXPECT_TRUE(insert(i));
    }
    EXPECT_EQ(rowsSeenByOthers(), (QStringList{QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3")}));
}

TEST_F(HXBDBServerTest, DropInsideATransactionFailsTheRestAndLeavesNoHalf)
{
    ASSERT_TRUE(HXBDB::startTransaction());
    ASSERT_TRUE(insert(1));
    dropConnection();
    EXPECT_FALSE(insert(2));
    EXPECT_EQ(transactionCount(), 0);
    EXPECT_FALSE(HXBDB::commit());
    EXPECT_TRUE(rowsSeenByOthers().isEmpty());

    // The thread goes on with a working connection; a BEGIN that finds it dropped begins again.
    dropConnection();
    ASSERT_TRUE(HXBDB::startTransaction());
    ASSERT_TRUE(insert(3));
    EXPECT_TRUE(HXBDB::commit());
    EXPECT_EQ(rowsSeenByOthers(), QStringList{QStringLiteral("3")});
}

} // namespace
