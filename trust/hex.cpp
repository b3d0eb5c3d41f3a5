#include "trust/hex.h"

namespace qv {

namespace {

constexpr char kDigits[] = "0123456789abcdef";

int DigitValue(char c) noexcept {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

}  // namespace

std::string ToHex(const uint8_t* bytes, size_t length) {
    std::string text(length * 2, '0');
    for (size_t i = 0; i < length; ++i) {
        text[2 * i] = kDigits[bytes[i] >> 4];
        text[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
    return text;
}

bool ParseHex(std::string_view text, uint8_t* out, size_t length) noexcept {
    if (text.size() / 2 != length || text.size() % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        const int high = DigitValue(text[2 * i]);
        const int low = DigitValue(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        out[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

}  // namespace qv
