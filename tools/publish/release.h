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
bool ScanRelease(const std::wstring& folder, std::vector<ReleaseFile>& files, Log& log);

// The full, normalised form of a folder path (no trailing separator).
bool FullFolderPath(const std::wstring& path, std::wstring& out);
// True when `inner` is `outer` or lies inside it (full paths, case ignored).
bool IsSameOrInside(const std::wstring& inner, const std::wstring& outer);

}  // namespace qv::publish
