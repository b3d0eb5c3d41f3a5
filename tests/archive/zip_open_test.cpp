// Opening archives, the last result and its text, handle checks, and item records.

#include "archive/zip_reader.h"

#include <windows.h>

#include <gtest/gtest.h>
#include <zip.h>

#include <cstring>
#include <string>

#include "tests/archive/archive_test_util.h"
#include "win/unique_handle.h"

namespace qv {
namespace {

using test::AsInt64;
using test::BuildZip;
using test::Entry;
using test::kLocalOffset;
using test::Open;
using test::OwnedArchive;
using test::TempDir;
using test::UtcFileTime;
using test::WriteZip;
using test::ZipEntry;
using test::ZipLayout;

ZipLayout ThreeItems() {
    ZipLayout layout;
    layout.entries = {Entry("first.txt", "one"), Entry("second.txt", "two two", 0),
                      Entry("third.txt", test::TextLikeBytes(5000, 3))};
    return layout;
}

std::wstring LastResultText() {
    wchar_t text[64];
    ArchiveResultText(ARCHIVE_LAST_RESULT, text, 64);
    return text;
}

// The file can be opened with no sharing only when nobody holds it open.
bool HeldOpen(const std::wstring& path) {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return !file && GetLastError() == ERROR_SHARING_VIOLATION;
}

ArchiveItem GetOk(ArchiveHandle archive, int32_t index) {
    ArchiveItem item;
    EXPECT_EQ(ArchiveGetItem(archive, index, &item), ARCHIVE_OK) << "index " << index;
    return item;
}

TEST(ArchiveOpen, MissingPathAndNonZipFilesFailWithOpenFileAndNoHandle) {
    TempDir dir;
    ASSERT_TRUE(test::WriteFileBytes(dir / L"text.zip", std::string(5000, 'x')));
    ASSERT_TRUE(test::WriteFileBytes(dir / L"empty.zip", ""));
    // An end record that says the archive spans disks.
    ZipLayout spanned = ThreeItems();
    spanned.disk_number = 1;
    WriteZip(dir, L"spanned.zip", spanned);
    // A central directory that would reach past the end record.
    ZipLayout overlapping = ThreeItems();
    overlapping.central_offset_shift = 10;
    WriteZip(dir, L"overlap.zip", overlapping);

    for (const wchar_t* name :
         {L"missing.zip", L"text.zip", L"empty.zip", L"spanned.zip", L"overlap.zip"}) {
        SCOPED_TRACE(test::Narrow(name));
        EXPECT_EQ(ArchiveOpenFile((dir / name).c_str(), nullptr), nullptr);
        wchar_t text[64] = {};
        // Code 1 reads the last result.
        EXPECT_EQ(ArchiveResultText(ARCHIVE_LAST_RESULT, text, 64), 25u);
        EXPECT_STREQ(text, L"Couldn't create/open file");
        // The failed open closed the file again.
        if (test::FileExists(dir / name)) {
            EXPECT_FALSE(HeldOpen(dir / name));
        }
    }
    EXPECT_EQ(ArchiveOpenFile((dir / L"no such dir\\a.zip").c_str(), nullptr), nullptr);
    EXPECT_EQ(LastResultText(), L"Couldn't create/open file");
    EXPECT_EQ(ArchiveOpenFile(nullptr, nullptr), nullptr);
    EXPECT_EQ(LastResultText(), L"Caller: faulty arguments");
}

TEST(ArchiveOpen, SuccessClearsTheLastResultAndHoldsTheFileUntilClose) {
    TempDir dir;
    const std::wstring path = WriteZip(dir, L"a.zip", ThreeItems());
    EXPECT_EQ(ArchiveOpenFile((dir / L"missing.zip").c_str(), nullptr), nullptr);
    ArchiveHandle archive = ArchiveOpenFile(path.c_str(), nullptr);
    ASSERT_NE(archive, nullptr);
    EXPECT_EQ(LastResultText(), L"Success");
    EXPECT_TRUE(HeldOpen(path));
    // Others may still read it.
    EXPECT_EQ(test::ReadFileBytes(path), BuildZip(ThreeItems()));
    EXPECT_EQ(ArchiveClose(archive), ARCHIVE_OK);
    EXPECT_FALSE(HeldOpen(path));
}

TEST(ArchiveOpen, ArchiveWithoutItemsHasCountZeroAndNothingToExtract) {
    TempDir dir;
    ZipLayout commented;
    commented.comment = "nothing here";
    // The first is nothing but the 22-byte end record.
    for (const ZipLayout& layout : {ZipLayout{}, commented}) {
        SCOPED_TRACE(layout.comment);
        const std::wstring path = WriteZip(dir, L"empty.zip", layout);
        OwnedArchive archive = Open(path);
        ASSERT_TRUE(archive);
        ArchiveItem item;
        std::memset(&item, 0x5A, sizeof item);
        EXPECT_EQ(ArchiveGetItem(archive.get(), -1, &item), ARCHIVE_OK);
        EXPECT_EQ(item.index, 0);
        EXPECT_STREQ(item.name, L"");
        EXPECT_EQ(item.attributes, 0u);
        EXPECT_EQ(AsInt64(item.modification_time), 0);
        EXPECT_EQ(item.uncompressed_size, 0);
        EXPECT_EQ(ArchiveGetItem(archive.get(), 0, &item), ARCHIVE_E_BAD_ARGUMENTS);
        EXPECT_EQ(ArchiveExtractToFile(archive.get(), 0, (dir / L"out.txt").c_str()),
                  ARCHIVE_E_BAD_ARGUMENTS);
        EXPECT_FALSE(test::FileExists(dir / L"out.txt"));
    }
}

TEST(ArchiveOpen, FindsTheEndRecordBehindLongCommentsUpToTheLargest) {
    TempDir dir;
    for (size_t length : {1500u, 40000u, 65513u, 65514u, 65535u}) {
        SCOPED_TRACE(length);
        ZipLayout layout = ThreeItems();
        // A comment that itself looks like the start of records must not confuse.
        layout.comment = std::string(length, 'c');
        layout.comment.replace(length / 2, 4, "PK\x03\x04");
        const std::wstring path = WriteZip(dir, L"commented.zip", layout);
        OwnedArchive archive = Open(path);
        ASSERT_TRUE(archive);
        EXPECT_EQ(GetOk(archive.get(), -1).index, 3);
        ASSERT_EQ(ArchiveExtractToFile(archive.get(), 2, (dir / L"third.txt").c_str()), ARCHIVE_OK);
        EXPECT_EQ(test::ReadFileBytes(dir / L"third.txt"), test::TextLikeBytes(5000, 3));
    }
}

TEST(ArchiveOpen, DataBeforeTheArchiveIsSkipped) {
    TempDir dir;
    for (const ZipLayout& base : {ThreeItems(), ZipLayout{}}) {
        ZipLayout layout = base;
        layout.prefix = "MZ" + std::string(70000, '\x90');
        const std::wstring path = WriteZip(dir, L"stub.exe", layout);
        OwnedArchive archive = Open(path);
        ASSERT_TRUE(archive);
        const int32_t count = GetOk(archive.get(), -1).index;
        EXPECT_EQ(count, static_cast<int32_t>(base.entries.size()));
        for (int32_t i = count - 1; i >= 0; --i) {
            ASSERT_EQ(ArchiveExtractToFile(archive.get(), i, (dir / L"x.out").c_str()), ARCHIVE_OK);
            EXPECT_EQ(test::ReadFileBytes(dir / L"x.out"), base.entries[i].data);
        }
    }
}

TEST(ArchiveResultText, CutsToCapacityAndReturnsTheWholeLength) {
    wchar_t text[8];
    std::wmemset(text, L'#', 8);
    EXPECT_EQ(ArchiveResultText(ARCHIVE_OK, text, 5), 7u);
    EXPECT_STREQ(text, L"Succ");
    EXPECT_EQ(text[5], L'#');
    // Capacity 0 or no buffer: the length only, nothing written.
    EXPECT_EQ(ArchiveResultText(ARCHIVE_E_PASSWORD, text, 0), 25u);
    EXPECT_EQ(text[0], L'S');
    EXPECT_EQ(ArchiveResultText(ARCHIVE_E_PASSWORD, nullptr, 100), 25u);
    EXPECT_EQ(ArchiveResultText(ARCHIVE_E_PASSWORD, text, 1), 25u);
    EXPECT_STREQ(text, L"");
}

TEST(ArchiveResultText, CodesOutsideTheTableAreUnknown) {
    wchar_t text[32];
    EXPECT_EQ(ArchiveResultText(ARCHIVE_E_NAME_TOO_LONG, text, 32), 21u);
    EXPECT_STREQ(text, L"Name or path too long");
    EXPECT_EQ(ArchiveResultText(ARCHIVE_E_DUPLICATE_HANDLE, text, 32), 24u);
    EXPECT_STREQ(text, L"Culdn't duplicate handle");
    // Codes are single values, not sets of bits.
    for (ArchiveResult code :
         {0x00000002u, 0x00000201u, ARCHIVE_E_PASSWORD | ARCHIVE_E_OPEN_FILE, 0x80000000u}) {
        EXPECT_EQ(ArchiveResultText(code, text, 32), 23u);
        EXPECT_STREQ(text, L"unknown zip result code");
    }
}

TEST(ArchiveHandleCheck, NullAndWrongKindHandlesAreRejectedAndRecorded) {
    ArchiveItem item;
    std::memset(&item, 0x5A, sizeof item);
    EXPECT_EQ(ArchiveGetItem(nullptr, 0, &item), ARCHIVE_E_BAD_ARGUMENTS);
    EXPECT_EQ(item.index, 0);
    EXPECT_STREQ(item.name, L"");
    EXPECT_EQ(item.uncompressed_size, 0);
    EXPECT_EQ(LastResultText(), L"Caller: faulty arguments");

    ArchiveHandleRecord wrong{2, nullptr};
    std::memset(&item, 0x5A, sizeof item);
    EXPECT_EQ(ArchiveGetItem(&wrong, 0, &item), ARCHIVE_E_WRONG_MODE);
    EXPECT_EQ(item.index, 0);
    EXPECT_STREQ(item.name, L"");
    EXPECT_EQ(LastResultText(), L"Caller: mixing creation and opening of zip");

    TempDir dir;
    EXPECT_EQ(ArchiveExtractToFile(nullptr, 0, (dir / L"a").c_str()), ARCHIVE_E_BAD_ARGUMENTS);
    EXPECT_EQ(ArchiveExtractToFile(&wrong, 0, (dir / L"a").c_str()), ARCHIVE_E_WRONG_MODE);
    EXPECT_FALSE(test::FileExists(dir / L"a"));
    EXPECT_EQ(ArchiveClose(nullptr), ARCHIVE_E_BAD_ARGUMENTS);
    EXPECT_EQ(ArchiveClose(&wrong), ARCHIVE_E_WRONG_MODE);
    EXPECT_EQ(wrong.kind, 2u);
}

TEST(ArchiveGetItem, CountOutOfRangeIndicesAndRecordsInAnyOrder) {
    TempDir dir;
    OwnedArchive archive = Open(WriteZip(dir, L"a.zip", ThreeItems()));
    ASSERT_TRUE(archive);
    EXPECT_EQ(GetOk(archive.get(), -1).index, 3);
    ArchiveItem item;
    EXPECT_EQ(ArchiveGetItem(archive.get(), 3, &item), ARCHIVE_E_BAD_ARGUMENTS);
    EXPECT_EQ(ArchiveGetItem(archive.get(), -2, &item), ARCHIVE_E_BAD_ARGUMENTS);
    EXPECT_EQ(ArchiveGetItem(archive.get(), 0, nullptr), ARCHIVE_E_BAD_ARGUMENTS);
    // Forward, back to the start, the same index twice (the cached record), and -1 in
    // between, which leaves the cache alone.
    const ZipLayout layout = ThreeItems();
    for (int32_t index : {2, 0, 1, 1, -1, 1, 2, 2, 0}) {
        SCOPED_TRACE(index);
        item = GetOk(archive.get(), index);
        if (index == -1) {
            EXPECT_EQ(item.index, 3);
            continue;
        }
        const ZipEntry& entry = layout.entries[index];
        EXPECT_EQ(item.index, index);
        EXPECT_EQ(test::Narrow(item.name), entry.name);
        EXPECT_EQ(item.uncompressed_size, static_cast<int32_t>(entry.data.size()));
        const std::string stored = entry.method == 8 ? test::Deflate(entry.data) : entry.data;
        EXPECT_EQ(item.compressed_size, static_cast<int32_t>(stored.size()));
    }
}

TEST(ArchiveGetItem, RecordCarriesCleanedNameAttributesAndTimes) {
    TempDir dir;
    ZipLayout layout;
    ZipEntry drive = Entry("C:\\dir\\a.txt", "a");
    drive.external_attributes = 0x21;  // read-only, archive
    ZipEntry unix_entry = Entry("/dir/\xD0\xBA\xD0\xBD.txt", "b");
    unix_entry.version_made_by = 3 << 8 | 30;
    unix_entry.external_attributes = 0100444u << 16;
    unix_entry.local_extra = test::ExtendedTimestampBlock(1, {1600000000});
    ZipEntry parent = Entry("x\\..\\y\\b.txt", "c");
    parent.local_extra = test::ExtendedTimestampBlock(7, {1600000000, 1000000000, -86400});
    ZipEntry short_ut = Entry("\\dir\\a.txt", "d");
    short_ut.local_extra = test::ExtendedTimestampBlock(7, {1600000000});
    ZipEntry bad_date = Entry("bad-date.txt", "e");
    bad_date.dos_stamp = 0x520F6465;  // month 0
    layout.entries = {drive, unix_entry, parent, short_ut, bad_date};
    OwnedArchive archive = Open(WriteZip(dir, L"a.zip", layout));
    ASSERT_TRUE(archive);

    const int64_t dos_local = UtcFileTime(2021, 6, 15, 12, 35, 10) - kLocalOffset;
    const int64_t ut_2020 = UtcFileTime(2020, 9, 13, 12, 26, 40);

    ArchiveItem item = GetOk(archive.get(), 0);
    EXPECT_STREQ(item.name, L"dir\\a.txt");
    EXPECT_EQ(item.attributes,
              static_cast<uint32_t>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(AsInt64(item.modification_time), dos_local);
    EXPECT_EQ(AsInt64(item.access_time), dos_local);
    EXPECT_EQ(AsInt64(item.creation_time), dos_local);

    item = GetOk(archive.get(), 1);
    EXPECT_STREQ(item.name, L"dir/\x043A\x043D.txt");
    EXPECT_EQ(item.attributes,
              static_cast<uint32_t>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(AsInt64(item.modification_time), ut_2020);  // from "UT", as UTC
    EXPECT_EQ(AsInt64(item.access_time), dos_local);      // from the DOS stamp, as local
    EXPECT_EQ(AsInt64(item.creation_time), dos_local);

    item = GetOk(archive.get(), 2);
    EXPECT_STREQ(item.name, L"y\\b.txt");
    EXPECT_EQ(AsInt64(item.modification_time), ut_2020);
    EXPECT_EQ(AsInt64(item.access_time), UtcFileTime(2001, 9, 9, 1, 46, 40));
    EXPECT_EQ(AsInt64(item.creation_time), UtcFileTime(1969, 12, 31, 0, 0, 0));

    item = GetOk(archive.get(), 3);
    EXPECT_STREQ(item.name, L"dir\\a.txt");
    EXPECT_EQ(AsInt64(item.modification_time), ut_2020);
    EXPECT_EQ(AsInt64(item.access_time), dos_local);
    EXPECT_EQ(AsInt64(item.creation_time), dos_local);

    item = GetOk(archive.get(), 4);
    EXPECT_EQ(AsInt64(item.modification_time), UtcFileTime(1980, 1, 1, 0, 0, 0) - kLocalOffset);
}

TEST(ArchiveGetItem, CorruptLocalHeadersAndUnreadableExtraFields) {
    TempDir dir;
    ZipLayout layout;
    ZipEntry bad_signature = Entry("sig.txt", "a");
    bad_signature.local_signature = 0x04034b51;
    ZipEntry bad_method = Entry("method.txt", "b");
    bad_method.local_method = 0;
    ZipEntry bad_crc = Entry("crc.txt", "c");
    bad_crc.local_crc = 1;
    ZipEntry bad_name = Entry("name.txt", "d");
    bad_name.local_name_length = 7;
    ZipEntry bzip2 = Entry("bzip2.txt", "e", 0);
    bzip2.method = 12;
    // With the sizes after the data (flag bit 3), the local CRC is not compared.
    ZipEntry descriptor = Entry("descriptor.txt", "f");
    descriptor.flag = 8;
    descriptor.local_crc = 0;
    // The local extra field claims more bytes than the file holds.
    ZipEntry long_extra = Entry("extra.txt", "g");
    long_extra.local_extra_length = 0xFFFF;
    layout.entries = {bad_signature, bad_method, bad_crc, bad_name, bzip2, descriptor, long_extra};
    OwnedArchive archive = Open(WriteZip(dir, L"a.zip", layout));
    ASSERT_TRUE(archive);
    const ArchiveResult expected[] = {ARCHIVE_E_CORRUPT,  ARCHIVE_E_CORRUPT, ARCHIVE_E_CORRUPT,
                                      ARCHIVE_E_CORRUPT,  ARCHIVE_E_CORRUPT, ARCHIVE_OK,
                                      ARCHIVE_E_READ_FILE};
    for (int32_t i = 0; i < 7; ++i) {
        SCOPED_TRACE(layout.entries[i].name);
        ArchiveItem item;
        EXPECT_EQ(ArchiveGetItem(archive.get(), i, &item), expected[i]);
        // Extraction stops at the same point, before any target exists.
        const std::wstring target = dir / (L"out\\" + test::Widen(layout.entries[i].name));
        EXPECT_EQ(ArchiveExtractToFile(archive.get(), i, target.c_str()), expected[i]);
        EXPECT_EQ(test::FileExists(target), expected[i] == ARCHIVE_OK);
        EXPECT_EQ(ArchiveResultText(ARCHIVE_LAST_RESULT, nullptr, 0),
                  ArchiveResultText(expected[i], nullptr, 0));
    }
    // The handle stays usable after failures.
    EXPECT_EQ(GetOk(archive.get(), 5).index, 5);
}

TEST(ArchiveGetItem, NameLongerThanItsBufferIsRefused) {
    TempDir dir;
    ZipLayout layout;
    layout.entries = {Entry(std::string(MAX_PATH - 1, 'n'), "fits"),
                      Entry(std::string(MAX_PATH, 'n'), "too long"),
                      Entry(std::string(400, 'n'), "longer")};
    OwnedArchive archive = Open(WriteZip(dir, L"a.zip", layout));
    ASSERT_TRUE(archive);
    EXPECT_EQ(std::wcslen(GetOk(archive.get(), 0).name), MAX_PATH - 1u);
    ArchiveItem item;
    EXPECT_EQ(ArchiveGetItem(archive.get(), 1, &item), ARCHIVE_E_NAME_TOO_LONG);
    EXPECT_EQ(ArchiveGetItem(archive.get(), 2, &item), ARCHIVE_E_NAME_TOO_LONG);
    EXPECT_EQ(LastResultText(), L"Name or path too long");
    EXPECT_EQ(ArchiveExtractToFile(archive.get(), 2, (dir / L"x").c_str()),
              ARCHIVE_E_NAME_TOO_LONG);
    EXPECT_FALSE(test::FileExists(dir / L"x"));
}

// An archive from minizip's own writer, made on a "Unix" host with modes, with a
// directory, an empty item and an encrypted one.
std::wstring WriteWithMinizip(const TempDir& dir, const std::string& big) {
    const std::wstring path = dir / L"minizip.zip";
    zipFile zip = zipOpen64(test::Narrow(path).c_str(), APPEND_STATUS_CREATE);
    EXPECT_NE(zip, nullptr);
    struct Item {
        const char* name;
        std::string data;
        int method;
        uint32_t mode;
        const char* password;
    };
    const Item items[] = {
        {"docs/", "", 0, 040755, nullptr},
        {"docs/readme.txt", "read me", 0, 0100444, nullptr},
        {"docs/big.txt", big, Z_DEFLATED, 0100644, nullptr},
        {"docs/empty.txt", "", Z_DEFLATED, 0100644, nullptr},
        {"docs/secret.txt", big.substr(0, 3000), Z_DEFLATED, 0100600, "open sesame"},
    };
    for (const Item& item : items) {
        zip_fileinfo info = {};
        info.tmz_date = {10, 35, 12, 15, 5, 2021};
        info.external_fa = item.mode << 16;
        const uLong crc = test::Crc32(item.data);
        EXPECT_EQ(zipOpenNewFileInZip4_64(zip, item.name, &info, nullptr, 0, nullptr, 0, nullptr,
                                          item.method, 6, 0, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY,
                                          item.password, crc, 3 << 8 | 30, 0, 0),
                  ZIP_OK);
        EXPECT_EQ(
            zipWriteInFileInZip(zip, item.data.data(), static_cast<unsigned>(item.data.size())),
            ZIP_OK);
        EXPECT_EQ(zipCloseFileInZip(zip), ZIP_OK);
    }
    EXPECT_EQ(zipClose(zip, "made by the tests"), ZIP_OK);
    return path;
}

TEST(ArchiveInterop, ReadsWhatMinizipsWriterMakes) {
    TempDir dir;
    const std::string big = test::TextLikeBytes(300000, 9);
    const std::wstring path = WriteWithMinizip(dir, big);
    OwnedArchive archive = Open(path);
    ASSERT_TRUE(archive);
    EXPECT_EQ(GetOk(archive.get(), -1).index, 5);
    const int64_t dos_local = UtcFileTime(2021, 6, 15, 12, 35, 10) - kLocalOffset;

    ArchiveItem item = GetOk(archive.get(), 0);
    EXPECT_STREQ(item.name, L"docs/");
    EXPECT_EQ(item.attributes,
              static_cast<uint32_t>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_ARCHIVE));
    item = GetOk(archive.get(), 1);
    EXPECT_EQ(item.attributes,
              static_cast<uint32_t>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(AsInt64(item.modification_time), dos_local);
    item = GetOk(archive.get(), 2);
    EXPECT_EQ(item.attributes, static_cast<uint32_t>(FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(item.uncompressed_size, 300000);
    EXPECT_LT(item.compressed_size, 150000);

    ASSERT_EQ(ArchiveExtractToFile(archive.get(), 0, (dir / L"out\\docs\\").c_str()), ARCHIVE_OK);
    EXPECT_TRUE(test::DirectoryExists(dir / L"out\\docs"));
    ASSERT_EQ(ArchiveExtractToFile(archive.get(), 2, (dir / L"out\\docs\\big.txt").c_str()),
              ARCHIVE_OK);
    EXPECT_EQ(test::ReadFileBytes(dir / L"out\\docs\\big.txt"), big);
    ASSERT_EQ(ArchiveExtractToFile(archive.get(), 3, (dir / L"out\\docs\\empty.txt").c_str()),
              ARCHIVE_OK);
    EXPECT_TRUE(test::FileExists(dir / L"out\\docs\\empty.txt"));
    EXPECT_EQ(test::ReadFileBytes(dir / L"out\\docs\\empty.txt"), "");
    ASSERT_EQ(ArchiveExtractToFile(archive.get(), 1, (dir / L"out\\docs\\readme.txt").c_str()),
              ARCHIVE_OK);
    EXPECT_EQ(test::ReadFileBytes(dir / L"out\\docs\\readme.txt"), "read me");
    // Reported read-only, extracted writable.
    EXPECT_FALSE(GetFileAttributesW((dir / L"out\\docs\\readme.txt").c_str()) &
                 FILE_ATTRIBUTE_READONLY);

    // The encrypted item, with its password. (Without it the result depends on the
    // writer's random header; hand-built archives test that deterministically.)
    OwnedArchive with_password = Open(path, "open sesame");
    ASSERT_TRUE(with_password);
    ASSERT_EQ(ArchiveExtractToFile(with_password.get(), 4, (dir / L"secret.txt").c_str()),
              ARCHIVE_OK);
    EXPECT_EQ(test::ReadFileBytes(dir / L"secret.txt"), big.substr(0, 3000));
    // The password is only used for encrypted items.
    ASSERT_EQ(ArchiveExtractToFile(with_password.get(), 1, (dir / L"plain.txt").c_str()),
              ARCHIVE_OK);
    EXPECT_EQ(test::ReadFileBytes(dir / L"plain.txt"), "read me");
}

}  // namespace
}  // namespace qv
