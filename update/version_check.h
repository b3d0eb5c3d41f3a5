#pragma once
// How the updater reads an installation's version text: the first line of its
// ver.dat, or else the file version of its qvreader.exe. The publisher reads releases
// with the same functions, so that it sees what installations will see.

#include <cstdint>
#include <string>
#include <string_view>

#include "update/update_settings.h"

namespace qv {

// What the version check found.
enum class VersionCheck {
    UpToDate,      // the server announces the installed version
    UpdateNeeded,  // the texts differ, or no installed version is known
    Failed,        // the server's ver.dat could not be fetched: nothing is known
};

// The longest ver.dat the version check takes: a version text is a line. A longer
// answer fails the check after one byte more, whatever its length announces.
inline constexpr uint32_t kMaxServerVersionBytes = 4096;

// The first line of a text file (UTF-8, one CR before the LF dropped). False when the
// file cannot be opened; an empty file gives an empty line.
[[nodiscard]] bool ReadVersionLine(const wchar_t* path, std::wstring& line);
// The file version of an executable's version resource, "%d.%d.%d.%d". False when it
// has none.
[[nodiscard]] bool ReadFileVersion(const wchar_t* path, std::wstring& version);

// Where an installation's version text came from.
enum class VersionSource { kNone, kVersionFile, kExecutable };

// The version text of the installation in `directory`: the first line of its ver.dat,
// else the file version of its qvreader.exe; empty with kNone when it has neither or
// a path does not fit MAX_PATH.
[[nodiscard]] VersionSource ReadInstalledVersion(const std::wstring& directory,
                                                 std::wstring& version);

// A ver.dat body as the version check reads it: UTF-8 up to its first zero byte; empty
// when it does not decode.
[[nodiscard]] std::wstring VersionTextOfBody(std::string_view body);

class CDownloader;

// The installed version of the installation in `app_dir`: ReadInstalledVersion. False
// when neither source is there or app_dir is empty.
[[nodiscard]] bool GetInstalledVersion(const std::wstring& app_dir, std::wstring& version);

// Compares the server's ver.dat with the installed version; with no installed version
// known, an update is needed without asking the server. `server_version` receives
// ver.dat's bytes exactly as fetched (empty when it was not).
[[nodiscard]] VersionCheck CheckVersion(const PassContext& pass, CDownloader& fetcher,
                                        std::string& server_version);

}  // namespace qv
