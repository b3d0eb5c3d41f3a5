#include "win/path.h"

#include <gtest/gtest.h>

#include <string>

namespace qv {
namespace {

// The joined path may have MAX_PATH - 1 characters; one more is a failure that leaves
// the output as it was, never a shortened path.
TEST(JoinPath, FitsUpToMaxPathLessTheTerminatorAndNoFurther) {
    const std::wstring first(200, L'a');
    struct Case {
        size_t second_length;
        bool fits;
    };
    // first + separator + second: 259 characters fit, 260 do not.
    for (const Case& c : {Case{58, true}, Case{59, false}, Case{0, true}, Case{400, false}}) {
        SCOPED_TRACE(c.second_length);
        std::wstring out = L"untouched";
        const std::wstring second(c.second_length, L'b');
        EXPECT_EQ(JoinPath(out, first, second), c.fits);
        EXPECT_EQ(out, c.fits ? first + L"\\" + second : L"untouched");
    }
    std::wstring url;
    ASSERT_TRUE(JoinPath(url, L"http://host/up1", L"ver.dat", L'/'));
    EXPECT_EQ(url, L"http://host/up1/ver.dat");
    // The output may be one of the inputs.
    std::wstring path = L"C:\\app";
    ASSERT_TRUE(JoinPath(path, path, L"cfg.ini"));
    EXPECT_EQ(path, L"C:\\app\\cfg.ini");
}

TEST(FitsMaxPath, CountsCharactersWithoutTheTerminator) {
    EXPECT_TRUE(FitsMaxPath(std::wstring(MAX_PATH - 1, L'x')));
    EXPECT_FALSE(FitsMaxPath(std::wstring(MAX_PATH, L'x')));
}

TEST(RemoveLastComponent, DropsTheNameAndItsSeparatorOfEitherKind) {
    struct Case {
        const wchar_t* path;
        bool removed;
        const wchar_t* rest;
    };
    const Case cases[] = {
        {L"C:\\a\\b.exe", true, L"C:\\a"},
        {L"C:/a/b.exe", true, L"C:/a"},
        {L"C:\\a/b\\c", true, L"C:\\a/b"},
        {L"C:\\x", true, L"C:"},
        {L"dir\\", true, L"dir"},
        {L"name", false, L"name"},
        {L"", false, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.path)));
        std::wstring path = c.path;
        EXPECT_EQ(RemoveLastComponent(path), c.removed);
        EXPECT_EQ(path, c.rest);
    }
    EXPECT_EQ(FindLastSeparator(L"a/b\\c"), 3u);
    EXPECT_EQ(FindLastSeparator(L"abc"), std::wstring_view::npos);
}

TEST(GetExecutableDirectory, IsTheFolderOfThisProgram) {
    std::wstring path;
    std::wstring directory;
    ASSERT_TRUE(GetExecutablePath(path));
    ASSERT_TRUE(GetExecutableDirectory(directory));
    EXPECT_EQ(path.substr(0, directory.size() + 1), directory + L"\\");
    EXPECT_EQ(path.find_first_of(L"\\/", directory.size() + 1), std::wstring::npos);
}

}  // namespace
}  // namespace qv
