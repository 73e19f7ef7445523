#include "HXBConfig.h"

#include "log/HXBLogger.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSettings>

namespace {

int intValue(const QSettings *settings, const char *key, int defaultValue)
{
    const QVariant value = settings->value(QLatin1String(key));
    if (!value.isValid())
        return defaultValue;
    return value.toInt(); // not a number reads as 0
}

std::string stringValue(const QSettings *settings, const char *key, const QString &defaultValue)
{
    return HXBConfig::textValue(*settings, QLatin1String(key), defaultValue).toStdString();
}

} // namespace

HXBConfig *HXBConfig::instance()
{
    static HXBConfig *const config = new HXBConfig(defaultFilePath());
    return config;
}

QString HXBConfig::defaultFilePath()
{
    const QString appDir = QCoreApplication::applicationDirPath();
    const QString above = appDir + QStringLiteral("/../hxbconfig.ini");
    if (QFileInfo::exists(above))
        return above;
    return appDir + QStringLiteral("/hxbconfig.ini");
}

QString HXBConfig::textValue(const QSettings &settings, const QString &key,
                             const QString &defaultValue)
{
    const QVariant value = settings.value(key);
    if (!value.isValid())
        return defaultValue;
    // Qt's INI reading has already dropped blanks next to the commas ("a , b" reads "a,b");
    // a value in double quotes comes back exactly.
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

HXBConfig::HXBConfig(const QString &iniPath)
    : mpSettings(new QSettings(iniPath, QSettings::IniFormat))
{
}

HXBConfig::~HXBConfig()
{
    delete mpSettings;
}

std::string HXBConfig::levelName(int level)
{
    switch (level) {
    case 0:
        return "low";
    case 1:
        return "normal";
    case 2:
        return "high";
    case 3:
        return "higher";
    default:
        return "unknown";
    }
}

std::string HXBConfig::getDebugLevelString() const
{
    return levelName(currentLevel());
}

bool HXBConfig::setDebugLevel(int level)
{
    if (static_cast<unsigned>(level) > 3u) {
        HXBLogger::instance()->logLowInfo("HXBConfig", "debuglevel changing failed, currently:",
                                          getDebugLevelString());
        return false;
    }
    mDebugLevel.store(level, std::memory_order_relaxed);
    HXBLogger::instance()->logLowInfo("HXBConfig", "debuglevel changed, currently:",
                                      getDebugLevelString());
    return true;
}

void HXBConfig::incrementDebugLevel()
{
    const int current = currentLevel();
    if (static_cast<unsigned>(current) <= 3u)
        mDebugLevel.store((current + 1) % 4, std::memory_order_relaxed);
    HXBLogger::instance()->logLowInfo("HXBConfig", "debuglevel changed, currently:",
                                      getDebugLevelString());
}

int HXBConfig::getPort()
{
    return intValue(mpSettings, "Core/port", 5170);
}

std::string HXBConfig::getBindAddress()
{
    return stringValue(mpSettings, "Core/bind_address", QStringLiteral("127.0.0.1"));
}

int HXBConfig::getTokenExpirationHours()
{
    return intValue(mpSettings, "Core/token_expiration_hours", 1);
}

int HXBConfig::getSessionMaxHours()
{
    return intValue(mpSettings, "Core/session_max_hours", 24);
}

std::string HXBConfig::getLogPath()
{
    return stringValue(mpSettings, "Core/logpath", QCoreApplication::applicationDirPath())
           + "/logs/";
}

int HXBConfig::getNumLogs()
{
    return intValue(mpSettings, "Core/logkeep", 1000);
}

std::string HXBConfig::getDataDir() const
{
    return stringValue(mpSettings, "Core/datadir",
                       QCoreApplication::applicationDirPath() + QStringLiteral("/data/"));
}

int HXBConfig::getDBType()
{
    return intValue(mpSettings, "DB/type", 0);
}

std::string HXBConfig::getDBname()
{
    return stringValue(mpSettings, "DB/name", QStringLiteral("db.sqlite"));
}
