#include "update/file_list.h"

#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include "tests/support/test_support.h"
#include "update/text_line_file.h"

namespace qv {
namespace {

using test::TempDir;
using test::WriteFileBytes;

std::vector<std::wstring> ReadAllLines(const std::wstring& path) {
    TextLineFile file;
    EXPECT_TRUE(file.Open(path.c_str(), L"rb"));
    std::vector<std::wstring> lines;
    std::wstring line;
    while (file.ReadLine(line)) {
        lines.push_back(line);
    }
    return lines;
}

TEST(TextLineFile, SplitsLinesAndDropsCarriageReturnsAcrossBlockBorders) {
    TempDir dir;
    // The CR of the first line is byte 255 (from 0), its LF byte 256: they arrive in
    // different 256-byte reads.
    const std::string first(255, 'a');
    WriteFileBytes(dir / L"a.txt", first + "\r" + "\n" + "b\r\n" + "c\r" + "\n" + "last");
    EXPECT_EQ(ReadAllLines(dir / L"a.txt"),
              (std::vector<std::wstring>{test::Widen(first), L"b", L"c", L"last"}));
}

TEST(TextLineFile, KeepsCarriageReturnThatEndsTheFile) {
    TempDir dir;
    WriteFileBytes(dir / L"a.txt", "x\r");
    EXPECT_EQ(ReadAllLines(dir / L"a.txt"), (std::vector<std::wstring>{L"x\r"}));
}

TEST(TextLineFile, EmptyFileGivesOneEmptyLine) {
    TempDir dir;
    WriteFileBytes(dir / L"empty.txt", "");
    EXPECT_EQ(ReadAllLines(dir / L"empty.txt"), (std::vector<std::wstring>{L""}));
}

TEST(TextLineFile, LengthMultipleOf256EndingInLineFeedGivesExtraEmptyLine) {
    TempDir dir;
    WriteFileBytes(dir / L"a.txt", std::string(255, 'z') + "\n" + std::string(255, 'y') + "\n");
    const auto lines = ReadAllLines(dir / L"a.txt");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], L"");
    // The same length plus one byte has no extra line.
    WriteFileBytes(dir / L"b.txt", std::string(256, 'z') + "\n");
    EXPECT_EQ(ReadAllLines(dir / L"b.txt").size(), 1u);
}

TEST(TextLineFile, ReadsAndWritesUtf8AndRefusesWhenClosed) {
    TempDir dir;
    TextLineFile file;
    std::wstring line = L"stale";
    EXPECT_FALSE(file.ReadLine(line));
    EXPECT_TRUE(line.empty());
    EXPECT_FALSE(file.WriteLine(L"x"));
    ASSERT_TRUE(file.Open((dir / L"u.txt").c_str(), L"wb"));
    EXPECT_FALSE(file.WriteLine(nullptr));
    EXPECT_TRUE(file.WriteLine(L"\u9605\u8bfb\u5668"));
    file.Close();
    EXPECT_EQ(test::ReadFileBytes(dir / L"u.txt"), "\xe9\x98\x85\xe8\xaf\xbb\xe5\x99\xa8\n");
    EXPECT_FALSE(file.Open((dir / L"missing.txt").c_str(), L"rb"));
}

TEST(ParseFileEntry, ReadsFieldsLikeTheServerWritesThem) {
    FileEntry e;
    ASSERT_TRUE(ParseFileEntry(L"10,20,0,1,sub\\file.dll", e));
    EXPECT_EQ(e.crc_installed, 10u);
    EXPECT_EQ(e.crc_download, 20u);
    EXPECT_EQ(e.aux_value, 0u);
    EXPECT_EQ(e.zipped, 1);
    EXPECT_EQ(e.name, L"sub\\file.dll");

    ASSERT_TRUE(ParseFileEntry(L"4294967295,3000000000,7,0,a,b c.txt", e));
    EXPECT_EQ(e.crc_installed, 4294967295u);  // above the signed range, read in full
    EXPECT_EQ(e.crc_download, 3000000000u);
    EXPECT_EQ(e.name, L"a,b c.txt");  // commas and spaces belong to the name

    // 40 digits count as an empty field; leading space, trailing letters, overflow.
    ASSERT_TRUE(ParseFileEntry(std::wstring(40, L'9') + L", 12,12abc,0,x", e));
    EXPECT_EQ(e.crc_installed, 0u);
    EXPECT_EQ(e.crc_download, 12u);
    EXPECT_EQ(e.aux_value, 12u);
    ASSERT_TRUE(ParseFileEntry(L"99999999999,0,0,0,x", e));
    EXPECT_EQ(e.crc_installed, 4294967295u);

    ASSERT_TRUE(ParseFileEntry(L"1,2,3,2,x", e));
    EXPECT_EQ(e.zipped, 1);
    ASSERT_TRUE(ParseFileEntry(L"1,2,3,-1,x", e));
    EXPECT_EQ(e.zipped, 1);
    ASSERT_TRUE(ParseFileEntry(L"1,2,3,,x", e));
    EXPECT_EQ(e.zipped, 0);
}

