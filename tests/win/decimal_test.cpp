// The one decimal reader: whole texts of ASCII digits, in both character widths.

#include "win/decimal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace qv {
namespace {

TEST(ParseDecimal, ReadsWholeTextsOfDigitsUpToUint64Max) {
    struct Case {
        const char* text;
        bool ok;
        uint64_t value;
    };
    const Case cases[] = {
        {"0", true, 0},
        {"42", true, 42},
        {"007", true, 7},  // leading zeros are a format's rule, not the reader's
        {"18446744073709551615", true, UINT64_MAX},
        {"18446744073709551616", false, 0},
        {"99999999999999999999", false, 0},
        {"", false, 0},
        {"+5", false, 0},
        {"-5", false, 0},
        {" 5", false, 0},
        {"5 ", false, 0},
        {"5x", false, 0},
        {"1.5", false, 0},
    };
    for (const Case& c : cases) {
        uint64_t value = 12345;
        EXPECT_EQ(ParseDecimal(std::string_view(c.text), value), c.ok) << c.text;
        EXPECT_EQ(value, c.ok ? c.value : 12345u) << c.text;  // untouched on failure
        const std::wstring wide(c.text, c.text + std::char_traits<char>::length(c.text));
        uint64_t wide_value = 12345;
        EXPECT_EQ(ParseDecimal(std::wstring_view(wide), wide_value), c.ok) << c.text;
        EXPECT_EQ(wide_value, value) << c.text;
    }
    uint64_t value = 0;
    EXPECT_FALSE(ParseDecimal(std::wstring_view(L"\uFF15"), value));  // a full-width five
}

}  // namespace
}  // namespace qv
