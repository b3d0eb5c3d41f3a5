#include "app/main_window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "app/application.h"
#include "tests/app/app_test_support.h"
#include "tests/support/test_support.h"

namespace qv {
namespace {

using test::FakeWorker;
using test::Script;
using test::TempDir;
using test::WaitFor;

// What the window looked like at the moments the tests care about.
struct Observations {
    NOTIFYICONDATAW after_init = {};
    bool installed_after_init = false;
    NOTIFYICONDATAW after_done = {};
    bool installed_after_done = false;
    DWORD done_at = 0;
    LPARAM done_result = -1;
    DWORD destroyed_at = 0;
    bool worker_returned_at_destroy = false;
    bool installed_after_destroy = true;
    bool icon_after_destroy = true;
    NOTIFYICONDATAW after_taskbar_created = {};
    bool installed_after_taskbar_created = false;
    NOTIFYICONDATAW after_progress = {};
    int progress_messages = 0;
};
Observations observed;

// The main window with the scripted worker (or another), recording its state as it goes.
template <int TemplateId = IDD_MAINDLG, class TWorker = FakeWorker>
class ObservedDlg : public CMainDlgT<TWorker, TemplateId> {
public:
    using CMainDlgT<TWorker, TemplateId>::CMainDlgT;

    BOOL ProcessWindowMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                              LRESULT& result) override {
        if (message == WM_UPDATEDONE) {
            observed.done_at = GetTickCount();
            observed.done_result = lparam;
        }
        if (message == WM_DESTROY) {
            observed.destroyed_at = GetTickCount();
            observed.worker_returned_at_destroy = Script().returned;
        }
        const BOOL handled = CMainDlgT<TWorker, TemplateId>::ProcessWindowMessage(
            window, message, wparam, lparam, result);
        if (message == WM_INITDIALOG) {
            observed.after_init = this->TrayIconData();
            observed.installed_after_init = this->IsTrayIconInstalled();
        } else if (message == WM_UPDATEDONE) {
            observed.after_done = this->TrayIconData();
            observed.installed_after_done = this->IsTrayIconInstalled();
        } else if (message == WM_DESTROY) {
            observed.installed_after_destroy = this->IsTrayIconInstalled();
            observed.icon_after_destroy = test::TrayIconExists(window, 128);
        } else if (message == WM_UPDATEPROGRESS) {
            observed.after_progress = this->TrayIconData();
            ++observed.progress_messages;
        } else if (message == RegisterWindowMessageW(L"TaskbarCreated")) {
            observed.after_taskbar_created = this->TrayIconData();
            observed.installed_after_taskbar_created = this->IsTrayIconInstalled();
        }
        return handled;
    }
};

// The visible balloon (a tooltip window of the tray) that shows `text`, or null.
HWND FindVisibleBalloon(const wchar_t* text) {
    for (HWND tip = FindWindowExW(nullptr, nullptr, L"tooltips_class32", nullptr); tip != nullptr;
         tip = FindWindowExW(nullptr, tip, L"tooltips_class32", nullptr)) {
        wchar_t shown[300] = {};
        DWORD_PTR ignored = 0;
        if (IsWindowVisible(tip) &&
            SendMessageTimeoutW(tip, WM_GETTEXT, 300, reinterpret_cast<LPARAM>(shown),
                                SMTO_ABORTIFHUNG, 500, &ignored) &&
            lstrcmpW(shown, text) == 0) {
            return tip;
        }
    }
    return nullptr;
}

constexpr wchar_t kPlainLine[] = L"\"C:\\qv\\update.exe\"";
constexpr wchar_t kSilentLine[] = L"\"C:\\qv\\update.exe\" /silence";

class MainWindowTest : public test::ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        test::ResetScript();
        observed = Observations();
        marker_program = dir / L"home.exe";
        ASSERT_TRUE(CopyFileW(test::HomeMarkerExePath().c_str(), marker_program.c_str(), FALSE));
        ASSERT_TRUE(test::WriteConfig(dir.path(), marker_program));
        config = std::make_unique<CConfigFile>(dir / L"cfg.ini");
    }
    void TearDown() override {
        if (driver.joinable()) {
            driver.join();
        }
        ModuleTest::TearDown();
    }

    // Runs the application with `drive` on another thread, which gets the window.
    int Run(const wchar_t* command_line, std::function<void(HWND)> drive = nullptr) {
        const DWORD ui_thread = GetCurrentThreadId();
        if (drive) {
            driver = std::thread([ui_thread, drive] {
                HWND window = nullptr;
                WaitFor([&] { return (window = test::FindUpdateWindow(0, ui_thread)) != nullptr; },
                        10000);
                if (window == nullptr) {
                    ADD_FAILURE() << "the main window did not appear";
                    PostThreadMessageW(ui_thread, WM_QUIT, 99, 0);  // the test must not hang
                    return;
                }
                drive(window);
            });
        }
        const int code = RunMainWindow<ObservedDlg<>>(command_line, config.get());
        returned_at = GetTickCount();
        worker_returned_at_return = Script().returned;
        if (driver.joinable()) {
            driver.join();
        }
        MSG stray;  // a quit the driver posted after the loop had ended
        while (PeekMessageW(&stray, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
        return code;
    }

    [[nodiscard]] bool HomeOpened() const { return test::FileExists(dir / L"home_opened.txt"); }

    TempDir dir;
    std::wstring marker_program;
    std::unique_ptr<CConfigFile> config;
    std::thread driver;
    DWORD returned_at = 0;
    bool worker_returned_at_return = false;
};

TEST_F(MainWindowTest, ShowsTheTrayIconWithItsFirstBalloonAndRemovesItOnClose) {
    Script().hold_until_stop = true;
    HWND seen = nullptr;
    bool icon_seen = false;
    RECT rect = {};
    HICON big = nullptr;
    HICON small = nullptr;
    const int code = Run(kPlainLine, [&](HWND window) {
        seen = window;
        icon_seen = WaitFor([&] { return test::TrayIconExists(window, 128); }, 5000);
        GetWindowRect(window, &rect);
        big = reinterpret_cast<HICON>(SendMessageW(window, WM_GETICON, ICON_BIG, 0));
        small = reinterpret_cast<HICON>(SendMessageW(window, WM_GETICON, ICON_SMALL, 0));
        PostMessageW(window, WM_CLOSE, 0, 0);
    });
    EXPECT_EQ(code, 2);
    ASSERT_NE(seen, nullptr);
    EXPECT_TRUE(icon_seen);
    // Removed while the window is destroyed (Wine would also drop it with the window).
    EXPECT_FALSE(observed.installed_after_destroy);
    EXPECT_FALSE(observed.icon_after_destroy);

    const NOTIFYICONDATAW& data = observed.after_init;
    EXPECT_TRUE(observed.installed_after_init);
    EXPECT_EQ(data.cbSize, sizeof(void*) == 8 ? 968u : 952u);
    EXPECT_EQ(data.hWnd, seen);
    EXPECT_EQ(data.uID, 128u);
    EXPECT_EQ(data.uFlags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO));
    EXPECT_EQ(data.uCallbackMessage, RegisterWindowMessageW(L"WM_TRAYICON"));
    EXPECT_NE(data.hIcon, nullptr);
    EXPECT_STREQ(data.szTip, L"Qv阅读器正在升级");
    EXPECT_STREQ(data.szInfoTitle, L"Qv阅读器");
    EXPECT_STREQ(data.szInfo, L"Qv阅读器正在升级...");
    EXPECT_EQ(data.uTimeout, 3u);
    EXPECT_EQ(data.dwInfoFlags, static_cast<DWORD>(NIIF_INFO));

    // Centred on the work area, with both window icons at the system's sizes.
    MONITORINFO info = {};
    info.cbSize = sizeof info;
    ASSERT_TRUE(GetMonitorInfoW(MonitorFromRect(&rect, MONITOR_DEFAULTTONEAREST), &info));
    const int width = rect.right - rect.left;
    EXPECT_EQ(rect.left, (info.rcWork.left + info.rcWork.right) / 2 - width / 2);
    EXPECT_NE(big, nullptr);
    EXPECT_NE(small, nullptr);
    EXPECT_NE(big, small);

    // The close asked the worker to stop and waited for it.
    EXPECT_TRUE(Script().stop_seen);
    EXPECT_TRUE(Script().returned);
}

