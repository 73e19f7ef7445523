#include "DbTestSupport.h"
#include "TestSupport.h"

#include "config/HXBConfig.h"
#include "db/HXBDB.h"
#include "db/HXBQuery.h"
#include "log/HXBLogger.h"

#include <QTemporaryDir>
#include <QVariant>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <utility>
#include <vector>
#include <thread>

using hxbtest::countOf;

namespace {

class HXBQueryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // The logger belongs to the thread that first uses it: make that this one.
        HXBLogger::instance();
        mDb.use();
        HXBConfig::instance()->setDebugLevel(3);
        ASSERT_TRUE(HXBDB::getQuery().write(
            hxbtest::TestDatabase::onMariaDb()
                ? QStringLiteral("CREATE TABLE t (id INTEGER PRIMARY KEY AUTO_INCREMENT, v TEXT)")
                : QStringLiteral("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT)")));
    }

    void TearDown() override { HXBDB::disconnect(); }

    hxbtest::TestDatabase mDb{QStringLiteral("query.sqlite")};
};

TEST_F(HXBQueryTest, BoundValuesRoundTrip)
{
    const QString text = QStringLiteral("Grüße, 'quoted' \"text\"; DROP TABLE t; --");
    HXBQuery insert = HXBDB::getQuery();
    ASSERT_TRUE(insert.prepare(QStringLiteral("INSERT INTO t (v) VALUES (?)")));
    insert.addBindValue(text);
    ASSERT_TRUE(insert.write());
    EXPECT_EQ(insert.lastInsertId().toInt(), 1);

    HXBQuery select = HXBDB::getQuery();
    ASSERT_TRUE(select.prepare(QStringLiteral("SELECT v FROM t WHERE id = ?")));
    select.addBindValue(1);
    ASSERT_TRUE(select.read());
    ASSERT_TRUE(select.next());
    EXPECT_EQ(select.value(0).toString(), text);
    EXPECT_FALSE(select.next());
}

TEST_F(HXBQueryTest, FailedStatementLogsOneWarningWithStatementAndError)
{
    struct Case
    {
        const char *name;
        std::function<bool(HXBQuery &)> run;
        QString statement;
    };
    const QString badSelect = QStringLiteral("SELEKT v FROM t");
    const QString badInsert = QStringLiteral("INSERT INTO missing (v) VALUES ('x')");
    const QString badPrepare = QStringLiteral("SELECT nosuchcolumn FROM t WHERE id = ?");
    const std::vector<Case> cases = {
        {"read with syntax error", [&](HXBQuery &q) { return q.read(badSelect); }, badSelect},
        {"write to missing table", [&](HXBQuery &q) { return q.write(badInsert); }, badInsert},
        {"prepare of unknown column", [&](HXBQuery &q) { return q.prepare(badPrepare); }, badPrepare},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string out;
        {
            hxbtest::StdoutCapture capture;
            HXBQuery query = HXBDB::getQuery();
            EXPECT_FALSE(c.run(query));
            EXPECT_TRUE(hxbtest::waitUntil(
                [&] { return countOf(capture.text(), "query returned an error") >= 1; }, 3000));
            out = capture.text();
        }
        EXPECT_EQ(countOf(out, "query returned an error"), 1) << out;
        EXPECT_EQ(countOf(out, "HXBQuery"), 1) << out;
        EXPECT_NE(out.find("query\n" + c.statement.toStdString() + "\nreturned an error:\n"), std::string::npos) << out;
    }
}

TEST_F(HXBQueryTest, SuccessfulStatementsLogNothing)
{
    hxbtest::StdoutCapture capture;
    HXBQuery query = HXBDB::getQuery();
    EXPECT_TRUE(query.write(QStringLiteral("INSERT INTO t (v) VALUES ('a')")));
    EXPECT_TRUE(query.read(QStringLiteral("SELECT v FROM t")));
    EXPECT_EQ(countOf(capture.text(), "query returned an error"), 0);
}

