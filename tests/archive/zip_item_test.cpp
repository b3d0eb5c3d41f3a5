// How item records are derived: names, attributes, times and the check byte.

#include "archive/zip_item.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "tests/archive/archive_test_util.h"

namespace qv::zip {
namespace {

using test::AsInt64;
using test::kLocalOffset;
using test::UtcFileTime;

std::wstring Cleaned(const wchar_t* stored) {
    wchar_t name[MAX_PATH];
    std::wcsncpy(name, stored, MAX_PATH - 1);
    name[MAX_PATH - 1] = L'\0';
    CleanItemName(name);
    return name;
}

TEST(ItemName, DropsDrivePrefixesLeadingSeparatorsAndParentSegments) {
    EXPECT_EQ(Cleaned(L"C:\\dir\\a.txt"), L"dir\\a.txt");
    EXPECT_EQ(Cleaned(L"\\dir\\a.txt"), L"dir\\a.txt");
    EXPECT_EQ(Cleaned(L"/dir/a.txt"), L"dir/a.txt");
    EXPECT_EQ(Cleaned(L"x\\..\\y\\b.txt"), L"y\\b.txt");
    // The rules repeat until none applies.
    EXPECT_EQ(Cleaned(L"C:\\\\/D:x/../y/..\\z.txt"), L"z.txt");
    EXPECT_EQ(Cleaned(L"a\\../b/../c"), L"c");
    EXPECT_EQ(Cleaned(L"a/..\\b"), L"b");
}

TEST(ItemName, KeepsLeadingParentAndOrdinaryDots) {
    EXPECT_EQ(Cleaned(L"..\\x.txt"), L"..\\x.txt");
    EXPECT_EQ(Cleaned(L"a/../../b"), L"../b");
    EXPECT_EQ(Cleaned(L"dir\\..x\\a..b.txt"), L"dir\\..x\\a..b.txt");
    EXPECT_EQ(Cleaned(L""), L"");
    EXPECT_EQ(Cleaned(L"C"), L"C");
}

TEST(ItemName, DecodesUtf8WhateverTheFlagsSay) {
    wchar_t out[MAX_PATH];
    const std::string stored = "\xD0\xBA\xD0\xBD\xD0\xB8\xD0\xB3\xD0\xB0/\xE4\xB9\xA6.txt";
    ASSERT_TRUE(DecodeItemName(stored.data(), stored.size(), out, MAX_PATH));
    EXPECT_STREQ(out, L"\x043A\x043D\x0438\x0433\x0430/\x4E66.txt");
    // A byte that is no UTF-8 becomes U+FFFD instead of ending the name.
    ASSERT_TRUE(DecodeItemName("a\xFFz", 3, out, MAX_PATH));
    EXPECT_STREQ(out, L"a\xFFFDz");
}

TEST(ItemName, RefusesWhatDoesNotFitInsteadOfCuttingIt) {
    wchar_t out[MAX_PATH];
    const std::string fits(MAX_PATH - 1, 'n');
    ASSERT_TRUE(DecodeItemName(fits.data(), fits.size(), out, MAX_PATH));
    EXPECT_EQ(std::wstring(out), std::wstring(MAX_PATH - 1, L'n'));
    const std::string too_long(MAX_PATH, 'n');
    EXPECT_FALSE(DecodeItemName(too_long.data(), too_long.size(), out, MAX_PATH));
}

TEST(ItemAttributes, UnixModeGivesReadOnlyDirectoryAndAlwaysArchive) {
    const uint32_t unix_host = 3 << 8 | 30;
    EXPECT_EQ(ItemAttributes(unix_host, 0100644u << 16), FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(ItemAttributes(unix_host, 0100444u << 16),
              FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(ItemAttributes(unix_host, 040755u << 16),
              FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(ItemAttributes(unix_host, 040555u << 16),
              FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY);
    // A DOS byte beside a Unix mode is not read for a Unix host.
    EXPECT_EQ(ItemAttributes(unix_host, 0100644u << 16 | 0x07), FILE_ATTRIBUTE_ARCHIVE);
}

TEST(ItemAttributes, DosHostsTakeTheFiveBitsOfTheLowByte) {
    for (uint32_t host : {0u, 7u, 11u, 14u}) {
        SCOPED_TRACE(host);
        EXPECT_EQ(ItemAttributes(host << 8 | 20, 0x27),
                  FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                      FILE_ATTRIBUTE_ARCHIVE);
        EXPECT_EQ(ItemAttributes(host << 8 | 20, 0x10), FILE_ATTRIBUTE_DIRECTORY);
        // Volume label (0x08) and higher bits, and a Unix mode, are ignored.
        EXPECT_EQ(ItemAttributes(host << 8 | 20, (0100644u << 16) | 0xC8), 0u);
    }
}

TEST(ItemTimes, TimeZoneOfTheTestIsThreeHoursEast) {
    TIME_ZONE_INFORMATION zone;
    const DWORD kind = GetTimeZoneInformation(&zone);
    ASSERT_NE(kind, TIME_ZONE_ID_INVALID);
    // The DOS tests below rely on it; ctest sets TZ for this binary.
    ASSERT_EQ(zone.Bias, -180) << "run through ctest, which sets TZ=QVT-3";
}

TEST(ItemTimes, DosStampIsLocalTimeConvertedToUtc) {
    // 2021-06-15 12:35:10 local.
    EXPECT_EQ(AsInt64(DosStampToFileTime(0x52CF6465)),
              UtcFileTime(2021, 6, 15, 12, 35, 10) - kLocalOffset);
    // Seconds count in twos; the last DOS year.
    EXPECT_EQ(AsInt64(DosStampToFileTime(0xFF9FBF7D)),
              UtcFileTime(2107, 12, 31, 23, 59, 58) - kLocalOffset);
}

TEST(ItemTimes, InvalidDosStampGivesStartOf1980LocalTime) {
    const int64_t dos_epoch = UtcFileTime(1980, 1, 1, 0, 0, 0) - kLocalOffset;
    EXPECT_EQ(AsInt64(DosStampToFileTime(0x52C06465)), dos_epoch);  // day 0
    EXPECT_EQ(AsInt64(DosStampToFileTime(0x520F6465)), dos_epoch);  // month 0
    EXPECT_EQ(AsInt64(DosStampToFileTime(0x53AF6465)), dos_epoch);  // month 13
    EXPECT_EQ(AsInt64(DosStampToFileTime(0x525E6465)), dos_epoch);  // 30 February
    EXPECT_EQ(AsInt64(DosStampToFileTime(0x52CFC465)), dos_epoch);  // hour 24
    EXPECT_EQ(AsInt64(DosStampToFileTime(0x52CF647E)), dos_epoch);  // second 60
    EXPECT_EQ(AsInt64(DosStampToFileTime(0)), dos_epoch);
}

struct Times {
    int64_t access, creation, modification;
};

Times Apply(const std::string& extra) {
    FILETIME marker;
    marker.dwHighDateTime = 0;
    marker.dwLowDateTime = 1;
    ItemTimes times = {marker, marker, marker};
    ApplyExtendedTimestamp(reinterpret_cast<const uint8_t*>(extra.data()), extra.size(), times);
    return {AsInt64(times.access), AsInt64(times.creation), AsInt64(times.modification)};
}

constexpr int32_t kUnix2020 = 1600000000;  // 2020-09-13 12:26:40 UTC
constexpr int32_t kUnix2001 = 1000000000;  // 2001-09-09 01:46:40 UTC
constexpr int32_t kUnix1969 = -86400;      // 1969-12-31 00:00:00 UTC

TEST(ExtendedTimestamp, FlagOneSetsOnlyTheModificationTime) {
    const Times t = Apply(test::ExtendedTimestampBlock(1, {kUnix2020}));
    EXPECT_EQ(t.modification, UtcFileTime(2020, 9, 13, 12, 26, 40));
    EXPECT_EQ(t.access, 1);
    EXPECT_EQ(t.creation, 1);
}

TEST(ExtendedTimestamp, FlagSevenSetsModificationAccessCreationInThatOrder) {
    const Times t = Apply(test::ExtendedTimestampBlock(7, {kUnix2020, kUnix2001, kUnix1969}));
    EXPECT_EQ(t.modification, UtcFileTime(2020, 9, 13, 12, 26, 40));
    EXPECT_EQ(t.access, UtcFileTime(2001, 9, 9, 1, 46, 40));
    EXPECT_EQ(t.creation, UtcFileTime(1969, 12, 31, 0, 0, 0));
    // Without the access bit the second time is the creation time.
    const Times u = Apply(test::ExtendedTimestampBlock(5, {kUnix2020, kUnix2001}));
    EXPECT_EQ(u.creation, UtcFileTime(2001, 9, 9, 1, 46, 40));
    EXPECT_EQ(u.access, 1);
}

TEST(ExtendedTimestamp, FindsTheBlockBehindOthersAndTakesOnlyTheFirst) {
    const std::string other = test::Le16(0x7875) + test::Le16(3) + "abc";
    const std::string first = test::ExtendedTimestampBlock(1, {kUnix2001});
    const std::string second = test::ExtendedTimestampBlock(1, {kUnix2020});
    EXPECT_EQ(Apply(other + first + second).modification, UtcFileTime(2001, 9, 9, 1, 46, 40));
    EXPECT_EQ(Apply(other).modification, 1);
}

TEST(ExtendedTimestamp, NeverReadsTimesBeyondItsBlockOrTheField) {
    // Flags promise three times, the block holds one: only that one is taken.
    const std::string short_block = test::ExtendedTimestampBlock(7, {kUnix2020});
    Times t = Apply(short_block);
    EXPECT_EQ(t.modification, UtcFileTime(2020, 9, 13, 12, 26, 40));
    EXPECT_EQ(t.access, 1);
    EXPECT_EQ(t.creation, 1);
    // The block claims 13 bytes but the field ends after the first time; the bytes
    // after the field (which would make a second time) are not read.
    const std::string claimed = test::ExtendedTimestampBlock(3, {kUnix2020, kUnix2001}, 9);
    const std::string cut = claimed.substr(0, 4 + 5);
    const std::string padded = cut + test::Le32(static_cast<uint32_t>(kUnix2001));
    ItemTimes times = {};
    ApplyExtendedTimestamp(reinterpret_cast<const uint8_t*>(padded.data()), cut.size(), times);
    EXPECT_EQ(AsInt64(times.modification), UtcFileTime(2020, 9, 13, 12, 26, 40));
    EXPECT_EQ(AsInt64(times.access), 0);
    // A time cut in the middle is not taken.
    EXPECT_EQ(Apply(test::ExtendedTimestampBlock(1, {kUnix2020}).substr(0, 7)).modification, 1);
    // A block header alone, or a field shorter than a header, is no block.
    EXPECT_EQ(Apply(test::Le16(0x5455) + test::Le16(0)).modification, 1);
    EXPECT_EQ(Apply("UT").modification, 1);
}

TEST(PasswordCheck, CrcHighByteOrDosTimeWithDataDescriptor) {
    EXPECT_EQ(PasswordCheckByte(0x0001, 0xA1B2C3D4, 0x52CF6465), 0xA1);
    EXPECT_EQ(PasswordCheckByte(0x0009, 0xA1B2C3D4, 0x52CF6465), 0x64);
}

}  // namespace
}  // namespace qv::zip