TEST_F(MainWindowTest, ResultZeroShowsTheCompletionBalloonAndClosesAboutASecondLater) {
    Script().result = UPDATE_OK;
    EXPECT_EQ(Run(kPlainLine), 2);
    EXPECT_TRUE(observed.installed_after_done);
    EXPECT_STREQ(observed.after_done.szInfoTitle, L"Qv阅读器");
    EXPECT_STREQ(observed.after_done.szInfo, L"升级完成!");
    const DWORD delay = observed.destroyed_at - observed.done_at;
    EXPECT_GE(delay, 900u);
    EXPECT_LT(delay, 10000u);
}

TEST_F(MainWindowTest, NonZeroResultClosesAtOnceWithoutTheCompletionBalloon) {
    Script().result = UPDATE_E_FILE_DOWNLOAD;
    EXPECT_EQ(Run(kPlainLine), 2);
    EXPECT_STREQ(observed.after_done.szInfo, L"Qv阅读器正在升级...");
    EXPECT_LT(observed.destroyed_at - observed.done_at, 500u);
}

// The job ended well but its files move at the next start: the balloon says so.
// Any other result still closes at once without one.
TEST_F(MainWindowTest, AnInstallationWaitingForARestartSaysSoInTheCompletionBalloon) {
    struct Case {
        int result;
        const wchar_t* balloon;  // the last balloon text the icon got
        bool pauses;
    };
    const Case cases[] = {
        {UPDATE_OK, L"重新启动计算机后完成升级", true},
        {UPDATE_E_INSTALL, L"Qv阅读器正在升级...", false},
    };
    for (const Case& c : cases) {
        test::ResetScript();
        observed = Observations();
        Script().done = kUpdateDoneAfterRestart;
        Script().result = c.result;
        EXPECT_EQ(Run(kPlainLine), 2) << c.result;
        EXPECT_EQ(observed.done_result, c.result);
        EXPECT_TRUE(observed.installed_after_done) << c.result;
        EXPECT_STREQ(observed.after_done.szInfo, c.balloon);
        const DWORD delay = observed.destroyed_at - observed.done_at;
        if (c.pauses) {
            EXPECT_GE(delay, 900u);
            EXPECT_LT(delay, 10000u);
        } else {
            EXPECT_LT(delay, 500u) << c.result;
        }
    }
}

