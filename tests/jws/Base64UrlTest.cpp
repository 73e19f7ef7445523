#include "jws/Base64Url.h"

#include <gtest/gtest.h>

#include <string>

using jws::base64UrlDecode;
using jws::base64UrlEncode;

TEST(Base64UrlTest, EncodesRfc4648VectorsWithoutPadding)
{
    const struct
    {
        std::string in;
        std::string out;
    } rows[] = {
        {"", ""},           {"f", "Zg"},          {"fo", "Zm8"},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg"}, {"fooba", "Zm9vYmE"}, {"foobar", "Zm9vYmFy"}, {"\xfb\xff", "-_8"},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(base64UrlEncode(row.in), row.out) << row.in;
        const auto back = base64UrlDecode(row.out);
        ASSERT_TRUE(back.has_value()) << row.out;
        EXPECT_EQ(*back, row.in);
    }
}

TEST(Base64UrlTest, RoundTripsEveryByteValue)
{
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    for (std::size_t len = 0; len <= all.size(); len += 37) {
        const std::string part = all.substr(0, len);
        EXPECT_EQ(base64UrlDecode(base64UrlEncode(part)), part);
    }
}

TEST(Base64UrlTest, RefusesNonCanonicalOrForeignText)
{
    const char *rows[] = {
        "Zg==",   // padding
        "Zm9v\n", // whitespace
        "Zm+v",   // standard alphabet
        "Zm/v",   // standard alphabet
        "Z",      // impossible length
        "Zm9vY",  // impossible length
        "Zh",     // non-zero unused bits (would also decode to "f")
        "Zm9",    // non-zero unused bits
        "Zm 9",   // blank
        "Zm\x80v",
    };
    for (const char *row : rows)
        EXPECT_FALSE(base64UrlDecode(row).has_value()) << row;
    EXPECT_FALSE(base64UrlDecode(std::string("Zm\0v", 4)).has_value());
}
