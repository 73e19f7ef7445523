#include "HXBPasswordHash.h"

#include "log/HXBLogger.h"

#include <QByteArray>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <atomic>
#include <climits>
#include <cstdint>

namespace {

constexpr int sSaltSize = 16;
constexpr int sKeySize = 32;
constexpr int sBlockSize = 4 + sSaltSize + sKeySize;

std::atomic<std::uint64_t> sDerivations{0};

bool derive(const std::string &password, const unsigned char *salt, unsigned int iterations,
            unsigned char *key)
{
    if (iterations == 0 || iterations > static_cast<unsigned int>(INT_MAX))
        return false;
    sDerivations.fetch_add(1, std::memory_order_relaxed);
    return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt, sSaltSize,
                             static_cast<int>(iterations), EVP_sha256(), sKeySize, key)
           == 1;
}

} // namespace

std::string HXBPasswordHash::hash(const std::string &password, unsigned int iterations)
{
    unsigned char block[sBlockSize];
    block[0] = static_cast<unsigned char>(iterations >> 24);
    block[1] = static_cast<unsigned char>(iterations >> 16);
    block[2] = static_cast<unsigned char>(iterations >> 8);
    block[3] = static_cast<unsigned char>(iterations);
    unsigned char *salt = block + 4;
    unsigned char *key = block + 4 + sSaltSize;
    if (RAND_bytes(salt, sSaltSize) != 1) {
        HXBLogger::instance()->logNormalCritical("pbkdf2Hash", "RAND_bytes failed", "");
        return {};
    }
    if (!derive(password, salt, iterations, key)) {
        HXBLogger::instance()->logNormalCritical("pbkdf2Hash", "PBKDF2_HMAC failed", "");
        return {};
    }
    const QByteArray encoded =
        QByteArray(reinterpret_cast<const char *>(block), sBlockSize).toBase64();
    OPENSSL_cleanse(key, sKeySize);
    return std::string(sPrefix) + encoded.toStdString();
}

bool HXBPasswordHash::verify(const std::string &password, const std::string &stored)
{
    const std::string prefix(sPrefix);
    if (stored.compare(0, prefix.size(), prefix) != 0)
        return false;
    const QByteArray block = QByteArray::fromBase64(
        QByteArray::fromRawData(stored.data() + prefix.size(),
                                static_cast<qsizetype>(stored.size() - prefix.size())));
    if (block.size() != sBlockSize) {
        HXBLogger::instance()->logNormalWarn("pbkdf2Verify", "stored pass hash malformed", "");
        return false;
    }
    const auto *bytes = reinterpret_cast<const unsigned char *>(block.constData());
    const unsigned int iterations = (std::uint32_t(bytes[0]) << 24) | (std::uint32_t(bytes[1]) << 16)
                                    | (std::uint32_t(bytes[2]) << 8) | std::uint32_t(bytes[3]);
    unsigned char candidate[sKeySize];
    if (!derive(password, bytes + 4, iterations, candidate))
        return false;
    const bool match = CRYPTO_memcmp(candidate, bytes + 4 + sSaltSize, sKeySize) == 0;
    OPENSSL_cleanse(candidate, sKeySize);
    return match;
}

std::uint64_t HXBPasswordHash::derivationCount()
{
    return sDerivations.load(std::memory_order_relaxed);
}