TEST(ParseFileEntry, RejectsMalformedLines) {
    FileEntry e;
    EXPECT_FALSE(ParseFileEntry(L"", e));
    EXPECT_FALSE(ParseFileEntry(L"1,2,3", e));
    EXPECT_FALSE(ParseFileEntry(L"1,2,3,name", e));  // only three commas
    EXPECT_FALSE(ParseFileEntry(L"1,2,3,0,", e));    // empty name
}

TEST(ParseFileEntry, RejectsNamesThatLeaveTheInstallation) {
    FileEntry e;
    for (const wchar_t* name : {L"..\\evil.dll",
                                L"../evil.dll",
                                L"a\\..\\..\\evil.dll",
                                L"a/../b",
                                L"a\\..",
                                L"..",
                                L"a\\.. \\b",
                                L"a\\. .\\b",
                                L"C:\\Windows\\evil.dll",
                                L"C:evil.dll",
                                L"\\evil.dll",
                                L"/evil.dll",
                                L"\\\\server\\share\\x",
                                L"file.txt:stream",
                                L"a\\\\b",
                                L"dir\\",
                                L"a\x01"
                                L"b",
                                L"a\tb",
                                L"line\nbreak",
                                L"."}) {
        EXPECT_FALSE(ParseFileEntry(std::wstring(L"1,2,3,0,") + name, e)) << test::Narrow(name);
    }
    for (const wchar_t* name : {L"..a", L"a..", L"a\\...b\\c", L"sub dir\\x y.dll", L"a/b"}) {
        EXPECT_TRUE(ParseFileEntry(std::wstring(L"1,2,3,0,") + name, e)) << test::Narrow(name);
    }
}

TEST(FileList, RoundTripKeepsOddLinesAndWritesLf) {
    TempDir dir;
    const std::string server_list =
        "10,20,0,1,sub\\file.dll\r\n"
        "\r\n"
        "1,2,3\r\n"
        "4294967295,3000000000,4,-1,a,b c.txt\n"
        "5,6,7,0,..\\escape.dll\n"
        "7,8,9,2,\xe9\x98\x85.txt";  // no LF after the last line
    WriteFileBytes(dir / L"filelist.dat", server_list);
    FileList list;
    ASSERT_TRUE(list.ReadFileList((dir / L"filelist.dat").c_str()));
    ASSERT_EQ(list.entries.size(), 3u);
    EXPECT_EQ(list.entries[2].name, L"\u9605.txt");

    ASSERT_TRUE(list.WriteFileList((dir / L"downlist.dat").c_str()));
    EXPECT_EQ(test::ReadFileBytes(dir / L"downlist.dat"),
              "10,20,0,1,sub\\file.dll\n"
              "4294967295,3000000000,4,1,a,b c.txt\n"
              "7,8,9,1,\xe9\x98\x85.txt\n");

    // CR LF and LF forms read the same.
    WriteFileBytes(dir / L"lf.dat", "1,2,3,0,a\n4,5,6,1,b\n");
    WriteFileBytes(dir / L"crlf.dat", "1,2,3,0,a\r\n4,5,6,1,b\r\n");
    FileList lf, crlf;
    ASSERT_TRUE(lf.ReadFileList((dir / L"lf.dat").c_str()));
    ASSERT_TRUE(crlf.ReadFileList((dir / L"crlf.dat").c_str()));
    ASSERT_EQ(lf.entries.size(), 2u);
    ASSERT_EQ(crlf.entries.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(FormatFileEntry(lf.entries[i]), FormatFileEntry(crlf.entries[i]));
    }
}

TEST(FileList, ReportsOnlyOpenAndCreateFailures) {
    TempDir dir;
    FileList list;
    list.entries.push_back({1, 2, 3, 0, L"stale"});
    EXPECT_FALSE(list.ReadFileList((dir / L"missing.dat").c_str()));
    EXPECT_TRUE(list.entries.empty());
    WriteFileBytes(dir / L"junk.dat", "junk\nmore junk\n");
    EXPECT_TRUE(list.ReadFileList((dir / L"junk.dat").c_str()));
    EXPECT_TRUE(list.entries.empty());
    EXPECT_FALSE(list.WriteFileList((dir / L"no\\such\\dir\\x.dat").c_str()));
    WriteFileBytes(dir / L"empty.dat", "");
    EXPECT_TRUE(list.ReadFileList((dir / L"empty.dat").c_str()));
    EXPECT_TRUE(list.entries.empty());
}

