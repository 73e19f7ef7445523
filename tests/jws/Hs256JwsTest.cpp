#include "jws/Base64Url.h"
#include "jws/Hs256Jws.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdint>
#include <string>

using jws::base64UrlDecode;
using jws::base64UrlEncode;
using jws::Hs256Jws;
using jws::JwsError;
using nlohmann::json;

namespace {

const std::string sKey = "0123456789abcdef0123456789abcdef";
const std::string sIssuer = "ZRKN";
const std::int64_t sNow = 1'800'000'000;

std::string hmacSha256(const std::string &key, const std::string &data)
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char *>(data.data()), data.size(), out, &len);
    return std::string(reinterpret_cast<const char *>(out), len);
}

// Builds a token from raw header and payload text, signed as given, so that tests can
// produce anything an attacker could.
std::string forge(const std::string &header, const std::string &payload,
                  const std::string &key = sKey)
{
    const std::string input = base64UrlEncode(header) + "." + base64UrlEncode(payload);
    return input + "." + base64UrlEncode(hmacSha256(key, input));
}

json goodClaims()
{
    return json{{"iss", sIssuer}, {"exp", sNow + 60}, {"sub", "anna"}, {"userid", "5"},
                {"tokenhash", "0001234567"}};
}

const std::string sGoodHeader = R"({"alg":"HS256","typ":"JWS"})";

} // namespace

class Hs256JwsTest : public ::testing::Test
{
protected:
    jws::JwsVerification check(const std::string &token, std::int64_t now = sNow) const
    {
        return mJws.verify(token, sIssuer, now, {"userid", "tokenhash"});
    }

    Hs256Jws mJws{sKey};
};

TEST_F(Hs256JwsTest, SignedTokenHasFixedHeaderAndVerifies)
{
    const std::string token = mJws.sign(goodClaims());
    const auto dot = token.find('.');
    ASSERT_NE(dot, std::string::npos);
    EXPECT_EQ(*base64UrlDecode(token.substr(0, dot)), sGoodHeader);

    const auto result = check(token);
    ASSERT_TRUE(result.ok()) << jws::jwsErrorName(result.error);
    EXPECT_EQ(result.claims, goodClaims());
    // A token forged the same way by an independent HMAC is accepted too.
    EXPECT_TRUE(check(forge(sGoodHeader, goodClaims().dump())).ok());
}

TEST_F(Hs256JwsTest, RefusesMalformedForms)
{
    const std::string good = mJws.sign(goodClaims());
    const struct
    {
        std::string token;
        JwsError error;
    } rows[] = {
        {"", JwsError::Malformed},
        {"abc", JwsError::Malformed},
        {"a.b", JwsError::Malformed},
        {good + ".x", JwsError::Malformed},
        {good + ".", JwsError::Malformed},
        {"..", JwsError::Json},
        {"a.b.c", JwsError::Base64},
        {"e30=.e30.AAAA", JwsError::Base64},
        {good.substr(0, good.size() - 1) + "*", JwsError::Base64},
        {base64UrlEncode("not json") + ".e30." + base64UrlEncode(std::string(32, 'x')),
         JwsError::Json},
        {base64UrlEncode("[1,2]") + ".e30." + base64UrlEncode(std::string(32, 'x')),
         JwsError::Json},
        {forge(sGoodHeader, "{\"iss\":"), JwsError::Json},
        {forge(sGoodHeader, "\"just a string\""), JwsError::Json},
        {std::string("\0.\0.\0", 5), JwsError::Base64},
    };
    for (const auto &row : rows) {
        const auto result = check(row.token);
        EXPECT_EQ(result.error, row.error) << row.token;
        EXPECT_TRUE(result.claims.is_null()) << row.token;
    }
}

TEST_F(Hs256JwsTest, RefusesEveryAlgorithmButHs256)
{
    const std::string payload = goodClaims().dump();
    const std::string unsignedInput = base64UrlEncode(R"({"alg":"none","typ":"JWS"})") + "."
                                      + base64UrlEncode(payload);
    const std::string rows[] = {
        unsignedInput + ".",
        unsignedInput + "." + base64UrlEncode(hmacSha256(sKey, unsignedInput)),
        forge(R"({"alg":"HS512","typ":"JWS"})", payload),
        forge(R"({"alg":"hs256","typ":"JWS"})", payload),
        forge(R"({"alg":"RS256","typ":"JWS"})", payload),
        forge(R"({"alg":["HS256"],"typ":"JWS"})", payload),
        forge(R"({"typ":"JWS"})", payload),
    };
    for (const auto &token : rows)
        EXPECT_EQ(check(token).error, JwsError::Algorithm) << token;
}

