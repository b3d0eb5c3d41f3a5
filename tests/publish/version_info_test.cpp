#include "update/version_check.h"

#include <gtest/gtest.h>

#include "tests/publish/helpers.h"
#include "tests/support/test_support.h"

namespace qv::publish {
namespace {

TEST(VersionInfo, ReadsTheFileVersionNotTheProductVersion) {
    std::wstring version;
    ASSERT_TRUE(ReadFileVersion(test::SampleReader().c_str(), version));
    EXPECT_EQ(version, test::Wide(QV_SAMPLE_READER_VERSION));
    ASSERT_TRUE(ReadFileVersion(test::SampleReaderNext().c_str(), version));
    EXPECT_EQ(version, test::Wide(QV_SAMPLE_READER_NEXT_VERSION));
    // The test binary has no version resource; a missing file has none either.
    EXPECT_FALSE(ReadFileVersion(qv::test::ThisExecutable().c_str(), version));
    TempDir dir;
    EXPECT_FALSE(ReadFileVersion((dir / L"missing.exe").c_str(), version));
}

TEST(VersionInfo, InstalledVersionPrefersTheFirstLineOfVerDat) {
    TempDir dir;
    std::wstring version;
    EXPECT_EQ(ReadInstalledVersion(dir.path(), version), VersionSource::kNone);
    ASSERT_TRUE(test::CopyInto(test::SampleReader(), dir.path(), L"qvreader.exe"));
    EXPECT_EQ(ReadInstalledVersion(dir.path(), version), VersionSource::kExecutable);
    EXPECT_EQ(version, test::Wide(QV_SAMPLE_READER_VERSION));
    test::PutFile(dir.path(), L"ver.dat", "1.0.0.5\r\nsecond line");
    EXPECT_EQ(ReadInstalledVersion(dir.path(), version), VersionSource::kVersionFile);
    EXPECT_EQ(version, L"1.0.0.5");
    test::PutFile(dir.path(), L"ver.dat", "");
    EXPECT_EQ(ReadInstalledVersion(dir.path(), version), VersionSource::kVersionFile);
    EXPECT_EQ(version, L"");
}

}  // namespace
}  // namespace qv::publish
