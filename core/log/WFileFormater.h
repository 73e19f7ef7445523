#pragma once

#include "log/WFormater.h"

namespace WLog {

// Plain-text file decorations around the base line format.
class WFileFormater : public WFormater
{
public:
    explicit WFileFormater(const QString &appName = QString());

    const QString &getAppName() const { return mAppName; }

    QString getInitLine() override;
    // Always in local time.
    QString getLogStartLine() override;

private:
    QString mAppName;
};

} // namespace WLog
