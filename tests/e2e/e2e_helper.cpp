// The Windows side of the end-to-end tests: things a Python driver cannot do from
// Linux. Commands:
//
//   e2e_helper watch OUT TIMEOUT_MS ALSO EXE [ARGS...]
//       Runs EXE with ARGS, and meanwhile every process whose program is ALSO (a
//       path, or "-" for none). Waits for all of them (at most TIMEOUT_MS) and writes
//       to OUT one line per process: "<role> <exit code> <milliseconds>", role "main"
//       or "also". A process still running at the time limit is ended and reported
//       with exit code -1.
//   e2e_helper hold PATH READY RELEASE
//       Opens PATH for reading without write sharing, as a program using it would,
//       creates the file READY, and keeps PATH open until the file RELEASE exists
//       (at most two minutes).
//   e2e_helper close EXE
//       Posts WM_CLOSE to every top-level window of every process running EXE, as a
//       user closing it would. Exit code 0 when at least one window was found.
//   e2e_helper job APP_DIR BASE_URL MODE MOVES [RELEASE_KEYS]
//       Runs the updater's job on the installation APP_DIR with the base URL: MODE
//       "normal" (the update pass and its installation), "stage" (the pass alone, as
//       an old updater that staged a self-update and ended) or "copyonly" (the
//       copy-only installation). After MOVES file moves the next one ends the process
//       at once, as a crash or a power cut would (exit code 99); -1 never does. Exit
//       code otherwise: the job's result. RELEASE_KEYS, when given, stands for the
//       release_keys of the installation's cfg.ini (signed mode). MODE "fetched" or
//       "applied" is the normal job ended the same way when the first patch was fetched,
//       or applied (its output's second half then zeroed, as a crash in the middle of
//       decoding leaves a mapped output). MODE "stop" is the normal job told to stop
//       (as by the tray's close command) when the first patch was fetched. The last
//       download figures the window was told are printed: "progress RECEIVED TOTAL".
//   e2e_helper slowjob APP_DIR BASE_URL WINDOW_MS
//       The normal job, with the slow-transfer rule judged over WINDOW_MS instead of a
//       minute. Exit code: the job's result.
//   e2e_helper renames [clear]
//       Prints the renames registered for the next start, as the updater reads them:
//       one line "SOURCE<TAB>TARGET" per pair, in UTF-8 (TARGET empty for a delete).
//       Exit code 1 when they cannot be read. With "clear", removes both values.
//   e2e_helper trust CERT.der
//       Adds the certificate to the current user's trusted roots (no prompt).
//   e2e_helper untrust CERT.der
//       Removes it again through the current user's registry store: removing it
//       through "Root" reports success under Wine and leaves it trusted.
//   Exit code of both: 0 done, 1 failed.

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <wincrypt.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "update/pending_renames.h"
#include "update/update_logic.h"
#include "win/text.h"
#include "win/unique_handle.h"

namespace {

using qv::UniqueFileHandle;
using qv::UniqueKernelHandle;

constexpr DWORD kPollMs = 5;
constexpr DWORD kMaxHoldMs = 120000;

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring ProgramOf(HANDLE process) {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameExW(process, nullptr, path, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(path, length) : std::wstring();
}

// Ids of the processes whose program is `exe`.
std::vector<DWORD> ProcessesRunning(const std::wstring& exe) {
    std::vector<DWORD> ids;
    UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        return ids;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        UniqueKernelHandle process(
            OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID));
        if (process && SamePath(ProgramOf(process.get()), exe)) {
            ids.push_back(entry.th32ProcessID);
        }
    }
    return ids;
}

struct Watched {
    const char* role;
    DWORD id;
    UniqueKernelHandle process;
};

int Watch(int argc, wchar_t** argv) {
    if (argc < 6) {
        return 64;
    }
    const std::wstring out_path = argv[2];
    const DWORD timeout_ms = static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10));
    const std::wstring also = std::wcscmp(argv[4], L"-") == 0 ? L"" : argv[4];
    const std::wstring exe = argv[5];
    std::wstring command_line = L"\"" + exe + L"\"";
    for (int i = 6; i < argc; ++i) {
        command_line += L" ";
        command_line += argv[i];
    }
    std::vector<wchar_t> line(command_line.begin(), command_line.end());
    line.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    const DWORD start = GetTickCount();
    if (!CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
        std::fwprintf(stderr, L"cannot start %ls: %lu\n", exe.c_str(), GetLastError());
        return 65;
    }
    UniqueKernelHandle thread(info.hThread);
    std::vector<Watched> watched;
    watched.push_back({"main", info.dwProcessId, UniqueKernelHandle(info.hProcess)});

    // A process the main one starts lives at least as long as the main one's last
    // second (the window's closing pause), so polling until the main one has ended
    // finds it.
    bool main_running = true;
    while (main_running && GetTickCount() - start < timeout_ms) {
        main_running = WaitForSingleObject(watched[0].process.get(), kPollMs) == WAIT_TIMEOUT;
        if (also.empty()) {
            continue;
        }
        for (DWORD id : ProcessesRunning(also)) {
            bool known = false;
            for (const Watched& w : watched) {
                known = known || w.id == id;
            }
            if (!known) {
                UniqueKernelHandle process(
                    OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
                if (process) {
                    watched.push_back({"also", id, std::move(process)});
                }
            }
        }
    }

    FILE* out = _wfopen(out_path.c_str(), L"w");
    if (out == nullptr) {
        return 66;
    }
    for (Watched& w : watched) {
        const DWORD elapsed = GetTickCount() - start;
        const DWORD left = elapsed < timeout_ms ? timeout_ms - elapsed : 0;
        long code = -1;
        if (WaitForSingleObject(w.process.get(), left) == WAIT_OBJECT_0) {
            DWORD exit_code = 0;
            GetExitCodeProcess(w.process.get(), &exit_code);
            code = static_cast<long>(exit_code);
        } else {
            TerminateProcess(w.process.get(), 1);
        }
        std::fprintf(out, "%s %ld %lu\n", w.role, code, GetTickCount() - start);
    }
    std::fclose(out);
    return 0;
}

