// The smallest case of the fault behind the build's -fno-ipa-icf. GCC 12 at -O3 splits
// the copy loop of each instance of the template below into a part of its own, and its
// identical-code folding then takes the parts of the 33-, 257- and 2049-character
// instances for one function. The one kept carries what the compiler derived from its
// own 33-character array, so every copy is compiled for at most 32 characters: longer
// ones are cut short or run wild. The code has no undefined behaviour: every index
// stays inside its array. (The URL code's fields were filled this way when the fault
// first showed.)

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <string>

// Not in an anonymous namespace: the fault needs instances that other units could call.
namespace qv::compiler_fault {

template <size_t N>
bool CopyInto(wchar_t (&field)[N], uint32_t& field_length, const wchar_t* text,
              size_t length) noexcept {
    if (length > N - 1) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        field[i] = text[i];
    }
    field[length] = L'\0';
    field_length = static_cast<uint32_t>(length);
    return true;
}

struct Fields {
    wchar_t small[33];
    wchar_t medium[257];
    wchar_t large[2049];
    uint32_t small_length;
    uint32_t medium_length;
    uint32_t large_length;
};

bool Fill(Fields& fields, const wchar_t* text, size_t small, size_t medium, size_t large) {
    return CopyInto(fields.small, fields.small_length, text, small) &&
           CopyInto(fields.medium, fields.medium_length, text, medium) &&
           CopyInto(fields.large, fields.large_length, text, large);
}

namespace {

TEST(Compiler, KeepsLoopsOfTemplateInstancesOverDifferentArraysApart) {
    static Fields fields;
    const std::wstring text(2048, L'x');
    ASSERT_TRUE(Fill(fields, text.c_str(), 4, 199, 999));
    EXPECT_EQ(std::wcslen(fields.small), 4u);
    EXPECT_EQ(std::wcslen(fields.medium), 199u);
    EXPECT_EQ(std::wcslen(fields.large), 999u);
    EXPECT_EQ(fields.large_length, 999u);
}

}  // namespace
}  // namespace qv::compiler_fault
