#pragma once
// What the updater can take from a release: names, paths, sizes, and the vendor's
// choice of files to serve zipped.

#include <cstdint>
#include <string>
#include <vector>

namespace qv::publish {

// The largest file the updater can verify: its CRC-32 of anything larger is 0.
inline constexpr uint64_t kMaxFileSize = 1ull << 30;
// A version file longer than this holds no version text.
inline constexpr uint64_t kMaxVersionFileSize = 4096;
// The installation folder the path-length check assumes unless told otherwise.
inline constexpr wchar_t kTypicalInstallDir[] = L"C:\\Program Files (x86)\\Qv Reader";
// The server's own files, in the server folder's root.
inline constexpr wchar_t kVersionFileName[] = L"ver.dat";
inline constexpr wchar_t kFileListName[] = L"filelist.dat";
// The updater's working folder inside the installation folder.
inline constexpr wchar_t kUpdateFolderName[] = L"update";

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

// Compares names as Windows does when it looks files up: without regard to case.
[[nodiscard]] bool SameNameIgnoringCase(const std::wstring& a, const std::wstring& b);
// Orders names without regard to case first, then by code units, so that the order
// does not depend on the file system.
[[nodiscard]] bool NameLess(const std::wstring& a, const std::wstring& b);

}  // namespace qv::publish
