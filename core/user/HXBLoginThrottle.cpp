#include "HXBLoginThrottle.h"

#include <QDeadlineTimer>
#include <QHostAddress>

#include <algorithm>

HXBLoginThrottle *HXBLoginThrottle::instance()
{
    static HXBLoginThrottle throttle{Settings()};
    return &throttle;
}

qint64 HXBLoginThrottle::nowMs()
{
    return QDeadlineTimer::current().deadline();
}

std::string HXBLoginThrottle::addressKey(const QHostAddress &address)
{
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped)
        return QHostAddress(v4).toString().toStdString();
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return address.toString().toStdString();
    Q_IPV6ADDR bytes = address.toIPv6Address();
    std::fill(bytes.c + 8, bytes.c + 16, quint8(0));
    return QHostAddress(bytes).toString().toStdString() + "/64";
}

HXBLoginThrottle::HXBLoginThrottle(const Settings &settings)
    : mSettings(settings)
{
}

qint64 HXBLoginThrottle::waitOf(const Table &table, const std::string &key, qint64 now) const
{
    const auto it = table.find(key);
    return it == table.end() ? 0 : std::max<qint64>(0, it->second.blockedUntil - now);
}

qint64 HXBLoginThrottle::waitMs(const std::string &name, const std::string &address, qint64 now)
{
    std::lock_guard<std::mutex> lock(mMutex);
    return std::max(waitOf(mByName, name, now), waitOf(mByAddress, address, now));
}

void HXBLoginThrottle::fail(Table &table, const std::string &key, int freeFailures, qint64 now)
{
    auto it = table.find(key);
    if (it != table.end()
        && std::max(it->second.lastSeen, it->second.blockedUntil) + mSettings.forgetAfterMs < now) {
        table.erase(it);
        it = table.end();
    }
    if (it == table.end()) {
        if (table.size() >= mSettings.maxEntries) {
            std::erase_if(table, [&](const auto &entry) {
                return std::max(entry.second.lastSeen, entry.second.blockedUntil)
                           + mSettings.forgetAfterMs < now;
            });
        }
        if (table.size() >= mSettings.maxEntries && !table.empty()) {
            const auto oldest = std::min_element(table.begin(), table.end(), [](const auto &a, const auto &b) {
                return a.second.lastSeen < b.second.lastSeen;
            });
            table.erase(oldest);
        }
        if (mSettings.maxEntries == 0)
            return;
        it = table.emplace(key, Entry()).first;
    }
    Entry &entry = it->second;
    ++entry.failures;
    entry.lastSeen = now;
    const int beyond = entry.failures - freeFailures;
    if (beyond >= 0) {
        qint64 delay = mSettings.firstDelayMs;
        for (int i = 0; i < beyond && delay < mSettings.maxDelayMs; ++i)
            delay *= 2;
        entry.blockedUntil = now + std::min(delay, mSettings.maxDelayMs);
    }
}

void HXBLoginThrottle::recordFailure(const std::string &name, const std::string &address, qint64 now)
{
    std::lock_guard<std::mutex> lock(mMutex);
    fail(mByName, name, mSettings.freeFailures, now);
    fail(mByAddress, address, mSettings.addressFreeFailures, now);
}

void HXBLoginThrottle::recordSuccess(const std::string &name)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mByName.erase(name);
}

std::size_t HXBLoginThrottle::entryCount() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mByName.size() + mByAddress.size();
}

void HXBLoginThrottle::clear()
{
    std::lock_guard<std::mutex> lock(mMutex);
    mByName.clear();
    mByAddress.clear();
}
