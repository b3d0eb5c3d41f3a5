#pragma once
// The update job: one run per process on a worker thread. Normal mode checks the
// server's version, stages every changed file in the update directory and installs
// them; copy-only mode (the new updater started by an old one) installs what the old
// one staged.

#include <windows.h>

#include <string>

#include "update/file_list.h"
#include "update/thread.h"

namespace qv {

// Outcome of one job, posted to the window as lParam of WM_UPDATEDONE.
enum UpdateResult : int {
    UPDATE_OK = 0,                   // nothing to do, another updater runs, or done
    UPDATE_E_FILELIST_DOWNLOAD = 1,  // fetching filelist.dat failed
    UPDATE_E_LIST_READ = 2,          // a list file could not be opened
    UPDATE_E_DOWNLIST_WRITE = 3,     // downlist.dat could not be created
    UPDATE_E_FILE_DOWNLOAD = 4,      // a file did not arrive with its CRC-32 in 3 attempts
    UPDATE_E_EXTRACT = 6,            // a downloaded archive could not be extracted
    UPDATE_STOPPED = 100,            // the stop flag was found set
};

// Posted once by the worker as the last act of its run: wParam 1, lParam the result.
inline constexpr UINT WM_UPDATEDONE = WM_USER + 666;

// Only one update job runs at a time on a machine.
inline constexpr wchar_t kUpdateMutexName[] = L"qvupdate{C51B3E40-435A-4389-95C9-9DD16EDF517B}";
inline constexpr wchar_t kCopyOnlySwitch[] = L"/copyonly";

class CUpdateLogic : public CThreadEx {
public:
    // Finds the installation directory: the executable's directory, or its parent in
    // copy-only mode (the new updater runs from the update directory).
    CUpdateLogic();
    ~CUpdateLogic() override;

    // The whole run: wait for the old updater (copy-only), the exclusive job, then
    // WM_UPDATEDONE. Returns the UpdateResult.
    int Run() override;

    // True when the process command line holds "/copyonly" in any letter case.
    static bool IsCopyOnlyMode() noexcept;

    [[nodiscard]] const wchar_t* AppDir() const noexcept { return app_dir; }
    // Points the job at another installation directory (tests, tools). False when the
    // path does not fit.
    bool SetAppDir(const wchar_t* directory) noexcept;
    // Overrides the configured base URL ("upddir" in cfg.ini).
    void SetBaseUrl(std::wstring url) { base_url_override = std::move(url); }
    [[nodiscard]] std::wstring BaseUrl() const;

    // The job inside the single-instance mutex.
    UpdateResult RunExclusive(bool copy_only);
    // Version check, file list, download list, downloads; sets self_update when the
    // updater itself is among the files.
    UpdateResult UpdatePass(bool& self_update);

    // Stages, in the order the pass uses them.
    bool CheckVersion();
    bool DownloadToFile(const std::wstring& url, const std::wstring& target_path);
    UpdateResult FetchAndPlaceEntry(const FileEntry& entry, bool& self_update);
    UpdateResult InstallFiles();
    bool RelaunchFromUpdateDir();
    bool WaitForOldUpdater();

    // "app_dir\update\name"; false when it does not fit MAX_PATH.
    bool UpdateDirPath(const std::wstring& name, std::wstring& out) const;

protected:
    wchar_t app_dir[MAX_PATH] = {};

private:
    std::wstring base_url_override;
};

}  // namespace qv
