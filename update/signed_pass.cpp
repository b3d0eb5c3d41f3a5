// Signed mode's steps of the update pass: the trusted keys, release.dat, the file list
// and the rollback record. The checks of each file are called where the files are
// staged (install.cpp).

#include "app/config.h"
#include "update/download.h"
#include "update/update_logic.h"
#include "win/file_system.h"
#include "win/unique_handle.h"

namespace qv {

namespace {

// Creates or replaces the file with `bytes`, on the disk before it returns.
bool WriteFileDurably(const wchar_t* path, const std::string& bytes) noexcept {
    if (bytes.size() > MAXDWORD) {
        return false;
    }
    UniqueFileHandle file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr));
    DWORD written = 0;
    return file &&
           (bytes.empty() || WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                       &written, nullptr)) &&
           written == bytes.size() && FlushFileBuffers(file.get());
}

// The whole file when it has at most `limit` bytes.
bool ReadSmallFile(const wchar_t* path, size_t limit, std::string& bytes) {
    UniqueFileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size;
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
        static_cast<uint64_t>(size.QuadPart) > limit) {
        return false;
    }
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    return bytes.empty() ||
           (ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
            read == bytes.size());
}

}  // namespace

std::optional<std::wstring> CUpdateLogic::ReleaseKeys() const {
    if (release_keys_overridden_) {
        return release_keys_override_;
    }
    return CConfigFile::Instance().GetReleaseKeys();
}

bool CUpdateLogic::LoadTrustedKeys() {
    const std::optional<std::wstring> keys = ReleaseKeys();
    signed_mode_ = keys.has_value();
    // A key that is there but unusable (malformed, or a CNG without ECDSA) is no reason
    // to fall back to unchecked releases.
    return !signed_mode_ || verifier_.SetTrustedKeys(*keys);
}

bool CUpdateLogic::FetchReleaseManifest() {
    const std::wstring base = BaseUrl();
    if (server_version_bytes_.empty()) {
        // No installed version was known, so ver.dat was not asked for; what release.dat
        // signs must still be what the server announces.
        CHttpReceiveDataBytes version;
        if (!downloader_.ToSink(base + L"/" + kVersionFileName, &version, version_timeout_ms_,
                                kMaxSignedVersionSize)) {
            return false;
        }
        server_version_bytes_ = std::move(version.bytes);
    }
    std::optional<uint64_t> installed_sequence;
    std::wstring record_path;
    if (!UpdateDirPath(kReleaseRecordName, record_path) ||
        !ReadReleaseRecord(record_path.c_str(), installed_sequence)) {
        return false;  // a record that does not read allows no rollback check
    }
    CHttpReceiveDataBytes manifest;
    return downloader_.ToSink(base + L"/" + kReleaseManifestName, &manifest, version_timeout_ms_,
                              static_cast<uint32_t>(kMaxReleaseManifestSize)) &&
           verifier_.AcceptManifest(manifest.bytes, server_version_bytes_, installed_sequence,
                                    CurrentUtcTime());
}

bool CUpdateLogic::CheckSignedFileList(const std::wstring& path, const FileList& list) {
    if (verifier_.FileListMatches(path.c_str(), list)) {
        return true;
    }
    // Not the signed list: nothing may be taken from it later.
    DeleteFileW(path.c_str());
    return false;
}

bool CUpdateLogic::StageReleaseRecord() {
    // The companion first: a staged record is only ever found with the version it
    // belongs to.
    std::wstring staged;
    std::wstring version;
    return UpdateDirPath(kStagedRecordVersionName, version) &&
           WriteFileDurably(version.c_str(), server_version_bytes_) &&
           UpdateDirPath(kStagedReleaseRecordName, staged) &&
           WriteReleaseRecord(staged.c_str(), verifier_.manifest().sequence);
}

bool CUpdateLogic::SettleStagedReleaseRecord() {
    std::wstring staged;
    std::wstring version_path;
    std::wstring record;
    if (!UpdateDirPath(kStagedReleaseRecordName, staged) ||
        !UpdateDirPath(kStagedRecordVersionName, version_path) ||
        !UpdateDirPath(kReleaseRecordName, record)) {
        return false;
    }
    if (PathExists(staged.c_str())) {
        std::string version_bytes;
        std::wstring installed;
        bool reached = false;
        if (ReadSmallFile(version_path.c_str(), kMaxSignedVersionSize, version_bytes) &&
            GetInstalledVersion(installed)) {
            // Compared as the version check compares the server's text.
            CHttpReceiveDataUTF8String text;
            text.OnData(reinterpret_cast<const BYTE*>(version_bytes.data()),
                        static_cast<uint32_t>(version_bytes.size()));
            reached = !text.text.empty() && text.text == installed;
        }
        if (reached) {
            if (!MoveFileExW(staged.c_str(), record.c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
                return false;
            }
        } else if (!DeleteFileW(staged.c_str())) {
            return false;
        }
    }
    // The companion goes last, and alone when the record already moved (at the start
    // of the system, or by an installation that ended before removing it).
    return DeleteFileW(version_path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND ||
           GetLastError() == ERROR_PATH_NOT_FOUND;
}

}  // namespace qv
