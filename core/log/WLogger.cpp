#include "WLogger.h"

#include "log/WAppender.h"
#include "log/WLogLevel.h"

#include <QMetaType>

#include <mutex>

namespace WLog {

bool WLogger::sRegistered = false;
std::atomic<bool> WLogger::sAlive{false};

namespace {
std::once_flag sRegisterOnce;
}

WLogger::WLogger(QObject *parent)
    : QObject(parent)
{
    std::call_once(sRegisterOnce, [] {
        qRegisterMetaType<WLog::WLoggingEvent>("WLoggingEvent");
        sRegistered = true;
    });
}

WLogger::~WLogger()
{
    const QSet<WAppender *> appenders = mAppenders;
    mAppenders.clear();
    for (WAppender *appender : appenders) {
        disconnect(this, nullptr, appender, nullptr);
        delete appender;
    }
}

WLogger *WLogger::getLogger()
{
    struct Holder
    {
        Holder() { sAlive.store(true); }
        ~Holder() { sAlive.store(false); }
        WLogger logger;
    };
    static Holder holder;
    return &holder.logger;
}

void WLogger::debug(const QString &category, const QString &header, const QString &details)
{
    Q_EMIT logDebug(WLoggingEvent(WLogLevel::WDEBUG, category, header, details, mUseUtc));
}

void WLogger::info(const QString &category, const QString &header, const QString &details)
{
    Q_EMIT logInfo(WLoggingEvent(WLogLevel::WINFO, category, header, details, mUseUtc));
}

void WLogger::warn(const QString &category, const QString &header, const QString &details)
{
    Q_EMIT logWarn(WLoggingEvent(WLogLevel::WWARN, category, header, details, mUseUtc));
}

void WLogger::error(const QString &category, const QString &header, const QString &details)
{
    Q_EMIT logError(WLoggingEvent(WLogLevel::WERROR, category, header, details, mUseUtc));
}

void WLogger::critical(const QString &category, const QString &header, const QString &details)
{
    Q_EMIT logCritical(WLoggingEvent(WLogLevel::WCRITICAL, category, header, details, mUseUtc));
}

void WLogger::registerAppender(WAppender *appender, const WLogLevel &level)
{
    if (!appender)
        return;
    const bool known = mAppenders.contains(appender);
    if (known)
        disconnect(this, nullptr, appender, nullptr);
    appender->setUseUtc(mUseUtc);

    const int number = level.getLevel();
    if (number == UNDEFINED) {
        mAppenders.remove(appender);
        return;
    }
    if (number <= DEBUG)
        connect(this, &WLogger::logDebug, appender, &WAppender::logDebug);
    if (number <= INFO)
        connect(this, &WLogger::logInfo, appender, &WAppender::logInfo);
    if (number <= WARN)
        connect(this, &WLogger::logWarn, appender, &WAppender::logWarn);
    if (number <= ERROR)
        connect(this, &WLogger::logError, appender, &WAppender::logError);
    if (number <= CRITICAL)
        connect(this, &WLogger::logCritical, appender, &WAppender::logCritical);
    mAppenders.insert(appender);
}

void WLogger::deregisterAppender(WAppender *appender)
{
    if (!appender)
        return;
    disconnect(this, nullptr, appender, nullptr);
    mAppenders.remove(appender);
}

void WLogger::setUseUtc(bool useUtc)
{
    mUseUtc = useUtc;
    for (WAppender *appender : std::as_const(mAppenders))
        appender->setUseUtc(useUtc);
}

void WLogger::test()
{
    const QString category = QStringLiteral("WLogger");
    const QString body = QStringLiteral("This is the body");
    debug(category, QStringLiteral("This is a debug message"), body);
    info(category, QStringLiteral("This is a info message"), body);
    warn(category, QStringLiteral("This is a warn message"), body);
    error(category, QStringLiteral("This is a error message"), body);
    critical(category, QStringLiteral("This is a critical message"), body);
    Q_EMIT testDone();
}

} // namespace WLog
