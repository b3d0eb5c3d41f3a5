// Signed mode's steps of the update pass: the trusted keys, release.dat, the file list
// and the rollback record. The checks of each file are called where the files are
// staged (install.cpp).

#include "app/config.h"
#include "update/download.h"
#include "update/update_logic.h"
#include "win/file_system.h"

namespace qv {

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
    std::wstring staged;
    return UpdateDirPath(kStagedReleaseRecordName, staged) &&
           WriteReleaseRecord(staged.c_str(), verifier_.manifest().sequence);
}

}  // namespace qv
