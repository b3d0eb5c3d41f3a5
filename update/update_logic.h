#pragma once
// The update job: one run per process on a worker thread. Normal mode checks the
// server's version, stages every changed file in the update directory and installs
// them; copy-only mode (the new updater started by an old one) installs what the old
// one staged.

#include <windows.h>

#include <memory>
#include <optional>
#include <string>

#include "update/downloader.h"
#include "update/file_list.h"
#include "update/file_names.h"
#include "update/progress_counter.h"
#include "update/thread.h"
#include "update/update_result.h"
#include "update/update_settings.h"
#include "update/verification_policy.h"
#include "update/version_check.h"

namespace qv {

// Posted once by the worker as the last act of its run: wParam one of the two values
// below, lParam the result.
inline constexpr UINT WM_UPDATEDONE = WM_USER + 666;
// The job ended; with UPDATE_OK, whatever it installed is in place.
inline constexpr WPARAM kUpdateDoneFinished = 1;
// The job ended with UPDATE_OK, and the installation waits for the next system start.
inline constexpr WPARAM kUpdateDoneAfterRestart = 2;

// Posted by the worker while the files of the download list come in, at most twice a
// second and once when they are all there; wParam and lParam 0. The figures are
// read with Progress(): two byte counts beyond 4 GiB do not fit the message's
// parameters in a 32-bit build, and the window formats them exactly.
inline constexpr UINT WM_UPDATEPROGRESS = WM_USER + 667;

// Only one update job runs at a time on a machine.
inline constexpr wchar_t kUpdateMutexName[] = L"qvupdate{C51B3E40-435A-4389-95C9-9DD16EDF517B}";
inline constexpr wchar_t kCopyOnlySwitch[] = L"/copyonly";

// Download attempts per listed file.
inline constexpr int kDownloadAttempts = 3;
// Files transferred at once, each over its own kept connection: enough to fill a link
// whose round trip is long, few enough to stay polite to the server.
inline constexpr int kTransfersAtOnce = 6;
// Capacity of the relaunch command line, terminator included.
inline constexpr size_t kRelaunchCommandCapacity = 320;

class CUpdateLogic : public CThreadEx {
public:
    // The process's job: ProcessSettings of the command line's mode.
    CUpdateLogic();
    // A job with the given settings (tests, tools). An app_dir that does not fit
    // MAX_PATH counts as none.
    explicit CUpdateLogic(UpdateSettings settings);
    ~CUpdateLogic() override;

    // The whole run in the mode of the command line: RunJob(IsCopyOnlyMode()).
    int Run() override;
    // The whole run: wait for the old updater (copy-only; one that is still running
    // after the wait's limit ends the job with UPDATE_E_INSTALL, touching nothing), the
    // exclusive job, then WM_UPDATEDONE, whose wParam tells whether the installation
    // waits for the next system start.
    [[nodiscard]] UpdateResult RunJob(bool copy_only);
    // A run that threw (out of memory) still ends the job: UPDATE_E_OUT_OF_MEMORY is
    // posted and returned, so that the window closes.
    int OnRunFailed() noexcept override;

    // True when the process command line holds "/copyonly" in any letter case.
    [[nodiscard]] static bool IsCopyOnlyMode() noexcept;

    [[nodiscard]] const wchar_t* AppDir() const noexcept { return app_dir_; }
    // The download figures of the last WM_UPDATEPROGRESS; any thread.
    [[nodiscard]] ProgressFigures Progress() const noexcept { return progress_.Reported(); }
    // The downloads' counter: every full-file transfer counts into it, a patch through
    // Expect (its size in place of the file's, and back when it falls back).
    [[nodiscard]] ProgressCounter& DownloadProgress() noexcept { return progress_; }

