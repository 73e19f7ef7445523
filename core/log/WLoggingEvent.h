#pragma once

#include "log/WLogLevel.h"

#include <QDateTime>
#include <QMetaType>
#include <QString>

namespace WLog {

// One log entry. Copyable, so it can travel through queued signal connections
// (registered with Qt's meta-type system as "WLoggingEvent").
class WLoggingEvent
{
public:
    WLoggingEvent();
    // Stamps the event with the current time (UTC when useUtc, else local time) and the
    // calling thread.
    WLoggingEvent(const WLogLevel &level, const QString &category, const QString &header,
                  const QString &details, bool useUtc);

    const QDateTime &getTimeStamp() const { return mTimeStamp; }
    const QString &getCategory() const { return mCategory; }
    const QString &getHeader() const { return mHeader; }
    const QString &getDetails() const { return mDetails; }
    quintptr getThreadAddress() const { return mThreadAddress; }
    const WLogLevel &getLogLevel() const { return mLevel; }

private:
    QDateTime mTimeStamp;
    QString mCategory;
    QString mHeader;
    QString mDetails;
    quintptr mThreadAddress = 0;
    WLogLevel mLevel;
};

} // namespace WLog

Q_DECLARE_METATYPE(WLog::WLoggingEvent)
