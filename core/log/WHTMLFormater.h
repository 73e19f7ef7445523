#pragma once

#include "log/WFileFormater.h"

namespace WLog {

// An HTML document with one table row per event. Category, header and details are
// HTML-escaped, so logged text cannot inject markup into the page.
class WHTMLFormater : public WFileFormater
{
public:
    explicit WHTMLFormater(const QString &appName = QString());

    // Document head, then getLogStartLine().
    QString getInitLine() override;
    QString format(const WLoggingEvent &event) override;
    // A new table with its header row; the time in UTC or local time by the UTC flag.
    QString getLogStartLine() override;
    QString getLogEndLine() override;

protected:
    // The three cells of category, header and details, escaped, closing the row.
    static QString textCells(const WLoggingEvent &event);
};

} // namespace WLog
