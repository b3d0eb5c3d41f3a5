#include "update/update_logic.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "tests/support/test_support.h"
#include "tests/update/local_logic.h"
#include "win/unique_handle.h"

namespace qv {
namespace {

using test::TempDir;

// A message-only window that receives the worker's report.
class NotifyWindow {
public:
    NotifyWindow()
        : hwnd_(CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                nullptr)) {}
    ~NotifyWindow() { Destroy(); }
    void Destroy() {
        if (hwnd_ != nullptr) {
            DestroyWindow(hwnd_);
        }
    }
    [[nodiscard]] HWND get() const { return hwnd_; }

    // Waits for WM_UPDATEDONE; false when none came in time.
    bool WaitForDone(MSG& done, DWORD timeout_ms = 20000) const {
        const DWORD start = GetTickCount();
        while (GetTickCount() - start < timeout_ms) {
            if (PeekMessageW(&done, hwnd_, WM_UPDATEDONE, WM_UPDATEDONE, PM_REMOVE)) {
                return true;
            }
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_POSTMESSAGE);
        }
        return false;
    }

private:
    HWND hwnd_;
};

// A worker confined to a temporary installation and an unreachable base URL.
class SandboxedLogic : public LocalLogic {
public:
    explicit SandboxedLogic(const std::wstring& dir) : LocalLogic(dir, L"http://127.0.0.1:9/up1") {}
};

// Starts a run whose stop was requested up front and expects one finished notice with
// `result`.
void ExpectStoppedRunReports(SandboxedLogic& logic, NotifyWindow& window, UpdateResult result) {
    logic.SetNotifyWindow(window.get());
    logic.RequestStop();
    ASSERT_TRUE(logic.Start());
    MSG done;
    ASSERT_TRUE(window.WaitForDone(done));
    EXPECT_EQ(done.wParam, 1u);
    EXPECT_EQ(done.lParam, result);
}

TEST(UpdateWorker, SecondJobEndsAtOnceWithSuccessWhileTheMutexIsHeld) {
    TempDir dir;
    UniqueKernelHandle held(CreateMutexW(nullptr, FALSE, kUpdateMutexName));
    ASSERT_TRUE(held);
    NotifyWindow window;
    SandboxedLogic logic(dir.path());
    // Stop is requested up front: only the mutex path can still answer 0.
    ExpectStoppedRunReports(logic, window, UPDATE_OK);
    logic.StopAndWait();
    EXPECT_FALSE(test::DirectoryExists(dir / L"update"));
}

TEST(UpdateWorker, StopRequestEndsThePassWith100AndReportsIt) {
    TempDir dir;
    NotifyWindow window;
    SandboxedLogic logic(dir.path());
    ExpectStoppedRunReports(logic, window, UPDATE_STOPPED);
    EXPECT_EQ(logic.Run(), UPDATE_STOPPED);  // the flag stays set until the join
    logic.StopAndWait();
    EXPECT_FALSE(logic.IsStarted());
    EXPECT_FALSE(logic.IsStopRequested());
    // The mutex is released by then: a new job can take it.
    UniqueKernelHandle mutex(CreateMutexW(nullptr, FALSE, kUpdateMutexName));
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
}

TEST(UpdateWorker, ReportIsDroppedWhenTheWindowIsGone) {
    TempDir dir;
    NotifyWindow window;
    const HWND gone = window.get();
    window.Destroy();
    SandboxedLogic logic(dir.path());
    logic.SetNotifyWindow(gone);
    logic.RequestStop();
    ASSERT_TRUE(logic.Start());
    logic.StopAndWait();
    MSG message;
    EXPECT_FALSE(PeekMessageW(&message, nullptr, WM_UPDATEDONE, WM_UPDATEDONE, PM_REMOVE));
}

// A thread that runs until asked to stop, to check the join.
class SpinningThread : public CThreadEx {
public:
    ~SpinningThread() override { StopAndWait(); }
    int Run() override {
        running = 1;
        while (!IsStopRequested()) {
            Sleep(5);
        }
        finished = 1;
        return 42;
    }
    volatile LONG running = 0;
    volatile LONG finished = 0;
};

