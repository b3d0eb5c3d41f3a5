// The version check: the server's ver.dat against the installed version text.

#include "update/version_check.h"

#include <windows.h>

#include <cstdio>
#include <vector>

#include "update/download.h"
#include "update/text_line_file.h"
#include "update/update_logic.h"
#include "win/path.h"
#include "win/system_dlls.h"

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

bool CUpdateLogic::GetInstalledVersion(std::wstring& version) const {
    // Without an installation directory the paths would start at the root of the drive.
    if (app_dir_[0] == L'\0') {
        version.clear();
        return false;
    }
    return ReadInstalledVersion(app_dir_, version) != VersionSource::kNone;
}

VersionCheck CUpdateLogic::CheckVersion() {
    std::wstring installed;
    if (!GetInstalledVersion(installed)) {
        return VersionCheck::UpdateNeeded;  // nothing to compare with: look at the file list
    }
    const std::wstring url = BaseUrl() + L"/" + kVersionFileName;
    // The bytes as well: signed mode compares them with those release.dat signs.
    struct VersionSink final : CHttpReceiveDataUTF8String {
        void OnData(const BYTE* data, uint32_t length) override {
            raw.OnData(data, length);
            CHttpReceiveDataUTF8String::OnData(data, length);
        }
        CHttpReceiveDataBytes raw;
    } server_version;
    server_version_bytes_.clear();
    if (!downloader_.ToSink(url, &server_version, version_timeout_ms_, kMaxServerVersionBytes)) {
        return VersionCheck::Failed;  // unreachable, silent, too slow, too long or missing
    }
    server_version_bytes_ = std::move(server_version.raw.bytes);
    // Whole texts, code unit by code unit: any difference, a downgrade included, updates.
    return server_version.text != installed ? VersionCheck::UpdateNeeded : VersionCheck::UpToDate;
}

}  // namespace qv
