#include "TestSupport.h"

#include "ctrl/HXBCtrl.h"
#include "ctrl/HXBDBCtrl.h"
#include "db/HXBDB.h"
#include "db/HXBQuery.h"
#include "log/HXBLogger.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QVariant>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// What the work items did, in order, and on which thread; filled from the controller thread.
class Journal
{
public:
    void add(const std::string &entry)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mEntries.push_back(entry);
        mThreads.push_back(QThread::currentThread());
    }
    std::vector<std::string> entries() const
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mEntries;
    }
    std::vector<QThread *> threads() const
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mThreads;
    }
    std::size_t size() const
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mEntries.size();
    }

private:
    mutable std::mutex mMutex;
    std::vector<std::string> mEntries;
    std::vector<QThread *> mThreads;
};

using Strings = std::vector<std::string>;

class HXBCtrlTest : public ::testing::Test
{
protected:
    // The logger belongs to the thread that first uses it: make that this one.
    void SetUp() override { HXBLogger::instance(); }

    Journal mJournal;
};

TEST_F(HXBCtrlTest, QueriesRunOnceInOrderOnTheControllerThread)
{
    HXBDBCtrl ctrl;
    for (const char *name : {"A", "B", "C"})
        ctrl.mQueue.push(HXBCtrlQuery([this, name] { mJournal.add(name); }));
    ASSERT_TRUE(hxbtest::waitUntil([&] { return mJournal.size() >= 3; }));
    // Two more passes: nothing runs twice.
    const quint64 passes = ctrl.passCount();
    ASSERT_TRUE(hxbtest::waitUntil([&] { return ctrl.passCount() >= passes + 2; }));
    EXPECT_EQ(mJournal.entries(), (Strings{"A", "B", "C"}));
    for (QThread *thread : mJournal.threads())
        EXPECT_EQ(thread, &ctrl);
}

TEST_F(HXBCtrlTest, TasksRunInOrderOnTheControllerThread)
{
    HXBCtrl ctrl;
    for (const char *name : {"A", "B", "C"})
        ctrl.push(HXBTask([this, name] {
            mJournal.add(name);
            return true;
        }));
    ASSERT_TRUE(hxbtest::waitUntil([&] { return mJournal.size() >= 3; }));
    EXPECT_EQ(mJournal.entries(), (Strings{"A", "B", "C"}));
    for (QThread *thread : mJournal.threads()) {
        EXPECT_EQ(thread, &ctrl);
        EXPECT_NE(thread, QThread::currentThread());
    }
}

TEST_F(HXBCtrlTest, FailingTaskIsRetriedOncePerPass)
{
    HXBCtrl ctrl;
    std::vector<quint64> passesAtRun;
    std::mutex mutex;
    ctrl.push(HXBTask([&] {
        std::lock_guard<std::mutex> lock(mutex);
        passesAtRun.push_back(ctrl.passCount());
        return passesAtRun.size() == 3;
    }));
    auto runs = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return passesAtRun.size();
    };
    ASSERT_TRUE(hxbtest::waitUntil([&] { return runs() >= 3; }));
    const quint64 passes = ctrl.passCount();
    ASSERT_TRUE(hxbtest::waitUntil([&] { return ctrl.passCount() >= passes + 2; }));
    ctrl.stop();
    ASSERT_EQ(passesAtRun.size(), 3u);
    EXPECT_EQ(passesAtRun[1], passesAtRun[0] + 1);
    EXPECT_EQ(passesAtRun[2], passesAtRun[1] + 1);
}

TEST_F(HXBCtrlTest, RetriedTaskGoesBehindItemsQueuedDuringThePass)
{
    HXBCtrl ctrl;
    std::atomic<int> xRuns{0};
    ctrl.push(HXBTask([&] {
        mJournal.add("X");
        if (xRuns++ == 0) {
            ctrl.push(HXBTask([this] {
                mJournal.add("Y");
                return true;
            }));
            return false;
        }
        return true;
    }));
    ASSERT_TRUE(hxbtest::waitUntil([&] { return mJournal.size() >= 3; }));
    EXPECT_EQ(mJournal.entries(), (Strings{"X", "Y", "X"}));
}

TEST_F(HXBCtrlTest, EmptyItemsAreHarmless)
{
    EXPECT_TRUE(HXBTask().exec());
    HXBCtrlQuery().exec();

    HXBCtrl ctrl;
    HXBDBCtrl dbCtrl;
    ctrl.push(HXBTask());
    ctrl.push(HXBTask(std::function<bool()>()));
    dbCtrl.push(HXBCtrlQuery());
    ctrl.push(HXBTask([this] {
        mJournal.add("task");
        return true;
    }));
    dbCtrl.push(HXBCtrlQuery([this] { mJournal.add("query"); }));
    ASSERT_TRUE(hxbtest::waitUntil([&] { return mJournal.size() >= 2; }));
    const quint64 passes = ctrl.passCount();
    ASSERT_TRUE(hxbtest::waitUntil([&] { return ctrl.passCount() >= passes + 1; }));
    EXPECT_TRUE(ctrl.mQueue.empty());
}

TEST_F(HXBCtrlTest, StopFinishesTheRunningItemAndDiscardsTheRest)
{
    HXBDBCtrl ctrl;
    std::atomic<bool> started{false};
    std::atomic<bool> release{false};
    ctrl.push(HXBCtrlQuery([&] {
        started = true;
        while (!release)
            QThread::msleep(1);
        mJournal.add("running");
    }));
    ctrl.push(HXBCtrlQuery([this] { mJournal.add("queued"); }));
    ASSERT_TRUE(hxbtest::waitUntil([&] { return started.load(); }));

    std::thread stopper([&] { ctrl.stop(); });
    ASSERT_TRUE(hxbtest::waitUntil([&] { return ctrl.isInterruptionRequested(); }));
    release = true;
    stopper.join();

    EXPECT_TRUE(ctrl.isFinished());
    EXPECT_TRUE(ctrl.mQueue.empty());
    EXPECT_EQ(mJournal.entries(), Strings{"running"});
    ctrl.stop();
}

TEST_F(HXBCtrlTest, DeferredWriteReachesTheTable)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("ctrl.sqlite"));
    HXBDB::setDatabase(0, path.toStdString());
    ASSERT_TRUE(HXBDB::getQuery().write(QStringLiteral("CREATE TABLE t (v TEXT)")));

    // Captures a copy: the producer's variable is gone when the write runs.
    {
        const QString value = QStringLiteral("deferred");
        HXBDBCtrl::instance()->mQueue.push(HXBCtrlQuery([value] {
            HXBQuery query = HXBDB::getQuery();
            query.prepare(QStringLiteral("INSERT INTO t (v) VALUES (?)"));
            query.addBindValue(value);
            query.write();
        }));
    }
    auto rows = [&] {
        HXBQuery query = HXBDB::getQuery();
        QStringList values;
        if (query.read(QStringLiteral("SELECT v FROM t")))
            while (query.next())
                values << query.value(0).toString();
        return values;
    };
    EXPECT_TRUE(hxbtest::waitUntil([&] { return !rows().isEmpty(); }));
    EXPECT_EQ(rows(), QStringList{QStringLiteral("deferred")});
    EXPECT_EQ(HXBDBCtrl::instance(), HXBDBCtrl::instance());
    EXPECT_TRUE(HXBDBCtrl::instance()->isRunning());
    EXPECT_TRUE(HXBCtrl::instance()->isRunning());
    HXBDB::disconnect();
}

} // namespace
