// Staging, installation and the hand-over to a new updater, against a loopback server
// and temporary installations.

#include <gtest/gtest.h>
#include <zip.h>
#include <zlib.h>

#include <cstdlib>
#include <utility>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/update/local_logic.h"
#include "tests/update/loopback_server.h"
#include "trust/release_record.h"
#include "update/update_logic.h"
#include "win/unique_handle.h"

namespace qv {
namespace {

using test::FileExists;
using test::LoopbackServer;
using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

uint32_t Crc(const std::string& bytes) {
    return static_cast<uint32_t>(
        crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

// A deflated zip archive with the given items, in order.
std::string ZipOf(const std::vector<std::pair<std::string, std::string>>& items) {
    TempDir dir;
    const std::string path = test::Narrow(dir / L"made.zip");
    zipFile zip = zipOpen(path.c_str(), APPEND_STATUS_CREATE);
    EXPECT_NE(zip, nullptr);
    if (zip == nullptr) {
        return {};
    }
    for (const auto& [name, data] : items) {
        zip_fileinfo info = {};
        EXPECT_EQ(zipOpenNewFileInZip(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                      Z_DEFLATED, Z_DEFAULT_COMPRESSION),
                  ZIP_OK);
        EXPECT_EQ(zipWriteInFileInZip(zip, data.data(), static_cast<unsigned>(data.size())),
                  ZIP_OK);
        EXPECT_EQ(zipCloseFileInZip(zip), ZIP_OK);
    }
    EXPECT_EQ(zipClose(zip, nullptr), ZIP_OK);
    return ReadFileBytes(dir / L"made.zip");
}

// Paths compare without regard to letter case.
bool EndsWithPath(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() &&
           CompareStringOrdinal(text.c_str() + text.size() - tail.size(),
                                static_cast<int>(tail.size()), tail.c_str(),
                                static_cast<int>(tail.size()), TRUE) == CSTR_EQUAL;
}

FileEntry Entry(const std::wstring& name, const std::string& installed,
                const std::string* download = nullptr) {
    FileEntry entry;
    entry.crc_installed = Crc(installed);
    entry.crc_download = Crc(download != nullptr ? *download : installed);
    entry.zipped = download != nullptr ? 1 : 0;
    entry.name = name;
    return entry;
}

// Keeps PendingFileRenameOperations as it was before the test, because a test that
// registers moves must not leave them for the next start of the prefix.
class PendingRenames {
public:
    PendingRenames() { had_value_ = Read(saved_); }
    ~PendingRenames() {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
            return;
        }
        if (had_value_) {
            RegSetValueExW(key, kValue, 0, REG_MULTI_SZ,
                           reinterpret_cast<const BYTE*>(saved_.data()),
                           static_cast<DWORD>(saved_.size() * sizeof(wchar_t)));
        } else {
            RegDeleteValueW(key, kValue);
        }
        RegCloseKey(key);
    }
    PendingRenames(const PendingRenames&) = delete;
    PendingRenames& operator=(const PendingRenames&) = delete;

    // The value's strings: source, target, source, target, ...
    static std::vector<std::wstring> Strings() {
        std::vector<wchar_t> raw;
        std::vector<std::wstring> out;
        if (!Read(raw)) {
            return out;
        }
        std::wstring current;
        for (wchar_t c : raw) {
            if (c == L'\0') {
                out.push_back(current);
                current.clear();
            } else {
                current.push_back(c);
            }
        }
        // The list ends with an empty string.
        while (!out.empty() && out.back().empty()) {
            out.pop_back();
        }
        return out;
    }

    // Removes every registered rename (the destructor puts back what was there before).
    static void Clear() {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
            RegDeleteValueW(key, kValue);
            RegCloseKey(key);
        }
    }

    // The registered target of a source path ending in `source_tail`, or "" when none.
    static std::wstring TargetOf(const std::wstring& source_tail) {
        const std::vector<std::wstring> strings = Strings();
        for (size_t i = 0; i + 1 < strings.size(); i += 2) {
            if (EndsWithPath(strings[i], source_tail)) {
                return strings[i + 1];
            }
        }
        return L"";
    }

private:
    static constexpr wchar_t kKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
    static constexpr wchar_t kValue[] = L"PendingFileRenameOperations";

    static bool Read(std::vector<wchar_t>& out) {
        out.clear();
        DWORD size = 0;
        if (RegGetValueW(HKEY_LOCAL_MACHINE, kKey, kValue, RRF_RT_REG_MULTI_SZ, nullptr, nullptr,
                         &size) != ERROR_SUCCESS) {
            return false;
        }
        out.resize(size / sizeof(wchar_t) + 1);
        size = static_cast<DWORD>(out.size() * sizeof(wchar_t));
        if (RegGetValueW(HKEY_LOCAL_MACHINE, kKey, kValue, RRF_RT_REG_MULTI_SZ, nullptr, out.data(),
                         &size) != ERROR_SUCCESS) {
            out.clear();
            return false;
        }
        out.resize(size / sizeof(wchar_t));
        return true;
    }

    std::vector<wchar_t> saved_;
    bool had_value_ = false;
};

// Opens a file the way another program would hold it: no write sharing.
UniqueFileHandle HoldOpen(const std::wstring& path, DWORD share) {
    return UniqueFileHandle(CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Runs a copy of this test binary with only the named child test enabled.
class ChildEnvironment {
public:
    ChildEnvironment(const wchar_t* filter, const wchar_t* name, const std::wstring& value)
        : name_(name) {
        SetEnvironmentVariableW(L"GTEST_FILTER", filter);
        SetEnvironmentVariableW(name, value.c_str());
    }
    ~ChildEnvironment() {
        SetEnvironmentVariableW(L"GTEST_FILTER", nullptr);
        SetEnvironmentVariableW(name_, nullptr);
    }
    ChildEnvironment(const ChildEnvironment&) = delete;
    ChildEnvironment& operator=(const ChildEnvironment&) = delete;

private:
    const wchar_t* name_;
};

bool WaitForFile(const std::wstring& path, DWORD timeout_ms) {
    const DWORD start = GetTickCount();
    while (!FileExists(path)) {
        if (GetTickCount() - start > timeout_ms) {
            return false;
        }
        Sleep(20);
    }
    // The writer may still be closing it.
    Sleep(50);
    return true;
}

// Serves a release: its ver.dat, a file list of `entries` (each line ending in
// `line_end`) and the given bodies under /up1/. Gives the list as served.
std::string ServeRelease(LoopbackServer& server, const std::string& version,
                         const std::vector<FileEntry>& entries,
                         const std::vector<std::pair<std::string, std::string>>& bodies,
                         const wchar_t* line_end = L"\n") {
    std::wstring list_text;
    for (const FileEntry& entry : entries) {
        list_text += FormatFileEntry(entry) + line_end;
    }
    server.Put("/up1/ver.dat", version);
    server.Put("/up1/filelist.dat", test::Narrow(list_text));
    for (const auto& [path, body] : bodies) {
        server.Put("/up1/" + path, body);
    }
    return test::Narrow(list_text);
}

// ---- Staging one entry ----

// One entry staged as the pass stages it: unsigned, over a connection of the worker's,
// with the pass's rule for the updater's own name.
UpdateResult FetchWith(LocalLogic& logic, const std::wstring& base_url, const FileEntry& entry,
                       bool* self_update) {
    const PassContext pass{logic.AppDir(), base_url, kVersionTimeoutMs, {}};
    CDownloader fetcher(&logic);
    const std::unique_ptr<VerificationPolicy> policy = MakeVerificationPolicy(std::nullopt);
    bool downloaded = false;
    if (self_update != nullptr) {
        *self_update = NamesUpdater(entry);
    }
    return logic.FetchAndPlaceEntry(entry, pass, fetcher, *policy, &downloaded);
}

class FetchTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.ok()); }
    UpdateResult Fetch(const FileEntry& entry, bool* self_update = nullptr) {
        return FetchWith(logic, server.Url(), entry, self_update);
    }
    std::wstring Staged(const std::wstring& name) const { return dir / (L"update\\" + name); }

