#include "user/HXBLoginThrottle.h"

#include <QHostAddress>

#include <gtest/gtest.h>

#include <string>

namespace {

HXBLoginThrottle::Settings smallSettings()
{
    HXBLoginThrottle::Settings settings;
    settings.freeFailures = 3;
    settings.addressFreeFailures = 5;
    settings.firstDelayMs = 1000;
    settings.maxDelayMs = 8000;
    settings.forgetAfterMs = 60000;
    settings.maxEntries = 100;
    return settings;
}

} // namespace

// One account guessed from one address: the waits after the free failures, step by step.
TEST(HXBLoginThrottleTest, WaitGrowsAfterTheFreeFailuresUpToTheLimit)
{
    HXBLoginThrottle throttle(smallSettings());
    const struct
    {
        qint64 at;
        qint64 wait; // before this failure is recorded
    } rows[] = {
        {0, 0}, {10, 0}, {20, 0},    // the free failures; the third starts a wait of 1 s
        {1020, 0},                   // -> 2 s
        {3020, 0},                   // -> 4 s
        {7020, 0},                   // -> 8 s
        {15020, 0},                  // -> 8 s: the limit
        {23020, 0},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(throttle.waitMs("anna", "192.0.2.1", row.at), row.wait) << row.at;
        throttle.recordFailure("anna", "192.0.2.1", row.at);
    }
    EXPECT_EQ(throttle.waitMs("anna", "192.0.2.1", 23020), 8000);
    EXPECT_EQ(throttle.waitMs("anna", "198.51.100.7", 23020), 8000) << "any address, same name";
    EXPECT_EQ(throttle.waitMs("bert", "192.0.2.1", 23020), 8000) << "same address, any name";
    EXPECT_EQ(throttle.waitMs("bert", "198.51.100.7", 23020), 0);
    EXPECT_EQ(throttle.waitMs("anna", "198.51.100.7", 31020), 0) << "the wait ends";
}

TEST(HXBLoginThrottleTest, SuccessClearsTheNameButNotTheAddress)
{
    HXBLoginThrottle throttle(smallSettings());
    for (int i = 0; i < 5; ++i)
        throttle.recordFailure("anna", "192.0.2.1", 0);
    throttle.recordSuccess("anna");
    EXPECT_EQ(throttle.waitMs("anna", "198.51.100.7", 1), 0);
    EXPECT_GT(throttle.waitMs("anna", "192.0.2.1", 1), 0);
    // Old failures are forgotten: three more are free again.
    for (int i = 0; i < 2; ++i)
        throttle.recordFailure("carl", "198.51.100.7", 0);
    throttle.recordFailure("carl", "198.51.100.7", 200000);
    EXPECT_EQ(throttle.waitMs("carl", "198.51.100.7", 200001), 0);
}

TEST(HXBLoginThrottleTest, MemoryStaysBoundedWhateverNamesAndAddressesCome)
{
    HXBLoginThrottle throttle(smallSettings());
    for (int i = 0; i < 1000; ++i)
        throttle.recordFailure("name" + std::to_string(i), "addr" + std::to_string(i), i);
    EXPECT_LE(throttle.entryCount(), 200u);
    // The newest are kept.
    for (int i = 0; i < 2; ++i)
        throttle.recordFailure("name999", "x", 1000);
    EXPECT_GT(throttle.waitMs("name999", "y", 1001), 0);
}

TEST(HXBLoginThrottleTest, AddressesAreCountedPerHostOrPerIPv6Network)
{
    const struct
    {
        const char *address;
        const char *key;
    } rows[] = {
        {"192.0.2.1", "192.0.2.1"},
        {"::ffff:192.0.2.1", "192.0.2.1"},
        {"2001:db8:1:2:aaaa:bbbb:cccc:dddd", "2001:db8:1:2::/64"},
        {"2001:db8:1:2::1", "2001:db8:1:2::/64"},
        {"", ""},
    };
    for (const auto &row : rows)
        EXPECT_EQ(HXBLoginThrottle::addressKey(QHostAddress(QString::fromLatin1(row.address))), row.key)
            << row.address;
}
