#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace jws {

// Base64url without padding (RFC 4648 section 5, as JWS compact serialisation uses it).
std::string base64UrlEncode(std::string_view bytes);

// Strict decoder: only the URL-safe alphabet, no "=", no whitespace, a length that a
// padding-free encoding can have, and zero bits in the unused tail of the last character,
// so every byte string has exactly one accepted encoding. Empty result on any violation.
std::optional<std::string> base64UrlDecode(std::string_view text);

} // namespace jws