bool Exists(const wchar_t* path) {
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

int Hold(int argc, wchar_t** argv) {
    if (argc != 5) {
        return 64;
    }
    UniqueFileHandle file(CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        std::fwprintf(stderr, L"cannot open %ls: %lu\n", argv[2], GetLastError());
        return 65;
    }
    UniqueFileHandle ready(CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!ready) {
        return 66;
    }
    ready.reset();
    const DWORD start = GetTickCount();
    while (!Exists(argv[4]) && GetTickCount() - start < kMaxHoldMs) {
        Sleep(20);
    }
    return 0;
}

struct CloseRequest {
    std::vector<DWORD> ids;
    int posted = 0;
};

BOOL CALLBACK CloseWindowsOf(HWND window, LPARAM context) {
    auto* request = reinterpret_cast<CloseRequest*>(context);
    DWORD id = 0;
    GetWindowThreadProcessId(window, &id);
    for (DWORD wanted : request->ids) {
        if (id == wanted && PostMessageW(window, WM_CLOSE, 0, 0)) {
            ++request->posted;
        }
    }
    return TRUE;
}

int Close(int argc, wchar_t** argv) {
    if (argc != 3) {
        return 64;
    }
    CloseRequest request;
    request.ids = ProcessesRunning(argv[2]);
    EnumWindows(&CloseWindowsOf, reinterpret_cast<LPARAM>(&request));
    std::printf("%d\n", request.posted);
    return request.posted > 0 ? 0 : 1;
}

constexpr UINT kCrashExitCode = 99;
long g_moves_before_crash = -1;

BOOL WINAPI MoveOrCrash(const wchar_t* from, const wchar_t* to, DWORD flags) {
    if (g_moves_before_crash == 0) {
        TerminateProcess(GetCurrentProcess(), kCrashExitCode);
    }
    if (g_moves_before_crash > 0) {
        --g_moves_before_crash;
    }
    return MoveFileExW(from, to, flags);
}

qv::PatchStep g_crash_at_patch = qv::PatchStep::kFetched;
qv::CUpdateLogic* g_stopped_job = nullptr;  // told to stop instead of ending the process

void StopAtPatchFetched(qv::PatchStep step, const wchar_t*) {
    if (step == qv::PatchStep::kFetched && g_stopped_job != nullptr) {
        g_stopped_job->RequestStop();
    }
}

void CrashAtPatchStep(qv::PatchStep step, const wchar_t* path) {
    if (step != g_crash_at_patch) {
        return;
    }
    if (step == qv::PatchStep::kApplied) {
        qv::UniqueFileHandle output(CreateFileW(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                                FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER size = {};
        if (output && GetFileSizeEx(output.get(), &size)) {
            LARGE_INTEGER half = {};
            half.QuadPart = size.QuadPart / 2;
            const std::string zeros(static_cast<size_t>(size.QuadPart - half.QuadPart), '\0');
            DWORD written = 0;
            static_cast<void>(SetFilePointerEx(output.get(), half, nullptr, FILE_BEGIN) &&
                              WriteFile(output.get(), zeros.data(),
                                        static_cast<DWORD>(zeros.size()), &written, nullptr));
        }
    }
    TerminateProcess(GetCurrentProcess(), kCrashExitCode);
}

// An installation and a server given on the command line; the keys, unless given too,
// from this program's cfg.ini as the updater's own.
qv::UpdateSettings HelperSettings(const wchar_t* app_dir, const wchar_t* base_url) {
    qv::UpdateSettings settings;
    settings.app_dir = app_dir;
    settings.server = qv::ServerSettings{base_url, qv::ReadServerSettings().release_keys, {}};
    return settings;
}

int Job(int argc, wchar_t** argv) {
    if (argc != 6 && argc != 7) {
        return 64;
    }
    const std::wstring mode = argv[4];
    g_moves_before_crash = std::wcstol(argv[5], nullptr, 10);
    qv::UpdateSettings settings = HelperSettings(argv[2], argv[3]);
    if (argc == 7) {
        settings.server->release_keys = std::wstring(argv[6]);  // as cfg.ini's release_keys
    }
    settings.move_file = &MoveOrCrash;
    if (mode == L"fetched" || mode == L"applied") {
        g_crash_at_patch = mode == L"fetched" ? qv::PatchStep::kFetched : qv::PatchStep::kApplied;
        settings.patch_step = &CrashAtPatchStep;
    }
    if (mode == L"stop") {
        settings.patch_step = &StopAtPatchFetched;
    }
    qv::CUpdateLogic logic(settings);
    if (logic.AppDir()[0] == L'\0') {
        return 65;
    }
    g_stopped_job = &logic;
    if (mode == L"normal" || mode == L"fetched" || mode == L"applied" || mode == L"stop") {
        const int result = logic.RunExclusive(false);
        const qv::ProgressFigures figures = logic.Progress();
        std::printf("progress %llu %llu\n", static_cast<unsigned long long>(figures.received),
                    static_cast<unsigned long long>(figures.total));
        return result;
    }
    if (mode == L"copyonly") {
        return logic.RunExclusive(true);
    }
    if (mode == L"stage") {
        bool self_update = false;
        return logic.UpdatePass(self_update);
    }
    return 64;
}

int SlowJob(int argc, wchar_t** argv) {
    if (argc != 5) {
        return 64;
    }
    qv::UpdateSettings settings = HelperSettings(argv[2], argv[3]);
    settings.low_speed_window_ms = static_cast<DWORD>(std::wcstoul(argv[4], nullptr, 10));
    qv::CUpdateLogic logic(settings);
    if (logic.AppDir()[0] == L'\0') {
        return 65;
    }
    return logic.RunExclusive(false);
}

int Renames(int argc, wchar_t** argv) {
    if (argc == 3 && std::wcscmp(argv[2], L"clear") == 0) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, qv::kSessionManagerKey, 0, KEY_SET_VALUE, &key) !=
            ERROR_SUCCESS) {
            return 1;
        }
        int code = 0;
        for (const wchar_t* value : qv::kPendingRenameValues) {
            const LSTATUS status = RegDeleteValueW(key, value);
            code = status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? code : 1;
        }
        RegCloseKey(key);
        return code;
    }
    if (argc != 2) {
        return 64;
    }
    std::vector<qv::PendingRename> renames;
    if (!qv::ReadPendingRenames(renames)) {
        return 1;
    }
    std::string text;
    for (const qv::PendingRename& rename : renames) {
        text += qv::EncodeText(rename.source) + "\t" + qv::EncodeText(rename.target) + "\n";
    }
    // Bytes as they are: no line-end or console conversion of the paths.
    _setmode(_fileno(stdout), _O_BINARY);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

// The bytes of a whole (small) file; empty when it cannot be read.
std::vector<BYTE> ReadSmallFile(const wchar_t* path) {
    std::vector<BYTE> bytes;
    UniqueFileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0 ||
        size.QuadPart > 1 << 20) {
        return bytes;
    }
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
        read != bytes.size()) {
        bytes.clear();
    }
    return bytes;
}

