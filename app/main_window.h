#pragma once
// The updater's only window: a hidden modeless dialog that owns the tray icon and
// the update worker, starts the worker once the message loop runs, and closes the
// process when the worker reports its end or the user picks the close command.

#include <windows.h>

#include <shellapi.h>

#include "app/command_line.h"
#include "app/config.h"
#include "app/gui_handles.h"
#include "app/module.h"
#include "app/progress_text.h"
#include "app/tray_icon.h"
#include "app/window.h"
#include "res/resource.h"
#include "update/update_logic.h"

namespace qv {

// Posted by the window to itself at the end of WM_INITDIALOG: starts the worker.
inline constexpr UINT WM_STARTWORKER = WM_USER + 1000;

// Exit code when the worker thread cannot be started: nothing would ever end the
// process otherwise (silent mode has no menu to close it).
inline constexpr int kExitWorkerNotStarted = 3;

// The texts the user sees.
inline constexpr wchar_t kTrayTooltip[] = L"Qv阅读器正在升级";
inline constexpr wchar_t kBalloonTitle[] = L"Qv阅读器";
inline constexpr wchar_t kBalloonStarted[] = L"Qv阅读器正在升级...";
inline constexpr wchar_t kBalloonDone[] = L"升级完成!";
// The job ended well, but its files move at the next system start.
inline constexpr wchar_t kBalloonDoneAfterRestart[] = L"重新启动计算机后完成升级";
static_assert(sizeof(NOTIFYICONDATAW::szTip) / sizeof(wchar_t) == kTooltipCapacity,
              "the progress tooltip is formatted for the icon record's field");
// The balloon time-out in milliseconds; the shell applies its own minimum.
inline constexpr UINT kBalloonTimeout = 3;

// TWorker is the update worker (CUpdateLogic in the product); TemplateId the dialog
// template.
template <class TWorker, int TemplateId = IDD_MAINDLG>
class CMainDlgT : public CDialogImpl<CMainDlgT<TWorker, TemplateId>>,
                  public CUpdateUI<CMainDlgT<TWorker, TemplateId>>,
                  public CMessageFilter,
                  public CIdleHandler,
                  public CTrayIconImpl<CMainDlgT<TWorker, TemplateId>> {
public:
    enum { IDD = TemplateId };

    // command_line: what decides about the tray icon (null: the process's own, read
    // when the window is created). config: where the home page comes from (null:
    // cfg.ini beside the executable).
    explicit CMainDlgT(const wchar_t* command_line = nullptr, CConfigFile* config = nullptr)
        : tray_command_line_(command_line), config_file_(config) {}

    // Returns only after the worker thread has ended; the tray icon goes with the
    // tray base.
    ~CMainDlgT() override { worker_.StopAndWait(); }

    static const UpdateUIEntry* GetUpdateUIMap() noexcept {
        static const UpdateUIEntry map[] = {{0}};
        return map;
    }

    BOOL ProcessWindowMessage(HWND /*window*/, UINT message, WPARAM wparam, LPARAM lparam,
                              LRESULT& result) override {
        // Tried in this order. WM_DESTROY comes twice: the first entry leaves the
        // message unhandled so that the tray icon's entry sees it as well.
        if (message == WM_INITDIALOG) {
            result = OnInitDialog();
            return TRUE;
        }
        if (message == WM_DESTROY) {
            OnDestroy();
        }
        if (message == WM_STARTWORKER) {
            result = StartWorker();
            return TRUE;
        }
        if (message == WM_UPDATEDONE) {
            result = OnUpdateDone(wparam, lparam);
            return TRUE;
        }
        if (message == WM_UPDATEPROGRESS) {
            result = OnUpdateProgress();
            return TRUE;
        }
        if (message == WM_COMMAND) {
            // The command id alone decides, whatever the notification code.
            switch (LOWORD(wparam)) {
                case ID_TRAY_HOME:
                    result = OpenHomePage();
                    return TRUE;
                case IDOK:
                    result = CloseMainWindow(IDOK);
                    return TRUE;
                case IDCANCEL:
                    result = CloseMainWindow(IDCANCEL);
                    return TRUE;
                default:
                    break;
            }
        }
        if (this->tray_message_ != 0 && message == this->tray_message_) {
            result = this->HandleTrayNotify(wparam, lparam);
            return TRUE;
        }
        if (this->taskbar_created_message_ != 0 && message == this->taskbar_created_message_) {
            // Only an icon shown before comes back: none under /silence or /copyonly.
            static_cast<void>(this->RestoreTrayIcon());
            result = 0;
            return TRUE;
        }
        if (message == WM_DESTROY) {
            this->RemoveTrayIcon();
            result = 0;
            return TRUE;
        }
        // Everything else, WM_CLOSE included, goes to the default dialog processing,
        // which turns WM_CLOSE into IDCANCEL while the Cancel button is enabled.
        return FALSE;
    }

    // The window's own dialog-message handling.
    bool FilterMessage(MSG* message) override {
        return IsDialogMessageW(this->hwnd_, message) != FALSE;
    }
    bool DoIdleWork() override { return false; }

    // Stops the worker (without waiting), destroys the window and ends the loop
    // with `exit_code`.
    LRESULT CloseMainWindow(int exit_code) noexcept {
        worker_.RequestStop();
        DestroyWindow(this->hwnd_);
        PostQuitMessage(exit_code);
        return 0;
    }

    [[nodiscard]] TWorker& Worker() noexcept { return worker_; }

protected:
    LRESULT OnInitDialog() noexcept {
        // Centring a window that is never shown has no visible effect; it stays because
        // the shipped updater does it, and a template with the visible style would then
        // still open in the middle of the work area.
        this->CentreWindow();

        const HINSTANCE instance = g_module.GetInstance();
        big_icon_.reset(static_cast<HICON>(
            LoadImageW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                       GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR)));
        SendMessageW(this->hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big_icon_.get()));
        small_icon_.reset(static_cast<HICON>(LoadImageW(
            instance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
            GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR)));
        SendMessageW(this->hwnd_, WM_SETICON, ICON_SMALL,
                     reinterpret_cast<LPARAM>(small_icon_.get()));