// A restarted shell has lost the icon (and with it the close command); it announces
// its new taskbar with the registered "TaskbarCreated", and the icon comes back,
// without a balloon. A window that shows no icon adds none.
TEST_F(MainWindowTest, TheIconComesBackWhenTheShellCreatesItsTaskbarAgain) {
    struct Case {
        const wchar_t* line;
        bool drop_icon_first;  // as a restart of the shell does
        bool icon_after;
    };
    const Case cases[] = {
        {kPlainLine, true, true},
        {kPlainLine, false, true},  // sent while the icon is still there
        {kSilentLine, false, false},
        {L"\"C:\\qv\\update\\update.exe\" /copyonly", false, false},
    };
    const UINT taskbar_created = RegisterWindowMessageW(L"TaskbarCreated");
    for (const Case& c : cases) {
        const std::string label = test::Narrow(c.line) + (c.drop_icon_first ? " dropped" : "");
        test::ResetScript();
        observed = Observations();
        Script().hold_until_stop = true;
        bool dropped = false;
        bool icon_after = !c.icon_after;
        const int code = Run(c.line, [&](HWND window) {
            WaitFor([] { return Script().starts == 1; }, 5000);
            if (c.drop_icon_first) {
                NOTIFYICONDATAW icon = {};
                icon.cbSize = kNotifyIconDataSize;
                icon.hWnd = window;
                icon.uID = 128;
                dropped = Shell_NotifyIconW(NIM_DELETE, &icon) != FALSE &&
                          !test::TrayIconExists(window, 128);
            }
            SendMessageW(window, taskbar_created, 0, 0);
            icon_after = test::TrayIconExists(window, 128);
            PostMessageW(window, WM_CLOSE, 0, 0);
        });
        EXPECT_EQ(code, 2) << label;
        EXPECT_EQ(dropped, c.drop_icon_first) << label;
        EXPECT_EQ(icon_after, c.icon_after) << label;
        EXPECT_EQ(observed.installed_after_taskbar_created, c.icon_after) << label;
        if (c.icon_after) {
            const NOTIFYICONDATAW& data = observed.after_taskbar_created;
            EXPECT_EQ(data.uFlags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP)) << label;
            EXPECT_EQ(data.uCallbackMessage, RegisterWindowMessageW(L"WM_TRAYICON"));
            EXPECT_STREQ(data.szTip, L"Qv阅读器正在升级");
        }
        // Closed as before: the icon went with the window.
        EXPECT_FALSE(observed.icon_after_destroy) << label;
    }
}

