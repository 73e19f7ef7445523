#include "WLoggingEvent.h"

#include <QThread>

namespace WLog {

WLoggingEvent::WLoggingEvent() = default;

WLoggingEvent::WLoggingEvent(const WLogLevel &level, const QString &category,
                             const QString &header, const QString &details, bool useUtc)
    : mTimeStamp(useUtc ? QDateTime::currentDateTimeUtc() : QDateTime::currentDateTime())
    , mCategory(category)
    , mHeader(header)
    , mDetails(details)
    , mThreadAddress(reinterpret_cast<quintptr>(QThread::currentThread()))
    , mLevel(level)
{
}

} // namespace WLog
