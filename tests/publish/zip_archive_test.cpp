#include "tools/publish/zip_archive.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "tests/publish/helpers.h"
#include "tests/support/test_support.h"

namespace qv::publish {
namespace {

// 2021-06-01 12:00:00 UTC, and its Unix time.
FILETIME FixedTime() {
    constexpr ULONGLONG kTicks = 132670224000000000ull;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(kTicks);
    time.dwHighDateTime = static_cast<DWORD>(kTicks >> 32);
    return time;
}
constexpr uint32_t kFixedUnixTime = 1622548800;

uint32_t Le16(const std::string& bytes, size_t at) {
    return static_cast<unsigned char>(bytes.at(at)) |
           (static_cast<unsigned char>(bytes.at(at + 1)) << 8);
}
uint32_t Le32(const std::string& bytes, size_t at) {
    return Le16(bytes, at) | (Le16(bytes, at + 2) << 16);
}

uint32_t Crc(const std::string& bytes) {
    return static_cast<uint32_t>(
        crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

std::string Zip(const TempDir& dir, const std::string& content, const std::wstring& item_name,
                int level, const std::wstring& archive_name = L"a.zip") {
    WriteFileBytes(dir / L"source", content);
    std::wstring error;
    EXPECT_TRUE(WriteSingleItemArchive(dir / L"source", item_name, FixedTime(), level,
                                       dir / archive_name, error))
        << qv::test::Narrow(error);
    return ReadFileBytes(dir / archive_name);
}

TEST(ZipArchive, WritesOneItemThatTheUpdatersReaderExtracts) {
    TempDir dir;
    const std::string content = test::TextBytes(300000);
    const std::string archive = Zip(dir, content, L"book.txt", kDefaultZipLevel);
    EXPECT_LT(archive.size(), content.size() / 4);  // deflated

    FirstItemInfo info;
    ASSERT_TRUE(ReadFirstItemInfo(dir / L"a.zip", info));
    EXPECT_EQ(info.item_count, 1u);
    EXPECT_EQ(info.crc, Crc(content));
    EXPECT_EQ(info.size, content.size());
    EXPECT_EQ(info.name, L"book.txt");
    ASSERT_TRUE(ExtractFirstItem(dir / L"a.zip", dir / L"out"));
    EXPECT_EQ(ReadFileBytes(dir / L"out"), content);
}

TEST(ZipArchive, BytesDependOnContentNameAndTimeOnly) {
    TempDir dir;
    const std::string content = test::NoiseBytes(100000, 1);
    const std::string first = Zip(dir, content, L"x.bin", 9, L"1.zip");
    Sleep(2100);  // a later clock must not show in the archive
    const std::string second = Zip(dir, content, L"x.bin", 9, L"2.zip");
    EXPECT_EQ(first, second);

    WriteFileBytes(dir / L"source", content);
    FILETIME later = FixedTime();
    later.dwHighDateTime += 1;
    std::wstring error;
    ASSERT_TRUE(WriteSingleItemArchive(dir / L"source", L"x.bin", later, 9, dir / L"3.zip", error));
    EXPECT_NE(ReadFileBytes(dir / L"3.zip"), first);
}

TEST(ZipArchive, RecordsTheFileTimeAndPlainFileAttributes) {
    TempDir dir;
    const std::string archive = Zip(dir, "content", L"a.txt", 9);
    ASSERT_EQ(Le32(archive, 0), 0x04034b50u);  // local header
    // DOS stamp of the UTC time: 2021-06-01 12:00:00.
    EXPECT_EQ(Le16(archive, 10), 12u << 11);
    EXPECT_EQ(Le16(archive, 12), ((2021u - 1980) << 9) | (6u << 5) | 1u);
    // The local extended timestamp carries modification, access and creation time.
    const size_t name_length = Le16(archive, 26);
    const size_t extra = 30 + name_length;
    ASSERT_EQ(Le16(archive, 28), 17u);
    EXPECT_EQ(Le16(archive, extra), 0x5455u);
    EXPECT_EQ(Le16(archive, extra + 2), 13u);
    EXPECT_EQ(static_cast<unsigned char>(archive[extra + 4]), 7u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(Le32(archive, extra + 5 + 4 * i), kFixedUnixTime);
    }
    // Central directory: made on host 0 (DOS attributes), only the archive bit, so that
    // the updater never installs a read-only file.
    const size_t central = archive.find("PK\x01\x02");
    ASSERT_NE(central, std::string::npos);
    EXPECT_EQ(Le16(archive, central + 4) >> 8, 0u);
    EXPECT_EQ(Le32(archive, central + 38), static_cast<uint32_t>(FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(Le16(archive, central + 8) & 0x0008u, 0u);  // sizes in the local header
}

TEST(ZipArchive, StoresAtLevelZeroAndMarksUtf8Names) {
    TempDir dir;
    const std::string content = test::TextBytes(5000);
    const std::string archive = Zip(dir, content, L"\u9605\u8bfb.txt", 0);
    EXPECT_EQ(Le16(archive, 8), 0u);  // method: stored
    EXPECT_EQ(Le16(archive, 6) & 0x0800u, 0x0800u);
    EXPECT_EQ(archive.substr(30, Le16(archive, 26)), "\xe9\x98\x85\xe8\xaf\xbb.txt");
    FirstItemInfo info;
    ASSERT_TRUE(ReadFirstItemInfo(dir / L"a.zip", info));
    EXPECT_EQ(info.compressed_size, content.size());
    EXPECT_EQ(info.name, L"\u9605\u8bfb.txt");
}

TEST(ZipArchive, FailsWithoutLeavingAnArchive) {
    TempDir dir;
    std::wstring error;
    EXPECT_FALSE(
        WriteSingleItemArchive(dir / L"missing", L"x", FixedTime(), 9, dir / L"a.zip", error));
    EXPECT_NE(error, L"");
    EXPECT_FALSE(qv::test::FileExists(dir / L"a.zip"));
    WriteFileBytes(dir / L"source", "x");
    EXPECT_FALSE(WriteSingleItemArchive(dir / L"source", L"x", FixedTime(), 9,
                                        dir / L"no\\such\\folder\\a.zip", error));
    EXPECT_FALSE(
        WriteSingleItemArchive(dir / L"source", L"x", FixedTime(), 10, dir / L"a.zip", error));
}

TEST(ZipArchive, ReadingRefusesWhatIsNoGoodArchive) {
    TempDir dir;
    FirstItemInfo info;
    WriteFileBytes(dir / L"plain.txt", "not a zip archive at all");
    EXPECT_FALSE(ReadFirstItemInfo(dir / L"plain.txt", info));
    EXPECT_FALSE(ReadFirstItemInfo(dir / L"missing.zip", info));
    EXPECT_FALSE(ExtractFirstItem(dir / L"plain.txt", dir / L"out"));

    // A damaged deflate stream behind an intact directory: the updater's reader either
    // fails or gives other bytes, which only the CRC-32 of the result then shows.
    const std::string content = test::TextBytes(50000);
    std::string damaged = Zip(dir, content, L"t.txt", 9);
    const size_t data = 30 + Le16(damaged, 26) + Le16(damaged, 28);
    for (size_t i = 0; i < 64; ++i) {
        damaged[data + 100 + i] = static_cast<char>(damaged[data + 100 + i] ^ 0x5A);
    }
    WriteFileBytes(dir / L"damaged.zip", damaged);
    EXPECT_TRUE(ReadFirstItemInfo(dir / L"damaged.zip", info));
    EXPECT_EQ(info.crc, Crc(content));
    const bool extracted = ExtractFirstItem(dir / L"damaged.zip", dir / L"out");
    EXPECT_FALSE(extracted && ReadFileBytes(dir / L"out") == content);
}

}  // namespace
}  // namespace qv::publish
