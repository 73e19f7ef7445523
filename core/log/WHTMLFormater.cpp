#include "WHTMLFormater.h"

#include "log/WLoggingEvent.h"

#include <QDateTime>

namespace WLog {

namespace {

QString levelStyle(int level)
{
    switch (level) {
    case DEBUG:
        return QStringLiteral("style=\"color:#00FF00;\">");
    case INFO:
        return QStringLiteral("style=\"color:#0000FF;\">");
    case WARN:
        return QStringLiteral("style=\"color:#FF5500;\">");
    case ERROR:
        return QStringLiteral("style=\"color:#FF0000;\">");
    case CRITICAL:
        return QStringLiteral("style=\"color:#FF00DC;\">");
    default:
        return QStringLiteral(">");
    }
}

} // namespace

WHTMLFormater::WHTMLFormater(const QString &appName)
    : WFileFormater(appName)
{
}

QString WHTMLFormater::getInitLine()
{
    QString text = QStringLiteral(
        "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\" "
        "\"http://www.w3.org/TR/html4/loose.dtd\">\n");
    text += QStringLiteral("<html><head><title>");
    if (getAppName().isEmpty())
        text += QStringLiteral("WLog Logfile</title>\n");
    else
        text += getAppName() + QStringLiteral(" Logfile</title>\n");
    text += QStringLiteral(
        "<meta http-equiv=\"content-type\" content=\"text/html;charset=utf-8\" />\n");
    text += QStringLiteral(
        "<style type=\"text/css\">\n<!--\n body, table {font-family: arial,sans-serif; "
        "font-size: x-small;}\nth {background: #336699; color: #FFFFFF; text-align: left;}\n"
        "-->\n</style>\n</head>\n<body bgcolor=\"#FFFFFF\" topmargin=\"6\" leftmargin=\"6\">\n");
    if (getAppName().isEmpty())
        text += QStringLiteral("Logfile written using WLog<br/>\n");
    else
        text += QStringLiteral("Logfile written by ") + getAppName() + QStringLiteral("<br/>\n");
    text += getLogStartLine();
    return text;
}

QString WHTMLFormater::getLogStartLine()
{
    const QDateTime now = getUseUtc() ? QDateTime::currentDateTimeUtc()
                                      : QDateTime::currentDateTime();
    QString text = QStringLiteral("<br/><hr size=\"1\" noshade/>\tLog session start time ");
    text += now.toString(QStringLiteral("ddd MMM yyyy hh:mm:ss"));
    text += getUseUtc() ? QStringLiteral(" all times in UTC") : QStringLiteral(" using local time");
    text += QStringLiteral("<br/>\n<table cellspacing=\"0\" cellpadding=\"4\" border=\"1\" "
                           "bordercolor=\"#224466\" width=\"100%\">\n");
    text += QStringLiteral("<tr><th>Time</th><th>Thread</th><th>Level</th><th>Category</th>"
                           "<th>Header</th><th>Details</th>\n");
    return text;
}

QString WHTMLFormater::getLogEndLine()
{
    return QStringLiteral("</table>");
}

QString WHTMLFormater::textCells(const WLoggingEvent &event)
{
    QString text = QStringLiteral("</td>\n<td title=\"Category\">");
    text += event.getCategory().toHtmlEscaped();
    text += QStringLiteral("</td>\n<td title=\"Header\">");
    text += event.getHeader().toHtmlEscaped();
    text += QStringLiteral("</td>\n<td title=\"Details\">");
    text += event.getDetails().toHtmlEscaped();
    text += QStringLiteral("</td></tr>");
    return text;
}

QString WHTMLFormater::format(const WLoggingEvent &event)
{
    QString text = QStringLiteral("\n<tr>\n<td>");
    text += event.getTimeStamp().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss,zzz"));
    text += QStringLiteral("</td>\n<td title=\"Thread\">");
    text += QString::number(event.getThreadAddress());
    text += QStringLiteral("</td>\n<td title=\"Level\"");
    text += levelStyle(event.getLogLevel().getLevel());
    text += event.getLogLevel().getName();
    text += textCells(event);
    return text;
}

} // namespace WLog
