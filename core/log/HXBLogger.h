#pragma once

#include <string>

class HXBConfig;

namespace WLog {
class WLogger;
}

// The one logging facade of the system. Each operation is (category, header, details);
// the tier (Low, Normal, High, Debug) decides by HXBConfig's debug level whether the entry
// is written at all, the kind (Info, Warn, Critical) is the entry's level. Callable from
// any thread without a lock; entries from other threads are written by the main thread's
// event loop. A filtered-out entry costs one comparison of the debug level.
//
// Construction sets up the outputs of the process-wide WLog logger: the HTML file "log.html"
// in HXBConfig's log directory (rolled over by size, "Core/numLogs" KiB read from
// "hxbconfig.ini" in the working directory, default 500) and one line per entry on standard
// output; time stamps are in UTC.
class HXBLogger
{
public:
    static HXBLogger *instance();

    void logLowInfo(const std::string &category, const std::string &header, const std::string &details);
    void logLowWarn(const std::string &category, const std::string &header, const std::string &details);
    void logLowCritical(const std::string &category, const std::string &header, const std::string &details);
    void logNormalInfo(const std::string &category, const std::string &header, const std::string &details);
    void logNormalWarn(const std::string &category, const std::string &header, const std::string &details);
    void logNormalCritical(const std::string &category, const std::string &header, const std::string &details);
    void logHighInfo(const std::string &category, const std::string &header, const std::string &details);
    void logHighWarn(const std::string &category, const std::string &header, const std::string &details);
    void logHighCritical(const std::string &category, const std::string &header, const std::string &details);
    void logDebugInfo(const std::string &category, const std::string &header, const std::string &details);
    void logDebugWarn(const std::string &category, const std::string &header, const std::string &details);
    void logDebugCritical(const std::string &category, const std::string &header, const std::string &details);

private:
    HXBLogger();

    void write(int kind, const std::string &category, const std::string &header,
               const std::string &details);

    WLog::WLogger *mpLogger = nullptr;
    HXBConfig *mpConfig = nullptr;
};
