#include "app/config.h"

#include <gtest/gtest.h>

#include <thread>

#include "tests/support/test_support.h"

namespace qv {
namespace {

using test::TempDir;
using test::WriteFileBytes;

TEST(ConfigFile, DefaultsWhenFileSectionOrKeyIsMissing) {
    TempDir dir;
    CConfigFile no_file(dir / L"cfg.ini");
    EXPECT_STREQ(no_file.GetUrl(L"upddir", kDefaultUpdateUrl), kDefaultUpdateUrl);
    EXPECT_STREQ(no_file.GetUrl(L"home", kDefaultHomeUrl), kDefaultHomeUrl);

    WriteFileBytes(dir / L"other.ini", "[misc]\r\nupddir=http://127.0.0.1/x\r\n");
    CConfigFile no_section(dir / L"other.ini");
    EXPECT_STREQ(no_section.GetUrl(L"upddir", L"fallback"), L"fallback");

    WriteFileBytes(dir / L"nokey.ini", "[urls]\r\nhome=http://127.0.0.1/home\r\n");
    CConfigFile no_key(dir / L"nokey.ini");
    EXPECT_STREQ(no_key.GetUrl(L"upddir", L"fallback"), L"fallback");
    EXPECT_STREQ(no_key.GetUrl(L"home", L"fallback"), L"http://127.0.0.1/home");
}

// Signed mode turns on with the key, whatever its value: an empty or cut value must
// reach the key parser (and fail there), never read as "no key".
TEST(ConfigFile, ReleaseKeysAreMissingOnlyWhenTheKeyIs) {
    TempDir dir;
    struct Case {
        const char* ini;
        std::optional<std::wstring> keys;
    };
    const Case cases[] = {
        {"[urls]\r\nupddir=http://h/up1\r\n", std::nullopt},
        {"[security]\r\nother=1\r\n", std::nullopt},
        {"[urls]\r\nrelease_keys=ecdsa-p256:00\r\n", std::nullopt},  // another section
        {"[security]\r\nrelease_keys=\r\n", std::wstring()},
        {"[Security]\r\nRelease_Keys = ecdsa-p256:ab cd\r\n", std::wstring(L"ecdsa-p256:ab cd")},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(WriteFileBytes(dir / L"cfg.ini", c.ini));
        CConfigFile config(dir / L"cfg.ini");
        EXPECT_EQ(config.GetReleaseKeys(), c.keys) << c.ini;
        // Read once: a changed file changes nothing for this process.
        ASSERT_TRUE(WriteFileBytes(dir / L"cfg.ini", "[security]\r\nrelease_keys=x\r\n"));
        EXPECT_EQ(config.GetReleaseKeys(), c.keys) << c.ini;
    }
    CConfigFile no_file(dir / L"missing.ini");
    EXPECT_FALSE(no_file.GetReleaseKeys().has_value());
}

TEST(ConfigFile, EmptyValueIsEmptyAndLongValuesAreCut) {
    TempDir dir;
    const std::string long_value(1500, 'v');
    WriteFileBytes(dir / L"cfg.ini", "[urls]\r\nhome=\r\nupddir=" + long_value + "\r\n");
    CConfigFile config(dir / L"cfg.ini");
    EXPECT_STREQ(config.GetUrl(L"home", L"fallback"), L"");
    EXPECT_EQ(std::wstring(config.GetUrl(L"upddir", L"fallback")), std::wstring(1023, L'v'));
}

TEST(ConfigFile, FirstLookupSettlesTheValue) {
    TempDir dir;
    WriteFileBytes(dir / L"cfg.ini", "[urls]\r\nupddir=http://127.0.0.1/one\r\n");
    CConfigFile config(dir / L"cfg.ini");
    const wchar_t* first = config.GetUrl(L"upddir", L"a");
    EXPECT_STREQ(first, L"http://127.0.0.1/one");
    WriteFileBytes(dir / L"cfg.ini", "[urls]\r\nupddir=http://127.0.0.1/two\r\n");
    EXPECT_EQ(config.GetUrl(L"upddir", L"b"), first);  // same text, same pointer
    // Another spelling is another cache entry, but the file lookup ignores case.
    EXPECT_STREQ(config.GetUrl(L"UPDDIR", L"c"), L"http://127.0.0.1/two");
    EXPECT_STREQ(first, L"http://127.0.0.1/one");
}

TEST(ConfigFile, ConcurrentFirstLookupsAgree) {
    TempDir dir;
    WriteFileBytes(dir / L"cfg.ini", "[urls]\r\nupddir=http://127.0.0.1/up\r\n");
    for (int round = 0; round < 20; ++round) {
        CConfigFile config(dir / L"cfg.ini");
        const wchar_t* seen[2] = {};
        std::thread a([&] { seen[0] = config.GetUrl(L"upddir", L"x"); });
        std::thread b([&] { seen[1] = config.GetUrl(L"upddir", L"x"); });
        a.join();
        b.join();
        EXPECT_EQ(seen[0], seen[1]);
        EXPECT_STREQ(seen[0], L"http://127.0.0.1/up");
    }
    CConfigFile* instances[2] = {};
    std::thread a([&] { instances[0] = &CConfigFile::Instance(); });
    std::thread b([&] { instances[1] = &CConfigFile::Instance(); });
    a.join();
    b.join();
    EXPECT_EQ(instances[0], instances[1]);
    // The instance reads cfg.ini beside the executable.
    std::wstring expected = test::ThisExecutable();
    expected.resize(expected.find_last_of(L'\\'));
    EXPECT_EQ(CConfigFile::Instance().IniPath(), expected + L"\\cfg.ini");
}

}  // namespace
}  // namespace qv
