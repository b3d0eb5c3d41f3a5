#include "win/text.h"

#include <gtest/gtest.h>

#include <string>

namespace qv {
namespace {

TEST(TextConversion, RoundTripsUtf8AndTheAnsiCodePage) {
    const std::wstring text = L"Qv\u9605\u8bfb\u5668 \U0001F4D6";  // CJK and a surrogate pair
    std::string utf8;
    ASSERT_TRUE(ToCodePage(text, CP_UTF8, utf8));
    EXPECT_EQ(utf8, "Qv\xe9\x98\x85\xe8\xaf\xbb\xe5\x99\xa8 \xf0\x9f\x93\x96");
    std::wstring back;
    ASSERT_TRUE(FromCodePage(utf8, CP_UTF8, back));
    EXPECT_EQ(back, text);
    // A single-byte code page: the same calls, the page's own bytes.
    std::string latin;
    ASSERT_TRUE(ToCodePage(L"caf\u00e9", 1252, latin));
    EXPECT_EQ(latin, "caf\xe9");
    ASSERT_TRUE(FromCodePage("caf\xe9", 1252, back));
    EXPECT_EQ(back, L"caf\u00e9");
    // Nothing to convert is a success with nothing in it.
    utf8 = "stale";
    EXPECT_TRUE(ToCodePage(L"", CP_UTF8, utf8));
    EXPECT_TRUE(utf8.empty());
}

TEST(TextConversion, InvalidInputIsReplacedUnlessTheFlagsRefuseIt) {
    const std::wstring lone_surrogate = L"a\xD800z";
    std::string utf8 = "stale";
    EXPECT_FALSE(ToCodePage(lone_surrogate, CP_UTF8, utf8, WC_ERR_INVALID_CHARS));
    EXPECT_TRUE(utf8.empty());
    ASSERT_TRUE(ToCodePage(lone_surrogate, CP_UTF8, utf8));
    EXPECT_EQ(utf8, "a\xef\xbf\xbdz");  // U+FFFD

    const std::string bad_utf8 =
        "a\xff"
        "z";
    std::wstring wide = L"stale";
    EXPECT_FALSE(FromCodePage(bad_utf8, CP_UTF8, wide, MB_ERR_INVALID_CHARS));
    EXPECT_TRUE(wide.empty());
    EXPECT_EQ(DecodeText(bad_utf8), L"a\xFFFDz");
    EXPECT_EQ(EncodeText(L"\u00e9"), "\xc3\xa9");
    EXPECT_EQ(DecodeText(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));  // NUL is text
}

TEST(AsciiText, FoldsOnlyAsciiLetters) {
    EXPECT_TRUE(EqualsAsciiNoCase(L"Transfer-Encoding", L"transfer-ENCODING"));
    EXPECT_FALSE(EqualsAsciiNoCase(L"chunked", L"chunke"));
    EXPECT_FALSE(EqualsAsciiNoCase(L"\u00c4", L"\u00e4"));  // not ASCII: not folded
    EXPECT_FALSE(EqualsAsciiNoCase(L"[", L"{"));            // 0x5B and 0x7B are no letters
    EXPECT_EQ(AsciiLower(L'Z'), L'z');
    EXPECT_EQ(AsciiLower(L'@'), L'@');
}

TEST(AsciiText, SpacesAreTheSixOfTheCLocale) {
    for (wchar_t c : {L' ', L'\t', L'\r', L'\n', L'\v', L'\f'}) {
        EXPECT_TRUE(IsAsciiSpace(c)) << static_cast<int>(c);
    }
    for (wchar_t c : {L'\0', L'x', L'\x85', L'\xa0', L'\u3000'}) {
        EXPECT_FALSE(IsAsciiSpace(c)) << static_cast<int>(c);
    }
}

// File names compare as Windows compares them: beyond ASCII too, without a locale.
TEST(FileNameText, ComparesIgnoringCaseAsWindowsDoes) {
    EXPECT_TRUE(EqualsNoCase(L"Update\\VER.DAT", L"update\\ver.dat"));
    EXPECT_TRUE(EqualsNoCase(L"\u00c4rger.txt", L"\u00e4rger.TXT"));
    EXPECT_FALSE(EqualsNoCase(L"ver.dat", L"ver.dat."));
    EXPECT_TRUE(LessNoCase(L"alpha", L"BETA"));
    EXPECT_FALSE(LessNoCase(L"BETA", L"alpha"));
    EXPECT_FALSE(LessNoCase(L"Same", L"sAME"));
}

TEST(AsciiText, ControlCharactersAreC0AndDel) {
    for (wchar_t c : {L'\0', L'\r', L'\n', L'\t', L'\x1f', L'\x7f'}) {
        EXPECT_TRUE(IsControlCharacter(c)) << static_cast<int>(c);
    }
    for (wchar_t c : {L' ', L'~', L'\x80', L'\x9f', L'\u9605'}) {
        EXPECT_FALSE(IsControlCharacter(c)) << static_cast<int>(c);
    }
    EXPECT_TRUE(HasControlCharacter(std::wstring_view(L"a\0b", 3)));
    EXPECT_TRUE(HasControlCharacter(L"/path\r\nHost: evil"));
    EXPECT_FALSE(HasControlCharacter(L"/path?q=1"));
    EXPECT_FALSE(HasControlCharacter(L""));
}

// '*' takes any run, the rest is up to the caller's comparison; one back-tracking point
// is enough for any pattern.
TEST(Wildcard, StarTakesAnyRunAndTheCallerComparesTheRest) {
    const auto exact = [](wchar_t p, wchar_t t) { return p == t; };
    const struct {
        const wchar_t* pattern;
        const wchar_t* text;
        bool matches;
    } cases[] = {
        {L"", L"", true},           {L"*", L"", true},
        {L"", L"a", false},         {L"a*", L"a", true},
        {L"*b", L"ab", true},       {L"*b", L"ba", false},
        {L"a*c*e", L"abcde", true}, {L"*a*b*c", L"xaxbxbxc", true},
        {L"a**b", L"ab", true},     {L"ab", L"AB", false},
        {L"a*", L"ba", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MatchesWildcard(c.pattern, c.text, exact), c.matches)
            << c.pattern << " " << c.text;
    }
    // The caller's comparison decides case and any other wildcard.
    EXPECT_TRUE(MatchesWildcard(L"A?C", L"abc", [](wchar_t p, wchar_t t) {
        return p == L'?' || AsciiLower(p) == AsciiLower(t);
    }));
}

}  // namespace
}  // namespace qv
