#include "user/HXBPasswordHash.h"

#include <QByteArray>

#include <gtest/gtest.h>

#include <string>

namespace {

QByteArray block(const std::string &stored)
{
    return QByteArray::fromBase64(QByteArray::fromStdString(stored.substr(15)));
}

} // namespace

TEST(HXBPasswordHashTest, NewHashHasStoredFormat)
{
    const std::string stored = HXBPasswordHash::hash("abc");
    ASSERT_EQ(stored.size(), 87u);
    EXPECT_EQ(stored.substr(0, 15), "{PBKDF2-SHA256}");
    const QByteArray bytes = block(stored);
    ASSERT_EQ(bytes.size(), 52);
    EXPECT_EQ(bytes.left(4), QByteArray::fromHex("000927C0"));
    // Standard alphabet with padding, as Qt writes it by default.
    EXPECT_EQ(QByteArray::fromStdString(stored.substr(15)), bytes.toBase64());
    EXPECT_TRUE(HXBPasswordHash::verify("abc", stored));
    EXPECT_FALSE(HXBPasswordHash::verify("abd", stored));
    EXPECT_FALSE(HXBPasswordHash::verify("", stored));
}

TEST(HXBPasswordHashTest, FreshSaltEachTime)
{
    const std::string a = HXBPasswordHash::hash("same", 1000);
    const std::string b = HXBPasswordHash::hash("same", 1000);
    EXPECT_NE(a, b);
    EXPECT_NE(block(a).mid(4, 16), block(b).mid(4, 16));
    EXPECT_TRUE(HXBPasswordHash::verify("same", a));
    EXPECT_TRUE(HXBPasswordHash::verify("same", b));
}

TEST(HXBPasswordHashTest, IterationCountIsTakenFromTheStoredHash)
{
    const std::string stored = HXBPasswordHash::hash("pa:ss wörd", 1000);
    EXPECT_EQ(block(stored).left(4), QByteArray::fromHex("000003E8"));
    EXPECT_TRUE(HXBPasswordHash::verify("pa:ss wörd", stored));
    EXPECT_FALSE(HXBPasswordHash::verify("pa:ss word", stored));

    // The same salt and key under another count no longer match.
    QByteArray changed = block(stored);
    changed[3] = static_cast<char>(0xE9);
    EXPECT_FALSE(HXBPasswordHash::verify(
        "pa:ss wörd", "{PBKDF2-SHA256}" + changed.toBase64().toStdString()));
}

TEST(HXBPasswordHashTest, RefusesMalformedStoredValues)
{
    const std::string good = HXBPasswordHash::hash("x", 1000);
    const QByteArray bytes = block(good);
    QByteArray zeroCount = bytes;
    zeroCount[0] = zeroCount[1] = zeroCount[2] = zeroCount[3] = 0;
    QByteArray hugeCount = bytes;
    hugeCount[0] = static_cast<char>(0xFF);
    const std::string rows[] = {
        "",
        "x",
        good.substr(15),                              // no prefix
        "{pbkdf2-sha256}" + good.substr(15),          // prefix is case-sensitive
        "{PBKDF2-SHA256}",                            // empty block
        "{PBKDF2-SHA256}" + bytes.left(51).toBase64().toStdString(),
        "{PBKDF2-SHA256}" + (bytes + "z").toBase64().toStdString(),
        "{PBKDF2-SHA256}" + zeroCount.toBase64().toStdString(),
        "{PBKDF2-SHA256}" + hugeCount.toBase64().toStdString(),
        "{PBKDF2-SHA256}\x01\xff\xfe",
    };
    for (const auto &stored : rows)
        EXPECT_FALSE(HXBPasswordHash::verify("x", stored)) << stored;
}

TEST(HXBPasswordHashTest, RefusesUnusableIterationCounts)
{
    EXPECT_EQ(HXBPasswordHash::hash("x", 0), "");
    EXPECT_EQ(HXBPasswordHash::hash("x", 0x80000000u), "");
}
