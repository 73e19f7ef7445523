#include "Base64Url.h"

#include <array>
#include <cstdint>

namespace jws {

namespace {

constexpr char sAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

constexpr std::array<std::int8_t, 256> makeReverse()
{
    std::array<std::int8_t, 256> table{};
    for (auto &v : table)
        v = -1;
    for (int i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(sAlphabet[i])] = static_cast<std::int8_t>(i);
    return table;
}

constexpr std::array<std::int8_t, 256> sReverse = makeReverse();

} // namespace

std::string base64UrlEncode(std::string_view bytes)
{
    std::string out;
    out.reserve((bytes.size() * 4 + 2) / 3);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v = (std::uint32_t(static_cast<unsigned char>(bytes[i])) << 16)
                                | (std::uint32_t(static_cast<unsigned char>(bytes[i + 1])) << 8)
                                | std::uint32_t(static_cast<unsigned char>(bytes[i + 2]));
        out += sAlphabet[(v >> 18) & 63];
        out += sAlphabet[(v >> 12) & 63];
        out += sAlphabet[(v >> 6) & 63];
        out += sAlphabet[v & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        const std::uint32_t v = std::uint32_t(static_cast<unsigned char>(bytes[i])) << 16;
        out += sAlphabet[(v >> 18) & 63];
        out += sAlphabet[(v >> 12) & 63];
    } else if (rest == 2) {
        const std::uint32_t v = (std::uint32_t(static_cast<unsigned char>(bytes[i])) << 16)
                                | (std::uint32_t(static_cast<unsigned char>(bytes[i + 1])) << 8);
        out += sAlphabet[(v >> 18) & 63];
        out += sAlphabet[(v >> 12) & 63];
        out += sAlphabet[(v >> 6) & 63];
    }
    return out;
}

std::optional<std::string> base64UrlDecode(std::string_view text)
{
    if (text.size() % 4 == 1)
        return std::nullopt;
    std::string out;
    out.reserve(text.size() * 3 / 4);
    std::uint32_t acc = 0;
    int bits = 0;
    for (const char c : text) {
        const int v = sReverse[static_cast<unsigned char>(c)];
        if (v < 0)
            return std::nullopt;
        acc = (acc << 6) | std::uint32_t(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    // Leftover bits (2 or 4) must be zero in a canonical encoding.
    if (bits > 0 && (acc & ((1u << bits) - 1)) != 0)
        return std::nullopt;
    return out;
}

} // namespace jws
