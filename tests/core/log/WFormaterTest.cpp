#include "log/HXLLogFormatter.h"
#include "log/WConsoleAppender.h"
#include "log/WFileFormater.h"
#include "log/WFormater.h"
#include "log/WHTMLFormater.h"
#include "log/WLogLevel.h"
#include "log/WLoggingEvent.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QTemporaryFile>

#include "QtGTestPrinters.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <unistd.h>

using namespace WLog;

namespace {

WLoggingEvent event(const WLogLevel &level, const QString &category, const QString &header,
                    const QString &details = QString(), bool utc = true)
{
    return WLoggingEvent(level, category, header, details, utc);
}

// Everything `action` writes to standard output.
QByteArray captureStdout(const std::function<void()> &action)
{
    QTemporaryFile file;
    if (!file.open())
        return "<no temp file>";
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(file.handle(), STDOUT_FILENO);
    action();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    file.seek(0);
    return file.readAll();
}

QString threadCell(const WLoggingEvent &e)
{
    return QString::number(e.getThreadAddress());
}

TEST(WFormaterTest, PlainLineWithAndWithoutDetails)
{
    WFormater formater;
    EXPECT_EQ(formater.format(event(WLogLevel::WINFO, "Startup", "es geht los ...")),
              QStringLiteral("*** INFO Startup : es geht los ..."));
    EXPECT_EQ(formater.format(event(WLogLevel::WCRITICAL, "DB", "open failed", "no such file")),
              QStringLiteral("*** CRITICAL DB : open failed [no such file]"));
    EXPECT_TRUE(formater.getInitLine().isEmpty());
    EXPECT_TRUE(formater.getLogStartLine().isEmpty());
    EXPECT_TRUE(formater.getLogEndLine().isEmpty());
}

TEST(WFormaterTest, PlaceholdersInLoggedTextStayLiteral)
{
    WFormater formater;
    EXPECT_EQ(formater.format(event(WLogLevel::WWARN, "Web", "GET /a%20b %1", "%2 %4")),
              QStringLiteral("*** WARN Web : GET /a%20b %1 [%2 %4]"));
    EXPECT_EQ(formater.format(event(WLogLevel::WWARN, "%3", "h")), QStringLiteral("*** WARN %3 : h"));
}

TEST(WConsoleAppenderTest, WritesOneUnescapedLinePerEvent)
{
    WConsoleAppender appender(new WFormater);
    const QByteArray out = captureStdout([&] {
        appender.logInfo(event(WLogLevel::WINFO, "Startup", "es geht los ..."));
        appender.logDebug(event(WLogLevel::WDEBUG, "c", "<b>x</b> & \"y\"", "d\xc3\xa4"));
    });
    EXPECT_EQ(out, QByteArray("*** INFO Startup : es geht los ...\n"
                              "*** DEBUG c : <b>x</b> & \"y\" [d\xc3\xa4]\n"));
}

TEST(WConsoleAppenderTest, WithoutFormaterPrintsNothing)
{
    WConsoleAppender appender;
    const QByteArray out = captureStdout([&] {
        appender.logCritical(event(WLogLevel::WCRITICAL, "c", "h"));
        appender.logWarn(event(WLogLevel::WWARN, "c", "h"));
    });
    EXPECT_TRUE(out.isEmpty()) << out.toStdString();
}

TEST(WFileFormaterTest, InitAndStartLines)
{
    WFileFormater unnamed;
    EXPECT_EQ(unnamed.getInitLine(), QStringLiteral("Logfile written using WLog\n"));
    WFileFormater named(QStringLiteral("App"));
    EXPECT_EQ(named.getAppName(), QStringLiteral("App"));
    EXPECT_EQ(named.getInitLine(), QStringLiteral("Logfile written by App\n"));
    const QRegularExpression start(
        QStringLiteral("^\nLog session start time \\w+ \\w+ \\d{4} \\d\\d:\\d\\d:\\d\\d\n$"));
    EXPECT_TRUE(start.match(named.getLogStartLine()).hasMatch()) << named.getLogStartLine().toStdString();
    EXPECT_TRUE(named.getLogEndLine().isEmpty());
}

class WHTMLFormaterTest : public ::testing::Test
{
protected:
    static QString row(const WLoggingEvent &e, const QString &style, const QString &texts)
    {
        return QStringLiteral("\n<tr>\n<td>")
               + e.getTimeStamp().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss,zzz"))
               + QStringLiteral("</td>\n<td title=\"Thread\">") + threadCell(e)
               + QStringLiteral("</td>\n<td title=\"Level\"") + style + texts;
    }
};

TEST_F(WHTMLFormaterTest, RowPerLevel)
{
    const struct
    {
        WLogLevel level;
        QString styleAndName;
    } cases[] = {
        {WLogLevel::WDEBUG, "style=\"color:#00FF00;\">DEBUG"},
        {WLogLevel::WINFO, "style=\"color:#0000FF;\">INFO"},
        {WLogLevel::WWARN, "style=\"color:#FF5500;\">WARN"},
        {WLogLevel::WERROR, "style=\"color:#FF0000;\">ERROR"},
        {WLogLevel::WCRITICAL, "style=\"color:#FF00DC;\">CRITICAL"},
        {WLogLevel(), ">UNDEFINED"},
        {WLogLevel(QStringLiteral("ODD"), UNDEFINED), ">ODD"},
    };
    WHTMLFormater formater;
    for (const auto &c : cases) {
        const WLoggingEvent e = event(c.level, "Cat", "Head", "Det");
        EXPECT_EQ(formater.format(e),
                  row(e, c.styleAndName,
                      QStringLiteral("</td>\n<td title=\"Category\">Cat</td>\n<td title=\"Header\">"
                                     "Head</td>\n<td title=\"Details\">Det</td></tr>")));
    }
}

TEST_F(WHTMLFormaterTest, EscapesLoggedText)
{
    WHTMLFormater formater;
    const WLoggingEvent e = event(WLogLevel::WINFO, "a&b", "<script>alert(\"x\")</script>",
                                  "<td title=\"x\">&amp;</td>");
    const QString text = formater.format(e);
    EXPECT_TRUE(text.endsWith(QStringLiteral(
        "<td title=\"Category\">a&amp;b</td>\n"
        "<td title=\"Header\">&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;</td>\n"
        "<td title=\"Details\">&lt;td title=&quot;x&quot;&gt;&amp;amp;&lt;/td&gt;</td></tr>")))
        << text.toStdString();
    EXPECT_FALSE(text.contains(QStringLiteral("<script>")));
}

TEST_F(WHTMLFormaterTest, InitTextNamesApplicationAndOpensTable)
{
    WHTMLFormater named(QStringLiteral("Orlenta-Systems HXB Server"));
    const QString init = named.getInitLine();
    EXPECT_TRUE(init.startsWith(QStringLiteral(
        "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\" "
        "\"http://www.w3.org/TR/html4/loose.dtd\">\n<html><head><title>"
        "Orlenta-Systems HXB Server Logfile</title>\n"
        "<meta http-equiv=\"content-type\" content=\"text/html;charset=utf-8\" />\n")));
    EXPECT_TRUE(init.contains(QStringLiteral(
        "<body bgcolor=\"#FFFFFF\" topmargin=\"6\" leftmargin=\"6\">\n"
        "Logfile written by Orlenta-Systems HXB Server<br/>\n<br/><hr size=\"1\" noshade/>")));
    EXPECT_TRUE(init.endsWith(QStringLiteral(
        "<tr><th>Time</th><th>Thread</th><th>Level</th><th>Category</th><th>Header</th>"
        "<th>Details</th>\n")));

    WHTMLFormater unnamed;
    const QString plain = unnamed.getInitLine();
    EXPECT_TRUE(plain.contains(QStringLiteral("<title>WLog Logfile</title>\n")));
    EXPECT_TRUE(plain.contains(QStringLiteral("Logfile written using WLog<br/>\n")));
    EXPECT_EQ(unnamed.getLogEndLine(), QStringLiteral("</table>"));
}

TEST_F(WHTMLFormaterTest, StartLineStatesTimeZone)
{
    const QRegularExpression shape(QStringLiteral(
        "^<br/><hr size=\"1\" noshade/>\tLog session start time \\w+ \\w+ \\d{4} "
        "\\d\\d:\\d\\d:\\d\\d( all times in UTC| using local time)<br/>\n<table cellspacing=\"0\" "
        "cellpadding=\"4\" border=\"1\" bordercolor=\"#224466\" width=\"100%\">\n<tr><th>Time"));
    WHTMLFormater formater;
    QRegularExpressionMatch local = shape.match(formater.getLogStartLine());
    ASSERT_TRUE(local.hasMatch()) << formater.getLogStartLine().toStdString();
    EXPECT_EQ(local.captured(1), QStringLiteral(" using local time"));
    formater.setUseUtc(true);
    QRegularExpressionMatch utc = shape.match(formater.getLogStartLine());
    ASSERT_TRUE(utc.hasMatch());
    EXPECT_EQ(utc.captured(1), QStringLiteral(" all times in UTC"));
}

TEST(HXLLogFormatterTest, RowWithServerTimeFormatAndInfoColour)
{
    HXLLogFormatter formatter;
    EXPECT_EQ(formatter.getAppName(), QStringLiteral("Orlenta-Systems HXB Server"));
    const WLoggingEvent e = event(WLogLevel::WINFO, "Startup", "es geht los ...");
    EXPECT_EQ(formatter.format(e),
              QStringLiteral("\n<tr>\n<td>")
                  + e.getTimeStamp().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss,zzz"))
                  + QStringLiteral("</td>\n<td title=\"Thread\">") + threadCell(e)
                  + QStringLiteral("</td>\n<td title=\"Level\"style=\"color:rgb(70,130,200);\">"
                                   "INFO</td>\n<td title=\"Category\">Startup</td>\n"
                                   "<td title=\"Header\">es geht los ...</td>\n"
                                   "<td title=\"Details\"></td></tr>"));
    EXPECT_TRUE(formatter.format(event(WLogLevel::WWARN, "c", "h"))
                    .contains(QStringLiteral("style=\"color:#FF5500;\">WARN")));
    EXPECT_TRUE(formatter.format(event(WLogLevel(), "c", "h"))
                    .contains(QStringLiteral("<td title=\"Level\">UNDEFINED")));
}

TEST(HXLLogFormatterTest, GreyRowOnlyForCategoriesContainingMaia)
{
    HXLLogFormatter formatter;
    const struct
    {
        const char *category;
        bool grey;
    } cases[] = {{"MaiaXmlRpcServer", true}, {"xMaia", true}, {"maia", false},
                 {"MAIA", false}, {"Startup", false}};
    for (const auto &c : cases) {
        const QString text = formatter.format(event(WLogLevel::WINFO, c.category, "h"));
        EXPECT_EQ(text.startsWith(QStringLiteral("\n<tr BGCOLOR=#E0E0E0>\n<td>")), c.grey) << c.category;
        EXPECT_EQ(text.startsWith(QStringLiteral("\n<tr>\n<td>")), !c.grey) << c.category;
    }
}

TEST(HXLLogFormatterTest, EscapesLoggedText)
{
    HXLLogFormatter formatter;
    const QString text = formatter.format(
        event(WLogLevel::WWARN, "Maia<i>", "<img src=x onerror=\"alert(1)\">", "a & b"));
    EXPECT_TRUE(text.startsWith(QStringLiteral("\n<tr BGCOLOR=#E0E0E0>\n")));
    EXPECT_TRUE(text.endsWith(QStringLiteral(
        "<td title=\"Category\">Maia&lt;i&gt;</td>\n"
        "<td title=\"Header\">&lt;img src=x onerror=&quot;alert(1)&quot;&gt;</td>\n"
        "<td title=\"Details\">a &amp; b</td></tr>")))
        << text.toStdString();
}

} // namespace
