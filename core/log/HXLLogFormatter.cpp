#include "HXLLogFormatter.h"

#include "log/WLoggingEvent.h"

#include <QDateTime>

namespace {

QString levelStyle(int level)
{
    switch (level) {
    case WLog::DEBUG:
        return QStringLiteral("style=\"color:#00FF00;\">");
    case WLog::INFO:
        return QStringLiteral("style=\"color:rgb(70,130,200);\">");
    case WLog::WARN:
        return QStringLiteral("style=\"color:#FF5500;\">");
    case WLog::ERROR:
        return QStringLiteral("style=\"color:#FF0000;\">");
    case WLog::CRITICAL:
        return QStringLiteral("style=\"color:#FF00DC;\">");
    default:
        return QStringLiteral(">");
    }
}

} // namespace

HXLLogFormatter::HXLLogFormatter(const QString &appName)
    : WLog::WHTMLFormater(appName)
{
}

QString HXLLogFormatter::format(const WLog::WLoggingEvent &event)
{
    QString text = event.getCategory().contains(QLatin1String("Maia"), Qt::CaseSensitive)
                       ? QStringLiteral("\n<tr BGCOLOR=#E0E0E0>\n")
                       : QStringLiteral("\n<tr>\n");
    text += QStringLiteral("<td>");
    // Three-digit milliseconds; "zzzz" would print them twice ("086086").
    text += event.getTimeStamp().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss,zzz"));
    text += QStringLiteral("</td>\n<td title=\"Thread\">");
    text += QString::number(event.getThreadAddress());
    text += QStringLiteral("</td>\n<td title=\"Level\"");
    text += levelStyle(event.getLogLevel().getLevel());
    text += event.getLogLevel().getName();
    text += textCells(event);
    return text;
}
