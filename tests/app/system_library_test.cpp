#include "win/system_library.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/app/app_test_support.h"
#include "win/system_dlls.h"

namespace qv {
namespace {

// A DLL beside the test program only, under a name the system folder lacks.
constexpr wchar_t kBesideName[] = L"qv_planted_beside.dll";

class SystemLibraryTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(CopyFileW(test::PlantedDllPath().c_str(), beside_.c_str(), FALSE));
    }
    void TearDown() override {
        DeleteFileW(beside_.c_str());
        DeleteFileW(marker_.c_str());
    }
    [[nodiscard]] bool Loaded() const {
        return GetFileAttributesW(marker_.c_str()) != INVALID_FILE_ATTRIBUTES;
    }

    const std::wstring beside_ = test::BesideTestsPath(kBesideName);
    const std::wstring marker_ = beside_ + L".loaded";
};

TEST_F(SystemLibraryTest, FindsSystemExportsAndNeverADllBesideTheProgram) {
    const SystemLibrary version(L"version.dll");
    ASSERT_TRUE(version.loaded());
    EXPECT_NE(version.Find<decltype(&::VerQueryValueW)>("VerQueryValueW"), nullptr);
    EXPECT_EQ(version.Find<FARPROC>("NoSuchExport"), nullptr);
    DWORD ignored = 0;
    wchar_t kernel32[MAX_PATH] = {};
    ASSERT_GT(GetSystemDirectoryW(kernel32, MAX_PATH), 0u);
    lstrcatW(kernel32, L"\\kernel32.dll");
    EXPECT_GT(system32::GetFileVersionInfoSizeW(kernel32, &ignored), 0u);

    const SystemLibrary beside(kBesideName);
    EXPECT_FALSE(beside.loaded());
    EXPECT_EQ(beside.Find<FARPROC>("BCryptHashData"), nullptr);
    EXPECT_FALSE(Loaded());
}

TEST(SystemFolderPath, NamesTheFileInTheSystemFolderWhenItFits) {
    wchar_t system[MAX_PATH] = {};
    ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
    wchar_t path[MAX_PATH] = {};
    ASSERT_TRUE(SystemFolderPath(L"version.dll", path));
    EXPECT_EQ(std::wstring(path), std::wstring(system) + L"\\version.dll");
    // What a Windows without the search flags loads instead.
    const UniqueModule module(LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    EXPECT_TRUE(module.valid());

    const std::wstring fits(MAX_PATH - 2 - lstrlenW(system), L'x');
    EXPECT_TRUE(SystemFolderPath(fits.c_str(), path));
    EXPECT_EQ(lstrlenW(path), MAX_PATH - 1);
    EXPECT_FALSE(SystemFolderPath((fits + L"x").c_str(), path));
}

// Changes the whole process's search order: nothing else in these tests loads a DLL
// from anywhere but the system folder.
TEST_F(SystemLibraryTest, AfterTheRestrictionTheOrdinarySearchSkipsTheProgramsFolder) {
    {
        // The ordinary search finds it: the file itself is loadable.
        const UniqueModule ordinary(LoadLibraryW(kBesideName));
        ASSERT_TRUE(ordinary.valid());
        ASSERT_TRUE(Loaded());
    }
    ASSERT_TRUE(DeleteFileW(marker_.c_str()));
    EXPECT_TRUE(RestrictDllSearchToSystem32());
    const UniqueModule restricted(LoadLibraryW(kBesideName));
    EXPECT_FALSE(restricted.valid());
    EXPECT_FALSE(Loaded());
}

}  // namespace
}  // namespace qv
