// The version check: the server's ver.dat against the installed version text.

#include "update/version_check.h"

#include "update/download.h"
#include "update/update_logic.h"

namespace qv {

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
