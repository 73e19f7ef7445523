#include "HXBLogger.h"

#include "config/HXBConfig.h"
#include "log/HXLLogFormatter.h"
#include "log/WConsoleAppender.h"
#include "log/WFileAppender.h"
#include "log/WFormater.h"
#include "log/WLogLevel.h"
#include "log/WLogger.h"
#include "util/HXBStringUtils.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace {

enum Kind { Info, Warn, Critical };

unsigned maxLogSizeKiB()
{
    const QSettings local(QStringLiteral("hxbconfig.ini"), QSettings::IniFormat);
    const QString key = QStringLiteral("Core/numLogs");
    if (!local.contains(key))
        return 500;
    const int kib = local.value(key).toInt();
    return kib < 0 ? 0u : static_cast<unsigned>(kib);
}

// The outputs belong to the main thread even when another thread logs first: a worker thread
// that ends would otherwise take every later entry with it.
WLog::WAppender *onMainThread(WLog::WAppender *appender)
{
    if (const QCoreApplication *app = QCoreApplication::instance())
        appender->moveToThread(app->thread());
    return appender;
}

} // namespace

HXBLogger::HXBLogger()
    : mpLogger(WLog::WLogger::getLogger())
    , mpConfig(HXBConfig::instance())
{
    auto *formatter = new HXLLogFormatter(QStringLiteral("Orlenta-Systems HXB Server"));
    const QString logDir = Q(mpConfig->getLogPath());
    if (!QDir(logDir).exists())
        QDir().mkpath(logDir);
    // A negative backup count would make every roll-over walk four billion names.
    const int backups = mpConfig->getNumLogs();
    auto *file = new WLog::WFileAppender(formatter, logDir, QStringLiteral("log.html"),
                                         maxLogSizeKiB(), backups < 0 ? 0u : unsigned(backups),
                                         false);
    mpLogger->registerAppender(onMainThread(file), WLog::WLogLevel::WDEBUG);

    mpLogger->registerAppender(onMainThread(new WLog::WConsoleAppender(new WLog::WFormater)),
                               WLog::WLogLevel::WDEBUG);
    mpLogger->setUseUtc(true);

    logLowInfo("Logging",
               "using logfile : " + S(QFileInfo(file->getFileName()).absoluteFilePath()), "");
}

HXBLogger *HXBLogger::instance()
{
    static HXBLogger *const logger = new HXBLogger;
    return logger;
}

void HXBLogger::write(int kind, const std::string &category, const std::string &header,
                      const std::string &details)
{
    if (!WLog::WLogger::isAlive())
        return; // during static destruction at process exit
    switch (kind) {
    case Info:
        mpLogger->info(Q(category), Q(header), Q(details));
        break;
    case Warn:
        mpLogger->warn(Q(category), Q(header), Q(details));
        break;
    default:
        mpLogger->critical(Q(category), Q(header), Q(details));
        break;
    }
}

#define HXB_LOG_OP(name, tier, kind)                                                               \
    void HXBLogger::name(const std::string &category, const std::string &header,                  \
                         const std::string &details)                                              \
    {                                                                                              \
        if (mpConfig->tier())                                                                      \
            write(kind, category, header, details);                                                \
    }

HXB_LOG_OP(logLowInfo, isDebugLevelLower, Info)
HXB_LOG_OP(logLowWarn, isDebugLevelLower, Warn)
HXB_LOG_OP(logLowCritical, isDebugLevelLower, Critical)
HXB_LOG_OP(logNormalInfo, isDebugLevelNormal, Info)
HXB_LOG_OP(logNormalWarn, isDebugLevelNormal, Warn)
HXB_LOG_OP(logNormalCritical, isDebugLevelNormal, Critical)
HXB_LOG_OP(logHighInfo, isDebugLevelHigh, Info)
HXB_LOG_OP(logHighWarn, isDebugLevelHigh, Warn)
HXB_LOG_OP(logHighCritical, isDebugLevelHigh, Critical)
HXB_LOG_OP(logDebugInfo, isDebugLevelHigher, Info)
HXB_LOG_OP(logDebugWarn, isDebugLevelHigher, Warn)
HXB_LOG_OP(logDebugCritical, isDebugLevelHigher, Critical)