TEST(UpdateWorker, StopAndWaitJoinsTheThreadAndResetsTheFlag) {
    SpinningThread thread;
    EXPECT_FALSE(thread.IsStarted());
    ASSERT_TRUE(thread.Start());
    EXPECT_TRUE(thread.IsStarted());
    while (!thread.running) {
        Sleep(1);
    }
    EXPECT_FALSE(thread.finished);
    thread.StopAndWait();
    EXPECT_TRUE(thread.finished);
    EXPECT_FALSE(thread.IsStarted());
    EXPECT_FALSE(thread.IsStopRequested());
    thread.StopAndWait();  // a second join is harmless
}

// A job whose run runs out of memory: the exception must not leave the thread (it
// would end the process), and the window must still hear that the job has ended.
class ThrowingLogic : public SandboxedLogic {
public:
    using SandboxedLogic::SandboxedLogic;
    int Run() override { throw std::bad_alloc(); }
    [[nodiscard]] HANDLE Thread() const noexcept { return thread_handle_.get(); }
};

TEST(UpdateWorker, ARunThatThrowsEndsTheJobWithTheOutOfMemoryResult) {
    TempDir dir;
    NotifyWindow window;
    ThrowingLogic logic(dir.path());
    logic.SetNotifyWindow(window.get());
    ASSERT_TRUE(logic.Start());
    MSG done;
    ASSERT_TRUE(window.WaitForDone(done));
    EXPECT_EQ(done.wParam, 1u);
    EXPECT_EQ(done.lParam, UPDATE_E_OUT_OF_MEMORY);
    ASSERT_EQ(WaitForSingleObject(logic.Thread(), 20000), WAIT_OBJECT_0);
    DWORD exit_code = 0;
    ASSERT_TRUE(GetExitCodeThread(logic.Thread(), &exit_code));
    EXPECT_EQ(exit_code, static_cast<DWORD>(UPDATE_E_OUT_OF_MEMORY));
    logic.StopAndWait();
}

TEST(UpdateWorker, NormalModeWorksBesideTheExecutable) {
    if (std::getenv("QV_COPYONLY_CHILD") != nullptr) {
        GTEST_SKIP() << "runs in the parent only";
    }
    std::wstring exe_dir = test::ThisExecutable();
    exe_dir.resize(exe_dir.find_last_of(L'\\'));
    CUpdateLogic logic;
    EXPECT_FALSE(CUpdateLogic::IsCopyOnlyMode());
    EXPECT_EQ(std::wstring(logic.AppDir()), exe_dir);
}

// Runs in a child process whose command line carries the switch.
TEST(CopyOnlyChild, SwitchMovesTheInstallationOneLevelUp) {
    if (std::getenv("QV_COPYONLY_CHILD") == nullptr) {
        GTEST_SKIP() << "runs in the child process only";
    }
    std::wstring parent_dir = test::ThisExecutable();
    parent_dir.resize(parent_dir.find_last_of(L'\\'));
    parent_dir.resize(parent_dir.find_last_of(L'\\'));
    EXPECT_TRUE(CUpdateLogic::IsCopyOnlyMode());
    CUpdateLogic logic;
    EXPECT_EQ(std::wstring(logic.AppDir()), parent_dir);
}

TEST(UpdateWorker, CopyOnlySwitchInAnyCaseAnywhereSelectsCopyOnlyMode) {
    if (std::getenv("QV_COPYONLY_CHILD") != nullptr) {
        GTEST_SKIP() << "runs in the parent only";
    }
    SetEnvironmentVariableW(L"QV_COPYONLY_CHILD", L"1");
    for (const wchar_t* argument : {L"/COPYONLY", L"x/CopyOnlyx", L"\"a b/copyonly\""}) {
        const std::wstring command =
            L"\"" + test::ThisExecutable() + L"\" --gtest_filter=CopyOnlyChild.* " + argument;
        EXPECT_EQ(test::RunProcess(command), 0) << test::Narrow(argument);
    }
    SetEnvironmentVariableW(L"QV_COPYONLY_CHILD", nullptr);
}

}  // namespace
}  // namespace qv
