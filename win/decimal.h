#pragma once
// The one decimal reader: a whole text of ASCII digits to an unsigned 64-bit value.
// Formats add their own rules on top (no leading zero, fewer digits).

#include <cstdint>
#include <string_view>

namespace qv {

// True when `text` is one or more ASCII digits, nothing else, whose value fits
// uint64_t; `out` is set only then. No sign, no spaces; leading zeros are read.
template <typename Char>
[[nodiscard]] constexpr bool ParseDecimal(std::basic_string_view<Char> text,
                                          uint64_t& out) noexcept {
    if (text.empty()) {
        return false;
    }
    uint64_t value = 0;
    for (const Char c : text) {
        if (c < Char('0') || c > Char('9')) {
            return false;
        }
        const uint64_t digit = static_cast<uint64_t>(c - Char('0'));
        if (value > (UINT64_MAX - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
    }
    out = value;
    return true;
}

[[nodiscard]] constexpr bool ParseDecimal(std::string_view text, uint64_t& out) noexcept {
    return ParseDecimal<char>(text, out);
}
[[nodiscard]] constexpr bool ParseDecimal(std::wstring_view text, uint64_t& out) noexcept {
    return ParseDecimal<wchar_t>(text, out);
}

}  // namespace qv
