// update.exe itself, run in a temporary installation whose cfg.ini points the
// engine at a closed loopback port and the home page at a marker program.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "tests/app/app_test_support.h"
#include "tests/support/hostile_server.h"
#include "tests/support/test_support.h"

namespace qv {
namespace {

using test::TempDir;
using test::UpdaterProcess;
using test::WaitFor;

class UpdaterProcessTest : public testing::Test {
protected:
    void SetUp() override {
        exe = dir / L"update.exe";
        ASSERT_TRUE(CopyFileW(test::UpdateExePath().c_str(), exe.c_str(), FALSE));
        marker_program = dir / L"home.exe";
        ASSERT_TRUE(CopyFileW(test::HomeMarkerExePath().c_str(), marker_program.c_str(), FALSE));
        // The server announces the installed version: the job ends with 0 (nothing to
        // do) after one request.
        ASSERT_TRUE(server.Running()) << server.Problem();
        ASSERT_TRUE(server.Script(R"({"/process/up1/ver.dat": {"body": "1.0"}})"));
        ASSERT_TRUE(test::WriteConfig(dir.path(), marker_program, server.Url("/process/up1")));
        ASSERT_TRUE(test::WriteFileBytes(dir / L"ver.dat", "1.0"));
    }

    struct Outcome {
        int exit_code = -1;
        bool window_seen = false;
        bool icon_seen = false;
        DWORD window_ms = 0;  // from the window's first sight until it was gone
        DWORD icon_ms = 0;    // from the icon's first sight until it was gone
    };

    // Runs update.exe and watches its window and tray icon.
    Outcome RunWatched(const std::wstring& program, const std::wstring& arguments) {
        Outcome outcome;
        UpdaterProcess process(program, arguments);
        EXPECT_TRUE(process.started());
        const HWND window = process.WaitForWindow();
        const DWORD window_seen_at = GetTickCount();
        DWORD icon_seen_at = 0;
        outcome.window_seen = window != nullptr;
        while (window != nullptr && IsWindow(window)) {
            const bool icon = test::TrayIconExists(window, 128);
            if (icon && !outcome.icon_seen) {
                outcome.icon_seen = true;
                icon_seen_at = GetTickCount();
            } else if (!icon && outcome.icon_seen && outcome.icon_ms == 0) {
                outcome.icon_ms = GetTickCount() - icon_seen_at;
            }
            Sleep(10);
        }
        outcome.window_ms = GetTickCount() - window_seen_at;
        outcome.exit_code = process.Wait();
        return outcome;
    }

    test::HostileServer server;
    TempDir dir;
    std::wstring exe;
    std::wstring marker_program;
};

TEST_F(UpdaterProcessTest, PlainRunShowsTheIconAndEndsWith2AboutASecondAfterTheWorker) {
    const Outcome outcome = RunWatched(exe, L"");
    EXPECT_TRUE(outcome.window_seen);
    EXPECT_TRUE(outcome.icon_seen);
    EXPECT_EQ(outcome.exit_code, 2);
    // The worker ends with 0 here, and the window waits a second with its icon
    // before closing.
    EXPECT_GE(outcome.icon_ms, 900u);
    EXPECT_LT(outcome.icon_ms, 10000u);
}

TEST_F(UpdaterProcessTest, SilenceAnywhereInTheLineInAnyCaseShowsNoIcon) {
    for (const wchar_t* arguments :
         {L"/silence", L"/SILENCE", L"/silencex", L"\"some text /Silence more\""}) {
        const Outcome outcome = RunWatched(exe, arguments);
        EXPECT_TRUE(outcome.window_seen) << test::Narrow(arguments);
        EXPECT_FALSE(outcome.icon_seen) << test::Narrow(arguments);
        EXPECT_EQ(outcome.exit_code, 2) << test::Narrow(arguments);
        // A result of 0 still waits a second in silent mode.
        EXPECT_GE(outcome.window_ms, 900u) << test::Narrow(arguments);
        EXPECT_LT(outcome.window_ms, 10000u) << test::Narrow(arguments);
    }
}

TEST_F(UpdaterProcessTest, CopyOnlyShowsNoIcon) {
    // The copy-only updater runs from the update directory of the installation.
    const std::wstring copy = dir / L"update\\update.exe";
    CreateDirectoryW((dir / L"update").c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(exe.c_str(), copy.c_str(), FALSE));
    const Outcome outcome = RunWatched(copy, L"/COPYONLY");
    EXPECT_TRUE(outcome.window_seen);
    EXPECT_FALSE(outcome.icon_seen);
    EXPECT_EQ(outcome.exit_code, 2);
}

TEST_F(UpdaterProcessTest, WmCloseFromAnotherProcessEndsWith2) {
    UpdaterProcess process(exe, L"/silence");
    const HWND window = process.WaitForWindow();
    ASSERT_NE(window, nullptr);
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(process.Wait(), 2);
    EXPECT_FALSE(IsWindow(window));
}

TEST_F(UpdaterProcessTest, DoubleClickOnTheIconOpensTheHomePageFromCfgIni) {
    UpdaterProcess process(exe, L"");
    const HWND window = process.WaitForWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(WaitFor([&] { return test::TrayIconExists(window, 128); }, 5000));
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(window, RegisterWindowMessageW(L"WM_TRAYICON"), 128, WM_LBUTTONDBLCLK,
                        SMTO_NORMAL, 5000, &ignored);
    EXPECT_TRUE(WaitFor([&] { return test::FileExists(dir / L"home_opened.txt"); }, 10000));
    EXPECT_EQ(process.Wait(), 2);
}

}  // namespace
}  // namespace qv
