// Extracting items into files and directories.

#include "archive/zip_reader.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tests/archive/archive_test_util.h"
#include "win/file_system.h"
#include "win/unique_handle.h"

namespace qv {
namespace {

using test::AsInt64;
using test::Entry;
using test::kLocalOffset;
using test::Narrow;
using test::Open;
using test::OwnedArchive;
using test::ReadFileBytes;
using test::TempDir;
using test::UtcFileTime;
using test::WriteZip;
using test::ZipEntry;
using test::ZipLayout;

ZipLayout OneItem(const ZipEntry& entry) {
    ZipLayout layout;
    layout.entries = {entry};
    return layout;
}

struct FileTimes {
    int64_t creation, access, modification;
};

// Read through a handle without data access, so that reading cannot move the access time.
FileTimes TimesOf(const std::wstring& path) {
    UniqueFileHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    FILETIME creation = {}, access = {}, modification = {};
    EXPECT_TRUE(file && GetFileTime(file.get(), &creation, &access, &modification));
    return {AsInt64(creation), AsInt64(access), AsInt64(modification)};
}

int64_t Now() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return AsInt64(now);
}

// Restores the process's current directory when it goes.
class CurrentDirectoryGuard {
public:
    CurrentDirectoryGuard() { GetCurrentDirectoryW(MAX_PATH, saved_); }
    ~CurrentDirectoryGuard() { SetCurrentDirectoryW(saved_); }
    CurrentDirectoryGuard(const CurrentDirectoryGuard&) = delete;
    CurrentDirectoryGuard& operator=(const CurrentDirectoryGuard&) = delete;

private:
    wchar_t saved_[MAX_PATH] = {};
};

TEST(ArchiveExtract, StoredDeflatedEmptyAndMultiChunkItems) {
    TempDir dir;
    ZipLayout layout;
    layout.entries = {Entry("stored.txt", "stored bytes", 0),
                      Entry("deflated.txt", "deflated bytes"),
                      Entry("empty.txt", "", 0),
                      Entry("empty-deflated.txt", ""),
                      Entry("big-deflated.bin", test::TextLikeBytes(200000, 1)),
                      Entry("big-stored.bin", test::TextLikeBytes(50000, 2), 0)};
    OwnedArchive archive = Open(WriteZip(dir, L"a.zip", layout));
    ASSERT_TRUE(archive);
    for (size_t i = 0; i < layout.entries.size(); ++i) {
        SCOPED_TRACE(layout.entries[i].name);
        const std::wstring target = dir / test::Widen(layout.entries[i].name);
        ASSERT_EQ(ArchiveExtractToFile(archive.get(), static_cast<int32_t>(i), target.c_str()),
                  ARCHIVE_OK);
        bool read = false;
        EXPECT_EQ(ReadFileBytes(target, &read), layout.entries[i].data);
        EXPECT_TRUE(read);
    }
    // Out of range, and no target.
    EXPECT_EQ(ArchiveExtractToFile(archive.get(), -1, (dir / L"x").c_str()),
              ARCHIVE_E_BAD_ARGUMENTS);
    EXPECT_EQ(ArchiveExtractToFile(archive.get(), 6, (dir / L"x").c_str()),
              ARCHIVE_E_BAD_ARGUMENTS);
    EXPECT_EQ(ArchiveExtractToFile(archive.get(), 0, nullptr), ARCHIVE_E_BAD_ARGUMENTS);
    EXPECT_FALSE(test::FileExists(dir / L"x"));
}

TEST(ArchiveExtract, CreatesEveryMissingDirectoryOfTheTarget) {
    TempDir dir;
    OwnedArchive archive = Open(WriteZip(dir, L"a.zip", OneItem(Entry("a.txt", "content"))));
    ASSERT_TRUE(archive);
    const std::wstring backslashed = dir / L"one\\two\\three\\a.txt";
    ASSERT_EQ(ArchiveExtractToFile(archive.get(), 0, backslashed.c_str()), ARCHIVE_OK);
    EXPECT_EQ(ReadFileBytes(backslashed), "content");
    const std::wstring slashed = dir.path() + L"/four/five/b.txt";
    ASSERT_EQ(ArchiveExtractToFile(archive.get(), 0, slashed.c_str()), ARCHIVE_OK);
    EXPECT_EQ(ReadFileBytes(dir / L"four\\five\\b.txt"), "content");
}

TEST(ArchiveExtract, ReplacesAnExistingFileButNotAReadOnlyOne) {
    TempDir dir;
    OwnedArchive archive = Open(WriteZip(dir, L"a.zip", OneItem(Entry("a.txt", "new"))));
    ASSERT_TRUE(archive);
    const std::wstring existing = dir / L"existing.txt";
    ASSERT_TRUE(test::WriteFileBytes(existing, "a much longer old content"));
    ASSERT_EQ(ArchiveExtractToFile(archive.get(), 0, existing.c_str()), ARCHIVE_OK);
    EXPECT_EQ(ReadFileBytes(existing), "new");

    const std::wstring locked = dir / L"locked.txt";
    ASSERT_TRUE(test::WriteFileBytes(locked, "keep me"));
    ASSERT_TRUE(SetFileAttributesW(locked.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(ArchiveExtractToFile(archive.get(), 0, locked.c_str()), ARCHIVE_E_OPEN_FILE);
    EXPECT_EQ(ReadFileBytes(locked), "keep me");
    EXPECT_TRUE(GetFileAttributesW(locked.c_str()) & FILE_ATTRIBUTE_READONLY);
}

TEST(ArchiveExtract, RelativeTargetsLandUnderTheCurrentDirectoryOfTheOpen) {
    TempDir base;
    TempDir elsewhere;
    ZipLayout layout;
    layout.entries = {Entry("a.txt", "relative"), Entry("d/", "", 0)};
    layout.entries[1].external_attributes = FILE_ATTRIBUTE_DIRECTORY;
    const std::wstring path = WriteZip(base, L"a.zip", layout);
    CurrentDirectoryGuard guard;
    ASSERT_TRUE(SetCurrentDirectoryW(base.path().c_str()));
    OwnedArchive archive = Open(path);
    ASSERT_TRUE(archive);
    // Later changes of the current directory do not move the base.
    ASSERT_TRUE(SetCurrentDirectoryW(elsewhere.path().c_str()));
    ASSERT_EQ(ArchiveExtractToFile(archive.get(), 0, L"sub\\x.txt"), ARCHIVE_OK);
    ASSERT_EQ(ArchiveExtractToFile(archive.get(), 0, L"plain.txt"), ARCHIVE_OK);
    ASSERT_EQ(ArchiveExtractToFile(archive.get(), 0, L"deep/er/y.txt"), ARCHIVE_OK);
    ASSERT_EQ(ArchiveExtractToFile(archive.get(), 1, L"made\\dir\\"), ARCHIVE_OK);
    EXPECT_EQ(ReadFileBytes(base / L"sub\\x.txt"), "relative");
    EXPECT_EQ(ReadFileBytes(base / L"plain.txt"), "relative");
    EXPECT_EQ(ReadFileBytes(base / L"deep\\er\\y.txt"), "relative");
    EXPECT_TRUE(test::DirectoryExists(base / L"made\\dir"));
    EXPECT_FALSE(test::FileExists(elsewhere / L"plain.txt"));
}

TEST(ArchiveExtract, DirectoryItemCreatesTheWholeDirectoryPath) {
    TempDir dir;
    ZipEntry directory = Entry("folder/", "", 0);
    directory.version_made_by = 3 << 8 | 30;
    directory.external_attributes = 040755u << 16;
    OwnedArchive archive = Open(WriteZip(dir, L"a.zip", OneItem(directory)));
    ASSERT_TRUE(archive);
    ASSERT_EQ(ArchiveExtractToFile(archive.get(), 0, (dir / L"p\\q\\r\\").c_str()), ARCHIVE_OK);
    EXPECT_TRUE(test::DirectoryExists(dir / L"p\\q\\r"));
    // Again over the existing directory, with the other separator.
    EXPECT_EQ(ArchiveExtractToFile(archive.get(), 0, (dir.path() + L"/p/q/r/").c_str()),
              ARCHIVE_OK);
    // A file in the way: the directory cannot be made, and that is not success.
    ASSERT_TRUE(test::WriteFileBytes(dir / L"blocker", "x"));
    EXPECT_EQ(ArchiveExtractToFile(archive.get(), 0, (dir / L"blocker\\").c_str()),
              ARCHIVE_E_OPEN_FILE);
    EXPECT_EQ(ArchiveExtractToFile(archive.get(), 0, (dir / L"blocker\\sub\\").c_str()),
              ARCHIVE_E_OPEN_FILE);
}

// A directory where a file was wanted would stay there and block that file for good.
TEST(ArchiveExtract, DirectoryItemToAFilePathFailsAndLeavesNothing) {
    TempDir dir;
    ZipEntry unix_directory = Entry("folder/", "", 0);
    unix_directory.version_made_by = 3 << 8 | 30;
    unix_directory.external_attributes = 040755u << 16;
    ZipEntry dos_directory = Entry("folder\\", "", 0);
    dos_directory.external_attributes = FILE_ATTRIBUTE_DIRECTORY;
    ZipLayout layout;
    layout.entries = {unix_directory, dos_directory};
    OwnedArchive archive = Open(WriteZip(dir, L"a.zip", layout));
    ASSERT_TRUE(archive);
    for (int32_t index : {0, 1}) {
        for (const wchar_t* target : {L"staged.dll", L"new\\staged.dll", L"new/staged"}) {
            SCOPED_TRACE(Narrow(target));
            EXPECT_EQ(ArchiveExtractToFile(archive.get(), index, (dir / target).c_str()),
                      ARCHIVE_E_ITEM_NOT_FOUND);
            EXPECT_FALSE(PathExists((dir / target).c_str()));
        }
    }
    EXPECT_FALSE(PathExists((dir / L"new").c_str()));
    // An existing file at the path is left alone.
    ASSERT_TRUE(test::WriteFileBytes(dir / L"staged.dll", "old"));
    EXPECT_EQ(ArchiveExtractToFile(archive.get(), 0, (dir / L"staged.dll").c_str()),
              ARCHIVE_E_ITEM_NOT_FOUND);
    EXPECT_EQ(ReadFileBytes(dir / L"staged.dll"), "old");
}

// The archive's attributes are reported, but never given to the extracted file: a
// read-only file could not be replaced or deleted later, and hidden or system bits do
// not belong in an installation.
TEST(ArchiveExtract, ExtractedFilesGetNormalAttributes) {
    struct Case {
        const char* name;
        uint16_t version_made_by;
        uint32_t external_attributes;
        uint32_t reported;  // besides the archive bit
    };
    const Case cases[] = {
        {"dos-read-only", 20, FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY},
        {"dos-hidden", 20, FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_HIDDEN},
        {"dos-system", 20, FILE_ATTRIBUTE_SYSTEM, FILE_ATTRIBUTE_SYSTEM},
        {"dos-all", 20, 0x07, 0x07},
        {"unix-0444", 3 << 8 | 30, 0100444u << 16, FILE_ATTRIBUTE_READONLY},
        {"unix-0555", 3 << 8 | 30, 0100555u << 16, FILE_ATTRIBUTE_READONLY},
    };
    constexpr DWORD kUnwanted = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY;
    TempDir dir;
    ZipLayout layout;
    for (const Case& c : cases) {
        ZipEntry entry = Entry(c.name, std::string("data of ") + c.name);
        entry.version_made_by = c.version_made_by;
        entry.external_attributes = c.external_attributes | FILE_ATTRIBUTE_ARCHIVE;
        layout.entries.push_back(entry);
    }
    OwnedArchive archive = Open(WriteZip(dir, L"a.zip", layout));
    ASSERT_TRUE(archive);
    for (int32_t i = 0; i < static_cast<int32_t>(layout.entries.size()); ++i) {
        SCOPED_TRACE(cases[i].name);
        ArchiveItem item;
        ASSERT_EQ(ArchiveGetItem(archive.get(), i, &item), ARCHIVE_OK);
        EXPECT_EQ(item.attributes & kUnwanted, cases[i].reported);
        const std::wstring target = dir / test::Widen(cases[i].name);
        ASSERT_EQ(ArchiveExtractToFile(archive.get(), i, target.c_str()), ARCHIVE_OK);
        const DWORD attributes = GetFileAttributesW(target.c_str());
        ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(attributes & kUnwanted, 0u);
        EXPECT_EQ(ReadFileBytes(target), layout.entries[i].data);
        // Extracted again over itself, as a later run does.
        EXPECT_EQ(ArchiveExtractToFile(archive.get(), i, target.c_str()), ARCHIVE_OK);
        EXPECT_TRUE(DeleteFileW(target.c_str()));
    }
}

// Data that is not what the item's CRC-32 says: the extraction fails, and no file is
// left that could pass for the item, whatever was at the target before.
TEST(ArchiveExtract, DataThatDoesNotMatchItsCrcFailsAndLeavesNoFile) {
    const std::string big = test::TextLikeBytes(60000, 6);
    struct Case {
        const char* name;
        uint16_t method;
        const char* password;
        bool flip_data;  // else the CRC-32 field is wrong
    };
    const Case cases[] = {
        {"stored-wrong-crc", 0, nullptr, false}, {"deflated-wrong-crc", 8, nullptr, false},
        {"stored-wrong-data", 0, nullptr, true}, {"deflated-wrong-data", 8, nullptr, true},
        {"encrypted-stored", 0, "pass", false},  {"encrypted-deflated", 8, "pass", false},
    };
    TempDir dir;
    ZipLayout layout;
    for (const Case& c : cases) {
        ZipEntry entry = Entry(c.name, big, c.method);
        entry.password =
            c.password != nullptr ? std::optional<std::string>(c.password) : std::nullopt;
        if (c.flip_data) {
            std::string changed = big;
            changed[40000] ^= 0x20;
            entry.payload = c.method == 8 ? test::Deflate(changed) : changed;
        } else {
            entry.crc = test::Crc32(big) ^ 0x00010000;
        }
        layout.entries.push_back(entry);
    }
    const std::wstring path = WriteZip(dir, L"a.zip", layout);
    OwnedArchive archive = Open(path, "pass");
    ASSERT_TRUE(archive);
    for (int32_t i = 0; i < static_cast<int32_t>(layout.entries.size()); ++i) {
        SCOPED_TRACE(cases[i].name);
        const std::wstring fresh = dir / (test::Widen(cases[i].name) + L".new");
        EXPECT_EQ(ArchiveExtractToFile(archive.get(), i, fresh.c_str()), ARCHIVE_E_CORRUPT);
        EXPECT_FALSE(PathExists(fresh.c_str()));
        const std::wstring existing = dir / test::Widen(cases[i].name);
        ASSERT_TRUE(test::WriteFileBytes(existing, "an earlier copy"));
        EXPECT_EQ(ArchiveExtractToFile(archive.get(), i, existing.c_str()), ARCHIVE_E_CORRUPT);
        EXPECT_FALSE(PathExists(existing.c_str()));
    }
    EXPECT_EQ(ArchiveResultText(ARCHIVE_LAST_RESULT, nullptr, 0), 35u);
}

TEST(ArchiveExtract, FileGetsTheItemsTimesAndAttributes) {
    TempDir dir;
    ZipLayout layout;
    ZipEntry unix_read_only = Entry("ro.txt", "read only");
    unix_read_only.version_made_by = 3 << 8 | 30;
    unix_read_only.external_attributes = 0100444u << 16;
    unix_read_only.local_extra = test::ExtendedTimestampBlock(1, {1600000000});
    ZipEntry dos_hidden = Entry("hidden.txt", "hidden");
    dos_hidden.external_attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE;
    ZipEntry all_times = Entry("all.txt", "all");
    all_times.local_extra = test::ExtendedTimestampBlock(7, {1600000000, 1000000000, 1500000000});
    layout.entries = {unix_read_only, dos_hidden, all_times};
    OwnedArchive archive = Open(WriteZip(dir, L"a.zip", layout));
    ASSERT_TRUE(archive);
    const int64_t dos_local = UtcFileTime(2021, 6, 15, 12, 35, 10) - kLocalOffset;
    // Wine on a Linux file system keeps no creation time of its own.
    const bool creation_kept = !test::RunningUnderWine();

    const std::wstring ro = dir / L"ro.txt";
    ASSERT_EQ(ArchiveExtractToFile(archive.get(), 0, ro.c_str()), ARCHIVE_OK);
    FileTimes times = TimesOf(ro);
    EXPECT_EQ(times.modification, UtcFileTime(2020, 9, 13, 12, 26, 40));
    EXPECT_EQ(times.access, dos_local);
    if (creation_kept) {
        EXPECT_EQ(times.creation, dos_local);
    }
    // The archive's attributes are not applied (see ExtractedFilesGetNormalAttributes).
    EXPECT_EQ(GetFileAttributesW(ro.c_str()) & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN),
              0u);
    EXPECT_EQ(ReadFileBytes(ro), "read only");

    const std::wstring hidden = dir / L"hidden.txt";
    ASSERT_EQ(ArchiveExtractToFile(archive.get(), 1, hidden.c_str()), ARCHIVE_OK);
    times = TimesOf(hidden);
    EXPECT_EQ(times.modification, dos_local);
    EXPECT_EQ(times.access, dos_local);
    EXPECT_EQ(
        GetFileAttributesW(hidden.c_str()) & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN), 0u);

    const std::wstring all = dir / L"all.txt";
    ASSERT_EQ(ArchiveExtractToFile(archive.get(), 2, all.c_str()), ARCHIVE_OK);
    times = TimesOf(all);
    EXPECT_EQ(times.modification, UtcFileTime(2020, 9, 13, 12, 26, 40));
    EXPECT_EQ(times.access, UtcFileTime(2001, 9, 9, 1, 46, 40));
    if (creation_kept) {
        EXPECT_EQ(times.creation, UtcFileTime(2017, 7, 14, 2, 40, 0));
    }
}

TEST(ArchiveExtract, CorruptOrTruncatedDataFailsWithInflateAndLeavesThePartialFile) {
    TempDir dir;
    const std::string big = test::TextLikeBytes(400000, 5);
    const std::string deflated = test::Deflate(big);
    ZipLayout layout;
    // The deflate stream is cut in the middle: the first chunks come out, then the
    // inflater runs out of input.
    ZipEntry cut = Entry("cut.bin", big);
    cut.payload = deflated.substr(0, deflated.size() / 2);
    ZipEntry garbage = Entry("garbage.bin", "whatever");
    garbage.payload = std::string("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8);
    // The compressed data would run past the end of the file.
    ZipEntry beyond = Entry("beyond.bin", "tiny", 0);
    beyond.compressed_size = 0x00100000;
    beyond.uncompressed_size = 0x00100000;
    layout.entries = {cut, garbage, beyond};
    OwnedArchive archive = Open(WriteZip(dir, L"a.zip", layout));
    ASSERT_TRUE(archive);

    const int64_t before = Now();
    const std::wstring partial = dir / L"cut.bin";
    EXPECT_EQ(ArchiveExtractToFile(archive.get(), 0, partial.c_str()), ARCHIVE_E_INFLATE);
    bool read = false;
    const std::string written = ReadFileBytes(partial, &read);
    ASSERT_TRUE(read);
    EXPECT_GE(written.size(), 16384u);
    EXPECT_LT(written.size(), big.size());
    EXPECT_EQ(written, big.substr(0, written.size()));
    // The item's times were not applied.
    EXPECT_GE(TimesOf(partial).modification, before - 10 * 10000000LL);

    EXPECT_EQ(ArchiveExtractToFile(archive.get(), 1, (dir / L"garbage.bin").c_str()),
              ARCHIVE_E_INFLATE);
    EXPECT_EQ(ArchiveExtractToFile(archive.get(), 2, (dir / L"beyond.bin").c_str()),
              ARCHIVE_E_INFLATE);
    EXPECT_TRUE(test::FileExists(dir / L"beyond.bin"));
    EXPECT_EQ(ArchiveResultText(ARCHIVE_LAST_RESULT, nullptr, 0), 41u);
    // The handle still works.
    ASSERT_EQ(ArchiveExtractToFile(archive.get(), 1, (dir / L"again.bin").c_str()),
              ARCHIVE_E_INFLATE);
}

TEST(ArchiveExtract, NeverWritesMoreThanTheDeclaredSize) {
    TempDir dir;
    const std::string big = test::TextLikeBytes(100000, 8);
    // The CRC-32 is that of the declared bytes, which are all that is extracted.
    ZipEntry deflated = Entry("more.bin", big);
    deflated.uncompressed_size = 1000;
    deflated.crc = test::Crc32(big.substr(0, 1000));
    ZipEntry stored = Entry("more-stored.bin", big.substr(0, 5000), 0);
    stored.uncompressed_size = 10;
    stored.crc = test::Crc32(big.substr(0, 10));
    ZipLayout layout;
    layout.entries = {deflated, stored};
    OwnedArchive archive = Open(WriteZip(dir, L"a.zip", layout));
    ASSERT_TRUE(archive);
    // The declared bytes are all there: that is the end of the item.
    EXPECT_EQ(ArchiveExtractToFile(archive.get(), 0, (dir / L"more.bin").c_str()), ARCHIVE_OK);
    EXPECT_EQ(ReadFileBytes(dir / L"more.bin"), big.substr(0, 1000));
    EXPECT_EQ(ArchiveExtractToFile(archive.get(), 1, (dir / L"more-stored.bin").c_str()),
              ARCHIVE_OK);
    EXPECT_EQ(ReadFileBytes(dir / L"more-stored.bin"), big.substr(0, 10));
}

TEST(ArchiveExtract, EncryptedItemsNeedTheRightCheckByte) {
    TempDir dir;
    const std::string text = test::TextLikeBytes(30000, 4);
    ZipEntry by_crc = Entry("crc.txt", text);
    by_crc.password = "pass";
    // With the sizes after the data, the check byte is bits 8-15 of the DOS time.
    ZipEntry by_time = Entry("time.txt", text, 0);
    by_time.password = "pass";
    by_time.flag = 8;
    ZipEntry time_with_crc_byte = by_time;
    time_with_crc_byte.name = "wrong-byte.txt";
    time_with_crc_byte.check_byte = static_cast<uint8_t>(test::Crc32(text) >> 24);
    ZipEntry empty = Entry("empty.txt", "");
    empty.password = "pass";
    ZipEntry plain = Entry("plain.txt", "not encrypted");
    ZipLayout layout;
    layout.entries = {by_crc, by_time, time_with_crc_byte, empty, plain};
    ASSERT_NE(test::Crc32(text) >> 24, (by_time.dos_stamp >> 8) & 0xFF);
    const std::wstring path = WriteZip(dir, L"a.zip", layout);

    OwnedArchive right = Open(path, "pass");
    ASSERT_TRUE(right);
    for (int32_t i : {0, 1, 3, 4}) {
        SCOPED_TRACE(layout.entries[i].name);
        const std::wstring target = dir / (L"right\\" + test::Widen(layout.entries[i].name));
        ASSERT_EQ(ArchiveExtractToFile(right.get(), i, target.c_str()), ARCHIVE_OK);
        EXPECT_EQ(ReadFileBytes(target), layout.entries[i].data);
    }
    EXPECT_EQ(ArchiveExtractToFile(right.get(), 2, (dir / L"wrong-byte.txt").c_str()),
              ARCHIVE_E_PASSWORD);

    OwnedArchive none = Open(path);
    OwnedArchive wrong = Open(path, "Pass");
    ASSERT_TRUE(none && wrong);
    for (ArchiveHandle archive : {none.get(), wrong.get()}) {
        for (int32_t i : {0, 1, 3}) {
            SCOPED_TRACE(layout.entries[i].name);
            const std::wstring target = dir / (L"failed\\" + test::Widen(layout.entries[i].name));
            EXPECT_EQ(ArchiveExtractToFile(archive, i, target.c_str()), ARCHIVE_E_PASSWORD);
            // The target was created before the first read, and stays, empty.
            bool read = false;
            EXPECT_EQ(ReadFileBytes(target, &read), "");
            EXPECT_TRUE(read);
        }
        ASSERT_EQ(ArchiveExtractToFile(archive, 4, (dir / L"plain.txt").c_str()), ARCHIVE_OK);
        EXPECT_EQ(ReadFileBytes(dir / L"plain.txt"), "not encrypted");
    }
    wchar_t text_buffer[32];
    EXPECT_EQ(ArchiveExtractToFile(none.get(), 0, (dir / L"x.txt").c_str()), ARCHIVE_E_PASSWORD);
    ArchiveResultText(ARCHIVE_LAST_RESULT, text_buffer, 32);
    EXPECT_STREQ(text_buffer, L"Correct password required");
}

TEST(ArchiveExtract, CursorFollowsTheRequestedItemAfterFailuresAndCachedGets) {
    TempDir dir;
    ZipEntry broken = Entry("broken.txt", "broken");
    broken.local_signature = 0;
    ZipLayout layout;
    layout.entries = {Entry("zero.txt", "zero"), broken, Entry("two.txt", "two")};
    OwnedArchive archive = Open(WriteZip(dir, L"a.zip", layout));
    ASSERT_TRUE(archive);
    ArchiveItem item;
    ASSERT_EQ(ArchiveGetItem(archive.get(), 0, &item), ARCHIVE_OK);
    // The cursor now stands on item 1, while the cache still holds item 0.
    ASSERT_EQ(ArchiveGetItem(archive.get(), 1, &item), ARCHIVE_E_CORRUPT);
    ASSERT_EQ(ArchiveExtractToFile(archive.get(), 0, (dir / L"zero.txt").c_str()), ARCHIVE_OK);
    EXPECT_EQ(ReadFileBytes(dir / L"zero.txt"), "zero");
    ASSERT_EQ(ArchiveGetItem(archive.get(), 2, &item), ARCHIVE_OK);
    ASSERT_EQ(ArchiveExtractToFile(archive.get(), 0, (dir / L"zero2.txt").c_str()), ARCHIVE_OK);
    EXPECT_EQ(ReadFileBytes(dir / L"zero2.txt"), "zero");
    ASSERT_EQ(ArchiveExtractToFile(archive.get(), 2, (dir / L"two.txt").c_str()), ARCHIVE_OK);
    EXPECT_EQ(ReadFileBytes(dir / L"two.txt"), "two");
}

TEST(ArchiveExtract, TargetsThatDoNotFitAreRefusedBeforeAnythingIsCreated) {
    TempDir dir;
    OwnedArchive archive = Open(WriteZip(dir, L"a.zip", OneItem(Entry("a.txt", "x"))));
    ASSERT_TRUE(archive);
    // dir\sub\<name>: exactly MAX_PATH - 1 characters fit, one more does not.
    const std::wstring prefix = dir / L"sub\\";
    const size_t room = MAX_PATH - 1 - prefix.size();
    const std::wstring fits = prefix + std::wstring(room, L'f');
    const std::wstring too_long = prefix + std::wstring(room + 1, L'g');
    EXPECT_EQ(ArchiveExtractToFile(archive.get(), 0, too_long.c_str()), ARCHIVE_E_NAME_TOO_LONG);
    EXPECT_FALSE(test::DirectoryExists(dir / L"sub"));
    ASSERT_EQ(ArchiveExtractToFile(archive.get(), 0, fits.c_str()), ARCHIVE_OK);
    EXPECT_EQ(ReadFileBytes(fits), "x");
    const std::wstring deep = dir / (std::wstring(200, L'd') + L"\\" + std::wstring(200, L'e'));
    EXPECT_EQ(ArchiveExtractToFile(archive.get(), 0, deep.c_str()), ARCHIVE_E_NAME_TOO_LONG);
    EXPECT_FALSE(test::DirectoryExists(dir / std::wstring(200, L'd')));

    // Relative: base directory and target together.
    CurrentDirectoryGuard guard;
    ASSERT_TRUE(SetCurrentDirectoryW(dir.path().c_str()));
    OwnedArchive relative = Open(dir / L"a.zip");
    ASSERT_TRUE(relative);
    const std::wstring rel_too_long = std::wstring(MAX_PATH - dir.path().size() - 1, L'r');
    EXPECT_EQ(ArchiveExtractToFile(relative.get(), 0, rel_too_long.c_str()),
              ARCHIVE_E_NAME_TOO_LONG);
    const std::wstring rel_fits = rel_too_long.substr(1);
    ASSERT_EQ(ArchiveExtractToFile(relative.get(), 0, rel_fits.c_str()), ARCHIVE_OK);
    EXPECT_EQ(ReadFileBytes(dir / rel_fits), "x");
}

TEST(ArchiveExtract, WriteFailureGivesWriteFile) {
    // /dev/full takes the open and refuses every write: under Wine it is Z:\dev\full.
    if (!test::RunningUnderWine()) {
        GTEST_SKIP() << "needs Wine's view of /dev/full";
    }
    TempDir dir;
    OwnedArchive archive = Open(WriteZip(dir, L"a.zip", OneItem(Entry("a.txt", "data"))));
    ASSERT_TRUE(archive);
    EXPECT_EQ(ArchiveExtractToFile(archive.get(), 0, L"Z:\\dev\\full"), ARCHIVE_E_WRITE_FILE);
    wchar_t text[32];
    ArchiveResultText(ARCHIVE_LAST_RESULT, text, 32);
    EXPECT_STREQ(text, L"Error writing to file");
}

}  // namespace
}  // namespace qv
