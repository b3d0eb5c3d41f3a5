#pragma once
// What the updater can take from a release: names, paths, sizes, and the vendor's
// choice of files to serve zipped.

#include <cstdint>
#include <string>
#include <vector>

#include "update/file_list.h"
#include "update/file_names.h"

namespace qv::publish {

// A version file longer than this holds no version text.
inline constexpr uint64_t kMaxVersionFileSize = 4096;
// The installation folder the path-length check assumes unless told otherwise.
inline constexpr wchar_t kTypicalInstallDir[] = L"C:\\Program Files (x86)\\Qv Reader";

// Why a release file (its backslash-separated name relative to the release folder)
// cannot be published; empty when it can.
std::wstring NameProblem(const std::wstring& name);

// Why the base URL (cfg.ini's "upddir") cannot serve as one; empty when it can.
std::wstring BaseUrlProblem(const std::wstring& base_url);

// Why the updater could not fetch the file by its URL (the base URL, "/", the name
// with slashes, escaped): too long for the updater's URL limits. Empty when it can.
std::wstring UrlProblem(const std::wstring& base_url, const std::wstring& name);

// Whether the longest path the updater builds for the file (the download in
// "install_dir\update\", with ".zip" when zipped) fits MAX_PATH.
[[nodiscard]] bool FitsUnderInstallDir(const std::wstring& install_dir, const std::wstring& name,
                                       bool zipped);

// Case-insensitive wildcards: '*' any run of characters (backslashes included), '?'
// one character. A pattern without a backslash is matched against the file's own
// name, one with a backslash against the whole relative name.
[[nodiscard]] bool MatchesPattern(const std::wstring& pattern, const std::wstring& name);

// Which files are served as zip archives.
struct ZipChoice {
    std::vector<std::wstring> patterns;
    uint64_t above_size = UINT64_MAX;  // files larger than this many bytes
    [[nodiscard]] bool Chooses(const std::wstring& name, uint64_t size) const;
};

// Reads a byte count: digits with an optional K, M or G (powers of 1024). False for
// anything else or an overflow.
[[nodiscard]] bool ParseSize(const std::wstring& text, uint64_t& out);

// Orders names without regard to case first, then by code units, so that the order
// does not depend on the file system.
[[nodiscard]] bool NameLess(const std::wstring& a, const std::wstring& b);

}  // namespace qv::publish