        if (CMessageLoop* loop = g_module.FindLoop()) {
            // Out of memory, the window only misses its dialog keys and idle pass.
            static_cast<void>(loop->RegisterFilter(this));
            static_cast<void>(loop->RegisterIdleHandler(this));
        }

        const wchar_t* line =
            tray_command_line_ != nullptr ? tray_command_line_ : GetCommandLineW();
        if (!HidesTrayIcon(line)) {
            // A shared icon from LoadIconW: the system frees it.
            const HICON icon = LoadIconW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME));
            // Without the icon (no tray, a duplicate) the job runs all the same; the
            // balloons are then skipped.
            if (this->AddTrayIcon(kTrayTooltip, icon, IDR_MAINFRAME)) {
                static_cast<void>(
                    this->ShowTrayBalloon(kBalloonTitle, kBalloonStarted, kBalloonTimeout));
            }
        }

        // The worker starts from the loop, after creation has returned.
        PostMessageW(this->hwnd_, WM_STARTWORKER, 0, 0);
        return TRUE;
    }

    void OnDestroy() noexcept {
        if (CMessageLoop* loop = g_module.FindLoop()) {
            loop->UnregisterFilter(this);
            loop->UnregisterIdleHandler(this);
        }
        worker_.RequestStop();
    }

    LRESULT StartWorker() noexcept {
        if (worker_.IsStarted()) {
            return 0;
        }
        worker_.SetNotifyWindow(this->hwnd_);
        if (!worker_.Start()) {
            // No worker means no WM_UPDATEDONE, so nothing would ever close a silent
            // process: end now, with a code of its own.
            CloseMainWindow(kExitWorkerNotStarted);
        }
        return 0;
    }

    // wParam says whether the job's files are in place or wait for the next start.
    LRESULT OnUpdateDone(WPARAM done, LPARAM result) noexcept {
        if (result == UPDATE_OK) {
            const wchar_t* text =
                done == kUpdateDoneAfterRestart ? kBalloonDoneAfterRestart : kBalloonDone;
            static_cast<void>(this->ShowTrayBalloon(kBalloonTitle, text, kBalloonTimeout));
            // Leaves the balloon up for a moment before the icon goes with the window.
            // A silent run pauses too: the shipped updater always has, so every
            // successful job ends the process equally late.
            Sleep(1000);
        }
        PostMessageW(this->hwnd_, WM_CLOSE, 0, 0);
        return 0;
    }

    // The worker's download figures as the tooltip's second line. Without an icon
    // (/silence, /copyonly) nothing changes.
    LRESULT OnUpdateProgress() noexcept {
        wchar_t tooltip[kTooltipCapacity];
        if (FormatProgressTooltip(kTrayTooltip, worker_.Progress(), tooltip)) {
            static_cast<void>(this->SetTrayTooltip(tooltip));
        }
        return 0;
    }

    LRESULT OpenHomePage() noexcept {
        try {
            CConfigFile& config = config_file_ != nullptr ? *config_file_ : CConfigFile::Instance();
            const wchar_t* url = config.GetUrl(L"home", kDefaultHomeUrl);
            ShellExecuteW(this->hwnd_, L"open", url, nullptr, nullptr, SW_SHOWNORMAL);
        } catch (...) {
            // Out of memory while reading the configuration: the click does nothing.
        }
        return 0;
    }

    TWorker worker_;

private:
    const wchar_t* const tray_command_line_;
    CConfigFile* const config_file_;
    UniqueIcon big_icon_;
    UniqueIcon small_icon_;
};

// The updater's main window.
using CMainDlg = CMainDlgT<CUpdateLogic>;

}  // namespace qv
