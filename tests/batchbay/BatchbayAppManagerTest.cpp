#include "BatchbayApp.h"
#include "BatchbayAppManager.h"
#include "BridgeTestEnv.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <map>

namespace {

class BatchbayAppManagerTest : public ::testing::Test
{
protected:
    void addScript(const QString &name) { BridgeTestEnv::writeFile(scriptDir() + name, "#!/bin/sh\n"); }
    QString scriptDir() const { return env.path(QStringLiteral("scripts/")); }

    // A manager as the server builds it at start-up.
    std::unique_ptr<BatchbayAppManager> start()
    {
        return std::make_unique<BatchbayAppManager>(scriptDir().toStdString());
    }

    static std::vector<std::pair<std::string, int>> catalogue(BatchbayAppManager &manager)
    {
        std::vector<std::pair<std::string, int>> result;
        for (const auto &app : manager.getApps())
            result.emplace_back(app->appName, app->appId);
        return result;
    }

    BridgeTestEnv env;
};

using Catalogue = std::vector<std::pair<std::string, int>>;

TEST_F(BatchbayAppManagerTest, NumbersScriptsInCaseInsensitiveOrder)
{
    addScript(QStringLiteral("b.sh"));
    addScript(QStringLiteral("A.sh"));
    addScript(QStringLiteral("c.sh"));

    auto manager = start();
    EXPECT_EQ(catalogue(*manager), (Catalogue{{"A.sh", 1}, {"b.sh", 2}, {"c.sh", 3}}));
    EXPECT_EQ(BridgeTestEnv::scalar(QStringLiteral("SELECT COUNT(*) FROM BatchbayAPPS;")), 3);
    EXPECT_EQ(BridgeTestEnv::scalar(
                  QStringLiteral("SELECT appId FROM BatchbayAPPS WHERE filename='b.sh';")),
              2);
}

TEST_F(BatchbayAppManagerTest, KeepsIdsAcrossRestartsAndNumbersNewScriptsOnward)
{
    addScript(QStringLiteral("b.sh"));
    addScript(QStringLiteral("A.sh"));
    addScript(QStringLiteral("c.sh"));
    start();

    addScript(QStringLiteral("aa.sh"));
    auto second = start();
    EXPECT_EQ(catalogue(*second),
              (Catalogue{{"A.sh", 1}, {"aa.sh", 4}, {"b.sh", 2}, {"c.sh", 3}}));
    EXPECT_EQ(BridgeTestEnv::scalar(QStringLiteral("SELECT COUNT(*) FROM BatchbayAPPS;")), 4);

    // A removed script keeps its ID for when it comes back; it is never handed out again.
    ASSERT_TRUE(QFile::remove(scriptDir() + QStringLiteral("b.sh")));
    addScript(QStringLiteral("z.sh"));
    auto third = start();
    EXPECT_EQ(catalogue(*third), (Catalogue{{"A.sh", 1}, {"aa.sh", 4}, {"c.sh", 3}, {"z.sh", 5}}));
    EXPECT_EQ(third->getAppById(2), nullptr);

    addScript(QStringLiteral("b.sh"));
    auto fourth = start();
    ASSERT_NE(fourth->getAppById(2), nullptr);
    EXPECT_EQ(fourth->getAppById(2)->appName, "b.sh");
    EXPECT_EQ(BridgeTestEnv::scalar(QStringLiteral("SELECT COUNT(*) FROM BatchbayAPPS;")), 5);
}

// Numbers handed out without the table could be another script's: while the database is down
// nothing is listed, and the first look-up after it answers builds the catalogue as stored.
TEST_F(BatchbayAppManagerTest, DatabaseDownAtStartListsNothingUntilItAnswers)
{
    addScript(QStringLiteral("b.sh"));
    start();
    addScript(QStringLiteral("a.sh"));
    env.database().useUnreachable();
    auto manager = start();
    EXPECT_TRUE(manager->isPending());
    EXPECT_TRUE(manager->getApps().empty());
    EXPECT_EQ(manager->getAppById(1), nullptr);
    EXPECT_FALSE(manager->retryPendingLoad());

    env.database().use();
    EXPECT_EQ(catalogue(*manager), (Catalogue{{"a.sh", 2}, {"b.sh", 1}}));
    EXPECT_FALSE(manager->isPending());
}

TEST_F(BatchbayAppManagerTest, ListsSubdirectoriesButNoHiddenEntries)
{
    addScript(QStringLiteral("run.sh"));
    addScript(QStringLiteral(".hidden.sh"));
    addScript(QStringLiteral(".config/inner.sh"));
    ASSERT_TRUE(QDir().mkpath(scriptDir() + QStringLiteral("Tools")));

    auto manager = start();
    EXPECT_EQ(catalogue(*manager), (Catalogue{{"run.sh", 1}, {"Tools", 2}}));
}

TEST_F(BatchbayAppManagerTest, MissingScriptDirectoryGivesEmptyCatalogue)
{
    auto manager = start();
    EXPECT_TRUE(manager->getApps().empty());
    EXPECT_EQ(manager->getAppById(1), nullptr);
    EXPECT_EQ(BridgeTestEnv::scalar(QStringLiteral("SELECT COUNT(*) FROM BatchbayAPPS;")), 0);
}

TEST_F(BatchbayAppManagerTest, EntriesRunThroughSbatchAndShowAsSlurmApplications)
{
    addScript(QStringLiteral("cfd.sh"));
    auto manager = start();
    const auto app = manager->getAppById(1);
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(app->executable, "sbatch");
    EXPECT_EQ(manager->getAppById(0), nullptr);

    const QVariantMap map = app->getMap();
    EXPECT_EQ(map.keys(), (QStringList{QStringLiteral("appId"), QStringLiteral("appName"),
                                       QStringLiteral("description"), QStringLiteral("isMirado"),
                                       QStringLiteral("isSlurm")}));
    EXPECT_EQ(map.value(QStringLiteral("appName")), QVariant(QStringLiteral("cfd.sh")));
    EXPECT_EQ(map.value(QStringLiteral("appId")), QVariant(1));
    EXPECT_EQ(map.value(QStringLiteral("description")),
              QVariant(QStringLiteral("Automatically generated from slurm script")));
    EXPECT_EQ(map.value(QStringLiteral("isMirado")), QVariant(false));
    EXPECT_EQ(map.value(QStringLiteral("isSlurm")), QVariant(true));
}

} // namespace
