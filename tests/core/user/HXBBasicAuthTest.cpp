#include "user/HXBBasicAuth.h"

#include <QByteArray>

#include <gtest/gtest.h>

#include <string>

namespace {

std::string basic(const std::string &userColonPassword)
{
    return "Basic " + QByteArray::fromStdString(userColonPassword).toBase64().toStdString();
}

} // namespace

TEST(HXBBasicAuthTest, SplitsBasicCredentialsAtTheFirstColon)
{
    const struct
    {
        std::string decoded;
        std::string user;
        std::string password;
    } rows[] = {
        {"admin:tansy", "admin", "tansy"},
        {"admin:ta:n:sy", "admin", "ta:n:sy"},
        {"admin::", "admin", ":"},
        {"admin:", "admin", ""},
        {":secret", "", "secret"},
        {"anna:pass word ü", "anna", "pass word ü"},
    };
    for (const auto &row : rows) {
        const HXBCredentials c = HXBBasicAuth::parse(basic(row.decoded));
        EXPECT_TRUE(c.basic) << row.decoded;
        EXPECT_EQ(c.username, row.user) << row.decoded;
        EXPECT_EQ(c.password, row.password) << row.decoded;
        EXPECT_EQ(c.token, "");
    }
}

TEST(HXBBasicAuthTest, NoCredentialsWithoutColon)
{
    for (const std::string &header : {basic("admintansy"), basic(""), std::string("Basic "),
                                      std::string("Basic !!!"), std::string("Basic")}) {
        const HXBCredentials c = HXBBasicAuth::parse(header);
        EXPECT_FALSE(c.basic) << header;
        EXPECT_EQ(c.username, "");
        EXPECT_EQ(c.password, "");
        EXPECT_EQ(c.token, "") << "a Basic header is never read as a token";
    }
}

TEST(HXBBasicAuthTest, ReadsBearerToken)
{
    EXPECT_EQ(HXBBasicAuth::parse("Bearer abc.def.ghi").token, "abc.def.ghi");
    EXPECT_FALSE(HXBBasicAuth::parse("Bearer abc.def.ghi").basic);
    EXPECT_EQ(HXBBasicAuth::parse("Bearer ").token, "");
    // Token text may contain "Basic" by chance.
    const HXBCredentials lucky = HXBBasicAuth::parse("Bearer eyJ0.xBasicYz.q-_");
    EXPECT_FALSE(lucky.basic);
    EXPECT_EQ(lucky.token, "eyJ0.xBasicYz.q-_");
    EXPECT_EQ(HXBBasicAuth::parse("bearer abc").token, "");
    const HXBCredentials none = HXBBasicAuth::parse("");
    EXPECT_FALSE(none.basic);
    EXPECT_EQ(none.token, "");
}
