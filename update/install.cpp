// Staging the listed files in the update directory, installing them, and handing
// over to a new updater.

#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "archive/first_item.h"
#include "delta/patch_applier.h"
#include "update/download.h"
#include "update/update_logic.h"
#include "win/file_system.h"
#include "win/path.h"
#include "win/text.h"
#include "win/unique_handle.h"

namespace qv {

namespace {

// One staged file and where it goes.
struct PlannedMove {
    std::wstring staged_path;
    std::wstring installed_path;
};

// Where an entry goes in the order of the moves: every other file first, then the two
// that the next run reads the installed version from, ver.dat (read first) last.
int MoveRank(const FileEntry& entry) {
    if (NamesInstalledFile(entry.name, kVersionFileName)) {
        return 2;
    }
    return NamesInstalledFile(entry.name, kReaderFileName) ? 1 : 0;
}

// Forces a staged file's data to the disk, so that a power cut right after its move
// cannot leave an empty or partial file installed.
bool FlushToDisk(const std::wstring& path) {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file && FlushFileBuffers(file.get());
}

// Clears the read-only attribute of an installed file that is about to be replaced,
// keeping its other attributes: Windows refuses to replace a read-only file, at once or
// at the next start. True when the target is writable as far as its attributes go.
bool MakeReplaceable(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0) {
        return true;  // nothing there yet, or nothing to clear
    }
    return SetFileAttributesW(path.c_str(),
                              attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)) != FALSE;
}

// Whether another program keeps the installed file from being replaced now. A read-only
// file is judged without its attribute, which the move clears first, and keeps it
// until then.
bool TargetInUse(const std::wstring& path, DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_READONLY) == 0) {
        return !CanOpenForWrite(path.c_str());
    }
    if (!SetFileAttributesW(path.c_str(),
                            attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY))) {
        return true;
    }
    const bool writable = CanOpenForWrite(path.c_str());
    static_cast<void>(SetFileAttributesW(path.c_str(), attributes));
    return !writable;
}

