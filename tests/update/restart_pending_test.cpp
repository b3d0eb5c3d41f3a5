// A run while registered moves wait for the next start, the rollback record staged by a
// cut installation, and lists that name the update directory's own files.

#include <gtest/gtest.h>
#include <zlib.h>

#include <vector>

#include "tests/support/test_support.h"
#include "tests/update/local_logic.h"
#include "tests/update/loopback_server.h"
#include "update/pending_renames.h"
#include "update/update_logic.h"

namespace qv {
namespace {

using test::FileExists;
using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

constexpr wchar_t kUnreachable[] = L"http://127.0.0.1:9/up1";

// Both values of registered renames as they were before the test, put back after it.
class RegisteredRenames {
public:
    RegisteredRenames() {
        for (int i = 0; i < 2; ++i) {
            DWORD size = 0;
            saved_[i].present =
                RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingRenameValues[i],
                             RRF_RT_ANY, &saved_[i].type, nullptr, &size) == ERROR_SUCCESS;
            saved_[i].data.resize(size);
            if (saved_[i].present &&
                RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingRenameValues[i],
                             RRF_RT_ANY | RRF_NOEXPAND, &saved_[i].type, saved_[i].data.data(),
                             &size) != ERROR_SUCCESS) {
                saved_[i].present = false;
            }
        }
        Clear();
    }
    ~RegisteredRenames() {
        Clear();
        for (int i = 0; i < 2; ++i) {
            if (saved_[i].present) {
                Set(kPendingRenameValues[i], saved_[i].type, saved_[i].data);
            }
        }
    }
    RegisteredRenames(const RegisteredRenames&) = delete;
    RegisteredRenames& operator=(const RegisteredRenames&) = delete;

    static void Clear() {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_SET_VALUE, &key),
                  ERROR_SUCCESS);
        for (const wchar_t* value : kPendingRenameValues) {
            RegDeleteValueW(key, value);
        }
        RegCloseKey(key);
    }
    static void Set(const wchar_t* value, DWORD type, const std::vector<BYTE>& data) {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_SET_VALUE, &key),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExW(key, value, 0, type, data.data(), static_cast<DWORD>(data.size())),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    // Strings joined as REG_MULTI_SZ stores them, each with its terminator, and one more.
    static std::vector<BYTE> MultiString(const std::vector<std::wstring>& strings) {
        std::wstring joined;
        for (const std::wstring& s : strings) {
            joined += s;
            joined.push_back(L'\0');
        }
        joined.push_back(L'\0');
        const BYTE* bytes = reinterpret_cast<const BYTE*>(joined.data());
        return std::vector<BYTE>(bytes, bytes + joined.size() * sizeof(wchar_t));
    }

private:
    struct Saved {
        bool present = false;
        DWORD type = 0;
        std::vector<BYTE> data;
    } saved_[2];
};

TEST(PendingRenames, ParsesPairsDeletesAndTheEndOfTheList) {
    using namespace std::string_literals;
    using Pairs = std::vector<std::pair<std::wstring, std::wstring>>;
    struct Case {
        std::wstring data;
        bool ok;
        Pairs pairs;
    };
    const std::vector<Case> cases = {
        {L"\\??\\C:\\a\0!\\??\\C:\\b\0\0"s, true, {{L"\\??\\C:\\a", L"!\\??\\C:\\b"}}},
        // A delete has an empty target; the list still ends with one more empty string.
        {L"\\??\\C:\\d\0\0\\??\\C:\\e\0\\??\\C:\\f\0\0"s,
         true,
         {{L"\\??\\C:\\d", L""}, {L"\\??\\C:\\e", L"\\??\\C:\\f"}}},
        {L"\\??\\C:\\d\0\0\0\0\0"s, true, {{L"\\??\\C:\\d", L""}}},
        {L""s, true, {}},
        {L"\0"s, true, {}},
        // Without its final terminators, as a writer may leave it.
        {L"a\0b"s, true, {{L"a", L"b"}}},
        {L"\\??\\C:\\a\0"s, false, {}},  // no target
        {L"\\??\\C:\\a"s, false, {}},
        {L"a\0b\0\0c\0d\0\0"s, false, {}},  // text after the end
    };
    for (const Case& c : cases) {
        std::vector<PendingRename> renames;
        EXPECT_EQ(ParsePendingRenames(c.data, renames), c.ok) << test::Narrow(c.data);
        if (c.ok) {
            Pairs pairs;
            for (const PendingRename& r : renames) {
                pairs.emplace_back(r.source, r.target);
            }
            EXPECT_EQ(pairs, c.pairs) << test::Narrow(c.data);
        }
    }
}

