#include "tools/publish/version_info.h"

#include <windows.h>

#include <cwchar>
#include <vector>

#include "update/text_line_file.h"
#include "win/path.h"

namespace qv::publish {

bool ReadExecutableVersion(const std::wstring& path, std::wstring& out) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) {
        return false;
    }
    std::vector<BYTE> block(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data())) {
        return false;
    }
    VS_FIXEDFILEINFO* info = nullptr;
    UINT info_size = 0;
    if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &info_size) ||
        info == nullptr || info_size < sizeof(VS_FIXEDFILEINFO)) {
        return false;
    }
    wchar_t text[64];
    std::swprintf(text, 64, L"%d.%d.%d.%d", static_cast<int>(HIWORD(info->dwFileVersionMS)),
                  static_cast<int>(LOWORD(info->dwFileVersionMS)),
                  static_cast<int>(HIWORD(info->dwFileVersionLS)),
                  static_cast<int>(LOWORD(info->dwFileVersionLS)));
    out = text;
    return true;
}

bool ReadFirstLine(const std::wstring& path, std::wstring& out) {
    TextLineFile file;
    if (!file.Open(path.c_str(), L"rb", CP_UTF8)) {
        return false;
    }
    file.ReadLine(out);  // an empty file is an empty first line
    return true;
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
