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
{
    std::lock_guard<std::mutex> lock(mLock);
    HXBLogger *log = HXBLogger::instance();

    HXBDB::getQuery().write(
        QStringLiteral("CREATE TABLE IF NOT EXISTS BatchbayAPPS (appId INTEGER ,filename MEDIUMTEXT);"));

    const QDir dir(Q(scriptDir));

    int next = 0;
    {
        HXBQuery query = HXBDB::getQuery();
        if (query.read(QStringLiteral("SELECT MAX(appId) FROM BatchbayAPPS;")) && query.next())
            next = query.value(0).toInt() + 1;
    }

    // Without QDir::Hidden, names starting with a dot are left out.
    const QStringList entries = dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot,
                                              QDir::Name | QDir::IgnoreCase);
    for (const QString &entry : entries) {
        auto app = std::make_shared<BatchbayApp>();
        app->appName = S(entry);

        HXBQuery lookup = HXBDB::getQuery();
        lookup.prepare(QStringLiteral("SELECT appId FROM BatchbayAPPS WHERE filename=?;"));
        lookup.addBindValue(entry);
        if (lookup.read() && lookup.next()) {
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
            insert.write();
        }

        app->description = "Automatically generated from slurm script";
        app->executable = "sbatch";
        app->isSlurm = true;
        mApps.push_back(app);
    }
}

std::vector<std::shared_ptr<BatchbayApp>> BatchbayAppManager::getApps()
{
    std::lock_guard<std::mutex> lock(mLock);
    return mApps;
}

std::shared_ptr<BatchbayApp> BatchbayAppManager::getAppById(int id)
{
    std::lock_guard<std::mutex> lock(mLock);
    for (const auto &app : mApps) {
        if (app->appId == id)
            return app;
    }
    return nullptr;
}
