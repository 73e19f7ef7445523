#include "BatchbaySettings.h"

#include "config/HXBConfig.h"
#include "log/HXBLogger.h"
#include "util/HXBStringUtils.h"

#include <QCoreApplication>
#include <QSettings>

BatchbaySettings *BatchbaySettings::instance()
{
    static BatchbaySettings settings(HXBConfig::defaultFilePath(),
                                     QCoreApplication::applicationDirPath());
    return &settings;
}

BatchbaySettings::BatchbaySettings(const QString &iniPath, const QString &appDir)
{
    const QSettings file(iniPath, QSettings::IniFormat);

    if (file.contains(QStringLiteral("Core/datadir"))) {
        mDataDir = S(HXBConfig::textValue(file, QStringLiteral("Core/datadir")));
        HXBLogger::instance()->logNormalInfo("Settings", "using datadir from config", mDataDir);
    } else {
        mDataDir = S(appDir) + "/data/";
        HXBLogger::instance()->logNormalInfo("Settings", "using default datadir", mDataDir);
    }

    if (file.contains(QStringLiteral("Core/removeInputDir")))
        mRemoveInputDir = file.value(QStringLiteral("Core/removeInputDir")).toBool();
    if (file.contains(QStringLiteral("Core/oversubscribe")))
        mOversubscribe = file.value(QStringLiteral("Core/oversubscribe")).toBool();
    if (file.contains(QStringLiteral("Batchbay/joblist_visibility")))
        mJobListVisibility = file.value(QStringLiteral("Batchbay/joblist_visibility")).toInt();
    if (file.contains(QStringLiteral("Batchbay/poll_per_job")))
        mPollPerJob = file.value(QStringLiteral("Batchbay/poll_per_job")).toBool();
}
