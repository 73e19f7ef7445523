#include "BatchbayAppManager.h"

#include "BatchbayApp.h"
#include "BatchbaySettings.h"
#include "db/HXBDB.h"
#include "db/HXBQuery.h"
#include "log/HXBLogger.h"
#include "util/HXBStringUtils.h"

#include <QDir>
#include <QVariant>

std::shared_ptr<BatchbayAppManager> BatchbayAppManager::instance()
{
    static const std::shared_ptr<BatchbayAppManager> manager =
        std::make_shared<BatchbayAppManager>(BatchbaySettings::instance()->getJobTemplateDir());
    return manager;
}

BatchbayAppManager::BatchbayAppManager(const std::string &scriptDir)
    : mScriptDir(scriptDir)
{
    std::lock_guard<std::mutex> lock(mLock);
    if (load())
        return;
    mPending = true;
    HXBLogger::instance()->logNormalCritical(
        "BatchbayAppManager", "could not read the application IDs; no application is listed until the database answers",
        mScriptDir);
}

bool BatchbayAppManager::load()
{
    HXBLogger *log = HXBLogger::instance();

    if (!HXBDB::getQuery().write(
            QStringLiteral("CREATE TABLE IF NOT EXISTS BatchbayAPPS (appId INTEGER ,filename MEDIUMTEXT);")))
        return false;

    int next = 0;
    {
        HXBQuery query = HXBDB::getQuery();
        if (!query.read(QStringLiteral("SELECT MAX(appId) FROM BatchbayAPPS;")))
            return false;
        if (query.next())
            next = query.value(0).toInt() + 1;
    }

    // Without QDir::Hidden, names starting with a dot are left out.
    const QDir dir(Q(mScriptDir));
    const QStringList entries = dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot,
                                              QDir::Name | QDir::IgnoreCase);
    std::vector<std::shared_ptr<BatchbayApp>> apps;
    for (const QString &entry : entries) {
        auto app = std::make_shared<BatchbayApp>();
        app->appName = S(entry);

        // An ID is only ever taken from the table, or stored there before it is used: a
        // failed look-up must not hand out a number the name may already have.
        HXBQuery lookup = HXBDB::getQuery();
        lookup.prepare(QStringLiteral("SELECT appId FROM BatchbayAPPS WHERE filename=?;"));
        lookup.addBindValue(entry);
        if (!lookup.read())
            return false;
        if (lookup.next()) {
            app->appId = lookup.value(0).toInt();
            log->logNormalInfo("BatchbayAppManager", "found preexisting appId for script ",
                               app->appName + " " + fromNumber(app->appId));
        } else {
            app->appId = next++;
            log->logNormalInfo("BatchbayAppManager", "create new appId for script ",
                               app->appName + " " + fromNumber(app->appId));
            HXBQuery insert = HXBDB::getQuery();
            insert.prepare(QStringLiteral("INSERT INTO BatchbayAPPS(appId, fileName) VALUES(?,?);"));
            insert.addBindValue(app->appId);
            insert.addBindValue(entry);
            if (!insert.write())
                return false;
        }

        app->description = "Automatically generated from slurm script";
        app->executable = "sbatch";
        app->isSlurm = true;
        apps.push_back(app);
    }
    mApps = std::move(apps);
    return true;
}

void BatchbayAppManager::retryLocked()
{
    if (!mPending || !HXBDB::getDB().isOpen() || !load())
        return;
    mPending = false;
    HXBLogger::instance()->logNormalWarn("BatchbayAppManager", "application catalogue built after the database came back",
                                         fromNumber(int(mApps.size())) + " application(s)");
}

bool BatchbayAppManager::retryPendingLoad()
{
    if (!mPending)
        return true;
    std::lock_guard<std::mutex> lock(mLock);
    retryLocked();
    return !mPending;
}

std::vector<std::shared_ptr<BatchbayApp>> BatchbayAppManager::getApps()
{
    std::lock_guard<std::mutex> lock(mLock);
    retryLocked();
    return mApps;
}

std::shared_ptr<BatchbayApp> BatchbayAppManager::getAppById(int id)
{
    std::lock_guard<std::mutex> lock(mLock);
    retryLocked();
    for (const auto &app : mApps) {
        if (app->appId == id)
            return app;
    }
    return nullptr;
}
