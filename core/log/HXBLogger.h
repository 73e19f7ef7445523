#pragma once

#include <string>

namespace WLog {
class WLogger;
}

// The one logging facade of the system. Each operation is (category, header, details);
// the tier (Low, Normal, High, Debug) decides by HXBConfig's debug level whether the entry
// is written at all, the kind (Info, Warn, Critical) is the entry's level. Callable from
// any thread without a lock; entries from other threads are written by the main thread's
// event loop.
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

    WLog::WLogger *mpLogger = nullptr;
};