// While files come in, the worker's figures become the tooltip's second line: MB of
// 1,048,576 bytes rounded down to one decimal, the percentage rounded to the nearest but
// never 100 before the last byte. Every row is
// one message, in order, to one window.
TEST_F(MainWindowTest, ProgressMessagesShowTheFiguresOnTheTooltipsSecondLine) {
    constexpr uint64_t kMiB = 1024 * 1024;
    constexpr uint64_t kGiB = 1024 * kMiB;
    struct Row {
        ProgressFigures figures;
        const wchar_t* second_line;  // null: the tooltip is its first line alone
    };
    const Row rows[] = {
        {{0, 0}, nullptr},  // nothing known yet
        {{0, 45 * kMiB + 6 * kMiB / 10 + 1}, L"0.0 / 45.6 MB (0%)"},
        {{12 * kMiB + 3 * kMiB / 10 + 1, 45 * kMiB + 6 * kMiB / 10 + 1}, L"12.3 / 45.6 MB (27%)"},
        {{0, 0}, L"12.3 / 45.6 MB (27%)"},          // an unknown total leaves the last figures
        {{1000 - 1, 1000}, L"0.0 / 0.0 MB (99%)"},  // one byte short is not 100%
        {{kMiB, kMiB}, L"1.0 / 1.0 MB (100%)"},
        {{5 * kGiB, 6 * kGiB}, L"5120.0 / 6144.0 MB (83%)"},  // beyond 4 GiB
        {{6 * kGiB - 1, 6 * kGiB}, L"6143.9 / 6144.0 MB (99%)"},
        {{6 * kGiB, 6 * kGiB}, L"6144.0 / 6144.0 MB (100%)"},
        // Unsigned releases: the total grows as answers announce their lengths.
        {{kMiB, 2 * kMiB}, L"1.0 / 2.0 MB (50%)"},
        {{kMiB + kMiB / 2, 4 * kMiB}, L"1.5 / 4.0 MB (38%)"},
    };
    Script().hold_until_stop = true;
    std::vector<std::wstring> tips;
    const int code = Run(kPlainLine, [&](HWND window) {
        WaitFor([&] { return test::TrayIconExists(window, 128); }, 5000);
        for (const Row& row : rows) {
            Script().progress = row.figures;
            SendMessageW(window, WM_UPDATEPROGRESS, 0, 0);
            tips.emplace_back(observed.after_progress.szTip);
        }
        PostMessageW(window, WM_CLOSE, 0, 0);
    });
    EXPECT_EQ(code, 2);
    ASSERT_EQ(tips.size(), std::size(rows));
    for (size_t i = 0; i < tips.size(); ++i) {
        const std::wstring expected =
            rows[i].second_line != nullptr
                ? std::wstring(L"Qv阅读器正在升级\n") + rows[i].second_line
                : L"Qv阅读器正在升级";
        EXPECT_EQ(tips[i], expected) << i;
    }
    // Only the tip changed: no balloon came up again.
    EXPECT_EQ(observed.after_progress.uFlags, static_cast<UINT>(NIF_TIP));
}