TEST(PendingRenames, RegisteredNamesStandForWin32Paths) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"\\??\\C:\\Qv\\update\\a.txt", L"C:\\Qv\\update\\a.txt"},
        {L"!\\??\\C:\\Qv\\a.txt", L"C:\\Qv\\a.txt"},
        {L"\\??\\UNC\\server\\share\\a", L"\\\\server\\share\\a"},
        {L"C:\\plain", L"C:\\plain"},
        {L"", L""},
    };
    for (const auto& [name, path] : cases) {
        EXPECT_EQ(PathOfRegisteredName(name), path) << test::Narrow(name);
    }
}

// Whatever the job, a run ends with 12 before any request or change while a registered
// move takes a file from this installation's update directory, or while the registered
// moves cannot be read; others' moves do not count.
TEST(RestartPending, RegisteredMovesFromTheUpdateDirectoryStopEveryJob) {
    RegisteredRenames restore;
    TempDir dir;
    test::LoopbackServer server;
    ASSERT_TRUE(server.ok());
    server.Put("/up1/ver.dat", "2");
    const std::wstring app = dir / L"Qv Reader";
    WriteFileBytes(app + L"\\ver.dat", "1");
    const std::vector<std::pair<std::wstring, std::string>> staged = {
        {L"update\\a.txt", "staged a"},
        {L"update\\downlist.dat", "0,0,0,0,a.txt\n"},
        {L"update\\release.seq.new", "7\n"},
        {L"update\\release.ver.new", "2"},
        {L"update\\release.seq", "5\n"}};
    auto stage = [&] {
        for (const auto& [name, bytes] : staged) {
            WriteFileBytes(app + L"\\" + name, bytes);
        }
    };
    std::wstring upper = app;
    CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    struct Case {
        const char* what;
        const wchar_t* value;
        DWORD type;
        std::vector<BYTE> data;
        bool pending;
    };
    using R = RegisteredRenames;
    const std::vector<Case> cases = {
        {"ours", kPendingRenameValues[0], REG_MULTI_SZ,
         R::MultiString({L"\\??\\" + app + L"\\update\\a.txt", L"!\\??\\" + app + L"\\a.txt"}),
         true},
        {"ours, other case, second value, after others", kPendingRenameValues[1], REG_MULTI_SZ,
         R::MultiString({L"\\??\\C:\\other\\x", L"", L"\\??\\" + upper + L"\\UPDATE\\A.TXT",
                         L"!\\??\\" + app + L"\\a.txt"}),
         true},
        {"a delete of ours", kPendingRenameValues[0], REG_MULTI_SZ,
         R::MultiString({L"\\??\\" + app + L"\\update\\a.txt", L""}), true},
        {"unreadable form", kPendingRenameValues[0], REG_MULTI_SZ,
         R::MultiString({L"\\??\\C:\\other\\x", L"", L"", L"\\??\\C:\\other\\y"}), true},
        {"another type", kPendingRenameValues[1], REG_SZ, R::MultiString({L"x"}), true},
        {"another installation", kPendingRenameValues[0], REG_MULTI_SZ,
         R::MultiString({L"\\??\\" + app + L"2\\update\\a.txt", L"!\\??\\" + app + L"2\\a.txt",
                         L"\\??\\" + app + L"\\updater\\a.txt", L"!\\??\\" + app + L"\\a.txt"}),
         false},
        {"into our update directory", kPendingRenameValues[0], REG_MULTI_SZ,
         R::MultiString({L"\\??\\C:\\other\\x", L"!\\??\\" + app + L"\\update\\x"}), false},
    };
    for (const Case& c : cases) {
        R::Clear();
        R::Set(c.value, c.type, c.data);
        for (const bool copy_only : {false, true}) {
            stage();
            LocalLogic logic(app, server.Url());
            const size_t requests = server.Requests().size();
            const UpdateResult result = logic.RunExclusive(copy_only);
            if (c.pending) {
                EXPECT_EQ(result, UPDATE_RESTART_PENDING) << c.what << " " << copy_only;
                EXPECT_EQ(server.Requests().size(), requests) << c.what;
            } else {
                EXPECT_NE(result, UPDATE_RESTART_PENDING) << c.what << " " << copy_only;
            }
            if (c.pending) {
                for (const auto& [name, bytes] : staged) {
                    EXPECT_EQ(ReadFileBytes(app + L"\\" + name), bytes) << c.what;
                }
            }
        }
    }
    // What the system itself registers reads the same.
    R::Clear();
    stage();
    ASSERT_TRUE(MoveFileExW((app + L"\\update\\a.txt").c_str(), (app + L"\\a.txt").c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT));
    LocalLogic logic(app, L"http://127.0.0.1:9/up1");
    EXPECT_TRUE(logic.RestartPending());
    R::Clear();
    EXPECT_FALSE(logic.RestartPending());
}

