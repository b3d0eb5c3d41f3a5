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

}  // namespace
}  // namespace qv
