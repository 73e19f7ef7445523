#include "WLogLevel.h"

namespace WLog {

const WLogLevel WLogLevel::WDEBUG(QStringLiteral("DEBUG"), DEBUG);
const WLogLevel WLogLevel::WINFO(QStringLiteral("INFO"), INFO);
const WLogLevel WLogLevel::WWARN(QStringLiteral("WARN"), WARN);
const WLogLevel WLogLevel::WERROR(QStringLiteral("ERROR"), ERROR);
const WLogLevel WLogLevel::WCRITICAL(QStringLiteral("CRITICAL"), CRITICAL);

WLogLevel::WLogLevel()
    : mName(QStringLiteral("UNDEFINED"))
    , mLevel(UNDEFINED)
{
}

WLogLevel::WLogLevel(const QString &name, WLoggingLevel level)
    : mName(name)
    , mLevel(level)
{
}

} // namespace WLog
