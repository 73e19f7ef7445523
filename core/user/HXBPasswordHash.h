#pragma once

#include <cstdint>
#include <string>

// Salted, iterated password hashes in the stored form
//     "{PBKDF2-SHA256}" + Base64(iterations big-endian (4) | salt (16) | key (32))
// (PBKDF2 with HMAC-SHA256, standard Base64 with padding: 87 characters in all).
// Stateless and callable from any thread; each call costs one key derivation.
class HXBPasswordHash
{
public:
    static constexpr unsigned int sDefaultIterations = 600000;
    static constexpr const char *sPrefix = "{PBKDF2-SHA256}";

    // A new hash with a fresh random salt; empty (and logged as critical) on failure.
    // iterations must be 1 to 2^31-1; other values give an empty result.
    static std::string hash(const std::string &password,
                            unsigned int iterations = sDefaultIterations);

    // Whether password matches the stored hash, compared in constant time. A value without
    // the prefix fails silently; one with the prefix but a wrong block is logged as malformed.
    static bool verify(const std::string &password, const std::string &stored);

    // How many key derivations (of hash and verify) this process has run, for callers that
    // must show what an operation cost.
    static std::uint64_t derivationCount();
};