TEST_F(Hs256JwsTest, RefusesForeignHeaders)
{
    const std::string payload = goodClaims().dump();
    const std::string rows[] = {
        forge(R"({"alg":"HS256","typ":"JWT"})", payload),
        forge(R"({"alg":"HS256"})", payload),
        forge(R"({"alg":"HS256","typ":"JWS","crit":["exp"]})", payload),
    };
    for (const auto &token : rows)
        EXPECT_EQ(check(token).error, JwsError::Header) << token;
}

TEST_F(Hs256JwsTest, RefusesTamperedOrForeignSignatures)
{
    const std::string good = mJws.sign(goodClaims());
    const std::size_t dot2 = good.rfind('.');

    std::string flipped = good;
    flipped[dot2 + 1] = flipped[dot2 + 1] == 'A' ? 'B' : 'A';

    json elevated = goodClaims();
    elevated["userid"] = "1";
    const std::string swappedPayload = good.substr(0, good.find('.') + 1)
                                       + base64UrlEncode(elevated.dump()) + good.substr(dot2);

    const std::string sig = *base64UrlDecode(good.substr(dot2 + 1));
    const std::string rows[] = {
        flipped,
        swappedPayload,
        forge(sGoodHeader, goodClaims().dump(), "another key"),
        forge(sGoodHeader, goodClaims().dump(), "wQpL4nZ7k#"),
        good.substr(0, dot2 + 1),
        good.substr(0, dot2 + 1) + base64UrlEncode(sig.substr(0, 31)),
        good.substr(0, dot2 + 1) + base64UrlEncode(sig + "x"),
    };
    for (const auto &token : rows)
        EXPECT_EQ(check(token).error, JwsError::Signature) << token;

    Hs256Jws keyless{""};
    EXPECT_EQ(keyless.verify(good, sIssuer, sNow, {}).error, JwsError::Signature);
    EXPECT_THROW(keyless.sign(goodClaims()), std::exception);
}

TEST_F(Hs256JwsTest, RefusesWrongIssuer)
{
    for (const json &iss : {json("zrkn"), json("ZRKN "), json(""), json(1), json(nullptr)}) {
        json claims = goodClaims();
        claims["iss"] = iss;
        EXPECT_EQ(check(mJws.sign(claims)).error, JwsError::Issuer) << iss.dump();
    }
    json claims = goodClaims();
    claims.erase("iss");
    EXPECT_EQ(check(mJws.sign(claims)).error, JwsError::Issuer);
}

TEST_F(Hs256JwsTest, ExpiresAtTheExpInstant)
{
    const std::string token = mJws.sign(goodClaims()); // exp = sNow + 60
    EXPECT_TRUE(check(token, sNow + 59).ok());
    EXPECT_EQ(check(token, sNow + 60).error, JwsError::Expired);
    EXPECT_EQ(check(token, sNow + 61).error, JwsError::Expired);

    for (const json &exp : {json(std::to_string(sNow + 60)), json(double(sNow + 60)), json(nullptr),
                            json(-1), json(std::uint64_t(1) << 63)}) {
        json claims = goodClaims();
        claims["exp"] = exp;
        EXPECT_EQ(check(mJws.sign(claims)).error, JwsError::Expired) << exp.dump();
    }
    json claims = goodClaims();
    claims.erase("exp");
    EXPECT_EQ(check(mJws.sign(claims)).error, JwsError::Expired);
}

TEST_F(Hs256JwsTest, RequiresStringClaims)
{
    for (const char *name : {"userid", "tokenhash"}) {
        for (const json &value : {json(5), json(nullptr), json::array({"5"}), json(true)}) {
            json claims = goodClaims();
            claims[name] = value;
            EXPECT_EQ(check(mJws.sign(claims)).error, JwsError::Claims) << name << value.dump();
        }
        json claims = goodClaims();
        claims.erase(name);
        EXPECT_EQ(check(mJws.sign(claims)).error, JwsError::Claims) << name;
    }
    // Claims nobody asked for are not checked.
    json claims = goodClaims();
    claims["sub"] = 7;
    EXPECT_TRUE(check(mJws.sign(claims)).ok());
}

TEST_F(Hs256JwsTest, SignThrowsForTextThatIsNotUtf8)
{
    json claims = goodClaims();
    claims["sub"] = std::string("\xff\xfe");
    EXPECT_THROW(mJws.sign(claims), json::exception);
    EXPECT_THROW(mJws.sign(json::array()), std::exception);
}
