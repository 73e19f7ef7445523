// The "Authorization" header path of every REST handler: HXBBasicAuth::parse, then for a Bearer
// value the session-token check (signature, claims, the user's open sessions).
//
// The first byte chooses the input's form:
//   even: the rest is the header value as a client sends it;
//   odd:  the rest is "<JWS header JSON>\n<payload JSON>", signed here with the server's own
//         key, so that the claim checks behind the signature are reached too.
// One account (ID 1) with one open session (hash 0000000042) exists.

#include "jws/Base64Url.h"
#include "jws/Hs256Jws.h"
#include "user/HXBBasicAuth.h"
#include "user/User.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// Reaches the server's signing key (friend of User).
class UserTestAccess
{
public:
    static std::string key() { return User::signingKey(); }
};

namespace {

std::string signedToken(std::string_view header, std::string_view payload)
{
    const std::string input = jws::base64UrlEncode(header) + "." + jws::base64UrlEncode(payload);
    const std::string key = UserTestAccess::key();
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int macSize = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char *>(input.data()), input.size(), mac, &macSize);
    return input + "."
        + jws::base64UrlEncode(std::string_view(reinterpret_cast<const char *>(mac), macSize));
}

const std::shared_ptr<User> &account()
{
    static const std::shared_ptr<User> user = [] {
        auto u = std::make_shared<User>();
        u->mId = 1;
        u->mUsername = "admin";
        u->mType = FUserTypeAdmin;
        u->mTokenHashes.emplace("0000000042", INT64_MAX);
        User::allUsers.push_back(u);
        return u;
    }();
    return user;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::shared_ptr<User> &user = account();
    const std::string_view rest(reinterpret_cast<const char *>(data + 1), size - 1);

    std::string header;
    if (data[0] & 1) {
        const std::size_t newline = rest.find('\n');
        if (newline == std::string_view::npos)
            return 0;
        header = "Bearer " + signedToken(rest.substr(0, newline), rest.substr(newline + 1));
    } else {
        header.assign(rest);
    }

    const HXBCredentials credentials = HXBBasicAuth::parse(header);
    if (credentials.basic && !credentials.token.empty())
        __builtin_trap(); // one scheme per header
    if (!credentials.token.empty()) {
        const std::shared_ptr<User> found = User::getUserByToken(credentials.token);
        if (found && found != user)
            __builtin_trap();
        // The same check through the token component alone, with a key of its own.
        const jws::Hs256Jws other("another key of thirty-two bytes!");
        (void)other.verify(credentials.token, "ZRKN", 0, {"userid", "tokenhash"});
    }
    return 0;
}
