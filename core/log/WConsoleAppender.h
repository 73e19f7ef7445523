#pragma once

#include "log/WAppender.h"

namespace WLog {

// Writes each event as one line on standard output. Without a formatter it writes nothing.
class WConsoleAppender : public WAppender
{
    Q_OBJECT
public:
    explicit WConsoleAppender(QObject *parent = nullptr);
    explicit WConsoleAppender(WFormater *formater, QObject *parent = nullptr);

public Q_SLOTS:
    void logDebug(const WLog::WLoggingEvent &event) override;
    void logInfo(const WLog::WLoggingEvent &event) override;
    void logWarn(const WLog::WLoggingEvent &event) override;
    void logError(const WLog::WLoggingEvent &event) override;
    void logCritical(const WLog::WLoggingEvent &event) override;

private:
    void write(const WLoggingEvent &event);
};

} // namespace WLog