// A writer whose bytes are not taken (here a file open for reading only, as a full disk
// would refuse them) fails the list, whether a line or the closing flush fails, and
// leaves no list behind.
TEST(FileList, AListThatIsNotWrittenWholeFailsAndIsRemoved) {
    TempDir dir;
    const std::wstring path = dir / L"downlist.dat";
    for (const size_t count : {size_t{1}, size_t{500}}) {
        WriteFileBytes(path, "previous\n");
        FileList list;
        list.entries.assign(count, {1, 2, 3, 0, L"sub\\file.dll"});
        TextLineFile file;
        ASSERT_TRUE(file.Open(path.c_str(), L"rb"));
        EXPECT_FALSE(list.WriteOpenFile(file, path.c_str())) << count;
        EXPECT_FALSE(file.IsOpen());
        EXPECT_FALSE(test::FileExists(path)) << count;
    }
    // Nothing to write still has to close.
    WriteFileBytes(path, "previous\n");
    TextLineFile file;
    ASSERT_TRUE(file.Open(path.c_str(), L"rb"));
    EXPECT_TRUE(FileList{}.WriteOpenFile(file, path.c_str()));
    EXPECT_FALSE(file.IsOpen());
    TextLineFile closed;
    EXPECT_FALSE(closed.Finish());
    EXPECT_FALSE(FileList{}.WriteOpenFile(closed, path.c_str()));
    EXPECT_FALSE(test::FileExists(path));
}

TEST(FileCrc32, MatchesZlibOverTheSameBytes) {
    TempDir dir;
    std::string bytes;
    for (int i = 0; i < 100000; ++i) {
        bytes.push_back(static_cast<char>(i * 7 + i / 13));
    }
    WriteFileBytes(dir / L"data.bin", bytes);
    const uLong expected =
        crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size()));
    EXPECT_EQ(FileCrc32((dir / L"data.bin").c_str()), expected);
    WriteFileBytes(dir / L"abc.txt", "123456789");
    EXPECT_EQ(FileCrc32((dir / L"abc.txt").c_str()), 0xCBF43926u);  // the CRC-32 check value
}

TEST(FileCrc32, GivesZeroForWhatItCannotRead) {
    TempDir dir;
    EXPECT_EQ(FileCrc32(nullptr), 0u);
    EXPECT_EQ(FileCrc32(L""), 0u);
    EXPECT_EQ(FileCrc32((dir / L"missing.bin").c_str()), 0u);
    WriteFileBytes(dir / L"empty.bin", "");
    EXPECT_EQ(FileCrc32((dir / L"empty.bin").c_str()), 0u);
    EXPECT_EQ(FileCrc32(dir.path().c_str()), 0u);  // a directory
    // A path one character past MAX_PATH is refused, not cut to an existing file.
    const std::wstring long_path = dir / (std::wstring(MAX_PATH, L'x'));
    WriteFileBytes(dir / L"x", "data");
    EXPECT_EQ(FileCrc32(long_path.c_str()), 0u);
}

TEST(FileCrc32, RefusesFilesOverOneGibibyte) {
    TempDir dir;
    const std::wstring path = dir / L"big.bin";
    {
        // Sparse, so the test neither writes nor reads a gigabyte.
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        DWORD returned = 0;
        DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
        LARGE_INTEGER size;
        size.QuadPart = (1ll << 30) + 1;
        SetFilePointerEx(file, size, nullptr, FILE_BEGIN);
        SetEndOfFile(file);
        CloseHandle(file);
    }
    EXPECT_EQ(FileCrc32(path.c_str()), 0u);
}

TEST(BuildDownloadList, ListsEntriesWhoseInstalledFileDiffers) {
    TempDir dir;
    WriteFileBytes(dir / L"same.txt", "same");
    WriteFileBytes(dir / L"changed.txt", "old");
    WriteFileBytes(dir / L"empty.txt", "");
    const uint32_t same_crc = FileCrc32((dir / L"same.txt").c_str());
    FileList list;
    list.entries = {{same_crc, 1, 0, 0, L"same.txt"},
                    {12345, 2, 0, 0, L"changed.txt"},
                    {777, 3, 0, 1, L"sub\\new.txt"},
                    {0, 4, 0, 0, L"empty.txt"},
                    {0, 5, 0, 0, L"missing-but-listed-as-empty.txt"}};
    const FileList download = BuildDownloadList(list, dir.path());
    ASSERT_EQ(download.entries.size(), 2u);
    EXPECT_EQ(download.entries[0].name, L"changed.txt");
    EXPECT_EQ(download.entries[1].name, L"sub\\new.txt");
    EXPECT_EQ(download.entries[1].zipped, 1);
}

}  // namespace
}  // namespace qv
