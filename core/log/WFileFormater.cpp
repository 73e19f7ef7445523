#include "WFileFormater.h"

#include <QDateTime>

namespace WLog {

WFileFormater::WFileFormater(const QString &appName)
    : mAppName(appName)
{
}

QString WFileFormater::getInitLine()
{
    if (mAppName.isEmpty())
        return QStringLiteral("Logfile written using WLog\n");
    return QStringLiteral("Logfile written by %1\n").arg(mAppName);
}

QString WFileFormater::getLogStartLine()
{
    return QStringLiteral("\nLog session start time %1\n")
        .arg(QDateTime::currentDateTime().toString(QStringLiteral("ddd MMM yyyy hh:mm:ss")));
}

} // namespace WLog
