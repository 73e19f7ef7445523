#pragma once

#include "log/WLoggingLevel.h"

#include <QString>

namespace WLog {

// A level's name together with its number. Converts to its name where text is expected.
class WLogLevel
{
public:
    WLogLevel();
    WLogLevel(const QString &name, WLoggingLevel level);
    WLogLevel(const WLogLevel &other) = default;
    WLogLevel &operator=(const WLogLevel &other) = default;

    const QString &getName() const { return mName; }
    WLoggingLevel getLevel() const { return mLevel; }
    operator QString() const { return mName; }

    // The five process-wide levels, created during static initialisation of libhxbcore: code
    // of libhxbcore must not log from its own static initialisers.
    static const WLogLevel WDEBUG;
    static const WLogLevel WINFO;
    static const WLogLevel WWARN;
    static const WLogLevel WERROR;
    static const WLogLevel WCRITICAL;

private:
    QString mName;
    WLoggingLevel mLevel;
};

} // namespace WLog
