#pragma once

#include "log/WHTMLFormater.h"

// The server's own HTML row: time stamps to the millisecond, entries of the XML-RPC layer
// (category containing "Maia") on a grey background. Logged text is HTML-escaped.
class HXLLogFormatter : public WLog::WHTMLFormater
{
public:
    explicit HXLLogFormatter(const QString &appName = QStringLiteral("Orlenta-Systems HXB Server"));

    QString format(const WLog::WLoggingEvent &event) override;
};
