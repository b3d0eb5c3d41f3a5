#pragma once
// Bytes as lowercase hexadecimal text, the form of every hash, key and signature in
// the signed release files. Parsing accepts exactly that form and nothing else.

#include <cstdint>
#include <string>
#include <string_view>

namespace qv {

[[nodiscard]] std::string ToHex(const uint8_t* bytes, size_t length);

// Decodes exactly `length` bytes from 2 * `length` lowercase hex digits; false for any
// other length or character.
[[nodiscard]] bool ParseHex(std::string_view text, uint8_t* out, size_t length) noexcept;

}  // namespace qv
