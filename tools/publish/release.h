#pragma once
// The files of a release folder: the installation as it must look after the update.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tools/publish/log.h"

namespace qv::publish {

struct ReleaseFile {
    std::wstring name;  // relative to the release folder, backslash-separated
    uint64_t size = 0;
    FILETIME write_time = {};
};

// Every file under `folder`, in NameLess order. Empty folders are reported as warnings
// (the updater installs files only); links to folders are refused, as is anything that
// cannot be listed. False when an error was logged.
[[nodiscard]] bool ScanRelease(const std::wstring& folder, std::vector<ReleaseFile>& files,
                               Log& log);

// The whole of a file of at most `limit` bytes; false when it cannot be read or is
// larger, which sets `*too_large` when given.
[[nodiscard]] bool ReadSmallFile(const std::wstring& path, uint64_t limit, std::string& out,
                                 bool* too_large);
// Writes a file that must not exist yet, flushed to disk before it is closed.
[[nodiscard]] bool WriteNewFile(const std::wstring& path, const std::string& bytes);

// The full, normalised form of a folder path (no trailing separator).
[[nodiscard]] bool FullFolderPath(const std::wstring& path, std::wstring& out);
// True when `inner` is `outer` or lies inside it (full paths, case ignored).
[[nodiscard]] bool IsSameOrInside(const std::wstring& inner, const std::wstring& outer);

}  // namespace qv::publish