// Without an icon the figures change nothing.
TEST_F(MainWindowTest, ProgressMessagesChangeNothingWithoutAnIcon) {
    for (const wchar_t* line : {kSilentLine, L"\"C:\\qv\\update\\update.exe\" /copyonly"}) {
        test::ResetScript();
        observed = Observations();
        Script().hold_until_stop = true;
        Script().progress = ProgressFigures{1024 * 1024, 2 * 1024 * 1024};
        const int code = Run(line, [&](HWND window) {
            WaitFor([] { return Script().starts == 1; }, 5000);
            SendMessageW(window, WM_UPDATEPROGRESS, 0, 0);
            PostMessageW(window, WM_CLOSE, 0, 0);
        });
        EXPECT_EQ(code, 2) << test::Narrow(line);
        EXPECT_EQ(observed.progress_messages, 1) << test::Narrow(line);
        EXPECT_FALSE(observed.installed_after_init);
        EXPECT_EQ(observed.after_progress.uFlags, 0u) << test::Narrow(line);
        EXPECT_STREQ(observed.after_progress.szTip, L"") << test::Narrow(line);
    }
}

// The real update job, confined to the test's folder, against a server that never
// answers.
std::wstring g_offline_app_dir;
class OfflineUpdateLogic : public CUpdateLogic {
public:
    OfflineUpdateLogic() : CUpdateLogic(Settings()) {
        EXPECT_EQ(std::wstring(AppDir()), g_offline_app_dir);
    }

private:
    static UpdateSettings Settings() {
        UpdateSettings settings;
        settings.app_dir = g_offline_app_dir;
        settings.server = ServerSettings{L"http://127.0.0.1:9/up1", std::nullopt, {}};
        return settings;
    }
};

TEST_F(MainWindowTest, AVersionCheckWithoutAnAnswerEndsWithoutTheCompletionBalloon) {
    ASSERT_TRUE(test::WriteFileBytes(dir / L"ver.dat", "1.0"));
    g_offline_app_dir = dir.path();
    EXPECT_EQ(
        (RunMainWindow<ObservedDlg<IDD_MAINDLG, OfflineUpdateLogic>>(kPlainLine, config.get())), 2);
    EXPECT_EQ(observed.done_result, UPDATE_E_VERSION_CHECK);
    EXPECT_TRUE(observed.installed_after_done);
    EXPECT_STREQ(observed.after_done.szInfo, L"Qv阅读器正在升级...");
    EXPECT_LT(observed.destroyed_at - observed.done_at, 500u);
    EXPECT_FALSE(test::DirectoryExists(dir / L"update"));
}

TEST_F(MainWindowTest, SilentModeShowsNoIconButStillWaitsAfterResultZero) {
    Script().result = UPDATE_OK;
    EXPECT_EQ(Run(kSilentLine), 2);
    EXPECT_FALSE(observed.installed_after_init);
    EXPECT_EQ(observed.after_init.uFlags, 0u);
    EXPECT_STREQ(observed.after_init.szTip, L"");
    EXPECT_FALSE(observed.installed_after_done);
    EXPECT_STREQ(observed.after_done.szInfo, L"");  // no balloon without an icon
    EXPECT_GE(observed.destroyed_at - observed.done_at, 900u);
}

TEST_F(MainWindowTest, CloseFromOutsideEndsWith2OnlyAfterTheBusyWorkerReturns) {
    Script().hold_until_stop = true;
    Script().linger_after_stop_ms = 300;
    DWORD closed_at = 0;
    const int code = Run(kSilentLine, [&](HWND window) {
        // Started and busy: the worker has not reported anything.
        WaitFor([] { return Script().starts == 1; }, 5000);
        closed_at = GetTickCount();
        PostMessageW(window, WM_CLOSE, 0, 0);
    });
    EXPECT_EQ(code, 2);
    EXPECT_TRUE(Script().stop_seen);
    // The window went at once; the run returned only after the worker did.
    EXPECT_FALSE(observed.worker_returned_at_destroy);
    EXPECT_LT(observed.destroyed_at - closed_at, 250u);
    EXPECT_TRUE(worker_returned_at_return);
    EXPECT_GE(Script().returned_at - closed_at, 300u);
    EXPECT_EQ(observed.done_at, 0u);  // its late report found no window
}

TEST_F(MainWindowTest, AWorkerThatCannotStartEndsTheRunWithCode3) {
    Script().fail_start = true;
    const int code = Run(kPlainLine);
    EXPECT_EQ(code, kExitWorkerNotStarted);
    EXPECT_EQ(code, 3);
    EXPECT_EQ(Script().starts, 0);
    EXPECT_TRUE(observed.installed_after_init);
    EXPECT_FALSE(test::TrayIconExists(observed.after_init.hWnd, 128));
}

