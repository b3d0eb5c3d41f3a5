#pragma once
// What a job runs with, as values: the installation, the server and its keys, and the
// limits of its waits. The process takes them from its own location and cfg.ini; tests
// and tools give them directly.

#include <windows.h>

#include <optional>
#include <string>

#include "http/proxy.h"
#include "update/low_speed.h"

namespace qv {

// Time limit of the ver.dat request, longer than that of the file downloads.
inline constexpr DWORD kVersionTimeoutMs = 30000;
// How long, in all, the copy-only updater waits for the old one to end: the old one has
// no work left but its closing pause, and the new one shows no icon to be closed by.
inline constexpr DWORD kOldUpdaterWaitMs = 60000;

// The file move of the installation: MoveFileExW, unless a test puts in the failures
// that only another program or a standard user's rights would cause.
using MoveFileFunction = BOOL(WINAPI*)(const wchar_t* from, const wchar_t* to, DWORD flags);

// Where the staging of a file through a patch stands: the patch fetched and checked
// (`path` is the patch), or applied and not yet checked (`path` is the output).
enum class PatchStep { kFetched, kApplied };
// Called at each step, unless null; tests end the process there as a crash would.
using PatchStepHook = void (*)(PatchStep step, const wchar_t* path);

// What a normal pass reads from cfg.ini before its first request.
struct ServerSettings {
    std::wstring base_url;                     // "upddir"
    std::optional<std::wstring> release_keys;  // "release_keys"; nullopt: not signed
    std::wstring proxy_server;  // [proxy] "server"; empty: the user's Internet settings
};

// cfg.ini's values (or their defaults).
[[nodiscard]] ServerSettings ReadServerSettings();

struct UpdateSettings {
    // The installation directory; empty ends every job with UPDATE_E_NO_APP_DIR.
    std::wstring app_dir;
    // nullopt: a normal pass reads cfg.ini (the process); copy-only mode never does.
    std::optional<ServerSettings> server;
    DWORD version_timeout_ms = kVersionTimeoutMs;
    DWORD low_speed_window_ms = kLowSpeedWindowMs;
    DWORD old_updater_wait_ms = kOldUpdaterWaitMs;
    MoveFileFunction move_file = &MoveFileExW;
    PatchStepHook patch_step = nullptr;
};

// The process's settings: the executable's directory, or its parent in copy-only mode
// (the new updater runs from the update directory); the server from cfg.ini.
[[nodiscard]] UpdateSettings ProcessSettings(bool copy_only);

// What the pass's steps share, as values.
struct PassContext {
    std::wstring app_dir;
    std::wstring base_url;
    DWORD version_timeout_ms = kVersionTimeoutMs;
    ProxySettings proxy;  // what every connection of the pass goes through
};

// "app_dir\update\name"; false when it does not fit MAX_PATH or app_dir is empty.
[[nodiscard]] bool UpdateDirPath(const std::wstring& app_dir, const std::wstring& name,
                                 std::wstring& out);

}  // namespace qv