TEST_F(HXBQueryTest, QueryWithoutDatabaseFailsWithoutLocking)
{
    std::atomic<bool> holding{false};
    std::atomic<bool> release{false};
    std::thread holder([&] {
        std::lock_guard<std::recursive_mutex> lock(dbMutex);
        holding = true;
        while (!release)
            std::this_thread::yield();
    });
    ASSERT_TRUE(hxbtest::waitUntil([&] { return holding.load(); }));

    HXBQuery query;
    EXPECT_FALSE(query.write(QStringLiteral("CREATE TABLE x (v INTEGER)")));
    EXPECT_FALSE(query.read(QStringLiteral("SELECT 1")));
    release = true;
    holder.join();
}

TEST_F(HXBQueryTest, WriteWaitsForTheHolderOfTheWriteLock)
{
    const std::vector<std::pair<const char *, std::function<bool(const QString &)>>> forms = {
        {"statement", [](const QString &v) {
             return HXBDB::getQuery().write(QStringLiteral("INSERT INTO t (v) VALUES ('%1')").arg(v));
         }},
        {"prepared", [](const QString &v) {
             HXBQuery query = HXBDB::getQuery();
             query.prepare(QStringLiteral("INSERT INTO t (v) VALUES (?)"));
             query.addBindValue(v);
             return query.write();
         }},
    };
    for (const auto &[form, write] : forms) {
        SCOPED_TRACE(form);
        ASSERT_TRUE(HXBDB::getQuery().write(QStringLiteral("DELETE FROM t")));
        std::atomic<bool> writerStarted{false};
        std::atomic<bool> writerDone{false};
        std::atomic<bool> writerResult{false};

        std::unique_lock<std::recursive_mutex> firstWriter(dbMutex);
        std::thread second([&, write = write] {
            writerStarted = true;
            writerResult = write(QStringLiteral("second"));
            writerDone = true;
            HXBDB::threadFinished();
        });
        ASSERT_TRUE(hxbtest::waitUntil([&] { return writerStarted.load(); }));
        // The second writer gets a fair chance to run; it must still be held back.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_FALSE(writerDone.load());
        EXPECT_TRUE(mDb.observe(QStringLiteral("SELECT v FROM t")).isEmpty());

        // The lock is recursive: its holder writes on without blocking itself.
        EXPECT_TRUE(write(QStringLiteral("first")));
        firstWriter.unlock();

        EXPECT_TRUE(hxbtest::waitUntil([&] { return writerDone.load(); }));
        second.join();
        EXPECT_TRUE(writerResult.load());
        EXPECT_EQ(mDb.observe(QStringLiteral("SELECT v FROM t ORDER BY id")),
                  (QStringList{QStringLiteral("first"), QStringLiteral("second")}));
    }
}

TEST_F(HXBQueryTest, FailedWriteReleasesTheLock)
{
    std::thread writer([] {
        EXPECT_FALSE(HXBDB::getQuery().write(QStringLiteral("INSERT INTO missing VALUES (1)")));
        HXBQuery prepared = HXBDB::getQuery();
        EXPECT_TRUE(prepared.prepare(QStringLiteral("INSERT INTO t (id, v) VALUES (?, ?)")));
        prepared.addBindValue(1);
        prepared.addBindValue(QStringLiteral("a"));
        EXPECT_TRUE(prepared.write());
        prepared.addBindValue(1);
        prepared.addBindValue(QStringLiteral("duplicate key"));
        EXPECT_FALSE(prepared.write());
        HXBDB::threadFinished();
    });
    writer.join();
    std::atomic<bool> free{false};
    std::thread probe([&] {
        if (dbMutex.try_lock()) {
            free = true;
            dbMutex.unlock();
        }
    });
    probe.join();
    EXPECT_TRUE(free.load());
}

} // namespace