// Earlier updaters gave extracted files the archive's attributes and made a directory
// of a directory item: a read-only staged file can be neither replaced nor flushed, and
// a folder at a staged path takes every later download. Both become an ordinary path
// again; a folder that is not empty stays, and its entry fails as before.
void RepairStagedPath(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveDirectoryW(path.c_str());
    } else if (attributes &
               (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

bool IsRunningExecutable(const std::wstring& path) {
    std::wstring self;
    return GetExecutablePath(self) && EqualsNoCase(self, path);
}

// The new updater installing itself cannot open its own running image for writing;
// the updater that staged it flushed it before starting it.
bool FlushStagedFile(const std::wstring& path) {
    return IsRunningExecutable(path) || FlushToDisk(path);
}

}  // namespace

bool CUpdateLogic::InstalledPath(const std::wstring& name, std::wstring& out) const {
    return app_dir_[0] != L'\0' && JoinPath(out, app_dir_, name);
}

UpdateResult CUpdateLogic::FetchAndPlaceEntry(const FileEntry& entry, const PassContext& pass,
                                              CDownloader& fetcher,
                                              const VerificationPolicy& policy, bool* downloaded) {
    std::wstring staged_path;
    if (!qv::UpdateDirPath(pass.app_dir, entry.name, staged_path)) {
        return UPDATE_E_FILE_DOWNLOAD;  // no room to stage it; never a shortened path
    }
    std::wstring download_path = staged_path;
    if (entry.zipped) {
        download_path += L".zip";
        if (!FitsMaxPath(download_path)) {
            return UPDATE_E_FILE_DOWNLOAD;
        }
    }
    // A zipped file is served under its plain name.
    std::wstring url = pass.base_url + L"/" + entry.name;
    std::replace(url.begin(), url.end(), L'\\', L'/');

    RepairStagedPath(staged_path);
    if (entry.zipped) {
        RepairStagedPath(download_path);
    }
    // What is on disk for this entry counts as received, so a retry never counts twice.
    const std::optional<uint64_t> full_size = policy.ExpectedDownloadSize(entry);
    EntryProgress progress(&progress_, full_size);
    // Left by an earlier run that was interrupted or whose installation was deferred,
    // and still what the release says.
    if (IsFile(staged_path.c_str()) &&
        policy.CheckStaged(entry, staged_path) == StagedCheck::kRight) {
        progress.Reused();
        return UPDATE_OK;
    }

    // A patch that fails in any way costs the full file none of its attempts.
    const EntryTransfer transfer = PlanEntryTransfer(entry, pass, policy);
    *downloaded = true;
    if (transfer.patch) {
        // The patch takes the file's place among the bytes to receive, until it fails.
        const int64_t saved =
            static_cast<int64_t>(full_size.value_or(0)) - static_cast<int64_t>(transfer.bytes);
        progress_.Expect(-saved);
        EntryProgress patch_progress(&progress_, transfer.bytes);
        switch (StageThroughPatch(entry, *transfer.patch, pass, fetcher, policy, staged_path,
                                  patch_progress)) {
            case PatchOutcome::kStaged:
                return UPDATE_OK;
            case PatchOutcome::kStopped:
                return UPDATE_STOPPED;
            case PatchOutcome::kFailed:
                break;
        }
        patch_progress.OnDisk(0);
        progress_.Expect(saved);
    }

    // No download is read past what the policy allows, and the policy decides what
    // becomes of one that is not the right file.
    const uint32_t max_length = policy.BodyLimit(entry);
    bool good = false;
    bool refused = false;      // an answer came, but not the right file
    uint64_t resume_from = 0;  // the part an attempt cut off left on disk
    for (int attempt = 0; attempt < kDownloadAttempts && !good; ++attempt) {
        if (IsStopRequested()) {
            if (resume_from != 0) {
                DeleteFileW(download_path.c_str());
            }
            return UPDATE_STOPPED;
        }
        const FileFetch fetch =
            fetcher.ToFile(url, download_path, max_length, resume_from, &progress);
        if (!fetch.done && IsStopRequested()) {
            // Cut off by the stop: part of a file is of no use to the next run.
            if (fetch.answered || resume_from != 0) {
                DeleteFileW(download_path.c_str());
            }
            return UPDATE_STOPPED;
        }
        // The whole file decides, however many pieces it came in.
        good = fetch.done && policy.DownloadRight(entry, download_path);
        refused = refused || (fetch.answered && !good);
        resume_from = good ? 0 : fetch.resumable;
        if (!good) {
            progress.OnDisk(resume_from);  // only the part kept for the next attempt
        }
        if (!good && resume_from == 0) {
            policy.DiscardFailed(download_path);
        }
    }
    if (!good) {
        policy.DiscardFailed(download_path);  // a part kept for an attempt that never came
        return refused ? policy.Refused(UPDATE_E_FILE_DOWNLOAD) : UPDATE_E_FILE_DOWNLOAD;
    }
    if (entry.zipped) {
        if (!ExtractFirstItem(download_path.c_str(), staged_path.c_str())) {
            policy.DiscardFailed(staged_path);  // a verified archive: the disk failed
            return UPDATE_E_EXTRACT;            // the archive stays for a look
        }
        // The archive's check only proves the download; the file inside must be the one
        // the list names, or a corrupt file would be installed over a working one.
        const StagedCheck staged = policy.CheckStaged(entry, staged_path);
        if (staged == StagedCheck::kDamaged) {
            DeleteFileW(staged_path.c_str());
            return UPDATE_E_EXTRACT;
        }
        DeleteFileW(download_path.c_str());
        if (staged == StagedCheck::kNotSigned) {
            DeleteFileW(staged_path.c_str());
            return UPDATE_E_SIGNATURE;
        }
    }
    return UPDATE_OK;
}

CUpdateLogic::PatchOutcome CUpdateLogic::StageThroughPatch(
    const FileEntry& entry, const PatchOffer& offer, const PassContext& pass, CDownloader& fetcher,
    const VerificationPolicy& policy, const std::wstring& staged_path, EntryProgress& progress) {
    // Under the update folder's patch folder, where no listed name can lie, and one name
    // per transfer: two entries may share a patch.
    std::wstring installed_path;
    std::wstring patch_path;
    if (offer.size > MAXDWORD || !JoinPath(installed_path, pass.app_dir, entry.name) ||
        !qv::UpdateDirPath(pass.app_dir,
                           offer.served_name + L"." + std::to_wstring(GetCurrentThreadId()),
                           patch_path)) {
        return PatchOutcome::kFailed;
    }
    std::wstring url = pass.base_url + L"/" + offer.served_name;
    std::replace(url.begin(), url.end(), L'\\', L'/');
    // One try, which a dropped connection continues with a Range request as a file's.
    FileFetch fetch;
    uint64_t resume_from = 0;
    for (int piece = 0; piece < kDownloadAttempts && !fetch.done; ++piece) {
        fetch = fetcher.ToFile(url, patch_path, static_cast<uint32_t>(offer.size), resume_from,
                               &progress);
        resume_from = fetch.resumable;
        if (resume_from == 0 || IsStopRequested()) {
            break;
        }
    }
    if (!fetch.done || !policy.PatchRight(offer, patch_path)) {
        DeleteFileW(patch_path.c_str());
        return !fetch.done && IsStopRequested() ? PatchOutcome::kStopped : PatchOutcome::kFailed;
    }
    if (settings_.patch_step != nullptr) {
        settings_.patch_step(PatchStep::kFetched, patch_path.c_str());
    }
    // The output is the staged file itself: until the check below it is a file whose
    // SHA-256 is not the signed one, which no run takes for staged. A staged file that
    // was there failed its check already.
    DeleteFileW(staged_path.c_str());
    const delta::ApplyResult applied =
        CreateParentDirectories(staged_path.c_str())
            ? delta::ApplyPatchFile(installed_path.c_str(), patch_path.c_str(), staged_path.c_str(),
                                    offer.installed_size, kMaxCrcFileSize, &stop_flag_)
            : delta::ApplyResult::kFailed;
    if (applied == delta::ApplyResult::kApplied && settings_.patch_step != nullptr) {
        settings_.patch_step(PatchStep::kApplied, staged_path.c_str());
    }
    DeleteFileW(patch_path.c_str());
    if (applied == delta::ApplyResult::kStopped) {
        return PatchOutcome::kStopped;  // the applier removed the output
    }
    if (applied != delta::ApplyResult::kApplied) {
        return PatchOutcome::kFailed;
    }
    // A base that changed under the applier, or a patch for another file, shows here.
    if (policy.CheckStaged(entry, staged_path) != StagedCheck::kRight) {
        DeleteFileW(staged_path.c_str());
        return PatchOutcome::kFailed;
    }
    return PatchOutcome::kStaged;
}

bool CanOpenForWrite(const wchar_t* path) noexcept {
    if (path == nullptr || !FitsMaxPath(path)) {
        return false;
    }
    // Sharing nothing but delete: any other open handle that reads or writes, or a
    // running executable's image, makes this fail.
    UniqueFileHandle file(CreateFileW(path, GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.valid();
}

UpdateResult CUpdateLogic::InstallFiles() {
    moves_registered_ = false;
    // Read back from disk also right after the pass wrote it: in copy-only mode it is
    // the only hand-over from the old process.
    std::wstring list_path;
    FileList list;
    if (!UpdateDirPath(kDownloadListName, list_path) || !list.ReadFileList(list_path.c_str())) {
        return UPDATE_E_LIST_READ;
    }

    // The order of the moves: the list's order, but the files that tell the installed
    // version last. A run that ends after any move leaves a version that still differs
    // from the server's, so the next run finds the rest staged and completes it.
    std::vector<const FileEntry*> ordered;
    ordered.reserve(list.entries.size());
    for (const FileEntry& entry : list.entries) {
        ordered.push_back(&entry);
    }
    std::stable_sort(ordered.begin(), ordered.end(), [](const FileEntry* a, const FileEntry* b) {
        return MoveRank(*a) < MoveRank(*b);
    });

    // Everything that can be known to fail is checked before the first move, so that
    // such a failure installs nothing rather than part of the release.
    std::vector<PlannedMove> moves;
    moves.reserve(ordered.size());
    for (const FileEntry* entry : ordered) {
        PlannedMove move;
        if (!UpdateDirPath(entry->name, move.staged_path) ||
            !InstalledPath(entry->name, move.installed_path) || !IsFile(move.staged_path.c_str()) ||
            !FlushStagedFile(move.staged_path)) {
            return UPDATE_E_INSTALL;
        }
        moves.push_back(std::move(move));
    }
    // A signed release's rollback record goes after everything, ver.dat included: it
    // says the release is whole, so it must never be in place before the release is.
    PlannedMove record;
    if (UpdateDirPath(kStagedReleaseRecordName, record.staged_path) &&
        IsFile(record.staged_path.c_str())) {
        if (!UpdateDirPath(kReleaseRecordName, record.installed_path)) {
            return UPDATE_E_INSTALL;
        }
        moves.push_back(std::move(record));
    }

    // A folder where a file must go can be replaced neither now nor at the next start.
    std::vector<DWORD> target_attributes;
    target_attributes.reserve(moves.size());
    for (const PlannedMove& move : moves) {
        const DWORD attributes = GetFileAttributesW(move.installed_path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            return UPDATE_E_INSTALL;
        }
        target_attributes.push_back(attributes);
    }

    bool all_writable = true;
    for (size_t i = 0; i < moves.size(); ++i) {
        if (target_attributes[i] != INVALID_FILE_ATTRIBUTES &&
            TargetInUse(moves[i].installed_path, target_attributes[i])) {
            all_writable = false;
        }
        // A failure shows up as a failed move below.
        static_cast<void>(CreateParentDirectories(moves[i].installed_path.c_str()));
    }

    size_t next = 0;
    if (all_writable) {
        // Each move is on the disk before the next one starts.
        while (next < moves.size() && MakeReplaceable(moves[next].installed_path) &&
               settings_.move_file(moves[next].staged_path.c_str(),
                                   moves[next].installed_path.c_str(),
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            ++next;
        }
    }
    // One file in use defers every file; a move that failed after others were done
    // (a target taken in the meantime) defers the rest. The system carries them out at
    // its next start in the order registered, so the version files stay last.
    for (; next < moves.size(); ++next) {
        if (!MakeReplaceable(moves[next].installed_path) ||
            !settings_.move_file(moves[next].staged_path.c_str(),
                                 moves[next].installed_path.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT)) {
            // Without the right to register (a standard user) the staged files stay for
            // the next run.
            return UPDATE_E_INSTALL;
        }
        moves_registered_ = true;
    }
    // The record is in place, so the version it was staged with is of no more use; when
    // its move waits for the next start, the first run after it removes it.
    std::wstring record_version;
    if (!moves_registered_ && UpdateDirPath(kStagedRecordVersionName, record_version)) {
        DeleteFileW(record_version.c_str());
    }
    return UPDATE_OK;
}

bool CUpdateLogic::RelaunchCommandLine(std::wstring& application,
                                       std::wstring& command_line) const {
    if (!UpdateDirPath(kUpdaterFileName, application)) {
        return false;
    }
    // Quoted, and named as the application as well: with spaces in the installation
    // path an unquoted line could start a program planted at a shorter prefix.
    std::wstring line = L"\"" + application + L"\" " + kCopyOnlySwitch;
    if (line.size() >= kRelaunchCommandCapacity) {
        return false;
    }
    command_line = std::move(line);
    return true;
}

bool CUpdateLogic::RelaunchFromUpdateDir() {
    std::wstring application;
    std::wstring command_line;
    // Once running, the new updater cannot flush its own image before moving it.
    if (!RelaunchCommandLine(application, command_line) || !FlushToDisk(application)) {
        return false;
    }
    // CreateProcessW may write into the command line.
    std::vector<wchar_t> line(command_line.begin(), command_line.end());
    line.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &info)) {
        return false;
    }
    // Not waited for: the new updater waits for this process instead.
    UniqueKernelHandle process(info.hProcess);
    UniqueKernelHandle thread(info.hThread);
    return true;
}

bool CUpdateLogic::WaitForOldUpdater(bool* timed_out) {
    if (timed_out != nullptr) {
        *timed_out = false;
    }
    std::wstring target;
    if (!InstalledPath(kUpdaterFileName, target)) {
        return false;
    }
    UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        return false;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    if (!Process32FirstW(snapshot.get(), &entry)) {
        return false;
    }
    const DWORD self = GetCurrentProcessId();
    const ULONGLONG deadline = GetTickCount64() + settings_.old_updater_wait_ms;
    do {
        // Waiting for ourselves would never end.
        if (entry.th32ProcessID == self) {
            continue;
        }
        UniqueKernelHandle process(OpenProcess(
            SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID));
        if (!process) {
            continue;  // not ours to open
        }
        wchar_t module[MAX_PATH] = {};
        const DWORD length = GetModuleFileNameExW(process.get(), nullptr, module, MAX_PATH);
        if (length > 0 && length < MAX_PATH &&
            EqualsNoCase(std::wstring_view(module, length), target)) {
            const ULONGLONG now = GetTickCount64();
            const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
            if (WaitForSingleObject(process.get(), left) != WAIT_OBJECT_0) {
                if (timed_out != nullptr) {
                    *timed_out = true;
                }
                return false;
            }
        }
    } while (Process32NextW(snapshot.get(), &entry));
    return true;
}

}  // namespace qv
