// Interim console-only facade; the WLog framework replaces this file.
#include "HXBLogger.h"

#include "config/HXBConfig.h"

#include <cstdio>

namespace {
void put(const char *level, const std::string &c, const std::string &h, const std::string &d)
{
    if (d.empty())
        std::printf("*** %s %s : %s\n", level, c.c_str(), h.c_str());
    else
        std::printf("*** %s %s : %s [%s]\n", level, c.c_str(), h.c_str(), d.c_str());
    std::fflush(stdout);
}
} // namespace

HXBLogger::HXBLogger() = default;

HXBLogger *HXBLogger::instance()
{
    static HXBLogger *const logger = new HXBLogger;
    return logger;
}

#define HXB_LOG_OP(name, cond, level)                                                              \
    void HXBLogger::name(const std::string &c, const std::string &h, const std::string &d)        \
    {                                                                                              \
        if (HXBConfig::instance()->cond())                                                         \
            put(level, c, h, d);                                                                   \
    }

HXB_LOG_OP(logLowInfo, isDebugLevelLower, "INFO")
HXB_LOG_OP(logLowWarn, isDebugLevelLower, "WARN")
HXB_LOG_OP(logLowCritical, isDebugLevelLower, "CRITICAL")
HXB_LOG_OP(logNormalInfo, isDebugLevelNormal, "INFO")
HXB_LOG_OP(logNormalWarn, isDebugLevelNormal, "WARN")
HXB_LOG_OP(logNormalCritical, isDebugLevelNormal, "CRITICAL")
HXB_LOG_OP(logHighInfo, isDebugLevelHigh, "INFO")
HXB_LOG_OP(logHighWarn, isDebugLevelHigh, "WARN")
HXB_LOG_OP(logHighCritical, isDebugLevelHigh, "CRITICAL")
HXB_LOG_OP(logDebugInfo, isDebugLevelHigher, "INFO")
HXB_LOG_OP(logDebugWarn, isDebugLevelHigher, "WARN")
HXB_LOG_OP(logDebugCritical, isDebugLevelHigher, "CRITICAL")
