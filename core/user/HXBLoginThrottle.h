#pragma once

#include <QtGlobal>

class QHostAddress;

#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>

// Slows down password guessing. Failed password checks are counted per account name and per
// client address; once either has failed `freeFailures` times (`addressFreeFailures` for an
// address, which many users may share), every further attempt must wait: after the n-th
// failure beyond the free ones, firstDelayMs * 2^n, at most maxDelayMs. An attempt made while
// waiting is refused without checking the password and counts nothing. A success clears the
// account's count (not the address's). Counts end forgetAfterMs after the last failure or the
// end of the wait. Each table holds at most maxEntries names or addresses: when full, the
// entry seen longest ago goes.
//
// Thread-safe: one lock, mMutex, guards both tables; it is never held while a password is
// checked. Times are milliseconds of a monotonic clock, passed in by the caller.
class HXBLoginThrottle
{
public:
    struct Settings
    {
        int freeFailures = 5;
        int addressFreeFailures = 20;
        qint64 firstDelayMs = 4000;
        qint64 maxDelayMs = 15 * 60 * 1000;
        qint64 forgetAfterMs = 15 * 60 * 1000;
        std::size_t maxEntries = 10000;
    };

    // The process's throttle with the default settings.
    static HXBLoginThrottle *instance();
    static qint64 nowMs();
    // What a client address is counted under: an IPv4 address (also one mapped into IPv6) as
    // itself, an IPv6 address by its /64 network, which one client usually holds whole.
    static std::string addressKey(const QHostAddress &address);

    explicit HXBLoginThrottle(const Settings &settings);

    // Milliseconds to wait before an attempt for this name from this address is checked;
    // 0: check it now.
    qint64 waitMs(const std::string &name, const std::string &address, qint64 now);
    void recordFailure(const std::string &name, const std::string &address, qint64 now);
    void recordSuccess(const std::string &name);

    std::size_t entryCount() const;
    // Forgets every count (a test's fresh start).
    void clear();

private:
    struct Entry
    {
        int failures = 0;
        qint64 blockedUntil = 0;
        qint64 lastSeen = 0;
    };
    using Table = std::unordered_map<std::string, Entry>;

    qint64 waitOf(const Table &table, const std::string &key, qint64 now) const;
    void fail(Table &table, const std::string &key, int freeFailures, qint64 now);

    const Settings mSettings;
    mutable std::mutex mMutex;
    Table mByName;
    Table mByAddress;
};
