#include "tools/publish/publisher.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "tests/publish/helpers.h"
#include "tests/support/test_support.h"
#include "tools/publish/zip_archive.h"
#include "update/file_list.h"
#include "update/file_names.h"
#include "win/unique_handle.h"

namespace qv::publish {
namespace {

uint32_t Crc(const std::string& bytes) {
    return static_cast<uint32_t>(
        crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

// A release like a real one: the reader, the updater, settings, data in subfolders.
void MakeRelease(const std::wstring& release) {
    ASSERT_TRUE(test::CopyInto(test::SampleReaderNext(), release, L"qvreader.exe"));
    PutFile(release, L"update.exe", test::NoiseBytes(40000, 2));
    PutFile(release, L"cfg.ini", "[urls]\r\nupddir=http://127.0.0.1/up1\r\n");
    PutFile(release, L"plugins\\render.dll", test::NoiseBytes(70000, 3));
    PutFile(release, L"plugins\\fonts\\serif.dat", test::TextBytes(1200000));
    PutFile(release, L"books\\\u9605\u8bfb\u5668 guide, 2nd ed.txt", test::TextBytes(5000));
    PutFile(release, L"small.txt", "small");
}

struct Published {
    int code = -1;
    MemoryLog log;
};

void RunPublish(const PublishOptions& options, Published& out) {
    out.code = Publish(options, out.log);
}

PublishOptions Options(const TempDir& dir) {
    PublishOptions options;
    options.release_dir = dir / L"release";
    options.server_dir = dir / L"server";
    options.zip.patterns = {L"*.dll"};
    options.zip.above_size = 1u << 20;
    return options;
}

TEST(Publish, ListReadsBackThroughTheUpdaterWithRightCrcsAndFlags) {
    TempDir dir;
    MakeRelease(dir / L"release");
    Published result;
    RunPublish(Options(dir), result);
    ASSERT_EQ(result.code, kExitOk) << Narrow(result.log.text);
    EXPECT_EQ(result.log.ErrorCount(), 0u);

    // The version text, without a line end, from the release's qvreader.exe.
    EXPECT_EQ(ReadFileBytes(dir / L"server\\ver.dat"), QV_SAMPLE_READER_NEXT_VERSION);

    FileList list;
    ASSERT_TRUE(list.ReadFileList((dir / L"server\\filelist.dat").c_str()));
    std::vector<std::wstring> names;
    for (const FileEntry& entry : list.entries) {
        names.push_back(entry.name);
    }
    // Sorted, letter case ignored, independent of the file system's order.
    EXPECT_EQ(names,
              (std::vector<std::wstring>{L"books\\\u9605\u8bfb\u5668 guide, 2nd ed.txt", L"cfg.ini",
                                         L"plugins\\fonts\\serif.dat", L"plugins\\render.dll",
                                         L"qvreader.exe", L"small.txt", L"update.exe"}));
    for (const FileEntry& entry : list.entries) {
        SCOPED_TRACE(Narrow(entry.name));
        const std::string original = ReadFileBytes(dir / (L"release\\" + entry.name));
        const std::wstring served = dir / (L"server\\" + entry.name);
        EXPECT_EQ(entry.crc_installed, Crc(original));
        EXPECT_EQ(entry.crc_download, FileCrc32(served.c_str()));
        EXPECT_EQ(entry.aux_value, 0u);
        const bool should_zip = entry.name == L"plugins\\render.dll" ||      // by pattern
                                entry.name == L"plugins\\fonts\\serif.dat";  // by size
        EXPECT_EQ(entry.zipped, should_zip ? 1 : 0);
        if (entry.zipped) {
            // Served under the plain name; the updater's extraction gives the original.
            EXPECT_FALSE(FileExists(served + L".zip"));
            ASSERT_TRUE(ExtractFirstItem(served, dir / L"extracted"));
            EXPECT_EQ(ReadFileBytes(dir / L"extracted"), original);
            // Installed with the release file's time, and never read-only.
            WIN32_FILE_ATTRIBUTE_DATA release_data, extracted_data;
            ASSERT_TRUE(GetFileAttributesExW((dir / (L"release\\" + entry.name)).c_str(),
                                             GetFileExInfoStandard, &release_data));
            ASSERT_TRUE(GetFileAttributesExW((dir / L"extracted").c_str(), GetFileExInfoStandard,
                                             &extracted_data));
            EXPECT_EQ(
                CompareFileTime(&release_data.ftLastWriteTime, &extracted_data.ftLastWriteTime), 0);
            EXPECT_EQ(extracted_data.dwFileAttributes & FILE_ATTRIBUTE_READONLY, 0u);
        } else {
            EXPECT_EQ(ReadFileBytes(served), original);
        }
    }
    // The list is LF-only UTF-8 in the updater's own format.
    const std::string bytes = ReadFileBytes(dir / L"server\\filelist.dat");
    EXPECT_EQ(bytes.find('\r'), std::string::npos);
    EXPECT_EQ(bytes.substr(0, bytes.find('\n')),
              std::to_string(list.entries[0].crc_installed) + "," +
                  std::to_string(list.entries[0].crc_download) + ",0,0,books\\" +
                  "\xe9\x98\x85\xe8\xaf\xbb\xe5\x99\xa8 guide, 2nd ed.txt");
    EXPECT_TRUE(Contains(result.log.text, L"published 7 file(s), 2 zipped"));
}

TEST(Publish, SameReleaseTwiceGivesByteIdenticalFolders) {
    TempDir dir;
    MakeRelease(dir / L"release");
    PublishOptions options = Options(dir);
    Published first, second;
    RunPublish(options, first);
    options.server_dir = dir / L"server2";
    RunPublish(options, second);
    ASSERT_EQ(first.code, kExitOk) << Narrow(first.log.text);
    ASSERT_EQ(second.code, kExitOk) << Narrow(second.log.text);
    const auto a = test::ReadTree(dir / L"server");
    const auto b = test::ReadTree(dir / L"server2");
    EXPECT_EQ(a.size(), 9u);  // seven files, ver.dat, filelist.dat
    EXPECT_TRUE(a == b);
}

TEST(Publish, ReleaseVersionFileIsServedAsTheVersionAndListed) {
    TempDir dir;
    MakeRelease(dir / L"release");
    PutFile(dir / L"release", L"ver.dat", "2024.3 beta");
    PublishOptions options = Options(dir);
    options.zip.patterns = {L"*"};  // never zips ver.dat, which is also the version file
    Published result;
    RunPublish(options, result);
    ASSERT_EQ(result.code, kExitOk) << Narrow(result.log.text);
    EXPECT_EQ(ReadFileBytes(dir / L"server\\ver.dat"), "2024.3 beta");
    FileList list;
    ASSERT_TRUE(list.ReadFileList((dir / L"server\\filelist.dat").c_str()));
    const auto found = std::find_if(list.entries.begin(), list.entries.end(),
                                    [](const FileEntry& e) { return e.name == L"ver.dat"; });
    ASSERT_NE(found, list.entries.end());
    EXPECT_EQ(found->zipped, 0);
    EXPECT_EQ(found->crc_installed, Crc("2024.3 beta"));
    EXPECT_EQ(found->crc_download, Crc("2024.3 beta"));
}

TEST(Publish, VersionTextFromTheCommandLine) {
    TempDir dir;
    PutFile(dir / L"release", L"data.bin", "data");
    PublishOptions options = Options(dir);
    options.version = L"7.0 \u00e9";
    Published result;
    RunPublish(options, result);
    ASSERT_EQ(result.code, kExitOk) << Narrow(result.log.text);
    EXPECT_EQ(ReadFileBytes(dir / L"server\\ver.dat"), "7.0 \xc3\xa9");
    // Without ver.dat or a versioned reader, installations cannot tell their version.
    EXPECT_TRUE(Contains(result.log.text, L"warning: the release has neither ver.dat"));
}

// Every refusal leaves no server folder behind and says why.
void ExpectRefused(const PublishOptions& options, const std::wstring& reason) {
    Published result;
    RunPublish(options, result);
    EXPECT_EQ(result.code, kExitRefused) << Narrow(result.log.text);
    EXPECT_TRUE(Contains(result.log.text, reason)) << Narrow(result.log.text);
    EXPECT_FALSE(qv::test::DirectoryExists(options.server_dir));
}

TEST(Publish, RefusesVersionTextsInstallationsWouldNeverMatch) {
    TempDir dir;
    MakeRelease(dir / L"release");
    PublishOptions options = Options(dir);
    options.version = L"9.9";  // the release's reader says 1.0.0.2
    ExpectRefused(options, L"differs from the file version \"" +
                               test::Wide(QV_SAMPLE_READER_NEXT_VERSION) + L"\"");

    options.version = L"";
    PutFile(dir / L"release", L"ver.dat", "2.0\n");  // a line end the server must not send
    ExpectRefused(options, L"ver.dat of the release must hold the version text only");
    PutFile(dir / L"release", L"ver.dat", "2.0");
    options.version = L"2.1";
    ExpectRefused(options, L"differs from the first line \"2.0\"");
    options.version = L"2.0\t";
    ExpectRefused(options, L"differs from the first line");

    TempDir bare;
    PutFile(bare / L"release", L"a.txt", "a");
    PublishOptions no_version = Options(bare);
    ExpectRefused(no_version, L"no version text");
    no_version.version = L"1.0\r";
    ExpectRefused(no_version, L"control character");
}

TEST(Publish, RefusesNamesAndFoldersTheUpdaterCannotHandle) {
    TempDir dir;
    MakeRelease(dir / L"release");
    PutFile(dir / L"release", L"update\\stale.dat", "x");  // the updater's working folder
    PutFile(dir / L"release", L"filelist.dat", "x");       // the server's list
    PutFile(dir / L"release", L"notes #1.txt", "x");       // cut from the URL
    PutFile(dir / L"release", L"100%.txt", "x");
    Published result;
    RunPublish(Options(dir), result);
    EXPECT_EQ(result.code, kExitRefused);
    EXPECT_EQ(result.log.ErrorCount(), 4u) << Narrow(result.log.text);
    for (const wchar_t* name :
         {L"\"update\\stale.dat\"", L"\"filelist.dat\"", L"\"notes #1.txt\"", L"\"100%.txt\""}) {
        EXPECT_TRUE(Contains(result.log.text, std::wstring(L"error: ") + name)) << Narrow(name);
    }
    EXPECT_TRUE(Contains(result.log.text, L"nothing was published"));
    EXPECT_FALSE(qv::test::DirectoryExists(dir / L"server"));
}

// A top-level file named like one of the update folder's own files would be staged over
// it (a downlist.dat installs nothing at all): refused in any letter case.
TEST(Publish, RefusesTheUpdateFoldersOwnFileNames) {
    for (const wchar_t* own : kUpdateDirOwnNames) {
        std::wstring upper = own;
        CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
        std::wstring capital = own;
        capital[0] = upper[0];
        for (const std::wstring& name : {std::wstring(own), upper, capital}) {
            SCOPED_TRACE(Narrow(name));
            TempDir dir;
            PutFile(dir / L"release", L"a.txt", "a");
            PutFile(dir / L"release", name, "x");
            PublishOptions options = Options(dir);
            options.version = L"1.0";
            ExpectRefused(options, L"\"" + name +
                                       L"\": the updater keeps a working file of this name in "
                                       L"its folder \"update\"");
        }
    }
}

TEST(Publish, RefusesPathsTooLongUnderTheInstallationFolder) {
    TempDir dir;
    PutFile(dir / L"release", L"qvreader.exe", "x");
    PutFile(dir / L"release", std::wstring(40, L'd') + L"\\" + std::wstring(40, L'f'), "x");
    PublishOptions options = Options(dir);
    options.version = L"1";
    options.zip = ZipChoice{};
    // "<install>\update\" + 81 characters must stay below 260.
    options.install_dir = L"C:\\" + std::wstring(167, L'i');  // 170 + 8 + 81 = 259: fits
    Published fits;
    RunPublish(options, fits);
    EXPECT_EQ(fits.code, kExitOk) << Narrow(fits.log.text);

    options.server_dir = dir / L"server2";
    options.zip.patterns = {L"f*"};  // ".zip" while it is downloaded: 263
    ExpectRefused(options, L"would not fit in 259 characters (with \".zip\"");
    options.zip = ZipChoice{};
    options.install_dir = L"C:\\" + std::wstring(168, L'i');
    ExpectRefused(options, L"would not fit in 259 characters");
}

TEST(Publish, RefusesFilesTheUpdaterCannotVerify) {
    TempDir dir;
    PutFile(dir / L"release", L"a.txt", "a");
    {
        // Sparse, so the test writes no gigabyte.
        UniqueFileHandle big(CreateFileW((dir / L"release\\big.bin").c_str(), GENERIC_WRITE, 0,
                                         nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(big.valid());
        LARGE_INTEGER size;
        size.QuadPart = (1ll << 30) + 1;
        ASSERT_TRUE(SetFilePointerEx(big.get(), size, nullptr, FILE_BEGIN));
        ASSERT_TRUE(SetEndOfFile(big.get()));
    }
    PublishOptions options = Options(dir);
    options.version = L"1";
    ExpectRefused(options, L"\"big.bin\" is 1.00 GiB; the updater verifies files of at most 1 GiB");
}

TEST(Publish, NeedsANewOrEmptyServerFolderOutsideTheRelease) {
    TempDir dir;
    PutFile(dir / L"release", L"a.txt", "a");
    PublishOptions options = Options(dir);
    options.version = L"1";
    PutFile(dir / L"server", L"old.txt", "left from before");
    Published not_empty;
    RunPublish(options, not_empty);
    EXPECT_EQ(not_empty.code, kExitUsage);
    EXPECT_TRUE(Contains(not_empty.log.text, L"is not empty"));
    EXPECT_EQ(test::ReadTree(dir / L"server").size(), 1u);

    for (const std::wstring& server :
         {dir / L"release\\server", dir / L"release", dir.path(), dir / L"release\\..\\release"}) {
        options.server_dir = server;
        Published inside;
        RunPublish(options, inside);
        EXPECT_EQ(inside.code, kExitUsage) << Narrow(server);
        EXPECT_TRUE(Contains(inside.log.text, L"must lie outside")) << Narrow(server);
    }
    options.server_dir = dir / L"fresh";
    options.base_url = L"https://update.example.com/up1";
    Published bad_url;
    RunPublish(options, bad_url);
    EXPECT_EQ(bad_url.code, kExitUsage);
    EXPECT_TRUE(Contains(bad_url.log.text, L"the updater fetches http URLs"));
    options.base_url = kDefaultUpdateUrl;

    options.release_dir = dir / L"missing";
    options.server_dir = dir / L"fresh";
    Published missing;
    RunPublish(options, missing);
    EXPECT_EQ(missing.code, kExitUsage);

    // An empty existing folder, and missing folders above the server folder, are fine.
    CreateDirectoryW((dir / L"empty").c_str(), nullptr);
    options.release_dir = dir / L"release";
    for (const std::wstring& server : {dir / L"empty", dir / L"new\\deeper\\server"}) {
        options.server_dir = server;
        Published ok;
        RunPublish(options, ok);
        EXPECT_EQ(ok.code, kExitOk) << Narrow(ok.log.text);
        EXPECT_EQ(ReadFileBytes(server + L"\\ver.dat"), "1");
    }
}

TEST(Publish, WarnsAboutEmptyFilesAndFolders) {
    TempDir dir;
    PutFile(dir / L"release", L"a.txt", "a");
    PutFile(dir / L"release", L"empty.txt", "");
    CreateDirectoryW((dir / L"release\\nothing").c_str(), nullptr);
    PublishOptions options = Options(dir);
    options.version = L"1";
    options.zip.patterns = {L"*.txt"};
    Published result;
    RunPublish(options, result);
    ASSERT_EQ(result.code, kExitOk) << Narrow(result.log.text);
    EXPECT_TRUE(Contains(result.log.text, L"warning: \"empty.txt\" is empty"));
    EXPECT_TRUE(Contains(result.log.text, L"warning: the empty folder \"nothing\""));
    FileList list;
    ASSERT_TRUE(list.ReadFileList((dir / L"server\\filelist.dat").c_str()));
    ASSERT_EQ(list.entries.size(), 2u);
    EXPECT_EQ(list.entries[1].name, L"empty.txt");
    EXPECT_EQ(list.entries[1].crc_installed, 0u);  // an empty file's CRC-32
    ASSERT_TRUE(ExtractFirstItem(dir / L"server\\empty.txt", dir / L"x"));
    EXPECT_EQ(ReadFileBytes(dir / L"x"), "");
}

TEST(Publish, ServedCopiesAreNotReadOnly) {
    TempDir dir;
    PutFile(dir / L"release", L"locked.txt", "read-only in the release");
    ASSERT_TRUE(
        SetFileAttributesW((dir / L"release\\locked.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    PublishOptions options = Options(dir);
    options.version = L"1";
    Published result;
    RunPublish(options, result);
    ASSERT_EQ(result.code, kExitOk) << Narrow(result.log.text);
    EXPECT_EQ(GetFileAttributesW((dir / L"server\\locked.txt").c_str()) & FILE_ATTRIBUTE_READONLY,
              0u);
    SetFileAttributesW((dir / L"release\\locked.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
}  // namespace qv::publish