TEST_F(MainWindowTest, AWindowThatCannotBeCreatedEndsTheRunWithCode0) {
    EXPECT_EQ((RunMainWindow<ObservedDlg<4242>>(kPlainLine, config.get())), 0);
    EXPECT_EQ(Script().starts, 0);
    EXPECT_EQ(g_module.FindLoop(), nullptr);
}

TEST_F(MainWindowTest, ASecondStartMessageStartsNothing) {
    Script().hold_until_stop = true;
    const int code = Run(kSilentLine, [](HWND window) {
        WaitFor([] { return Script().starts == 1; }, 5000);
        PostMessageW(window, WM_STARTWORKER, 0, 0);
        PostMessageW(window, WM_STARTWORKER, 0, 0);
        Sleep(100);
        PostMessageW(window, WM_CLOSE, 0, 0);
    });
    EXPECT_EQ(code, 2);
    EXPECT_EQ(Script().starts, 1);
}

TEST_F(MainWindowTest, IdOkClosesWithCode1) {
    Script().hold_until_stop = true;
    EXPECT_EQ(Run(kSilentLine, [](HWND window) { PostMessageW(window, WM_COMMAND, IDOK, 0); }), 1);
}

TEST_F(MainWindowTest, TrayNotificationsForAnotherIconOrOtherMouseMessagesDoNothing) {
    Script().hold_until_stop = true;
    const UINT tray = RegisterWindowMessageW(L"WM_TRAYICON");
    bool menu_opened = false;
    const DWORD ui_thread = GetCurrentThreadId();
    const int code = Run(kPlainLine, [&](HWND window) {
        WaitFor([&] { return test::TrayIconExists(window, 128); }, 5000);
        PostMessageW(window, tray, 129, WM_RBUTTONUP);
        PostMessageW(window, tray, 129, WM_LBUTTONDBLCLK);
        PostMessageW(window, tray, 128, WM_RBUTTONDOWN);
        PostMessageW(window, tray, 128, WM_LBUTTONUP);
        PostMessageW(window, tray, 128, NIN_BALLOONSHOW);
        menu_opened = WaitFor([&] { return test::FindPopupMenu(ui_thread) != nullptr; }, 400);
        PostMessageW(window, WM_CLOSE, 0, 0);
    });
    EXPECT_EQ(code, 2);
    EXPECT_FALSE(menu_opened);
    Sleep(200);
    EXPECT_FALSE(HomeOpened());
}

TEST_F(MainWindowTest, RightButtonUpOpensTheMenuAndItsCloseCommandEndsWith2) {
    Script().hold_until_stop = true;
    const UINT tray = RegisterWindowMessageW(L"WM_TRAYICON");
    const DWORD ui_thread = GetCurrentThreadId();
    HWND menu_window = nullptr;
    UINT default_item = 0;
    std::wstring first_text;
    std::wstring last_text;
    bool reached_close_item = false;
    const int code = Run(kPlainLine, [&](HWND window) {
        WaitFor([&] { return test::TrayIconExists(window, 128); }, 5000);
        PostMessageW(window, tray, 128, MAKELPARAM(WM_RBUTTONUP, 0));
        WaitFor([&] { return (menu_window = test::FindPopupMenu(ui_thread)) != nullptr; }, 5000);
        if (menu_window == nullptr) {
            PostMessageW(window, WM_CLOSE, 0, 0);
            return;
        }
        const auto menu = reinterpret_cast<HMENU>(SendMessageW(menu_window, MN_GETHMENU, 0, 0));
        default_item = GetMenuDefaultItem(menu, TRUE, 0);
        wchar_t text[64] = {};
        GetMenuStringW(menu, 0, text, 64, MF_BYPOSITION);
        first_text = text;
        GetMenuStringW(menu, 2, text, 64, MF_BYPOSITION);
        last_text = text;
        // Down the menu like a user with the keyboard, to the close command.
        for (int presses = 0; presses < 6 && !reached_close_item; ++presses) {
            PostMessageW(menu_window, WM_KEYDOWN, VK_DOWN, 0);
            reached_close_item = WaitFor(
                [&] { return (GetMenuState(menu, 2, MF_BYPOSITION) & MF_HILITE) != 0; }, 300);
        }
        PostMessageW(menu_window, WM_KEYDOWN, VK_RETURN, 0);
    });
    ASSERT_NE(menu_window, nullptr) << "no popup menu appeared";
    EXPECT_EQ(default_item, 0u);  // the web-site item, in bold
    EXPECT_EQ(first_text, L"Qv阅读器网站");
    EXPECT_EQ(last_text, L"关闭升级程序");
    EXPECT_TRUE(reached_close_item);
    EXPECT_EQ(code, 2);
    EXPECT_TRUE(Script().stop_seen);
    EXPECT_FALSE(HomeOpened());
}