// A record staged by an earlier run is put in place only when its release is the one
// installed; otherwise it goes with its companion. Either way before any request.
TEST(StagedReleaseRecord, IsSettledByTheVersionItWasStagedWith) {
    struct Case {
        const char* what;
        const char* staged;     // release.seq.new, or null
        const char* companion;  // release.ver.new, or null
        const char* record;     // release.seq afterwards
    };
    const Case cases[] = {
        {"cut after ver.dat moved", "200\n", "1.0.0.2", "100\n"},
        {"never installed", "200\n", "1.0.0.3", "100\n"},
        {"no companion", "200\n", nullptr, "100\n"},
        {"moved at the start", nullptr, "1.0.0.2", "100\n"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        WriteFileBytes(dir / L"ver.dat", "1.0.0.2");
        WriteFileBytes(dir / L"update\\release.seq", "100\n");
        if (c.staged != nullptr) {
            WriteFileBytes(dir / L"update\\release.seq.new", c.staged);
        }
        if (c.companion != nullptr) {
            WriteFileBytes(dir / L"update\\release.ver.new", c.companion);
        }
        UpdateSettings settings = LocalSettings(dir.path(), kUnreachable);
        settings.version_timeout_ms = 2000;
        LocalLogic logic(settings);
        bool self_update = false;
        EXPECT_EQ(logic.UpdatePass(self_update), UPDATE_E_VERSION_CHECK) << c.what;
        const bool reached =
            c.staged != nullptr && c.companion != nullptr && std::string(c.companion) == "1.0.0.2";
        EXPECT_EQ(ReadFileBytes(dir / L"update\\release.seq"), reached ? c.staged : c.record)
            << c.what;
        EXPECT_FALSE(FileExists(dir / L"update\\release.seq.new")) << c.what;
        EXPECT_FALSE(FileExists(dir / L"update\\release.ver.new")) << c.what;
    }
}

uint32_t Crc(const std::string& bytes) {
    return static_cast<uint32_t>(
        crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

// A list that names a file the update directory keeps for itself is refused whole, as a
// list that cannot be read: nothing is fetched or staged, the move list stays.
TEST(ReservedNames, AListNamingTheUpdateDirectorysOwnFilesIsRefusedWhole) {
    for (const wchar_t* reserved : {L"downlist.dat", L"FILELIST.DAT", L"release.seq",
                                    L"release.ver.new ", L"update\\a.txt", L"Update.\\x\\y.txt"}) {
        TempDir dir;
        test::LoopbackServer server;
        ASSERT_TRUE(server.ok());
        WriteFileBytes(dir / L"ver.dat", "1");
        WriteFileBytes(dir / L"update\\downlist.dat", "previous\n");
        const std::string line =
            std::to_string(Crc("x")) + "," + std::to_string(Crc("x")) + ",0,0,";
        server.Put("/up1/ver.dat", "2");
        server.Put("/up1/filelist.dat",
                   line + "a.txt\n" + line + test::Narrow(reserved) + "\n" + line + "ver.dat\n");
        server.Put("/up1/a.txt", "x");
        LocalLogic logic(dir.path(), server.Url());
        EXPECT_EQ(logic.RunExclusive(false), UPDATE_E_LIST_READ) << test::Narrow(reserved);
        EXPECT_EQ(server.Requests(),
                  (std::vector<std::string>{"/up1/ver.dat", "/up1/filelist.dat"}));
        EXPECT_EQ(ReadFileBytes(dir / L"update\\downlist.dat"), "previous\n");
        EXPECT_FALSE(FileExists(dir / L"update\\a.txt"));
        EXPECT_EQ(ReadFileBytes(dir / L"ver.dat"), "1");
    }
}

}  // namespace
}  // namespace qv
