#pragma once

namespace WLog {

// Severity of a log entry; an appender registered for a level receives that level and all
// higher ones. UNDEFINED is no severity: registering at it removes an appender.
enum WLoggingLevel {
    DEBUG = 0,
    INFO = 1,
    WARN = 2,
    ERROR = 3,
    CRITICAL = 4,
    UNDEFINED = 5
};

} // namespace WLog
