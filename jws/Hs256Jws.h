#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace jws {

enum class JwsError {
    None,
    Malformed,   // not three "."-separated parts
    Base64,      // a part is not strict Base64url
    Json,        // header or payload is not a JSON object
    Header,      // "typ" is not "JWS", or the header names critical extensions
    Algorithm,   // "alg" is anything but "HS256" (including "none")
    Signature,   // HMAC-SHA256 over "header.payload" does not match
    Issuer,      // "iss" missing, not a string or not the expected one
    Expired,     // "exp" missing, not an integer, or now >= exp
    Claims,      // a required claim is missing or not a string
};

const char *jwsErrorName(JwsError error);

struct JwsVerification
{
    JwsError error = JwsError::Malformed;
    nlohmann::json claims; // the payload object when error is None
    bool ok() const { return error == JwsError::None; }
};

// HS256-signed JWS in compact serialisation (RFC 7515) with the header
// {"alg":"HS256","typ":"JWS"}. The key is fixed at construction; an object is immutable
// and may be shared between threads.
class Hs256Jws
{
public:
    explicit Hs256Jws(std::string key);

    // Signs a JSON object as payload. Throws nlohmann::json exceptions for text that is
    // not valid UTF-8, std::runtime_error when the key is empty or HMAC fails.
    std::string sign(const nlohmann::json &payload) const;

    // Checks, in this order: form, Base64url, header (alg, typ, crit), signature, payload
    // JSON, issuer, expiry (refused once nowSeconds >= "exp", no leeway), and that every
    // name in requiredStringClaims is a string claim. Works on untrusted bytes; never throws.
    JwsVerification verify(std::string_view token, std::string_view issuer, std::int64_t nowSeconds,
                           const std::vector<std::string> &requiredStringClaims) const noexcept;

private:
    std::string mac(std::string_view signingInput) const;

    std::string mKey;
};

} // namespace jws
