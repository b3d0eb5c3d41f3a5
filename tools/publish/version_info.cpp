#include "tools/publish/version_info.h"

#include <windows.h>

#include "update/update_logic.h"
#include "win/path.h"

namespace qv::publish {

// The updater's own readers, so that the publisher sees exactly what it will see.
bool ReadExecutableVersion(const std::wstring& path, std::wstring& out) {
    return ReadFileVersion(path.c_str(), out);
}

bool ReadFirstLine(const std::wstring& path, std::wstring& out) {
    return ReadVersionLine(path.c_str(), out);
}

VersionSource ReadInstalledVersion(const std::wstring& folder, std::wstring& out) {
    std::wstring path;
    if (JoinPath(path, folder, L"ver.dat") && ReadFirstLine(path, out)) {
        return VersionSource::kVersionFile;
    }
    if (JoinPath(path, folder, L"qvreader.exe") && ReadExecutableVersion(path, out)) {
        return VersionSource::kExecutable;
    }
    out.clear();
    return VersionSource::kNone;
}

}  // namespace qv::publish
