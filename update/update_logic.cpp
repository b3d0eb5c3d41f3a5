#include "update/update_logic.h"

#include <shlwapi.h>

#include <new>
#include <vector>

#include "app/config.h"
#include "update/download.h"
#include "update/pending_renames.h"
#include "win/file_system.h"
#include "win/path.h"
#include "win/unique_handle.h"

namespace qv {

namespace {

// The whole file when it has at most `limit` bytes.
bool ReadSmallFile(const wchar_t* path, size_t limit, std::string& bytes) {
    uint64_t size = 0;
    const UniqueFileHandle file = OpenFileAtMost(path, limit, size);
    if (!file) {
        return false;
    }
    bytes.resize(static_cast<size_t>(size));
    DWORD read = 0;
    return bytes.empty() ||
           (ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
            read == bytes.size());
}

}  // namespace

ServerSettings ReadServerSettings() {
    CConfigFile& config = CConfigFile::Instance();
    return ServerSettings{config.GetUrl(L"upddir", kDefaultUpdateUrl), config.GetReleaseKeys(),
                          config.GetProxyServer()};
}

UpdateSettings ProcessSettings(bool copy_only) {
    UpdateSettings settings;
    std::wstring directory;
    // Without it app_dir stays empty: the job then ends before touching anything.
    if (GetExecutableDirectory(directory) && (!copy_only || RemoveLastComponent(directory))) {
        settings.app_dir = std::move(directory);
    }
    return settings;
}

bool UpdateDirPath(const std::wstring& app_dir, const std::wstring& name, std::wstring& out) {
    std::wstring update_dir;
    // Without an installation directory the path would start at the root of the drive.
    return !app_dir.empty() && JoinPath(update_dir, app_dir, kUpdateDirName) &&
           JoinPath(out, update_dir, name);
}

bool NamesUpdater(const FileEntry& entry) noexcept {
    return entry.name == kUpdaterFileName;
}

CUpdateLogic::CUpdateLogic() : CUpdateLogic(ProcessSettings(IsCopyOnlyMode())) {}

CUpdateLogic::CUpdateLogic(UpdateSettings settings)
    : settings_(std::move(settings)), policy_(MakeVerificationPolicy(std::nullopt)) {
    if (FitsMaxPath(settings_.app_dir)) {
        lstrcpynW(app_dir_, settings_.app_dir.c_str(), MAX_PATH);
    } else {
        settings_.app_dir.clear();
    }
}

// The thread runs Run() of this class, so it must be joined before this part of the
// object goes away, not later in the base destructor.
CUpdateLogic::~CUpdateLogic() {
    StopAndWait();
}

bool CUpdateLogic::IsCopyOnlyMode() noexcept {
    const wchar_t* command_line = GetCommandLineW();
    return command_line != nullptr && StrStrIW(command_line, kCopyOnlySwitch) != nullptr;
}

bool CUpdateLogic::UpdateDirPath(const std::wstring& name, std::wstring& out) const {
    return qv::UpdateDirPath(settings_.app_dir, name, out);
}

bool CUpdateLogic::RestartPending() const {
    std::wstring update_dir;
    if (!JoinPath(update_dir, app_dir_, kUpdateDirName)) {
        return true;
    }
    // Read errors count as pending: the files the moves take are then unknown, and a
    // pass that replaced them would install a mix at the next start. The next start
    // clears the value, so the cost is one wait for it.
    std::vector<PendingRename> renames;
    try {
        return !ReadPendingRenames(renames) || RenamesReadFrom(renames, update_dir);
    } catch (const std::bad_alloc&) {
        return true;
    }
}

int CUpdateLogic::Run() {
    return RunJob(IsCopyOnlyMode());
}

UpdateResult CUpdateLogic::RunJob(bool copy_only) {
    moves_registered_ = false;
    UpdateResult result = UPDATE_OK;
    bool timed_out = false;
    // A process list that cannot be read leaves nothing to wait for; installing over a
    // running old updater then fails on its file and defers the moves. One that does not
    // end in time keeps everything staged for the next run.
    if (copy_only && !WaitForOldUpdater(&timed_out) && timed_out) {
        result = UPDATE_E_INSTALL;
    } else {
        result = RunExclusive(copy_only);
    }
    const bool after_restart = result == UPDATE_OK && moves_registered_;
    PostToWindow(WM_UPDATEDONE, after_restart ? kUpdateDoneAfterRestart : kUpdateDoneFinished,
                 result);
    return result;
}

void CUpdateLogic::PostProgress(void* self) noexcept {
    static_cast<CUpdateLogic*>(self)->PostToWindow(WM_UPDATEPROGRESS, 0, 0);
}

int CUpdateLogic::OnRunFailed() noexcept {
    PostToWindow(WM_UPDATEDONE, kUpdateDoneFinished, UPDATE_E_OUT_OF_MEMORY);
    return UPDATE_E_OUT_OF_MEMORY;
}

UpdateResult CUpdateLogic::RunExclusive(bool copy_only) {
    if (settings_.app_dir.empty()) {
        return UPDATE_E_NO_APP_DIR;
    }
    UniqueKernelHandle mutex(CreateMutexW(nullptr, FALSE, kUpdateMutexName));
    // A mutex we may not open (one an elevated updater created, say) is as good a
    // sign of another job as one that exists.
    if (!mutex || GetLastError() == ERROR_ALREADY_EXISTS) {
        return UPDATE_OK;  // another updater does the job
    }
    // The registered moves take their files from the update directory at the next start:
    // a run now would replace them with another release's, and the start would install
    // a mix. Nothing is asked or changed until the system has started again.
    if (RestartPending()) {
        return UPDATE_RESTART_PENDING;
    }
    if (copy_only) {
        return InstallFiles();
    }
    bool self_update = false;
    const UpdateResult result = UpdatePass(self_update);
    if (result != UPDATE_OK || !files_staged_) {
        return result;
    }
    // What must move after every listed file (a signed release's rollback record).
    if (!policy_->StageLast(settings_.app_dir, server_version_bytes_)) {
        return UPDATE_E_INSTALL;
    }
    if (self_update) {
        // The program about to run is checked once more right before it starts.
        std::wstring updater;
        if (!UpdateDirPath(kUpdaterFileName, updater) || !policy_->UpdaterMayStart(updater)) {
            DeleteFileW(updater.c_str());
            return UPDATE_E_SIGNATURE;
        }
        // The new updater installs everything, itself included; if it cannot start,
        // nothing gets installed and that is no success.
        return RelaunchFromUpdateDir() ? UPDATE_OK : UPDATE_E_INSTALL;
    }
    return InstallFiles();
}

UpdateResult CUpdateLogic::UpdatePass(bool& self_update) {
    files_staged_ = false;
    if (IsStopRequested()) {
        return UPDATE_STOPPED;
    }
    // The configuration, read once for the whole pass before any request.
    const ServerSettings server = settings_.server ? *settings_.server : ReadServerSettings();
    const PassContext pass{settings_.app_dir, server.base_url, settings_.version_timeout_ms,
                           ResolveProxySettings(server.proxy_server)};
    downloader_.UseProxy(&pass.proxy);
    // Before any request: a configuration that cannot verify fetches nothing.
    policy_ = MakeVerificationPolicy(server.release_keys);
    if (!policy_) {
        policy_ = MakeVerificationPolicy(std::nullopt);  // for steps called on their own
        return UPDATE_E_SIGNATURE;
    }
    // A record staged by an earlier run either belongs to what is installed now (its
    // installation was cut before the record's move) or to a release that never arrived.
    if (!SettleStagedReleaseRecord()) {
        return UPDATE_E_INSTALL;
    }
    switch (CheckVersion(pass, downloader_, server_version_bytes_)) {
        case VersionCheck::UpToDate:
            return UPDATE_OK;
        case VersionCheck::Failed:
            return UPDATE_E_VERSION_CHECK;  // nothing known is no success
        case VersionCheck::UpdateNeeded:
            break;
    }
    if (IsStopRequested()) {
        return UPDATE_STOPPED;
    }
    if (!policy_->BeforeFileList(pass, downloader_, server_version_bytes_)) {
        return UPDATE_E_SIGNATURE;
    }
    const std::wstring file_list_url = pass.base_url + L"/" + kFileListName;
    std::wstring file_list_path;
    bool bad_list = false;
    if (!UpdateDirPath(kFileListName, file_list_path) ||
        !DownloadToFile(downloader_, file_list_url, file_list_path, policy_->FileListLimit(),
                        &bad_list)) {
        return bad_list ? policy_->Refused(UPDATE_E_FILELIST_DOWNLOAD) : UPDATE_E_FILELIST_DOWNLOAD;
    }
    if (IsStopRequested()) {
        return UPDATE_STOPPED;
    }
    FileList file_list;
    if (!file_list.ReadFileList(file_list_path.c_str())) {
        return UPDATE_E_LIST_READ;
    }
    if (!policy_->FileListRight(file_list_path, file_list)) {
        return UPDATE_E_SIGNATURE;
    }
    // A name the update directory keeps for itself would be staged over the updater's
    // own files (a downlist.dat over the move list): such a list is unusable as a whole,
    // as if it could not be read, and nothing of it is staged.
    if (HasReservedName(file_list)) {
        return UPDATE_E_LIST_READ;
    }
    const FileList download_list = BuildDownloadList(file_list, app_dir_);
    std::wstring download_list_path;
    if (!UpdateDirPath(kDownloadListName, download_list_path) ||
        !download_list.WriteFileList(download_list_path.c_str())) {
        return UPDATE_E_DOWNLIST_WRITE;
    }
    self_update = false;
    if (IsStopRequested()) {
        return UPDATE_STOPPED;
    }
    const UpdateResult result = StageDownloadList(download_list, pass);
    if (result != UPDATE_OK) {
        return result;
    }
    if (IsStopRequested()) {
        return UPDATE_STOPPED;  // told to go while the last files came: install nothing
    }
    for (const FileEntry& entry : download_list.entries) {
        self_update = self_update || NamesUpdater(entry);
    }
    files_staged_ = true;
    return UPDATE_OK;
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
            GetInstalledVersion(settings_.app_dir, installed)) {
            // Compared as the version check compares the server's text.
            const std::wstring text = VersionTextOfBody(version_bytes);
            reached = !text.empty() && text == installed;
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
