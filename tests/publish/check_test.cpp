#include "tools/publish/checker.h"

#include <gtest/gtest.h>

#include "tests/publish/helpers.h"
#include "tests/support/test_support.h"
#include "tools/publish/publisher.h"
#include "tools/publish/zip_archive.h"
#include "update/file_list.h"

namespace qv::publish {
namespace {

// A published server folder to plant faults in.
class CheckTest : public test::SmallReleaseTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(MakeSmallRelease());
        PutFile(release, L"sub\\other.dat", test::TextBytes(20000));
        MemoryLog log;
        ASSERT_EQ(Publish(SmallReleaseOptions(), log), kExitOk) << Narrow(log.text);
        ASSERT_TRUE(list.ReadFileList((server + L"\\filelist.dat").c_str()));
        ASSERT_EQ(list.entries.size(), 4u);
    }

    int RunCheck(const std::wstring& installed = L"") {
        CheckOptions options;
        options.server_dir = server;
        options.installed_dir = installed;
        log.text.clear();
        return Check(options, log);
    }

    FileEntry& Entry(const std::wstring& name) {
        for (FileEntry& entry : list.entries) {
            if (entry.name == name) {
                return entry;
            }
        }
        ADD_FAILURE() << "no entry " << Narrow(name);
        return list.entries.front();
    }
    void WriteList() { ASSERT_TRUE(list.WriteFileList((server + L"\\filelist.dat").c_str())); }

    FileList list;
    MemoryLog log;
};

TEST_F(CheckTest, FindsNothingWrongInAFreshlyPublishedFolder) {
    EXPECT_EQ(RunCheck(), kExitOk) << Narrow(log.text);
    EXPECT_EQ(log.WarningCount(), 0u) << Narrow(log.text);
    EXPECT_TRUE(Contains(log.text, L"version: \"" + test::Wide(QV_SAMPLE_READER_NEXT_VERSION)));
    EXPECT_TRUE(Contains(log.text, L"file list: 4 entries"));
    EXPECT_TRUE(Contains(log.text, L"a new installation would download:"));
    EXPECT_TRUE(Contains(log.text, L"  4 file(s), "));
}

TEST_F(CheckTest, FindsLinesTheUpdaterSkipsOrMisreads) {
    std::string bytes = ReadFileBytes(server + L"\\filelist.dat");
    bytes += "1,2,3\n";                     // too few fields
    bytes += "1,2,3,0,..\\evil.dll\n";      // leaves the installation
    bytes += "\n";                          // empty: skipped, harmless
    bytes += "1,1,0,0,update\\x.dat\n";     // read, but lands in the updater's folder
    bytes += "0012,12abc,0,0,plain.txt\n";  // read as 12,12,0,0 (and listed twice)
    bytes += "1,1,0,0,DownList.dat\n";      // staged over the updater's own list
    WriteFileBytes(server + L"\\filelist.dat", bytes);
    EXPECT_EQ(RunCheck(), kExitProblems);
    EXPECT_TRUE(
        Contains(log.text, L"error: filelist.dat line 5: the updater skips this line: \"1,2,3\""))
        << Narrow(log.text);
    EXPECT_TRUE(
        Contains(log.text, L"line 6: the updater skips this line: \"1,2,3,0,..\\evil.dll\""));
    EXPECT_FALSE(Contains(log.text, L"line 7:"));
    EXPECT_TRUE(
        Contains(log.text, L"error: filelist.dat line 8: \"update\\x.dat\": the updater keeps"));
    EXPECT_TRUE(Contains(log.text,
                         L"warning: filelist.dat line 9: the updater reads "
                         L"\"0012,12abc,0,0,plain.txt\" as \"12,12,0,0,plain.txt\""));
    EXPECT_TRUE(Contains(log.text, L"line 9: \"plain.txt\" is listed again"));
    EXPECT_TRUE(Contains(log.text,
                         L"error: filelist.dat line 10: \"DownList.dat\": the updater keeps a "
                         L"working file of this name"));

    WriteFileBytes(server + L"\\filelist.dat",
                   "\xef\xbb\xbf" + ReadFileBytes(server + L"\\filelist.dat"));
    EXPECT_EQ(RunCheck(), kExitProblems);
    EXPECT_TRUE(Contains(log.text, L"line 1: starts with a byte order mark"));
}

TEST_F(CheckTest, FindsMissingFilesAndCrcMismatches) {
    ASSERT_TRUE(DeleteFileW((server + L"\\sub\\other.dat").c_str()));
    WriteFileBytes(server + L"\\plain.txt", "changed after publishing");
    Entry(L"qvreader.exe").crc_installed += 1;  // a plain file installs as downloaded
    WriteList();
    EXPECT_EQ(RunCheck(), kExitProblems);
    EXPECT_TRUE(Contains(log.text, L"error: \"sub\\other.dat\" (zipped) is missing on the server"))
        << Narrow(log.text);
    EXPECT_TRUE(Contains(log.text, L"error: \"plain.txt\": the served file's CRC-32 is "));
    EXPECT_TRUE(Contains(log.text, L"error: \"qvreader.exe\": crc_installed "));
    EXPECT_EQ(log.ErrorCount(), 3u) << Narrow(log.text);
}

