#include <gtest/gtest.h>

#include "tests/support/test_support.h"
#include "tests/update/loopback_server.h"
#include "update/downloader.h"
#include "update/version_check.h"

namespace qv {
namespace {

using test::LoopbackServer;
using test::TempDir;
using test::WriteFileBytes;

// The file version in this binary's own resource (update_tests.rc).
constexpr wchar_t kOwnFileVersion[] = L"1.20.300.65535";

void InstallReaderWithResource(const TempDir& dir) {
    ASSERT_TRUE(CopyFileW(test::ThisExecutable().c_str(), (dir / L"qvreader.exe").c_str(), FALSE));
}

TEST(ReadFileVersion, FormatsTheFixedFileVersionNotTheProductVersion) {
    std::wstring version;
    ASSERT_TRUE(ReadFileVersion(test::ThisExecutable().c_str(), version));
    EXPECT_EQ(version, kOwnFileVersion);
}

TEST(ReadFileVersion, FailsWithoutAResourceOrAFile) {
    TempDir dir;
    WriteFileBytes(dir / L"plain.exe", "MZ not really");
    std::wstring version = L"stale";
    EXPECT_FALSE(ReadFileVersion((dir / L"plain.exe").c_str(), version));
    EXPECT_TRUE(version.empty());
    EXPECT_FALSE(ReadFileVersion((dir / L"missing.exe").c_str(), version));
}

TEST(ReadVersionLine, TakesTheFirstLineWithoutItsCarriageReturn) {
    TempDir dir;
    WriteFileBytes(dir / L"ver.dat", "1.0.0.5\r\nsecond line\n");
    std::wstring line;
    ASSERT_TRUE(ReadVersionLine((dir / L"ver.dat").c_str(), line));
    EXPECT_EQ(line, L"1.0.0.5");
    // Spaces and a lone carriage return inside the line are part of the text.
    WriteFileBytes(dir / L"ver.dat", " 2.0\r");
    ASSERT_TRUE(ReadVersionLine((dir / L"ver.dat").c_str(), line));
    EXPECT_EQ(line, L" 2.0\r");
}

TEST(ReadVersionLine, EmptyFileIsAnEmptyVersionAndMissingFileFails) {
    TempDir dir;
    WriteFileBytes(dir / L"ver.dat", "");
    std::wstring line = L"stale";
    EXPECT_TRUE(ReadVersionLine((dir / L"ver.dat").c_str(), line));
    EXPECT_EQ(line, L"");
    EXPECT_FALSE(ReadVersionLine((dir / L"other.dat").c_str(), line));
}

TEST(GetInstalledVersion, LocalVersionFileWinsOverTheResource) {
    TempDir dir;
    InstallReaderWithResource(dir);
    std::wstring version;
    ASSERT_TRUE(GetInstalledVersion(dir.path(), version));
    EXPECT_EQ(version, kOwnFileVersion);

    WriteFileBytes(dir / L"ver.dat", "3.0.0.0\n");
    ASSERT_TRUE(GetInstalledVersion(dir.path(), version));
    EXPECT_EQ(version, L"3.0.0.0");
    EXPECT_FALSE(GetInstalledVersion(L"", version));  // no installation: no root of a drive
    EXPECT_EQ(version, L"");
}

TEST(GetInstalledVersion, FailsWithNeitherSource) {
    TempDir dir;
    WriteFileBytes(dir / L"qvreader.exe", "no resource here");
    std::wstring version;
    EXPECT_FALSE(GetInstalledVersion(dir.path(), version));
}

class CheckVersionTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.ok()); }
    VersionCheck Check() { return CheckAgainst(server.Url()); }
    // The check as the pass makes it, over a connection of its own.
    VersionCheck CheckAgainst(const std::wstring& base_url) {
        CDownloader fetcher(nullptr);
        std::string server_version;
        return CheckVersion(PassContext{dir.path(), base_url, kVersionTimeoutMs, {}}, fetcher,
                            server_version);
    }
    TempDir dir;
    LoopbackServer server;
};