TEST_F(MainWindowTest, LeftDoubleClickOpensTheHomePageFromTheConfiguration) {
    Script().hold_until_stop = true;
    const UINT tray = RegisterWindowMessageW(L"WM_TRAYICON");
    bool opened = false;
    const int code = Run(kPlainLine, [&](HWND window) {
        WaitFor([&] { return test::TrayIconExists(window, 128); }, 5000);
        SendMessageW(window, tray, 128, WM_LBUTTONDBLCLK);
        opened = WaitFor([&] { return HomeOpened(); }, 10000);
        PostMessageW(window, WM_CLOSE, 0, 0);
    });
    EXPECT_EQ(code, 2);
    EXPECT_TRUE(opened);
}

TEST_F(MainWindowTest, BalloonShowsInWinesTray) {
    if (!test::UnderWine()) {
        GTEST_SKIP() << "reads the balloon from the tooltip window of Wine's tray";
    }
    Script().hold_until_stop = true;
    bool shown = false;
    const int code = Run(kPlainLine, [&](HWND window) {
        // Wine's tray shows a balloon about two seconds after the icon arrives.
        shown = WaitFor([] { return FindVisibleBalloon(L"Qv阅读器正在升级...") != nullptr; }, 8000);
        PostMessageW(window, WM_CLOSE, 0, 0);
    });
    EXPECT_EQ(code, 2);
    EXPECT_TRUE(shown);
}

// Not a check: tools/tray_screenshot.sh runs it to photograph the tray icon with its
// first balloon. It signals QV_SCREENSHOT_READY (a file it creates) once Wine shows
// the balloon, and closes when the file QV_SCREENSHOT_DONE appears.
TEST_F(MainWindowTest, DISABLED_HoldsTheFirstBalloonForAScreenshot) {
    wchar_t ready[MAX_PATH] = {};
    wchar_t done[MAX_PATH] = {};
    ASSERT_TRUE(GetEnvironmentVariableW(L"QV_SCREENSHOT_READY", ready, MAX_PATH));
    ASSERT_TRUE(GetEnvironmentVariableW(L"QV_SCREENSHOT_DONE", done, MAX_PATH));
    Script().hold_until_stop = true;
    bool shown = false;
    const int code = Run(kPlainLine, [&](HWND window) {
        HWND balloon = nullptr;
        shown = WaitFor(
            [&] { return (balloon = FindVisibleBalloon(L"Qv阅读器正在升级...")) != nullptr; },
            15000);
        // The part of the screen to keep: the balloon and the tray it points at.
        RECT area = {};
        GetWindowRect(balloon, &area);
        if (const HWND tray = FindWindowW(L"__winex11_standalone_tray", nullptr)) {
            RECT tray_rect = {};
            GetWindowRect(tray, &tray_rect);
            UnionRect(&area, &area, &tray_rect);
        }
        InflateRect(&area, 12, 12);
        char text[64];
        std::snprintf(text, sizeof text, "%ld %ld %ld %ld\n", std::max(area.left, 0L),
                      std::max(area.top, 0L), area.right, area.bottom);
        test::WriteFileBytes(ready, text);
        WaitFor([&] { return test::FileExists(done); }, 60000);
        PostMessageW(window, WM_CLOSE, 0, 0);
    });
    EXPECT_EQ(code, 2);
    EXPECT_TRUE(shown);
}

