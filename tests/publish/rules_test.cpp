#include "tools/publish/rules.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/test_support.h"

namespace qv::publish {
namespace {

using qv::test::Narrow;

TEST(NameProblem, AcceptsWhatTheUpdaterReadsBack) {
    for (const wchar_t* name :
         {L"qvreader.exe", L"update.exe", L"ver.dat", L"sub dir\\a,b c.txt", L"..a",
          L"data\\\u9605\u8bfb.bin", L"updates\\x.dat", L"x\\update\\y.dat", L"console.txt",
          L"com10.txt", L"a\\filelist.dat", L"\U0001F600.txt", L"sub\\downlist.dat",
          L"release.seq.old", L"downlist.txt"}) {
        EXPECT_EQ(NameProblem(name), L"") << Narrow(name);
    }
}

TEST(NameProblem, RefusesWhatTheUpdaterOrWindowsOrTheUrlCannotTake) {
    // Each must be refused, for the reason its comment gives.
    const std::wstring lone_surrogate = std::wstring(L"a") + wchar_t(0xD800) + L".txt";
    for (const std::wstring& name : std::initializer_list<std::wstring>{
             L"..\\x.dll",     L"a\\..\\..\\x.dll",  // leaves the folder
             L"C:x.dll",       L"file.txt:stream",   // ':'
             L"a\tb.txt",      L"\\x.dll",           // control character, rooted
             lone_surrogate,                         // no UTF-8 form
             L"a#b.txt",       L"100%.txt",          // the URL cuts at '#', decodes '%'
             L"a*b",           L"a?b",
             L"a|b",           L"a<b",
             L"a>b",           L"a\"b",
             L"a/b",                            // not on Windows
             L"name.",         L"dir \\x.txt",  // Windows drops trailing dots and spaces
             L"con",           L"NUL.txt",
             L"sub\\com1.dat", L"LPT9",  // devices
             L"update\\x.dat", L"UPDATE\\x",
             L"update",                          // the updater's working folder
             L"filelist.dat",  L"FileList.dat",  // the server's list
             L"release.dat",   L"Release.DAT",   // the server's signed manifest
             L"delta.dat",     L"DELTA.dat",     // the server's description of patches
             L"qvpatch",       L"QvPatch\\0123",
             L"qvpatch.\\x",                   // the server's patches
             L"VER.DAT",       L"Ver.dat"}) {  // must be spelled ver.dat
        EXPECT_NE(NameProblem(name), L"") << Narrow(name);
    }
}

TEST(UrlRules, BaseUrlMustBeAPlainHttpUrl) {
    for (const wchar_t* url : {L"http://update.example.com/up1", L"http://127.0.0.1:8080/up1",
                               L"HTTP://h", L"http://h/a b/\u00e9"}) {
        EXPECT_EQ(BaseUrlProblem(url), L"") << Narrow(url);
    }
    for (const wchar_t* url : {L"https://h/up1", L"ftp://h/up1", L"up1", L"", L"http:///up1",
                               L"http://h/up1?x=1", L"http://h/up1#top", L"http://h/up1/"}) {
        EXPECT_NE(BaseUrlProblem(url), L"") << Narrow(url);
    }
}

TEST(UrlRules, EscapedUrlMustFitTheUpdatersLimits) {
    // Each of these characters is escaped to nine: %e9%98%85.
    const std::wstring base = L"http://h/up1";  // the path is "/up1/" + the name
    EXPECT_EQ(UrlProblem(base, std::wstring(227, L'\u9605')), L"");  // 5 + 2043
    EXPECT_NE(UrlProblem(base, std::wstring(228, L'\u9605')), L"");  // 5 + 2052
    EXPECT_EQ(UrlProblem(base, L"sub dir\\a,b.txt"), L"");
    // The whole escaped URL is bounded too, not just its path.
    const std::wstring long_host = L"http://" + std::wstring(200, L'h') + L"/up1";
    EXPECT_NE(UrlProblem(long_host, std::wstring(210, L'\u9605')), L"");
}

TEST(FitsUnderInstallDir, CountsTheUpdateFolderAndTheZipSuffix) {
    const std::wstring dir = L"C:\\Q";  // "C:\Q\update\" is 12 characters
    // 12 + 247 = 259 characters fit; one more does not.
    EXPECT_TRUE(FitsUnderInstallDir(dir, std::wstring(247, L'n'), false));
    EXPECT_FALSE(FitsUnderInstallDir(dir, std::wstring(248, L'n'), false));
    // A zipped file is downloaded as name.zip first.
    EXPECT_TRUE(FitsUnderInstallDir(dir, std::wstring(243, L'n'), true));
    EXPECT_FALSE(FitsUnderInstallDir(dir, std::wstring(244, L'n'), true));
    EXPECT_TRUE(FitsUnderInstallDir(kTypicalInstallDir, L"sub\\file.dll", true));
}

TEST(MatchesPattern, MatchesFileNamesOrWholePathsIgnoringCase) {
    EXPECT_TRUE(MatchesPattern(L"*.dll", L"plugins\\Render.DLL"));
    EXPECT_TRUE(MatchesPattern(L"*.dll", L"x.dll"));
    EXPECT_FALSE(MatchesPattern(L"*.dll", L"x.dll.bak"));
    EXPECT_FALSE(MatchesPattern(L"plugins*", L"plugins\\a.bin"));  // the file's own name only
    EXPECT_TRUE(MatchesPattern(L"plugins\\*", L"Plugins\\sub\\a.bin"));
    EXPECT_FALSE(MatchesPattern(L"plugins\\*", L"other\\plugins\\a.bin"));
    EXPECT_TRUE(MatchesPattern(L"data?.bin", L"data7.bin"));
    EXPECT_FALSE(MatchesPattern(L"data?.bin", L"data.bin"));
    EXPECT_TRUE(MatchesPattern(L"*a*b*c", L"xxaxxbxxbxc"));
    EXPECT_FALSE(MatchesPattern(L"*a*b*c", L"xxaxxbxxbxcd"));
    EXPECT_TRUE(MatchesPattern(L"*", L"anything\\at all"));
    EXPECT_TRUE(MatchesPattern(L"\u00c9t\u00e9.txt", L"\u00e9T\u00c9.TXT"));
}

TEST(ParseSize, ReadsBytesAndBinaryUnits) {
    uint64_t size = 0;
    ASSERT_TRUE(ParseSize(L"0", size));
    EXPECT_EQ(size, 0u);
    ASSERT_TRUE(ParseSize(L"123", size));
    EXPECT_EQ(size, 123u);
    ASSERT_TRUE(ParseSize(L"512k", size));
    EXPECT_EQ(size, 512u * 1024);
    ASSERT_TRUE(ParseSize(L"10M", size));
    EXPECT_EQ(size, 10u << 20);
    ASSERT_TRUE(ParseSize(L"1G", size));
    EXPECT_EQ(size, 1u << 30);
    ASSERT_TRUE(ParseSize(L"18446744073709551615", size));
    EXPECT_EQ(size, UINT64_MAX);
    for (const wchar_t* bad : {L"", L"K", L"-1", L"1.5M", L"10MB", L"1 M", L"12x",
                               L"18446744073709551616", L"17179869184G"}) {
        EXPECT_FALSE(ParseSize(bad, size)) << Narrow(bad);
    }
}

}  // namespace
}  // namespace qv::publish
