#pragma once

#include <QString>

#include <atomic>
#include <string>

class QSettings;

// Process-wide access to "hxbconfig.ini" and holder of the run-time debug level.
// The file is read, never written; every getter reads its key afresh and falls back to
// its default. Getters may be called from any thread; the debug level is written only
// during start-up, before other threads log.
class HXBConfig
{
public:
    static HXBConfig *instance();

    // Reads the given file instead of the one beside the executable (tests, tools).
    explicit HXBConfig(const QString &iniPath);
    ~HXBConfig();
    HXBConfig(const HXBConfig &) = delete;
    HXBConfig &operator=(const HXBConfig &) = delete;

    // Where instance() reads from: <appdir>/../hxbconfig.ini if it exists, else <appdir>/hxbconfig.ini.
    static QString defaultFilePath();

    // The text of a key exactly as configured, or defaultValue when the key is absent. Every
    // text key is read through here: QSettings returns an unquoted value with commas
    // ("pa,ss") as a list, whose toString() is empty.
    static QString textValue(const QSettings &settings, const QString &key,
                             const QString &defaultValue = QString());

    int getDebugLevel() const { return currentLevel(); }
    bool isDebugLevelLower() const { return true; }
    bool isDebugLevelNormal() const { return currentLevel() > 0; }
    bool isDebugLevelHigh() const { return currentLevel() > 1; }
    bool isDebugLevelHigher() const { return currentLevel() > 2; }
    std::string getDebugLevelString() const;
    // Accepts 0 to 3; anything else keeps the level and returns false. Both outcomes are logged.
    bool setDebugLevel(int level);
    // Cycles 0 -> 1 -> 2 -> 3 -> 0 and logs the new level.
    void incrementDebugLevel();

    int getPort();
    std::string getBindAddress();
    int getTokenExpirationHours();
    // "Core/session_max_hours" (24): renewals end this long after the log-in.
    int getSessionMaxHours();
    std::string getLogPath();
    int getNumLogs();
    std::string getDataDir() const;
    int getDBType();
    std::string getDBname();
    QSettings *getSettings() const { return mpSettings; }

private:
    static std::string levelName(int level);
    int currentLevel() const { return mDebugLevel.load(std::memory_order_relaxed); }

    // Read by every log call on any thread; relaxed, as it only gates output.
    std::atomic<int> mDebugLevel{1};
    QSettings *mpSettings = nullptr;
};
