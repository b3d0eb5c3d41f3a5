// The version check: the server's ver.dat against the installed version text.

#include "update/version_check.h"

#include "update/download.h"
#include "update/downloader.h"
#include "update/file_names.h"

namespace qv {

bool GetInstalledVersion(const std::wstring& app_dir, std::wstring& version) {
    // Without an installation directory the paths would start at the root of the drive.
    if (app_dir.empty()) {
        version.clear();
        return false;
    }
    return ReadInstalledVersion(app_dir, version) != VersionSource::kNone;
}

VersionCheck CheckVersion(const PassContext& pass, CDownloader& fetcher,
                          std::string& server_version) {
    std::wstring installed;
    if (!GetInstalledVersion(pass.app_dir, installed)) {
        return VersionCheck::UpdateNeeded;  // nothing to compare with: look at the file list
    }
    const std::wstring url = pass.base_url + L"/" + kVersionFileName;
    // The bytes as well: signed mode compares them with those release.dat signs.
    CHttpReceiveDataUTF8String sink;
    server_version.clear();
    if (!fetcher.ToSink(url, &sink, pass.version_timeout_ms, kMaxServerVersionBytes)) {
        return VersionCheck::Failed;  // unreachable, silent, too slow, too long or missing
    }
    server_version = sink.received();
    // Whole texts, code unit by code unit: any difference, a downgrade included, updates.
    return sink.text != installed ? VersionCheck::UpdateNeeded : VersionCheck::UpToDate;
}

}  // namespace qv