    TempDir dir;
    LoopbackServer server;
    LocalLogic logic{dir.path(), server.Url()};
};

TEST_F(FetchTest, StagedFileThatIsAlreadyRightIsReusedWithoutADownload) {
    const std::string content = "staged by an interrupted run";
    WriteFileBytes(Staged(L"sub\\a.dll"), content);
    const std::string archive = ZipOf({{"a.dll", content}});
    server.Put("/up1/sub/a.dll", archive);
    EXPECT_EQ(Fetch(Entry(L"sub\\a.dll", content, &archive)), UPDATE_OK);
    EXPECT_TRUE(server.Requests().empty());
    EXPECT_FALSE(FileExists(Staged(L"sub\\a.dll.zip")));
    EXPECT_EQ(ReadFileBytes(Staged(L"sub\\a.dll")), content);
}

TEST_F(FetchTest, StagedPathsThatOlderUpdatersLeftReadOnlyOrAsFoldersAreRepaired) {
    const std::string content = "the listed file";
    const std::string archive = ZipOf({{"a.dll", content}});
    server.Put("/up1/plain.dll", content);
    server.Put("/up1/zipped.dll", archive);
    struct Case {
        const wchar_t* name;
        const std::string* served_archive;
        bool stale_folder;    // else a read-only, hidden file of other bytes
        bool stale_download;  // the archive's path rather than the file's
    };
    const Case cases[] = {
        {L"plain.dll", nullptr, false, false},   {L"plain.dll", nullptr, true, false},
        {L"zipped.dll", &archive, false, false}, {L"zipped.dll", &archive, true, false},
        {L"zipped.dll", &archive, false, true},  {L"zipped.dll", &archive, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.stale_folder << c.stale_download << " "
                                        << std::string(c.name, c.name + wcslen(c.name)));
        const std::wstring stale = Staged(c.name) + (c.stale_download ? L".zip" : L"");
        ASSERT_TRUE(CreateDirectoryW((dir / L"update").c_str(), nullptr) ||
                    GetLastError() == ERROR_ALREADY_EXISTS);
        if (c.stale_folder) {
            ASSERT_TRUE(CreateDirectoryW(stale.c_str(), nullptr));
        } else {
            WriteFileBytes(stale, "left by an older updater");
            ASSERT_TRUE(
                SetFileAttributesW(stale.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
        }
        EXPECT_EQ(Fetch(Entry(c.name, content, c.served_archive)), UPDATE_OK);
        EXPECT_EQ(ReadFileBytes(Staged(c.name)), content);
        EXPECT_EQ(GetFileAttributesW(Staged(c.name).c_str()) &
                      (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_DIRECTORY),
                  0u);
        ASSERT_TRUE(DeleteFileW(Staged(c.name).c_str()));
    }
}

TEST_F(FetchTest, WrongBodyTwiceThenRightSucceeds) {
    server.SetHandler("/up1/sub/a.dll", [](const std::string&, int earlier) {
        return test::HttpReply{200, earlier < 2 ? "wrong body" : "right body"};
    });
    EXPECT_EQ(Fetch(Entry(L"sub\\a.dll", "right body")), UPDATE_OK);
    EXPECT_EQ(server.CountOf("/up1/sub/a.dll"), 3);
    EXPECT_EQ(ReadFileBytes(Staged(L"sub\\a.dll")), "right body");
    // Each wrong body was taken back: the file counts once.
    EXPECT_EQ(logic.DownloadProgress().Current().received, 10u);
    EXPECT_EQ(logic.DownloadProgress().Current().total, 10u);
}

TEST_F(FetchTest, ThreeWrongDownloadsFailTheEntryAndTheLastOneStays) {
    server.Put("/up1/a.dll", "always wrong");
    EXPECT_EQ(Fetch(Entry(L"a.dll", "right body")), UPDATE_E_FILE_DOWNLOAD);
    EXPECT_EQ(server.CountOf("/up1/a.dll"), 3);
    EXPECT_EQ(ReadFileBytes(Staged(L"a.dll")), "always wrong");
}

TEST_F(FetchTest, ErrorPagesAndRefusedConnectionsFailTheEntry) {
    // No Put: three 404 pages, three failed attempts, and no page written as the file.
    EXPECT_EQ(Fetch(Entry(L"a.dll", "right body")), UPDATE_E_FILE_DOWNLOAD);
    EXPECT_EQ(server.CountOf("/up1/a.dll"), 3);
    EXPECT_FALSE(FileExists(Staged(L"a.dll")));
    LocalLogic unreachable(dir.path(), L"http://127.0.0.1:9/up1");
    bool self_update = false;
    EXPECT_EQ(FetchWith(unreachable, L"http://127.0.0.1:9/up1", Entry(L"b.dll", "b"), &self_update),
              UPDATE_E_FILE_DOWNLOAD);
}

TEST_F(FetchTest, ZippedEntryComesFromThePlainNameAndLeavesOnlyItsFirstItem) {
    const std::string first = "the file itself";
    const std::string archive = ZipOf({{"stored-name.txt", first}, {"second.txt", "other"}});
    server.Put("/up1/sub/b.txt", archive);
    EXPECT_EQ(Fetch(Entry(L"sub\\b.txt", first, &archive)), UPDATE_OK);
    EXPECT_EQ(server.Requests(), std::vector<std::string>{"/up1/sub/b.txt"});
    EXPECT_EQ(ReadFileBytes(Staged(L"sub\\b.txt")), first);
    EXPECT_FALSE(FileExists(Staged(L"sub\\b.txt.zip")));
    EXPECT_FALSE(FileExists(Staged(L"sub\\stored-name.txt")));
    EXPECT_FALSE(FileExists(Staged(L"sub\\second.txt")));
}

TEST_F(FetchTest, ExtractedFileWithoutTheListedCrcFailsAndIsNotKept) {
    const std::string archive = ZipOf({{"b.txt", "not what the list says"}});
    server.Put("/up1/b.txt", archive);
    EXPECT_EQ(Fetch(Entry(L"b.txt", "what the list says", &archive)), UPDATE_E_EXTRACT);
    EXPECT_FALSE(FileExists(Staged(L"b.txt")));
    EXPECT_EQ(ReadFileBytes(Staged(L"b.txt.zip")), archive);
}

TEST_F(FetchTest, DownloadThatIsNoArchiveFailsExtractionAndStays) {
    const std::string not_a_zip = "plain bytes with the listed CRC";
    server.Put("/up1/b.txt", not_a_zip);
    EXPECT_EQ(Fetch(Entry(L"b.txt", "x", &not_a_zip)), UPDATE_E_EXTRACT);
    EXPECT_EQ(ReadFileBytes(Staged(L"b.txt.zip")), not_a_zip);
    EXPECT_FALSE(FileExists(Staged(L"b.txt")));
}

TEST_F(FetchTest, StopIsCheckedBeforeEveryAttempt) {
    logic.RequestStop();
    EXPECT_EQ(Fetch(Entry(L"a.dll", "a")), UPDATE_STOPPED);
    EXPECT_TRUE(server.Requests().empty());
    logic.StopAndWait();  // clears the flag

    // A stop that arrives during the first (wrong) download ends before the second.
    server.SetHandler("/up1/a.dll", [this](const std::string&, int) {
        logic.RequestStop();
        return test::HttpReply{200, "wrong"};
    });
    EXPECT_EQ(Fetch(Entry(L"a.dll", "a")), UPDATE_STOPPED);
    EXPECT_EQ(server.CountOf("/up1/a.dll"), 1);
}

TEST_F(FetchTest, OnlyTheExactUpdaterNameSetsSelfUpdateEvenWhenReused) {
    WriteFileBytes(Staged(L"update.exe"), "new updater");
    bool self_update = false;
    EXPECT_EQ(Fetch(Entry(L"update.exe", "new updater"), &self_update), UPDATE_OK);
    EXPECT_TRUE(self_update);
    EXPECT_TRUE(server.Requests().empty());
    for (const wchar_t* other : {L"Update.exe", L"sub\\update.exe", L"update.exe.bak"}) {
        WriteFileBytes(Staged(other), "x");
        EXPECT_EQ(Fetch(Entry(other, "x"), &self_update), UPDATE_OK);
        EXPECT_FALSE(self_update) << test::Narrow(other);
    }
}

TEST_F(FetchTest, PathsThatDoNotFitFailWithoutADownload) {
    // app_dir\update\name would be 260 characters; app_dir\name alone would fit.
    const std::wstring long_dir = dir.path() + L"\\" + std::wstring(100, L'd');
    const std::wstring name(MAX_PATH - long_dir.size() - 8, L'n');
    ASSERT_EQ(long_dir.size() + 1 + 6 + 1 + name.size(), static_cast<size_t>(MAX_PATH));
    LocalLogic logic_long(long_dir, server.Url());
    bool self_update = false;
    EXPECT_EQ(FetchWith(logic_long, server.Url(), Entry(name, "x"), &self_update),
              UPDATE_E_FILE_DOWNLOAD);

    // The staged path just fits; with ".zip" it does not.
    const std::wstring zipped_name = name.substr(0, name.size() - 1);
    const std::string archive = ZipOf({{"x", "x"}});
    EXPECT_EQ(FetchWith(logic_long, server.Url(), Entry(zipped_name, "x", &archive), &self_update),
              UPDATE_E_FILE_DOWNLOAD);
    EXPECT_TRUE(server.Requests().empty());
    EXPECT_FALSE(test::DirectoryExists(long_dir));
}

// ---- Installation ----

class InstallTest : public ::testing::Test {
protected:
    void Stage(const std::wstring& name, const std::string& content) {
        ASSERT_TRUE(WriteFileBytes(dir / (L"update\\" + name), content));
    }
    // Stages each file with its new contents and lists them all, in order, in downlist.dat.
    void StageAndList(const std::vector<std::pair<std::wstring, std::string>>& files) {
        std::vector<FileEntry> entries;
        for (const auto& [name, content] : files) {
            Stage(name, content);
            entries.push_back(Entry(name, content));
        }
        WriteDownlist(entries);
    }
    void WriteDownlist(const std::vector<FileEntry>& entries) {
        FileList list;
        list.entries = entries;
        ASSERT_TRUE(list.WriteFileList((dir / L"update\\downlist.dat").c_str()));
    }
    std::wstring Staged(const std::wstring& name) const { return dir / (L"update\\" + name); }
    UpdateResult Install(MoveFileFunction move = &MoveFileExW) {
        UpdateSettings settings = LocalSettings(dir.path(), L"http://127.0.0.1:9/up1");
        settings.move_file = move;
        LocalLogic logic(settings);
        return logic.InstallFiles();
    }

    TempDir dir;
};

TEST_F(InstallTest, MovesEveryStagedFileAndCreatesMissingDirectories) {
    WriteFileBytes(dir / L"a.txt", "old a");
    WriteFileBytes(dir / L"update\\filelist.dat", "kept\n");
    StageAndList({{L"a.txt", "new a"}, {L"sub\\deep\\c.txt", "new c"}});
    EXPECT_EQ(Install(), UPDATE_OK);
    EXPECT_EQ(ReadFileBytes(dir / L"a.txt"), "new a");
    EXPECT_EQ(ReadFileBytes(dir / L"sub\\deep\\c.txt"), "new c");
    EXPECT_FALSE(FileExists(Staged(L"a.txt")));
    EXPECT_FALSE(FileExists(Staged(L"sub\\deep\\c.txt")));
    // The list files and the update directory outlive the installation.
    EXPECT_TRUE(FileExists(Staged(L"downlist.dat")));
    EXPECT_TRUE(FileExists(Staged(L"filelist.dat")));
}

TEST_F(InstallTest, MissingDownloadListIsAListReadFailure) {
    EXPECT_EQ(Install(), UPDATE_E_LIST_READ);
}

TEST_F(InstallTest, MissingStagedFileInstallsNothing) {
    WriteFileBytes(dir / L"a.txt", "old a");
    Stage(L"a.txt", "new a");
    WriteDownlist({Entry(L"a.txt", "new a"), Entry(L"gone.txt", "never staged")});
    EXPECT_EQ(Install(), UPDATE_E_INSTALL);
    EXPECT_EQ(ReadFileBytes(dir / L"a.txt"), "old a");
    EXPECT_EQ(ReadFileBytes(Staged(L"a.txt")), "new a");
}

TEST_F(InstallTest, EntryWhosePathDoesNotFitInstallsNothing) {
    WriteFileBytes(dir / L"a.txt", "old a");
    Stage(L"a.txt", "new a");
    // Too long under the update directory; the entry can never be staged or moved.
    const std::wstring long_name(MAX_PATH - dir.path().size() - 2, L'n');
    WriteDownlist({Entry(L"a.txt", "new a"), Entry(long_name, "x")});
    EXPECT_EQ(Install(), UPDATE_E_INSTALL);
    EXPECT_EQ(ReadFileBytes(dir / L"a.txt"), "old a");
}

// Records every move the installation asks for, and carries it out.
std::vector<std::pair<std::wstring, DWORD>> g_moves;
BOOL WINAPI RecordingMove(const wchar_t* from, const wchar_t* to, DWORD flags) {
    g_moves.emplace_back(from, flags);
    return MoveFileExW(from, to, flags);
}
std::vector<std::wstring> MovedSources() {
    std::vector<std::wstring> sources;
    for (const auto& move : g_moves) {
        sources.push_back(move.first);
    }
    return sources;
}

// The files that tell the installed version come last, whatever their place in the list
// and their letter case, and under any name that Windows resolves to them ("x." is x);
// a file of the same name in a subfolder is no version file.
class MoveOrderTest : public InstallTest {
protected:
    void StageRelease() {
        std::vector<FileEntry> entries;
        for (const wchar_t* name :
             {L"VER.DAT", L"a.txt", L"qvreader.exe.", L"sub\\ver.dat", L"b.txt"}) {
            Stage(name, "new " + test::Narrow(name));
            entries.push_back(Entry(name, "new " + test::Narrow(name)));
        }
        WriteDownlist(entries);
        g_moves.clear();
    }
    // The staged names in the order they were moved or registered.
    static std::vector<std::wstring> Order(const std::vector<std::wstring>& sources) {
        std::vector<std::wstring> names;
        for (const std::wstring& source : sources) {
            names.push_back(source.substr(source.rfind(L"\\update\\") + 8));
        }
        return names;
    }
    const std::vector<std::wstring> expected_ = {L"a.txt", L"sub\\ver.dat", L"b.txt",
                                                 L"qvreader.exe.", L"VER.DAT"};
};

TEST_F(MoveOrderTest, ImmediateAndCopyOnlyInstallationsMoveTheVersionFilesLastAndDurably) {
    for (const bool copy_only : {false, true}) {
        StageRelease();
        UpdateSettings settings = LocalSettings(dir.path(), L"http://127.0.0.1:9/up1");
        settings.move_file = &RecordingMove;
        LocalLogic logic(settings);
        EXPECT_EQ(copy_only ? logic.RunExclusive(true) : logic.InstallFiles(), UPDATE_OK);
        for (const auto& move : g_moves) {
            EXPECT_EQ(move.second,
                      static_cast<DWORD>(MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
        }
        EXPECT_EQ(Order(MovedSources()), expected_) << "copy-only " << copy_only;
        EXPECT_EQ(ReadFileBytes(dir / L"ver.dat"), "new VER.DAT");
    }
}

TEST_F(MoveOrderTest, MovesRegisteredForTheNextStartKeepTheVersionFilesLast) {
    PendingRenames restore;
    StageRelease();
    WriteFileBytes(dir / L"b.txt", "old b");
    UniqueFileHandle held = HoldOpen(dir / L"b.txt", FILE_SHARE_READ);
    ASSERT_TRUE(held);
    EXPECT_EQ(Install(), UPDATE_OK);
    held.reset();
    // Registered in order, each under this installation's update directory.
    std::vector<std::wstring> sources;
    const std::vector<std::wstring> strings = PendingRenames::Strings();
    for (size_t i = 0; i + 1 < strings.size(); i += 2) {
        if (EndsWithPath(strings[i], L"\\" + dir.path().substr(dir.path().rfind(L'\\') + 1) +
                                         L"\\update\\" + Order({strings[i]}).front())) {
            sources.push_back(strings[i]);
        }
    }
    // The system records the name as it resolves it.
    std::vector<std::wstring> registered = expected_;
    registered[3] = L"qvreader.exe";
    EXPECT_EQ(Order(sources), registered);
    EXPECT_EQ(ReadFileBytes(dir / L"b.txt"), "old b");
}

// A signed release's rollback record says the release is whole: it moves after the
// version files in every kind of installation, and at the next start when they wait.
TEST_F(MoveOrderTest, TheRollbackRecordMovesAfterEverythingElse) {
    std::vector<std::wstring> with_record = expected_;
    with_record.push_back(kStagedReleaseRecordName);
    for (const bool copy_only : {false, true}) {
        StageRelease();
        Stage(kStagedReleaseRecordName, "7\n");
        UpdateSettings settings = LocalSettings(dir.path(), L"http://127.0.0.1:9/up1");
        settings.move_file = &RecordingMove;
        LocalLogic logic(settings);
        EXPECT_EQ(copy_only ? logic.RunExclusive(true) : logic.InstallFiles(), UPDATE_OK);
        EXPECT_EQ(Order(MovedSources()), with_record) << "copy-only " << copy_only;
        std::optional<uint64_t> sequence;
        ASSERT_TRUE(ReadReleaseRecord(Staged(kReleaseRecordName).c_str(), sequence));
        EXPECT_EQ(sequence, 7u);
        EXPECT_FALSE(test::FileExists(Staged(kStagedReleaseRecordName)));
        DeleteFileW(Staged(kReleaseRecordName).c_str());
    }

    PendingRenames restore;
    StageRelease();
    Stage(kStagedReleaseRecordName, "8\n");
    WriteFileBytes(dir / L"b.txt", "old b");
    UniqueFileHandle held = HoldOpen(dir / L"b.txt", FILE_SHARE_READ);
    ASSERT_TRUE(held);
    EXPECT_EQ(Install(), UPDATE_OK);
    held.reset();
    const std::vector<std::wstring> strings = PendingRenames::Strings();
    ASSERT_GE(strings.size(), 2u);
    // Registered last, to replace the record; until the next start the old one counts.
    EXPECT_TRUE(EndsWithPath(strings[strings.size() - 2], L"\\update\\release.seq.new"));
    EXPECT_TRUE(EndsWithPath(strings.back(), L"\\update\\release.seq"));
    EXPECT_FALSE(test::FileExists(Staged(kReleaseRecordName)));
}

TEST_F(InstallTest, AStagedFileThatCannotBeFlushedInstallsNothing) {
    WriteFileBytes(dir / L"a.txt", "old a");
    StageAndList({{L"a.txt", "new a"}, {L"b.txt", "new b"}});
    // Another program reads the staged file and lets nobody write it.
    UniqueFileHandle held = HoldOpen(Staged(L"b.txt"), FILE_SHARE_READ);
    ASSERT_TRUE(held);
    g_moves.clear();
    EXPECT_EQ(Install(&RecordingMove), UPDATE_E_INSTALL);
    EXPECT_TRUE(g_moves.empty());
    EXPECT_EQ(ReadFileBytes(dir / L"a.txt"), "old a");
}

TEST(CanOpenForWrite, FailsWhileAnotherHandleDeniesWriteSharing) {
    TempDir dir;
    const std::wstring path = dir / L"reader.dll";
    WriteFileBytes(path, "in use");
    EXPECT_TRUE(CanOpenForWrite(path.c_str()));
    {
        UniqueFileHandle held = HoldOpen(path, FILE_SHARE_READ);
        ASSERT_TRUE(held);
        EXPECT_FALSE(CanOpenForWrite(path.c_str()));
    }
    EXPECT_TRUE(CanOpenForWrite(path.c_str()));
    EXPECT_FALSE(CanOpenForWrite((dir / L"missing.dll").c_str()));
    // The test itself leaves the file as it was.
    EXPECT_EQ(ReadFileBytes(path), "in use");
}

TEST_F(InstallTest, OneTargetInUseDefersEveryMoveToTheNextStart) {
    PendingRenames restore;
    WriteFileBytes(dir / L"a.txt", "old a");
    WriteFileBytes(dir / L"b.txt", "old b");
    StageAndList({{L"a.txt", "new a"}, {L"b.txt", "new b"}, {L"sub\\c.txt", "new c"}});
    UniqueFileHandle held = HoldOpen(dir / L"b.txt", FILE_SHARE_READ);
    ASSERT_TRUE(held);
    EXPECT_EQ(Install(), UPDATE_OK);
    held.reset();
    // Nothing replaced now, nothing taken from the update directory.
    EXPECT_EQ(ReadFileBytes(dir / L"a.txt"), "old a");
    EXPECT_EQ(ReadFileBytes(dir / L"b.txt"), "old b");
    EXPECT_FALSE(FileExists(dir / L"sub\\c.txt"));
    EXPECT_TRUE(FileExists(Staged(L"a.txt")));
    // The directory for the new file is there for the move at the next start.
    EXPECT_TRUE(test::DirectoryExists(dir / L"sub"));
    // Every move is registered, each replacing its target ("!" marks replacement).
    for (const wchar_t* name : {L"a.txt", L"b.txt", L"sub\\c.txt"}) {
        const std::wstring target = PendingRenames::TargetOf(L"\\update\\" + std::wstring(name));
        ASSERT_FALSE(target.empty()) << test::Narrow(name);
        EXPECT_EQ(target.substr(0, 1), L"!");
        EXPECT_TRUE(EndsWithPath(target, dir / name)) << test::Narrow(target);
    }
}

TEST_F(InstallTest, FailedImmediateMoveRegistersTheRestForTheNextStart) {
    PendingRenames restore;
    WriteFileBytes(dir / L"a.txt", "old a");
    // A file where the second target's directory should be: its move fails.
    WriteFileBytes(dir / L"blocker", "a file, not a directory");
    StageAndList({{L"a.txt", "new a"}, {L"blocker\\c.txt", "new c"}, {L"d.txt", "new d"}});
    EXPECT_EQ(Install(), UPDATE_OK);
    EXPECT_EQ(ReadFileBytes(dir / L"a.txt"), "new a");
    EXPECT_TRUE(PendingRenames::TargetOf(L"\\update\\a.txt").empty());
    EXPECT_FALSE(PendingRenames::TargetOf(L"\\update\\blocker\\c.txt").empty());
    EXPECT_FALSE(PendingRenames::TargetOf(L"\\update\\d.txt").empty());
    EXPECT_FALSE(FileExists(dir / L"d.txt"));
}

// A standard user on Windows: registering a move for the next start is refused.
// Immediate moves fail from call number `g_failing_move` on (0: never).
int g_move_calls = 0;
int g_failing_move = 0;
BOOL WINAPI StandardUserMove(const wchar_t* from, const wchar_t* to, DWORD flags) {
    if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (g_failing_move != 0 && ++g_move_calls >= g_failing_move) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    return MoveFileExW(from, to, flags);
}

TEST_F(InstallTest, DeferralThatCannotBeRegisteredFailsTheRunAndKeepsTheStagedFiles) {
    PendingRenames restore;
    WriteFileBytes(dir / L"a.txt", "old a");
    WriteFileBytes(dir / L"b.txt", "old b");
    StageAndList({{L"a.txt", "new a"}, {L"b.txt", "new b"}});
    UniqueFileHandle held = HoldOpen(dir / L"b.txt", FILE_SHARE_READ);
    ASSERT_TRUE(held);
    g_failing_move = 0;
    EXPECT_EQ(Install(&StandardUserMove), UPDATE_E_INSTALL);
    held.reset();
    EXPECT_EQ(ReadFileBytes(dir / L"a.txt"), "old a");
    EXPECT_EQ(ReadFileBytes(Staged(L"a.txt")), "new a");
    EXPECT_EQ(ReadFileBytes(Staged(L"b.txt")), "new b");
    EXPECT_TRUE(PendingRenames::TargetOf(L"\\update\\a.txt").empty());
}

TEST_F(InstallTest, FailedMoveThatCannotBeRegisteredFailsTheRun) {
    PendingRenames restore;
    for (const wchar_t* name : {L"a.txt", L"b.txt", L"c.txt"}) {
        Stage(name, "new " + test::Narrow(name));
    }
    WriteDownlist(
        {Entry(L"a.txt", "new a.txt"), Entry(L"b.txt", "new b.txt"), Entry(L"c.txt", "new c.txt")});
    g_move_calls = 0;
    g_failing_move = 2;
    EXPECT_EQ(Install(&StandardUserMove), UPDATE_E_INSTALL);
    g_failing_move = 0;
    // What was moved stays moved; the rest waits in the update directory.
    EXPECT_EQ(ReadFileBytes(dir / L"a.txt"), "new a.txt");
    EXPECT_TRUE(FileExists(Staged(L"b.txt")));
    EXPECT_TRUE(FileExists(Staged(L"c.txt")));
    EXPECT_FALSE(FileExists(dir / L"b.txt"));
}

// Attributes each target had when its move was asked for, by target path.
std::vector<std::pair<std::wstring, DWORD>> g_target_attributes;
BOOL WINAPI AttributeRecordingMove(const wchar_t* from, const wchar_t* to, DWORD flags) {
    g_target_attributes.emplace_back(to, GetFileAttributesW(to));
    return MoveFileExW(from, to, flags);
}

// A read-only installed file is made writable right before its move, keeping its other
// attributes, whether the move happens now or at the next start.
TEST_F(InstallTest, AReadOnlyTargetIsMadeWritableRightBeforeItsMove) {
    PendingRenames restore;
    for (const bool deferred : {false, true}) {
        const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE;
        WriteFileBytes(dir / L"a.txt", "old a");
        WriteFileBytes(dir / L"b.txt", "old b");
        ASSERT_TRUE(SetFileAttributesW((dir / L"a.txt").c_str(), kept | FILE_ATTRIBUTE_READONLY));
        Stage(L"a.txt", "new a");
        Stage(L"b.txt", "new b");
        WriteDownlist({Entry(L"a.txt", "new a"), Entry(L"b.txt", "new b")});
        UniqueFileHandle held;
        if (deferred) {
            held = HoldOpen(dir / L"b.txt", FILE_SHARE_READ);
            ASSERT_TRUE(held);
        }
        g_target_attributes.clear();
        EXPECT_EQ(Install(&AttributeRecordingMove), UPDATE_OK) << deferred;
        held.reset();
        ASSERT_EQ(g_target_attributes.size(), 2u) << deferred;
        EXPECT_TRUE(EndsWithPath(g_target_attributes[0].first, dir / L"a.txt"));
        EXPECT_EQ(g_target_attributes[0].second & (kept | FILE_ATTRIBUTE_READONLY), kept)
            << deferred;
        if (deferred) {
            EXPECT_FALSE(PendingRenames::TargetOf(L"\\update\\a.txt").empty());
            EXPECT_EQ(ReadFileBytes(dir / L"a.txt"), "old a");
        } else {
            EXPECT_EQ(ReadFileBytes(dir / L"a.txt"), "new a");
            EXPECT_EQ(ReadFileBytes(dir / L"b.txt"), "new b");
        }
        SetFileAttributesW((dir / L"a.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

TEST_F(InstallTest, AFolderWhereAFileMustGoInstallsNothing) {
    PendingRenames restore;
    WriteFileBytes(dir / L"a.txt", "old a");
    ASSERT_TRUE(CreateDirectoryW((dir / L"ver.dat").c_str(), nullptr));
    StageAndList({{L"a.txt", "new a"}, {L"ver.dat", "2"}});
    g_moves.clear();
    EXPECT_EQ(Install(&RecordingMove), UPDATE_E_INSTALL);
    EXPECT_TRUE(g_moves.empty());
    EXPECT_EQ(ReadFileBytes(dir / L"a.txt"), "old a");
    EXPECT_TRUE(PendingRenames::TargetOf(L"\\update\\a.txt").empty());
}

// The completion notice says whether the installation waits for the next start; the
// result is success either way.
TEST_F(InstallTest, TheCompletionNoticeTellsAnInstallationThatWaitsForTheNextStart) {
    PendingRenames restore;
    const HWND window =
        CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    for (const bool held_open : {false, true}) {
        TempDir app;
        WriteFileBytes(app / L"a.txt", "old a");
        ASSERT_TRUE(WriteFileBytes(app / L"update\\a.txt", "new a"));
        FileList list;
        list.entries = {Entry(L"a.txt", "new a")};
        ASSERT_TRUE(list.WriteFileList((app / L"update\\downlist.dat").c_str()));
        UniqueFileHandle held;
        if (held_open) {
            held = HoldOpen(app / L"a.txt", FILE_SHARE_READ);
            ASSERT_TRUE(held);
        }
        LocalLogic logic(app.path(), L"http://127.0.0.1:9/up1");
        logic.SetNotifyWindow(window);
        EXPECT_EQ(logic.RunJob(true), UPDATE_OK);
        MSG done;
        ASSERT_TRUE(PeekMessageW(&done, window, WM_UPDATEDONE, WM_UPDATEDONE, PM_REMOVE));
        EXPECT_EQ(done.wParam, held_open ? kUpdateDoneAfterRestart : kUpdateDoneFinished);
        EXPECT_EQ(done.lParam, 0);
        held.reset();
        PendingRenames::Clear();
    }
    DestroyWindow(window);
}

// ---- Self-update ----

TEST(Relaunch, CommandLineQuotesTheUpdaterAndNamesItAsTheApplication) {
    LocalLogic logic(L"C:\\Program Files\\Qv Reader", L"http://127.0.0.1:9/up1");
    std::wstring application, command_line;
    ASSERT_TRUE(logic.RelaunchCommandLine(application, command_line));
    EXPECT_EQ(application, L"C:\\Program Files\\Qv Reader\\update\\update.exe");
    EXPECT_EQ(command_line, L"\"C:\\Program Files\\Qv Reader\\update\\update.exe\" /copyonly");

    // The longest installation path whose updater path still fits.
    const std::wstring longest = L"C:\\" + std::wstring(MAX_PATH - 1 - 18 - 3, L'x');
    LocalLogic at_limit(longest, L"http://127.0.0.1:9/up1");
    ASSERT_TRUE(at_limit.RelaunchCommandLine(application, command_line));
    EXPECT_EQ(application.size(), static_cast<size_t>(MAX_PATH - 1));
    EXPECT_LT(command_line.size(), kRelaunchCommandCapacity);
    LocalLogic over(longest + L"x", L"http://127.0.0.1:9/up1");
    EXPECT_FALSE(over.RelaunchCommandLine(application, command_line));
}

// Started by the relaunch below as update.exe or as a planted program.
TEST(RelaunchChild, RecordsHowItWasStarted) {
    const char* out = std::getenv("QV_RELAUNCH_OUT");
    if (out == nullptr) {
        GTEST_SKIP() << "runs only when started by the relaunch test";
    }
    const std::wstring record = test::ThisExecutable() + L"\n" + GetCommandLineW();
    // The file appears only when complete.
    const std::wstring final_path = test::Widen(out);
    ASSERT_TRUE(WriteFileBytes(final_path + L".part", test::Narrow(record)));
    ASSERT_TRUE(MoveFileW((final_path + L".part").c_str(), final_path.c_str()));
}

TEST(Relaunch, StartsTheStagedUpdaterEvenUnderAPathWithSpaces) {
    TempDir dir;
    const std::wstring app_dir = dir / L"Qv Reader";
    ASSERT_TRUE(CreateDirectoryW(app_dir.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((app_dir + L"\\update").c_str(), nullptr));
    const std::wstring updater = app_dir + L"\\update\\update.exe";
    ASSERT_TRUE(CopyFileW(test::ThisExecutable().c_str(), updater.c_str(), FALSE));
    // What an unquoted command line would start first.
    ASSERT_TRUE(CopyFileW(test::ThisExecutable().c_str(), (dir / L"Qv.exe").c_str(), FALSE));

    const std::wstring out = dir / L"started.txt";
    {
        ChildEnvironment child(L"RelaunchChild.*", L"QV_RELAUNCH_OUT", out);
        LocalLogic logic(app_dir, L"http://127.0.0.1:9/up1");
        ASSERT_TRUE(logic.RelaunchFromUpdateDir());
    }
    ASSERT_TRUE(WaitForFile(out, 20000));
    const std::string record = ReadFileBytes(out);
    const size_t newline = record.find('\n');
    ASSERT_NE(newline, std::string::npos);
    const std::wstring started = test::Widen(record.substr(0, newline));
    EXPECT_TRUE(started.size() == updater.size() && EndsWithPath(started, updater)) << record;
    EXPECT_EQ(record.substr(newline + 1), "\"" + test::Narrow(updater) + "\" /copyonly");
}

TEST(Relaunch, FailsWhenThereIsNoRunnableUpdater) {
    TempDir dir;
    LocalLogic logic(dir.path(), L"http://127.0.0.1:9/up1");
    EXPECT_FALSE(logic.RelaunchFromUpdateDir());
    WriteFileBytes(dir / L"update\\update.exe", "not a program");
    EXPECT_FALSE(logic.RelaunchFromUpdateDir());
}

TEST(SelfUpdate, UpdaterThatCannotStartFailsTheRunAndInstallsNothing) {
    TempDir dir;
    LoopbackServer server;
    ASSERT_TRUE(server.ok());
    const std::string broken_updater = "downloaded, verified, but no program";
    WriteFileBytes(dir / L"ver.dat", "1");
    WriteFileBytes(dir / L"update.exe", "old updater");
    WriteFileBytes(dir / L"a.txt", "old a");
    ServeRelease(server, "2", {Entry(L"a.txt", "new a"), Entry(L"update.exe", broken_updater)},
                 {{"a.txt", "new a"}, {"update.exe", broken_updater}});
    LocalLogic logic(dir.path(), server.Url());
    EXPECT_EQ(logic.RunExclusive(false), UPDATE_E_INSTALL);
    EXPECT_EQ(ReadFileBytes(dir / L"a.txt"), "old a");
    EXPECT_EQ(ReadFileBytes(dir / L"update.exe"), "old updater");
    EXPECT_EQ(ReadFileBytes(dir / L"update\\a.txt"), "new a");
}

// Stands for the old updater: signals that it runs, then lives a little longer.
TEST(OldUpdaterChild, RunsForAWhile) {
    const char* event_name = std::getenv("QV_OLD_UPDATER_EVENT");
    if (event_name == nullptr) {
        GTEST_SKIP() << "runs only when started by the wait test";
    }
    UniqueKernelHandle running(
        OpenEventW(EVENT_MODIFY_STATE, FALSE, test::Widen(event_name).c_str()));
    ASSERT_TRUE(running);
    SetEvent(running.get());
    Sleep(700);
}

// Starts this test binary as the installation's old updater at `old_updater`, running
// only the child test `filter` with `variable` set to `value`.
void StartOldUpdater(const std::wstring& old_updater, const wchar_t* filter,
                     const wchar_t* variable, const std::wstring& value,
                     UniqueKernelHandle& process) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    std::wstring command = L"\"" + old_updater + L"\"";
    std::vector<wchar_t> line(command.begin(), command.end());
    line.push_back(L'\0');
    {
        ChildEnvironment child(filter, variable, value);
        ASSERT_TRUE(CreateProcessW(old_updater.c_str(), line.data(), nullptr, nullptr, FALSE, 0,
                                   nullptr, nullptr, &startup, &info));
    }
    process.reset(info.hProcess);
    UniqueKernelHandle thread(info.hThread);
}

TEST(WaitForOldUpdater, WaitsForTheUpdaterOfTheInstallationWhateverTheLetterCase) {
    TempDir dir;
    const std::wstring old_updater = dir / L"update.exe";
    ASSERT_TRUE(CopyFileW(test::ThisExecutable().c_str(), old_updater.c_str(), FALSE));
    const std::wstring event_name = L"qv-old-updater-" + std::to_wstring(GetCurrentProcessId());
    UniqueKernelHandle running(CreateEventW(nullptr, TRUE, FALSE, event_name.c_str()));
    ASSERT_TRUE(running);

    UniqueKernelHandle process;
    StartOldUpdater(old_updater, L"OldUpdaterChild.*", L"QV_OLD_UPDATER_EVENT", event_name,
                    process);
    ASSERT_TRUE(process);
    ASSERT_EQ(WaitForSingleObject(running.get(), 20000), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

    std::wstring other_case = dir.path();
    CharUpperBuffW(other_case.data(), static_cast<DWORD>(other_case.size()));
    LocalLogic logic(other_case, L"http://127.0.0.1:9/up1");
    EXPECT_TRUE(logic.WaitForOldUpdater());
    EXPECT_EQ(WaitForSingleObject(process.get(), 0), WAIT_OBJECT_0);
}

// Stands for an old updater that never ends.
TEST(EndlessUpdaterChild, Sleeps) {
    if (std::getenv("QV_ENDLESS_UPDATER") == nullptr) {
        GTEST_SKIP() << "runs only when started by the bounded wait test";
    }
    Sleep(120000);
}

TEST(WaitForOldUpdater, AnOldUpdaterThatDoesNotEndLeavesEverythingStaged) {
    TempDir dir;
    const std::wstring old_updater = dir / L"update.exe";
    ASSERT_TRUE(CopyFileW(test::ThisExecutable().c_str(), old_updater.c_str(), FALSE));
    WriteFileBytes(dir / L"a.txt", "old a");
    ASSERT_TRUE(WriteFileBytes(dir / L"update\\a.txt", "new a"));
    FileList list;
    list.entries = {Entry(L"a.txt", "new a")};
    ASSERT_TRUE(list.WriteFileList((dir / L"update\\downlist.dat").c_str()));
    const std::string downlist = ReadFileBytes(dir / L"update\\downlist.dat");

    UniqueKernelHandle process;
    StartOldUpdater(old_updater, L"EndlessUpdaterChild.*", L"QV_ENDLESS_UPDATER", L"1", process);
    ASSERT_TRUE(process);

    UpdateSettings settings = LocalSettings(dir.path(), L"http://127.0.0.1:9/up1");
    settings.old_updater_wait_ms = 300;
    LocalLogic logic(settings);
    bool timed_out = false;
    // The child's image may take a moment to be seen as update.exe.
    for (int i = 0; i < 100 && !timed_out; ++i) {
        EXPECT_TRUE(logic.WaitForOldUpdater(&timed_out) || timed_out);
    }
    ASSERT_TRUE(timed_out);
    EXPECT_EQ(logic.RunJob(true), UPDATE_E_INSTALL);
    TerminateProcess(process.get(), 0);
    WaitForSingleObject(process.get(), 20000);
    EXPECT_EQ(ReadFileBytes(dir / L"a.txt"), "old a");
    EXPECT_EQ(ReadFileBytes(dir / L"update\\a.txt"), "new a");
    EXPECT_EQ(ReadFileBytes(dir / L"update\\downlist.dat"), downlist);
    // Once the old updater is gone, the same installation completes.
    EXPECT_EQ(logic.RunJob(true), UPDATE_OK);
    EXPECT_EQ(ReadFileBytes(dir / L"a.txt"), "new a");
}

TEST(WaitForOldUpdater, ReturnsAtOnceWhenNoUpdaterRuns) {
    TempDir dir;
    LocalLogic logic(dir.path(), L"http://127.0.0.1:9/up1");
    const DWORD start = GetTickCount();
    EXPECT_TRUE(logic.WaitForOldUpdater());
    EXPECT_LT(GetTickCount() - start, 5000u);
}

// ---- The whole normal job ----

// A whole job against a loopback server, in a fresh installation.
class UpdateJob : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.ok()); }
    TempDir dir;
    LoopbackServer server;
};

TEST_F(UpdateJob, InstallsChangedNewAndZippedFilesAndKeepsTheLists) {
    WriteFileBytes(dir / L"ver.dat", "1.0\n");
    WriteFileBytes(dir / L"same.txt", "unchanged");
    WriteFileBytes(dir / L"changed.txt", "old");
    WriteFileBytes(dir / L"packed.bin", "old packed");
    const std::string packed(50000, 'p');
    const std::string archive = ZipOf({{"packed.bin", packed}});
    const std::vector<FileEntry> entries = {
        Entry(L"same.txt", "unchanged"), Entry(L"changed.txt", "new"),
        Entry(L"sub\\new.txt", "brand new"), Entry(L"packed.bin", packed, &archive),
        Entry(L"ver.dat", "2.0")};
    // A CR LF list reads the same.
    const std::string list_text = ServeRelease(
        server, "2.0", entries,
        {{"changed.txt", "new"}, {"sub/new.txt", "brand new"}, {"packed.bin", archive}}, L"\r\n");
    LocalLogic logic(dir.path(), server.Url());
    const HWND window =
        CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    logic.SetNotifyWindow(window);
    EXPECT_EQ(logic.RunExclusive(false), UPDATE_OK);
    // The window was told, and the last figures are every downloaded body's bytes.
    MSG progress;
    EXPECT_TRUE(PeekMessageW(&progress, window, WM_UPDATEPROGRESS, WM_UPDATEPROGRESS, PM_REMOVE));
    DestroyWindow(window);
    const uint64_t bytes = 3 + 9 + archive.size() + 3;
    EXPECT_EQ(logic.Progress().received, bytes);
    EXPECT_EQ(logic.Progress().total, bytes);

    EXPECT_EQ(ReadFileBytes(dir / L"same.txt"), "unchanged");
    EXPECT_EQ(ReadFileBytes(dir / L"changed.txt"), "new");
    EXPECT_EQ(ReadFileBytes(dir / L"sub\\new.txt"), "brand new");
    EXPECT_TRUE(ReadFileBytes(dir / L"packed.bin") == packed);  // too long to print
    EXPECT_FALSE(FileExists(dir / L"update\\packed.bin.zip"));
    EXPECT_EQ(server.CountOf("/up1/same.txt"), 0);
    // downlist.dat: the changed entries, in list order, LF only.
    const std::string expected_downlist =
        test::Narrow(FormatFileEntry(entries[1]) + L"\n" + FormatFileEntry(entries[2]) + L"\n" +
                     FormatFileEntry(entries[3]) + L"\n" + FormatFileEntry(entries[4]) + L"\n");
    EXPECT_EQ(ReadFileBytes(dir / L"update\\downlist.dat"), expected_downlist);
    EXPECT_EQ(ReadFileBytes(dir / L"update\\filelist.dat"), list_text);
}

TEST_F(UpdateJob, AVersionFileThatDoesNotArriveFailsTheJobAndFetchesNothingElse) {
    server.Put("/up1/filelist.dat", test::Narrow(FormatFileEntry(Entry(L"a.txt", "new")) + L"\n"));
    server.Put("/up1/a.txt", "new");
    server.SetHandler("/up1/slow/ver.dat", [](const std::string&, int) {
        Sleep(1500);
        return test::HttpReply{200, "2.0"};
    });
    struct Case {
        const char* what;
        std::wstring base_url;
        std::vector<std::string> requests;
    };
    const std::vector<Case> cases = {
        {"refused", L"http://127.0.0.1:9/up1", {}},
        {"404", server.Url(), {"/up1/ver.dat"}},
        {"silent", server.Url(L"/up1/slow"), {"/up1/slow/ver.dat"}},
    };
    for (const Case& c : cases) {
        TempDir dir;
        WriteFileBytes(dir / L"ver.dat", "1.0");
        WriteFileBytes(dir / L"a.txt", "old");
        const std::vector<std::string> before = server.Requests();
        UpdateSettings settings = LocalSettings(dir.path(), c.base_url);
        settings.version_timeout_ms = 400;
        LocalLogic logic(settings);
        EXPECT_EQ(logic.RunExclusive(false), UPDATE_E_VERSION_CHECK) << c.what;
        std::vector<std::string> requests = server.Requests();
        requests.erase(requests.begin(), requests.begin() + before.size());
        EXPECT_EQ(requests, c.requests) << c.what;
        EXPECT_FALSE(test::DirectoryExists(dir / L"update")) << c.what;
        EXPECT_EQ(ReadFileBytes(dir / L"a.txt"), "old") << c.what;
    }
}

TEST(UpdateJobFileList, AFileListAnsweredWithAnErrorFailsAndLeavesThePreviousList) {
    for (const int status : {404, 500}) {
        TempDir dir;
        LoopbackServer server;
        ASSERT_TRUE(server.ok());
        WriteFileBytes(dir / L"ver.dat", "1.0");
        WriteFileBytes(dir / L"update\\filelist.dat", "previous list\n");
        WriteFileBytes(dir / L"update\\downlist.dat", "previous downlist\n");
        server.Put("/up1/ver.dat", "2.0");
        server.SetHandler("/up1/filelist.dat", [status](const std::string&, int) {
            return test::HttpReply{status, "<h1>error page</h1>"};
        });
        LocalLogic logic(dir.path(), server.Url());
        EXPECT_EQ(logic.RunExclusive(false), UPDATE_E_FILELIST_DOWNLOAD) << status;
        EXPECT_EQ(ReadFileBytes(dir / L"update\\filelist.dat"), "previous list\n") << status;
        EXPECT_EQ(ReadFileBytes(dir / L"update\\downlist.dat"), "previous downlist\n") << status;
        EXPECT_EQ(server.Requests(),
                  (std::vector<std::string>{"/up1/ver.dat", "/up1/filelist.dat"}));
    }
}

TEST_F(UpdateJob, WithoutAnInstallationDirectoryNothingIsAskedOrWritten) {
    server.Put("/up1/ver.dat", "2.0");
    const bool root_had_update = test::DirectoryExists(L"\\update");
    for (const bool copy_only : {false, true}) {
        LocalLogic logic(L"", server.Url());
        EXPECT_EQ(logic.RunExclusive(copy_only), UPDATE_E_NO_APP_DIR);
        EXPECT_EQ(logic.Run(), UPDATE_E_NO_APP_DIR);
    }
    EXPECT_TRUE(server.Requests().empty());
    if (!root_had_update) {
        EXPECT_FALSE(test::DirectoryExists(L"\\update"));
    }
}

TEST_F(UpdateJob, AMutexThatCannotBeCreatedMeansAnotherJob) {
    WriteFileBytes(dir / L"ver.dat", "1.0");
    server.Put("/up1/ver.dat", "2.0");
    // An object of another kind under the name: CreateMutexW fails, and not with
    // ERROR_ALREADY_EXISTS.
    UniqueKernelHandle squatter(CreateEventW(nullptr, TRUE, FALSE, kUpdateMutexName));
    ASSERT_TRUE(squatter);
    UniqueKernelHandle probe(CreateMutexW(nullptr, FALSE, kUpdateMutexName));
    ASSERT_FALSE(probe);
    ASSERT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    LocalLogic logic(dir.path(), server.Url());
    EXPECT_EQ(logic.RunExclusive(false), UPDATE_OK);
    EXPECT_TRUE(server.Requests().empty());
    EXPECT_FALSE(test::DirectoryExists(dir / L"update"));
}

TEST_F(UpdateJob, EqualVersionsFetchNothingElseAndLeaveNoUpdateDirectory) {
    WriteFileBytes(dir / L"ver.dat", "1.0");
    server.Put("/up1/ver.dat", "1.0");
    server.Put("/up1/filelist.dat", "");
    LocalLogic logic(dir.path(), server.Url());
    EXPECT_EQ(logic.RunExclusive(false), UPDATE_OK);
    EXPECT_EQ(server.Requests(), std::vector<std::string>{"/up1/ver.dat"});
    EXPECT_FALSE(test::DirectoryExists(dir / L"update"));
}

TEST_F(UpdateJob, EqualVersionsInstallNothingThatAnOlderListStaged) {
    // A release that was staged and then withdrawn: the server is back at 1.0.
    WriteFileBytes(dir / L"ver.dat", "1.0");
    WriteFileBytes(dir / L"a.txt", "1.0 a");
    WriteFileBytes(dir / L"update\\a.txt", "withdrawn a");
    FileList stale;
    stale.entries = {Entry(L"a.txt", "withdrawn a")};
    ASSERT_TRUE(stale.WriteFileList((dir / L"update\\downlist.dat").c_str()));
    server.Put("/up1/ver.dat", "1.0");
    LocalLogic logic(dir.path(), server.Url());
    EXPECT_EQ(logic.RunExclusive(false), UPDATE_OK);
    EXPECT_EQ(ReadFileBytes(dir / L"a.txt"), "1.0 a");
}

}  // namespace
}  // namespace qv
