#include "Hs256Jws.h"

#include "Base64Url.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <stdexcept>

namespace jws {

namespace {

constexpr std::size_t sMacSize = 32;

bool parseObject(std::string_view text, nlohmann::json &out)
{
    // Without exceptions: a parse error yields a discarded value.
    out = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
    return out.is_object();
}

} // namespace

const char *jwsErrorName(JwsError error)
{
    switch (error) {
    case JwsError::None: return "none";
    case JwsError::Malformed: return "malformed";
    case JwsError::Base64: return "base64";
    case JwsError::Json: return "json";
    case JwsError::Header: return "header";
    case JwsError::Algorithm: return "algorithm";
    case JwsError::Signature: return "signature";
    case JwsError::Issuer: return "issuer";
    case JwsError::Expired: return "expired";
    case JwsError::Claims: return "claims";
    }
    return "unknown";
}

Hs256Jws::Hs256Jws(std::string key)
    : mKey(std::move(key))
{
}

std::string Hs256Jws::mac(std::string_view signingInput) const
{
    if (mKey.empty())
        return {};
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int outLen = 0;
    if (!HMAC(EVP_sha256(), mKey.data(), static_cast<int>(mKey.size()),
              reinterpret_cast<const unsigned char *>(signingInput.data()), signingInput.size(), out,
              &outLen)
        || outLen != sMacSize) {
        return {};
    }
    return std::string(reinterpret_cast<const char *>(out), outLen);
}

std::string Hs256Jws::sign(const nlohmann::json &payload) const
{
    static const std::string header = base64UrlEncode(R"({"alg":"HS256","typ":"JWS"})");
    if (!payload.is_object())
        throw std::runtime_error("token payload must be a JSON object");
    const std::string input = header + "." + base64UrlEncode(payload.dump());
    const std::string signature = mac(input);
    if (signature.empty())
        throw std::runtime_error("HMAC-SHA256 signing failed");
    return input + "." + base64UrlEncode(signature);
}

JwsVerification Hs256Jws::verify(std::string_view token, std::string_view issuer,
                                 std::int64_t nowSeconds,
                                 const std::vector<std::string> &requiredStringClaims) const noexcept
{
    JwsVerification result;
    try {
        const std::size_t dot1 = token.find('.');
        if (dot1 == std::string_view::npos) {
            result.error = JwsError::Malformed;
            return result;
        }
        const std::size_t dot2 = token.find('.', dot1 + 1);
        if (dot2 == std::string_view::npos || token.find('.', dot2 + 1) != std::string_view::npos) {
            result.error = JwsError::Malformed;
            return result;
        }
        const std::string_view headerPart = token.substr(0, dot1);
        const std::string_view payloadPart = token.substr(dot1 + 1, dot2 - dot1 - 1);
        const std::string_view signaturePart = token.substr(dot2 + 1);

        const auto headerBytes = base64UrlDecode(headerPart);
        const auto payloadBytes = base64UrlDecode(payloadPart);
        const auto signatureBytes = base64UrlDecode(signaturePart);
        if (!headerBytes || !payloadBytes || !signatureBytes) {
            result.error = JwsError::Base64;
            return result;
        }

        nlohmann::json header;
        if (!parseObject(*headerBytes, header)) {
            result.error = JwsError::Json;
            return result;
        }
        const auto alg = header.find("alg");
        if (alg == header.end() || !alg->is_string() || alg->get<std::string>() != "HS256") {
            result.error = JwsError::Algorithm;
            return result;
        }
        const auto typ = header.find("typ");
        if (typ == header.end() || !typ->is_string() || typ->get<std::string>() != "JWS"
            || header.contains("crit")) {
            result.error = JwsError::Header;
            return result;
        }

        const std::string expected = mac(token.substr(0, dot2));
        if (expected.size() != sMacSize || signatureBytes->size() != sMacSize
            || CRYPTO_memcmp(expected.data(), signatureBytes->data(), sMacSize) != 0) {
            result.error = JwsError::Signature;
            return result;
        }

        nlohmann::json payload;
        if (!parseObject(*payloadBytes, payload)) {
            result.error = JwsError::Json;
            return result;
        }
        const auto iss = payload.find("iss");
        if (iss == payload.end() || !iss->is_string() || iss->get<std::string>() != issuer) {
            result.error = JwsError::Issuer;
            return result;
        }
        const auto exp = payload.find("exp");
        if (exp == payload.end() || !exp->is_number_integer()
            || nowSeconds >= exp->get<std::int64_t>()) {
            result.error = JwsError::Expired;
            return result;
        }
        for (const std::string &name : requiredStringClaims) {
            const auto claim = payload.find(name);
            if (claim == payload.end() || !claim->is_string()) {
                result.error = JwsError::Claims;
                return result;
            }
        }
        result.error = JwsError::None;
        result.claims = std::move(payload);
        return result;
    } catch (...) {
        result.error = JwsError::Malformed;
        result.claims = nullptr;
        return result;
    }
}

} // namespace jws