int Trust(int argc, wchar_t** argv, bool add) {
    if (argc != 3) {
        std::fputs("usage: e2e_helper trust|untrust CERT.der\n", stderr);
        return 64;
    }
    const std::vector<BYTE> der = ReadSmallFile(argv[2]);
    if (der.empty()) {
        std::fwprintf(stderr, L"cannot read %ls\n", argv[2]);
        return 1;
    }
    if (add) {
        return CertAddEncodedCertificateToSystemStoreW(L"Root", der.data(),
                                                       static_cast<DWORD>(der.size()))
                   ? 0
                   : 1;
    }
    const HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0,
                                           CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    if (store == nullptr) {
        return 1;
    }
    const PCCERT_CONTEXT wanted =
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    bool ok = wanted != nullptr;
    if (ok) {
        // Deleting frees the context found, so each search starts anew.
        for (;;) {
            const PCCERT_CONTEXT found = CertFindCertificateInStore(
                store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted, nullptr);
            if (found == nullptr) {
                break;
            }
            if (!CertDeleteCertificateFromStore(found)) {
                ok = false;
                break;
            }
        }
        CertFreeCertificateContext(wanted);
    }
    CertCloseStore(store, 0);
    return ok ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    using Command = int (*)(int, wchar_t**);
    static const struct {
        const wchar_t* name;
        Command run;
    } kCommands[] = {
        {L"watch", Watch},
        {L"hold", Hold},
        {L"close", Close},
        {L"job", Job},
        {L"slowjob", SlowJob},
        {L"renames", Renames},
        {L"trust", [](int count, wchar_t** args) { return Trust(count, args, true); }},
        {L"untrust", [](int count, wchar_t** args) { return Trust(count, args, false); }},
    };
    for (const auto& command : kCommands) {
        if (argc >= 2 && std::wcscmp(argv[1], command.name) == 0) {
            return command.run(argc, argv);
        }
    }
    std::fputs("usage: e2e_helper watch|hold|close|job|slowjob|renames|trust|untrust ...\n",
               stderr);
    return 64;
}