// The tray icon calls directly on a created window.
TEST_F(MainWindowTest, TextsLongerThanTheirFieldsAreCut) {
    ObservedDlg<> dialog(kSilentLine, config.get());
    ASSERT_NE(dialog.Create(nullptr), nullptr);
    ASSERT_FALSE(dialog.IsTrayIconInstalled());
    // Without an icon a balloon sends nothing and changes nothing.
    EXPECT_FALSE(dialog.ShowTrayBalloon(L"t", L"x", 3));
    EXPECT_EQ(dialog.TrayIconData().uFlags, 0u);
    EXPECT_STREQ(dialog.TrayIconData().szInfo, L"");
    EXPECT_FALSE(dialog.SetTrayTooltip(L"tip"));  // nor does a tooltip
    EXPECT_STREQ(dialog.TrayIconData().szTip, L"");

    const std::wstring tip(200, L'T');
    const std::wstring title(100, L'H');
    const std::wstring text(300, L'B');
    ASSERT_TRUE(dialog.AddTrayIcon(tip.c_str(), LoadIconW(nullptr, IDI_APPLICATION), 128));
    EXPECT_EQ(std::wstring(dialog.TrayIconData().szTip), tip.substr(0, 127));
    const std::wstring other_tip(130, L'U');
    EXPECT_TRUE(dialog.SetTrayTooltip(other_tip.c_str()));
    EXPECT_EQ(std::wstring(dialog.TrayIconData().szTip), other_tip.substr(0, 127));
    EXPECT_TRUE(dialog.ShowTrayBalloon(title.c_str(), text.c_str(), 3));
    EXPECT_EQ(std::wstring(dialog.TrayIconData().szInfoTitle), title.substr(0, 63));
    EXPECT_EQ(std::wstring(dialog.TrayIconData().szInfo), text.substr(0, 255));
    // Texts that fit exactly are kept whole.
    EXPECT_TRUE(
        dialog.ShowTrayBalloon(title.substr(0, 63).c_str(), text.substr(0, 255).c_str(), 3));
    EXPECT_EQ(std::wstring(dialog.TrayIconData().szInfo), text.substr(0, 255));

    EXPECT_TRUE(test::TrayIconExists(dialog.Handle(), 128));
    dialog.RemoveTrayIcon();
    EXPECT_FALSE(dialog.IsTrayIconInstalled());
    EXPECT_FALSE(test::TrayIconExists(dialog.Handle(), 128));
    DestroyWindow(dialog.Handle());
}

TEST(TrayIcon, ClampMenuXKeepsPointsOnAMonitorAndPullsOthersToTheWorkArea) {
    MONITORINFO info = {};
    info.cbSize = sizeof info;
    ASSERT_TRUE(GetMonitorInfoW(MonitorFromPoint({0, 0}, MONITOR_DEFAULTTOPRIMARY), &info));
    const RECT work = info.rcWork;
    EXPECT_EQ(ClampMenuX(work.left + 10, work.top + 10), work.left + 10);
    EXPECT_EQ(ClampMenuX(work.left - 5000, work.top + 10), work.left);
    EXPECT_EQ(ClampMenuX(work.right + 5000, work.top + 10), work.right);
}

TEST(CommandLine, SwitchesAreSubstringsOfTheWholeLineInAnyCase) {
    EXPECT_FALSE(HidesTrayIcon(L"\"C:\\Program Files\\Qv\\update.exe\""));
    EXPECT_FALSE(HidesTrayIcon(L"update.exe /silenc /copy-only"));
    EXPECT_FALSE(HidesTrayIcon(nullptr));
    for (const wchar_t* line :
         {L"update.exe /silence", L"update.exe /SILENCE", L"update.exe /Silence",
          L"update.exe /silencex", L"update.exe \"a /silence b\"", L"update.exe -x/silence",
          L"C:\\dir/silence\\update.exe", L"update.exe /copyonly", L"UPDATE.EXE /COPYONLY",
          L"update.exe /copyonlyplus"}) {
        EXPECT_TRUE(HidesTrayIcon(line)) << test::Narrow(line);
    }
}

}  // namespace
}  // namespace qv
