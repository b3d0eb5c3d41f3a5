#pragma once
// Helpers for the shell's tests: the module fixture, a scripted stand-in for the update
// worker, window lookup, a probe for the shell's tray icons, and running update.exe.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "app/module.h"
#include "update/progress_counter.h"
#include "update/thread.h"
#include "win/unique_handle.h"

namespace qv::test {

// Tests of windows and loops: the module is initialised for this executable around
// each test. Derived fixtures that add set-up call these first and last.
class ModuleTest : public testing::Test {
protected:
    void SetUp() override { g_module.Initialise(GetModuleHandleW(nullptr)); }
    void TearDown() override { g_module.Shutdown(); }
};

// What the next FakeWorker does; tests set it before creating the window.
struct FakeWorkerScript {
    int result = 0;                  // lParam of WM_UPDATEDONE
    WPARAM done = 1;                 // its wParam: kUpdateDoneFinished or ...AfterRestart
    bool fail_start = false;         // Start() fails as a failed thread creation would
    bool hold_until_stop = false;    // run until the stop flag is set
    DWORD linger_after_stop_ms = 0;  // then keep running this long
    std::atomic<int> starts{0};      // threads started
    std::atomic<bool> stop_seen{false};
    std::atomic<bool> returned{false};
    std::atomic<DWORD> returned_at{0};  // GetTickCount when Run returned
    ProgressFigures progress;           // what Progress() reports
};

FakeWorkerScript& Script();
void ResetScript();

// Stands in for CUpdateLogic: a real CThreadEx whose Run follows Script().
class FakeWorker : public CThreadEx {
public:
    bool Start() noexcept;
    int Run() override;
    [[nodiscard]] ProgressFigures Progress() const noexcept { return Script().progress; }
    ~FakeWorker() override { StopAndWait(); }
};

// The first top-level window of `thread` (or of `process` when thread is 0) with the
// dialog class and the caption "Update"; null when there is none.
HWND FindUpdateWindow(DWORD process, DWORD thread = 0);
// The visible popup menu window shown by `thread`, or null.
HWND FindPopupMenu(DWORD thread);

// True when the shell knows an icon of `window` with `id` (a change request that
// changes nothing succeeds only for an existing icon).
bool TrayIconExists(HWND window, UINT id);

// Polls `condition` every 10 ms for at most `timeout_ms`.
template <typename Condition>
bool WaitFor(Condition condition, DWORD timeout_ms) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (condition()) {
            return true;
        }
        if (GetTickCount() - start >= timeout_ms) {
            return false;
        }
        Sleep(10);
    }
}

// Pumps this thread's messages for `ms` milliseconds.
void PumpFor(DWORD ms);

// Paths of the programs built beside the tests.
std::wstring UpdateExePath();
std::wstring HomeMarkerExePath();
// The DLL that leaves "<its path>.loaded" when it is loaded (tests/e2e/planted_dll.cpp).
std::wstring PlantedDllPath();
// `name` in the folder of the test program.
std::wstring BesideTestsPath(const std::wstring& name);

// Writes a cfg.ini with "home" and "upddir" (by default a closed loopback port: the
// engine never leaves the machine).
bool WriteConfig(const std::wstring& directory, const std::wstring& home,
                 const std::wstring& upddir = L"http://127.0.0.1:9/up1");

// A started update.exe.
class UpdaterProcess {
public:
    // Starts `exe` with the arguments after the quoted program path.
    UpdaterProcess(const std::wstring& exe, const std::wstring& arguments);
    [[nodiscard]] bool started() const { return process_.valid(); }
    [[nodiscard]] DWORD id() const { return id_; }
    [[nodiscard]] DWORD started_at() const { return started_at_; }
    // The exit code, or -1 when it did not end in time (it is then killed).
    int Wait(DWORD timeout_ms = 20000);
    [[nodiscard]] bool Running() const;
    // Waits for its main window; null when it does not appear while the process runs.
    HWND WaitForWindow(DWORD timeout_ms = 10000) const;

private:
    UniqueKernelHandle process_;
    DWORD id_ = 0;
    DWORD started_at_ = 0;
};

// Whether this runs under Wine (only to skip observations that rely on how Wine's
// tray shows balloons).
bool UnderWine();

}  // namespace qv::test