TEST_F(CheckVersionTest, EqualTextsNeedNoUpdateEvenAgainstACrLfLocalLine) {
    WriteFileBytes(dir / L"ver.dat", "1.0.0.5\r\n");
    server.Put("/up1/ver.dat", "1.0.0.5");
    EXPECT_EQ(Check(), VersionCheck::UpToDate);
    EXPECT_EQ(server.Requests(), std::vector<std::string>{"/up1/ver.dat"});
}

TEST_F(CheckVersionTest, ResourceVersionIsComparedWhenThereIsNoLocalFile) {
    InstallReaderWithResource(dir);
    server.Put("/up1/ver.dat", "1.20.300.65535");
    EXPECT_EQ(Check(), VersionCheck::UpToDate);
    server.Put("/up1/ver.dat", "1.20.300.65534");
    EXPECT_EQ(Check(), VersionCheck::UpdateNeeded);
}

TEST_F(CheckVersionTest, AnyDifferenceOfTheWholeTextMeansUpdate) {
    WriteFileBytes(dir / L"ver.dat", "1.0.0.5\n");
    // A trailing line feed on the server never equals a first line.
    for (const char* server_text : {"1.0.0.5\n", "1.0.0.4", "1.0.0.50", " 1.0.0.5",
                                    "\xEF\xBB\xBF"
                                    "1.0.0.5"}) {
        server.Put("/up1/ver.dat", server_text);
        EXPECT_EQ(Check(), VersionCheck::UpdateNeeded) << server_text;
    }
    WriteFileBytes(dir / L"ver.dat", "v1.0");
    server.Put("/up1/ver.dat", "V1.0");
    EXPECT_EQ(Check(), VersionCheck::UpdateNeeded);
}

TEST_F(CheckVersionTest, EmptyLocalFileDiffersFromAnyServerText) {
    WriteFileBytes(dir / L"ver.dat", "");
    server.Put("/up1/ver.dat", "1");
    EXPECT_EQ(Check(), VersionCheck::UpdateNeeded);
}

TEST_F(CheckVersionTest, ServerTextEndsAtItsFirstZeroByte) {
    WriteFileBytes(dir / L"ver.dat", "2.1");
    server.Put("/up1/ver.dat", std::string("2.1\0junk", 8));
    EXPECT_EQ(Check(), VersionCheck::UpToDate);
}

TEST_F(CheckVersionTest, AServerVersionOver4096BytesIsAFailedCheck) {
    WriteFileBytes(dir / L"ver.dat", "1.0.0.5");
    server.Put("/up1/ver.dat", std::string(kMaxServerVersionBytes, '7'));
    EXPECT_EQ(Check(), VersionCheck::UpdateNeeded);
    server.Put("/up1/ver.dat", std::string(kMaxServerVersionBytes + 1, '7'));
    EXPECT_EQ(Check(), VersionCheck::Failed);
}

TEST_F(CheckVersionTest, MissingServerVersionIsAFailedCheck) {
    WriteFileBytes(dir / L"ver.dat", "1.0");
    // No Put: the server answers 404 with a body, which must not be compared.
    EXPECT_EQ(Check(), VersionCheck::Failed);
    EXPECT_EQ(server.CountOf("/up1/ver.dat"), 1);
}

TEST_F(CheckVersionTest, UnreachableServerIsAFailedCheck) {
    WriteFileBytes(dir / L"ver.dat", "1.0");
    // Port 9 on the loopback has no listener: the connection is refused.
    EXPECT_EQ(CheckAgainst(L"http://127.0.0.1:9/up1"), VersionCheck::Failed);
}

TEST_F(CheckVersionTest, UnknownInstalledVersionUpdatesWithoutAskingTheServer) {
    server.Put("/up1/ver.dat", "1.0");
    EXPECT_EQ(Check(), VersionCheck::UpdateNeeded);
    EXPECT_TRUE(server.Requests().empty());
}

}  // namespace
}  // namespace qv
