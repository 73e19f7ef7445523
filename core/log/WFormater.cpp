#include "WFormater.h"

#include "log/WLoggingEvent.h"

namespace WLog {

QString WFormater::getInitLine()
{
    return QString();
}

QString WFormater::format(const WLoggingEvent &event)
{
    if (event.getDetails().isEmpty()) {
        return QStringLiteral("*** %1 %2 : %3")
            .arg(event.getLogLevel().getName(), event.getCategory(), event.getHeader());
    }
    // One multi-argument arg(): a "%1" inside logged text must stay literal.
    return QStringLiteral("*** %1 %2 : %3 [%4]")
        .arg(event.getLogLevel().getName(), event.getCategory(), event.getHeader(),
             event.getDetails());
}

QString WFormater::getLogStartLine()
{
    return QString();
}

QString WFormater::getLogEndLine()
{
    return QString();
}

} // namespace WLog
