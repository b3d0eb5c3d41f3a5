#include "win/file_system.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_support.h"

namespace qv {
namespace {

using test::TempDir;

TEST(FileSystem, TellsFilesFromDirectoriesAndFromNothing) {
    TempDir dir;
    ASSERT_TRUE(test::WriteFileBytes(dir / L"file", "x"));
    struct Case {
        std::wstring path;
        bool exists, directory, file;
    };
    const Case cases[] = {
        {dir.path(), true, true, false},
        {dir / L"file", true, false, true},
        {dir / L"missing", false, false, false},
        {dir / L"missing\\below", false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(test::Narrow(c.path));
        EXPECT_EQ(PathExists(c.path.c_str()), c.exists);
        EXPECT_EQ(IsDirectory(c.path.c_str()), c.directory);
        EXPECT_EQ(IsFile(c.path.c_str()), c.file);
    }
    EXPECT_FALSE(PathExists(nullptr));
    EXPECT_FALSE(IsDirectory(nullptr));
    EXPECT_FALSE(IsFile(nullptr));
}

TEST(CreateDirectoryTree, CreatesEveryMissingLevel) {
    TempDir dir;
    const std::wstring deep = dir / L"a\\b\\c";
    EXPECT_TRUE(CreateDirectoryTree(deep.c_str()));
    EXPECT_TRUE(test::DirectoryExists(dir / L"a"));
    EXPECT_TRUE(test::DirectoryExists(deep));
    EXPECT_TRUE(CreateDirectoryTree(deep.c_str()));  // existing: nothing to do
    EXPECT_TRUE(CreateDirectoryTree((dir / L"x\\y\\").c_str()));
    EXPECT_TRUE(test::DirectoryExists(dir / L"x\\y"));
}

TEST(CreateDirectoryTree, FailsOnAFileInTheWayAndOnPathsThatCannotBeMade) {
    TempDir dir;
    ASSERT_TRUE(test::WriteFileBytes(dir / L"file", "x"));
    EXPECT_FALSE(CreateDirectoryTree((dir / L"file").c_str()));
    EXPECT_FALSE(CreateDirectoryTree((dir / L"file\\sub").c_str()));
    EXPECT_FALSE(CreateDirectoryTree(nullptr));
    EXPECT_FALSE(CreateDirectoryTree(L""));
    EXPECT_FALSE(CreateDirectoryTree(L"relative-name"));
    // Too long for a MAX_PATH buffer: refused, never created under a shortened name.
    const std::wstring long_path = dir.path() + L"\\" + std::wstring(300, L'd');
    EXPECT_FALSE(CreateDirectoryTree(long_path.c_str()));
    EXPECT_FALSE(test::DirectoryExists(long_path.substr(0, MAX_PATH - 1)));
}

TEST(CreateDirectoryTree, TakesEitherSeparatorAndRepeatedOnes) {
    TempDir dir;
    EXPECT_TRUE(CreateDirectoryTree((dir.path() + L"/a/b\\\\c/").c_str()));
    EXPECT_TRUE(IsDirectory((dir / L"a\\b\\c").c_str()));
    EXPECT_TRUE(CreateParentDirectories((dir / L"x/y\\file.dll").c_str()));
    EXPECT_TRUE(IsDirectory((dir / L"x\\y").c_str()));
    EXPECT_FALSE(PathExists((dir / L"x\\y\\file.dll").c_str()));
    // A drive root exists: there is nothing to make.
    EXPECT_TRUE(CreateDirectoryTree(L"C:\\"));
}

TEST(CreateDirectoryTree, AFileInTheWaySaysSo) {
    TempDir dir;
    ASSERT_TRUE(test::WriteFileBytes(dir / L"file", "x"));
    SetLastError(0);
    EXPECT_FALSE(CreateDirectoryTree((dir / L"file\\sub").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(CreateParentDirectories((dir / L"file\\sub\\f.txt").c_str()));
    EXPECT_FALSE(CreateParentDirectories(L"f.txt"));  // relative: no directory to start from
}

// A path of MAX_PATH - 1 characters is made whole; one character more is refused,
// and nothing is made under a shortened name.
TEST(CreateDirectoryTree, WorksUpToMaxPathAndRefusesLonger) {
    TempDir dir;
    const std::wstring base = dir / L"d";
    ASSERT_LT(base.size() + 2, static_cast<size_t>(MAX_PATH - 1));
    const std::wstring longest = base + L"\\" + std::wstring(MAX_PATH - 2 - base.size(), L'n');
    ASSERT_EQ(longest.size(), static_cast<size_t>(MAX_PATH - 1));
    EXPECT_TRUE(CreateDirectoryTree(longest.c_str()));
    EXPECT_TRUE(IsDirectory(longest.c_str()));

    const std::wstring too_long = base + L"\\" + std::wstring(MAX_PATH - 1 - base.size(), L'm');
    ASSERT_EQ(too_long.size(), static_cast<size_t>(MAX_PATH));
    EXPECT_FALSE(CreateDirectoryTree(too_long.c_str()));
    EXPECT_FALSE(CreateParentDirectories((too_long + L"\\f").c_str()));
    EXPECT_FALSE(PathExists(too_long.substr(0, MAX_PATH - 1).c_str()));
}

}  // namespace
}  // namespace qv