TEST_F(CheckTest, FindsArchivesThatDoNotGiveTheListedFile) {
    // Another file's archive in its place, its download CRC updated: only the first
    // item's CRC-32 tells.
    const std::wstring zipped = server + L"\\sub\\zipped.dat";
    ASSERT_TRUE(CopyFileW((server + L"\\sub\\other.dat").c_str(), zipped.c_str(), FALSE));
    Entry(L"sub\\zipped.dat").crc_download = FileCrc32(zipped.c_str());
    // A damaged deflate stream behind an intact directory: only extraction tells.
    const std::wstring other = server + L"\\sub\\other.dat";
    std::string bytes = ReadFileBytes(other);
    for (size_t i = 200; i < 260; ++i) {
        bytes[i] = static_cast<char>(bytes[i] ^ 0x33);
    }
    WriteFileBytes(other, bytes);
    Entry(L"sub\\other.dat").crc_download = FileCrc32(other.c_str());
    // A plain file where an archive is listed.
    Entry(L"plain.txt").zipped = 1;
    WriteList();
    EXPECT_EQ(RunCheck(), kExitProblems);
    EXPECT_TRUE(Contains(log.text,
                         L"error: \"sub\\zipped.dat\" (zipped): the archive's first item "
                         L"has CRC-32 "))
        << Narrow(log.text);
    EXPECT_TRUE(Contains(log.text,
                         L"error: \"sub\\other.dat\" (zipped): the archive's first item "
                         L"does not extract"));
    EXPECT_TRUE(Contains(log.text, L"error: \"plain.txt\" (zipped): the served file is no zip"));
    EXPECT_EQ(log.ErrorCount(), 3u) << Narrow(log.text);
}

TEST_F(CheckTest, FindsVersionFilesTheUpdaterCannotUse) {
    // The updater's sink stops at a zero byte: the text still matches, with a warning.
    WriteFileBytes(server + L"\\ver.dat",
                   std::string(QV_SAMPLE_READER_NEXT_VERSION) + std::string(1, '\0') + "junk");
    EXPECT_EQ(RunCheck(), kExitOk) << Narrow(log.text);
    EXPECT_TRUE(Contains(log.text, L"version: \"" + test::Wide(QV_SAMPLE_READER_NEXT_VERSION) +
                                       L"\" (ver.dat, 12 bytes)"));
    EXPECT_TRUE(Contains(log.text, L"warning: ver.dat holds a zero byte"));
    WriteFileBytes(server + L"\\ver.dat", "1.0.0.2\n");
    EXPECT_EQ(RunCheck(), kExitProblems);
    EXPECT_TRUE(Contains(log.text, L"error: ver.dat holds a line feed")) << Narrow(log.text);
    DeleteFileW((server + L"\\ver.dat").c_str());
    EXPECT_EQ(RunCheck(), kExitProblems);
    EXPECT_TRUE(Contains(log.text, L"error: ver.dat is missing")) << Narrow(log.text);
    DeleteFileW((server + L"\\filelist.dat").c_str());
    EXPECT_EQ(RunCheck(), kExitProblems);
    EXPECT_TRUE(Contains(log.text, L"error: filelist.dat is missing"));
}

TEST_F(CheckTest, ListsWhatAnInstallationWouldDownload) {
    // An installation of the previous version with one file already current.
    const std::wstring installed = dir / L"installed";
    ASSERT_TRUE(test::CopyInto(test::SampleReader(), installed, L"qvreader.exe"));
    ASSERT_TRUE(test::CopyInto(dir / L"release\\sub\\other.dat", installed, L"sub\\other.dat"));
    PutFile(installed, L"plain.txt", "old text");
    EXPECT_EQ(RunCheck(installed), kExitOk) << Narrow(log.text);
    EXPECT_TRUE(Contains(log.text, L"installation: version \"" +
                                       test::Wide(QV_SAMPLE_READER_VERSION) +
                                       L"\" (from qvreader.exe) differs"))
        << Narrow(log.text);
    const uint64_t served_reader = ReadFileBytes(server + L"\\qvreader.exe").size();
    const uint64_t served_plain = ReadFileBytes(server + L"\\plain.txt").size();
    const uint64_t served_zipped = ReadFileBytes(server + L"\\sub\\zipped.dat").size();
    EXPECT_TRUE(Contains(log.text, L"  plain.txt  " + std::to_wstring(served_plain) + L" bytes\n"));
    EXPECT_TRUE(Contains(
        log.text, L"  sub\\zipped.dat (zipped)  " + std::to_wstring(served_zipped) + L" bytes\n"));
    EXPECT_FALSE(Contains(log.text, L"  sub\\other.dat"));
    EXPECT_TRUE(Contains(
        log.text, L"  3 file(s), " + std::to_wstring(served_reader + served_plain + served_zipped) +
                      L" bytes"));

    // A local ver.dat that equals the server's text: the updater stops at the version
    // check, whatever else differs.
    PutFile(installed, L"ver.dat", std::string(QV_SAMPLE_READER_NEXT_VERSION) + "\r\n");
    EXPECT_EQ(RunCheck(installed), kExitOk);
    EXPECT_TRUE(Contains(log.text, L"(from ver.dat) equals the server's: the updater stops there"))
        << Narrow(log.text);
    EXPECT_TRUE(Contains(log.text, L"warning: the installation differs from the server in 3 "));
    EXPECT_EQ(RunCheck(dir / L"missing"), kExitUsage);
}

}  // namespace
}  // namespace qv::publish