    // The job inside the single-instance mutex. While moves registered for the next
    // system start read files of the update directory, it ends with
    // UPDATE_RESTART_PENDING before any request or change.
    [[nodiscard]] UpdateResult RunExclusive(bool copy_only);
    // True when moves registered for the next system start take files from this
    // installation's update directory, or when the registered moves cannot be read
    // (then they may): a run must not change what they will install.
    [[nodiscard]] bool RestartPending() const;
    // True when the last installation registered any move for the next system start.
    [[nodiscard]] bool InstallWaitsForRestart() const noexcept { return moves_registered_; }
    // Version check, file list, download list, downloads; sets self_update when the
    // updater itself is among the files.
    [[nodiscard]] UpdateResult UpdatePass(bool& self_update);
    // Stages one listed file in the update directory over `fetcher`, safe to run for
    // different files at once: reuses a staged file that `policy` finds right, else
    // applies the patch `policy` offers for the installed file, else (or when the patch
    // fails) downloads it (3 attempts, those cut off mid-body going on with a Range
    // request) and has `policy` check it, unpacking zipped ones. `downloaded` is set once the
    // entry's files on disk were touched (not reused).
    [[nodiscard]] UpdateResult FetchAndPlaceEntry(const FileEntry& entry, const PassContext& pass,
                                                  CDownloader& fetcher,
                                                  const VerificationPolicy& policy,
                                                  bool* downloaded);
    // Moves every staged file of downlist.dat into the installation: all at once when
    // every target can be written, otherwise all at the next system start. The files
    // that tell the installed version move last, so that an installation cut short at
    // any point still differs from the server's version and the next run completes it.
    // A read-only target is made writable right before its move; a folder where a file
    // must go fails the installation before any move.
    [[nodiscard]] UpdateResult InstallFiles();
    // Starts the staged updater in copy-only mode; false when it did not start.
    [[nodiscard]] bool RelaunchFromUpdateDir();
    // Waits until no process runs app_dir\update.exe, the settings' wait in all; false
    // when the process list cannot be read or one still runs at the limit (then
    // `timed_out` is set).
    [[nodiscard]] bool WaitForOldUpdater(bool* timed_out = nullptr);

    // "app_dir\update\name"; false when it does not fit MAX_PATH or app_dir is unknown.
    [[nodiscard]] bool UpdateDirPath(const std::wstring& name, std::wstring& out) const;
    // The command line that starts the staged updater: its quoted path and
    // "/copyonly". False when the path does not fit.
    [[nodiscard]] bool RelaunchCommandLine(std::wstring& application,
                                           std::wstring& command_line) const;

private:
    enum class PatchOutcome { kStaged, kStopped, kFailed };
    // Stages the entry at `staged_path` through the patch of its installed file: fetched
    // once (resumed when its connection dropped), checked, applied and checked as a
    // staged file, its bytes counted by `progress`. kFailed leaves neither patch nor
    // output: the full file comes next.
    [[nodiscard]] PatchOutcome StageThroughPatch(const FileEntry& entry, const PatchOffer& offer,
                                                 const PassContext& pass, CDownloader& fetcher,
                                                 const VerificationPolicy& policy,
                                                 const std::wstring& staged_path,
                                                 EntryProgress& progress);
    // Stages every entry of the download list, kTransfersAtOnce at a time. The result
    // is that of the first failing entry in list order, and the update directory ends
    // as if the entries had been staged one by one: what was fetched for entries after
    // that one is removed.
    [[nodiscard]] UpdateResult StageDownloadList(const FileList& download_list,
                                                 const PassContext& pass);
    // Settles a rollback record staged by an earlier run: moved into place when its
    // release reached the installation (the installed version is the one staged beside
    // it), removed with its companion otherwise. False when that cannot be done; the
    // staged files then stay for the next run.
    [[nodiscard]] bool SettleStagedReleaseRecord();
    // "app_dir\name"; false when it does not fit MAX_PATH or app_dir is unknown.
    [[nodiscard]] bool InstalledPath(const std::wstring& name, std::wstring& out) const;

    wchar_t app_dir_[MAX_PATH] = {};
    UpdateSettings settings_;
    // What the pass asks of every file it fetches or stages: CRC-32 only, or signed
    // when keys are configured (then it holds the accepted release).
    std::unique_ptr<VerificationPolicy> policy_;
    std::string server_version_bytes_;  // ver.dat exactly as fetched
    // Set by an installation that registered moves for the next system start.
    bool moves_registered_ = false;
    // Posts WM_UPDATEPROGRESS for the counter; nothing without a window.
    static void PostProgress(void* self) noexcept;
    ProgressCounter progress_{&CUpdateLogic::PostProgress, this};
    // The pass's own connection: the lists, and the first of the transfers.
    CDownloader downloader_{this, settings_.low_speed_window_ms};
    // Set by a pass that went through the whole download list: only then is there
    // something of this run to install. A pass that found the versions equal must not
    // install what an older list staged.
    bool files_staged_ = false;
};

// True when the entry is the updater itself: exactly its name, nowhere but at the top.
[[nodiscard]] bool NamesUpdater(const FileEntry& entry) noexcept;
// True when no other process holds the existing file open in a way that stops
// writing.
[[nodiscard]] bool CanOpenForWrite(const wchar_t* path) noexcept;

}  // namespace qv
