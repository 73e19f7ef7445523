#pragma once

#include "log/WLoggingEvent.h"

#include <QObject>
#include <QSet>

#include <atomic>

namespace WLog {

class WAppender;
class WLogLevel;

// Broadcasts events to the appenders registered for their level, through automatic
// signal-slot connections: appenders living on the logging thread write at once, the others
// receive a queued copy. Logging may happen on any thread; registration, deregistration and
// setUseUtc belong to start-up on the owning thread and are not synchronised against logging.
class WLogger : public QObject
{
    Q_OBJECT
public:
    explicit WLogger(QObject *parent = nullptr);
    // Deletes every appender still registered.
    ~WLogger() override;

    // The process-wide logger, created on first call and destroyed at process exit.
    static WLogger *getLogger();
    // False once the process-wide logger has been destroyed (static destruction at exit).
    static bool isAlive() { return sAlive.load(std::memory_order_relaxed); }

    void debug(const QString &category, const QString &header, const QString &details);
    void info(const QString &category, const QString &header, const QString &details);
    void warn(const QString &category, const QString &header, const QString &details);
    void error(const QString &category, const QString &header, const QString &details);
    void critical(const QString &category, const QString &header, const QString &details);

    // Takes ownership and delivers events of `level` and above; registering again replaces the
    // earlier level, registering at UNDEFINED deregisters. A null appender is ignored.
    void registerAppender(WAppender *appender, const WLogLevel &level);
    // Stops delivery and hands ownership back to the caller.
    void deregisterAppender(WAppender *appender);
    bool isRegistered(WAppender *appender) const { return mAppenders.contains(appender); }

    // Also switches every registered appender and its formatter.
    void setUseUtc(bool useUtc);
    bool getUseUtc() const { return mUseUtc; }

    // One event per level with fixed texts, then testDone().
    void test();

    static bool sRegistered;

Q_SIGNALS:
    void logDebug(const WLog::WLoggingEvent &event);
    void logInfo(const WLog::WLoggingEvent &event);
    void logWarn(const WLog::WLoggingEvent &event);
    void logError(const WLog::WLoggingEvent &event);
    void logCritical(const WLog::WLoggingEvent &event);
    void testDone();

private:
    QSet<WAppender *> mAppenders;
    bool mUseUtc = false;

    static std::atomic<bool> sAlive;
};

} // namespace WLog
