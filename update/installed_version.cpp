// Reading version texts: an installation's, and a ver.dat body as the version check
// decodes it.

#include "update/version_check.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "update/file_names.h"
#include "update/text_line_file.h"
#include "win/path.h"
#include "win/system_dlls.h"
#include "win/text.h"

namespace qv {

namespace {

// Version resources are a few kilobytes; anything far larger is not one.
constexpr DWORD kMaxVersionInfoSize = 1u << 20;

}  // namespace

bool ReadVersionLine(const wchar_t* path, std::wstring& line) {
    line.clear();
    if (path == nullptr || !FitsMaxPath(path)) {
        return false;
    }
    TextLineFile file;
    if (!file.Open(path, L"rb", CP_UTF8)) {
        return false;
    }
    // An empty file still counts as read: its first line is empty.
    if (!file.ReadLine(line)) {
        line.clear();
    }
    return true;
}

bool ReadFileVersion(const wchar_t* path, std::wstring& version) {
    version.clear();
    if (path == nullptr || !FitsMaxPath(path)) {
        return false;
    }
    DWORD ignored = 0;
    const DWORD size = system32::GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0 || size > kMaxVersionInfoSize) {
        return false;
    }
    std::vector<BYTE> info(size);
    if (!system32::GetFileVersionInfoW(path, 0, size, info.data())) {
        return false;
    }
    void* block = nullptr;
    UINT block_size = 0;
    if (!system32::VerQueryValueW(info.data(), L"\\", &block, &block_size) || block == nullptr ||
        block_size < sizeof(VS_FIXEDFILEINFO)) {
        return false;
    }
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(block);
    if (fixed->dwSignature != VS_FFI_SIGNATURE) {
        return false;
    }
    wchar_t text[48];
    std::swprintf(text, 48, L"%d.%d.%d.%d", static_cast<int>(HIWORD(fixed->dwFileVersionMS)),
                  static_cast<int>(LOWORD(fixed->dwFileVersionMS)),
                  static_cast<int>(HIWORD(fixed->dwFileVersionLS)),
                  static_cast<int>(LOWORD(fixed->dwFileVersionLS)));
    version = text;
    return true;
}

VersionSource ReadInstalledVersion(const std::wstring& directory, std::wstring& version) {
    std::wstring path;
    if (JoinPath(path, directory, kVersionFileName) && ReadVersionLine(path.c_str(), version)) {
        return VersionSource::kVersionFile;
    }
    if (JoinPath(path, directory, kReaderFileName) && ReadFileVersion(path.c_str(), version)) {
        return VersionSource::kExecutable;
    }
    version.clear();
    return VersionSource::kNone;
}

std::wstring VersionTextOfBody(std::string_view body) {
    // Up to the first zero byte, never past the given length.
    const size_t zero = body.find('\0');
    // A body that cannot be decoded leaves an empty text, which no version equals.
    return DecodeText(body.substr(0, zero));
}

}  // namespace qv
