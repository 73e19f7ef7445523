#pragma once

#include <QObject>

namespace WLog {

class WFormater;
class WLoggingEvent;

// Base of every output. Owns its formatter. The level slots run on the appender's own
// thread: at once for entries logged there, queued for entries logged elsewhere.
class WAppender : public QObject
{
    Q_OBJECT
public:
    explicit WAppender(WFormater *formater = nullptr, QObject *parent = nullptr);
    ~WAppender() override;

    // Deletes the current formatter and takes the new one (may be null).
    virtual void setFormater(WFormater *formater);
    // Hands the formatter to the caller; the appender keeps none.
    virtual WFormater *takeFormater();
    WFormater *getFormater() const { return mpFormater; }

    void setUseUtc(bool useUtc);
    bool getUseUtc() const { return mUseUtc; }

public Q_SLOTS:
    virtual void logDebug(const WLog::WLoggingEvent &event) = 0;
    virtual void logInfo(const WLog::WLoggingEvent &event) = 0;
    virtual void logWarn(const WLog::WLoggingEvent &event) = 0;
    virtual void logError(const WLog::WLoggingEvent &event) = 0;
    virtual void logCritical(const WLog::WLoggingEvent &event) = 0;

protected:
    WFormater *mpFormater = nullptr;
    bool mUseUtc = false;
};

} // namespace WLog
