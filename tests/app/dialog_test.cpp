#include "app/window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "app/gui_handles.h"
#include "res/resource.h"
#include "tests/app/app_test_support.h"

namespace qv {
namespace {

using DialogTest = test::ModuleTest;

constexpr UINT kAnswer = WM_USER + 1;         // handled, result 42
constexpr UINT kDestroyInside = WM_USER + 2;  // handler destroys the window
constexpr UINT kIgnored = WM_USER + 3;        // not handled

// A dialog over the updater's template that logs what reaches its table.
class LoggingDialog : public CDialogImpl<LoggingDialog> {
public:
    enum { IDD = IDD_MAINDLG };

    BOOL ProcessWindowMessage(HWND window, UINT message, WPARAM, LPARAM lparam,
                              LRESULT& result) override {
        log.push_back(message);
        EXPECT_EQ(window, Handle());
        switch (message) {
            case WM_INITDIALOG:
                init_param = lparam;
                result = FALSE;  // returned as is: no focus set by the platform
                return TRUE;
            case kAnswer:
                result = 42;
                return TRUE;
            case WM_QUERYDRAGICON:
                result = 0x1234;
                return TRUE;
            case WM_CTLCOLORDLG:
                result = 0x5678;
                return TRUE;
            case kDestroyInside:
                DestroyWindow(window);
                handle_after_destroy = Handle();
                final_before_return = final_messages;
                result = 9;
                return TRUE;
            default:
                return FALSE;
        }
    }
    void OnFinalMessage(HWND window) override {
        ++final_messages;
        final_window = window;
        final_after_ncdestroy = !log.empty() && log.back() == WM_NCDESTROY;
    }

    std::vector<UINT> log;
    LPARAM init_param = 0;
    HWND handle_after_destroy = nullptr;
    int final_messages = 0;
    int final_before_return = -1;
    HWND final_window = nullptr;
    bool final_after_ncdestroy = false;
};

TEST_F(DialogTest, RoutesMessagesToTheObjectFromTheFirstOneOn) {
    LoggingDialog dialog;
    const HWND window = dialog.Create(nullptr, 77);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(dialog.Handle(), window);
    EXPECT_EQ(dialog.init_param, 77);
    // The font comes before WM_INITDIALOG, and the object already sees it.
    ASSERT_GE(dialog.log.size(), 2u);
    EXPECT_EQ(dialog.log.front(), static_cast<UINT>(WM_SETFONT));
    EXPECT_NE(std::find(dialog.log.begin(), dialog.log.end(), WM_INITDIALOG), dialog.log.end());
    EXPECT_FALSE(IsWindowVisible(window));

    // Handled: the result goes through DWLP_MSGRESULT. Unhandled: default processing.
    EXPECT_EQ(SendMessageW(window, kAnswer, 0, 0), 42);
    EXPECT_EQ(SendMessageW(window, kIgnored, 0, 0), 0);
    // These return the handler's result directly.
    EXPECT_EQ(SendMessageW(window, WM_QUERYDRAGICON, 0, 0), 0x1234);
    EXPECT_EQ(SendMessageW(window, WM_CTLCOLORDLG, 0, 0), 0x5678);

    // One window per object.
    EXPECT_EQ(dialog.Create(nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));

    // Destroyed from outside: the final message follows WM_NCDESTROY at once.
    DestroyWindow(window);
    EXPECT_EQ(dialog.final_messages, 1);
    EXPECT_TRUE(dialog.final_after_ncdestroy);
    EXPECT_EQ(dialog.final_window, window);
    EXPECT_EQ(dialog.Handle(), nullptr);
}

// A dialog that creates a second one while handling its own WM_INITDIALOG: each
// window finds its own object, which its creation parameter carries.
class NestingDialog : public LoggingDialog {
public:
    BOOL ProcessWindowMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                              LRESULT& result) override {
        if (message == WM_INITDIALOG) {
            inner_window = inner.Create(nullptr, 5);
        }
        return LoggingDialog::ProcessWindowMessage(window, message, wparam, lparam, result);
    }
    LoggingDialog inner;
    HWND inner_window = nullptr;
};

TEST_F(DialogTest, ADialogCreatedDuringAnotherOnesCreationFindsItsOwnObject) {
    NestingDialog outer;
    const HWND window = outer.Create(nullptr, 4);
    ASSERT_NE(window, nullptr);
    ASSERT_NE(outer.inner_window, nullptr);
    EXPECT_NE(outer.inner_window, window);
    EXPECT_EQ(outer.Handle(), window);
    EXPECT_EQ(outer.inner.Handle(), outer.inner_window);
    EXPECT_EQ(outer.init_param, 4);
    EXPECT_EQ(outer.inner.init_param, 5);
    EXPECT_EQ(SendMessageW(outer.inner_window, kAnswer, 0, 0), 42);
    EXPECT_EQ(outer.inner.log.back(), kAnswer);
    EXPECT_NE(outer.log.back(), kAnswer);
}

TEST_F(DialogTest, FinalMessageWaitsForTheHandlerThatDestroyedTheWindow) {
    LoggingDialog dialog;
    const HWND window = dialog.Create(nullptr);
    ASSERT_NE(window, nullptr);
    SendMessageW(window, kDestroyInside, 0, 0);
    EXPECT_FALSE(IsWindow(window));
    // Inside the handler the object still had its handle and no final message.
    EXPECT_EQ(dialog.handle_after_destroy, window);
    EXPECT_EQ(dialog.final_before_return, 0);
    EXPECT_EQ(dialog.final_messages, 1);
    EXPECT_EQ(dialog.Handle(), nullptr);
}

TEST_F(DialogTest, ObjectDestroyedFirstTakesItsWindowWithoutReachingItAgain) {
    HWND window = nullptr;
    {
        LoggingDialog dialog;
        window = dialog.Create(nullptr);
        ASSERT_NE(window, nullptr);
    }
    EXPECT_FALSE(IsWindow(window));
}

TEST_F(DialogTest, CreationFailureReturnsNullAndLeavesNoHandle) {
    struct MissingTemplate : CDialogImpl<MissingTemplate> {
        enum { IDD = 4242 };
        BOOL ProcessWindowMessage(HWND, UINT, WPARAM, LPARAM, LRESULT&) override { return FALSE; }
    } dialog;
    EXPECT_EQ(dialog.Create(nullptr), nullptr);
    EXPECT_EQ(dialog.Handle(), nullptr);
    EXPECT_NE(GetLastError(), 0u);
}

TEST_F(DialogTest, CentreWindowUsesTheWorkAreaAndStaysInsideIt) {
    LoggingDialog dialog;
    const HWND window = dialog.Create(nullptr);
    ASSERT_NE(window, nullptr);
    MONITORINFO info = {};
    info.cbSize = sizeof info;
    ASSERT_TRUE(GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &info));
    const RECT work = info.rcWork;

    RECT before = {};
    GetWindowRect(window, &before);
    const int width = before.right - before.left;
    const int height = before.bottom - before.top;
    dialog.CentreWindow();
    RECT after = {};
    GetWindowRect(window, &after);
    EXPECT_EQ(after.left, (work.left + work.right) / 2 - width / 2);
    EXPECT_EQ(after.top, (work.top + work.bottom) / 2 - height / 2);
    EXPECT_EQ(after.right - after.left, width);

    // Wider and taller than the work area: pinned to its top left corner.
    SetWindowPos(window, nullptr, 0, 0, (work.right - work.left) * 2,
                 (work.bottom - work.top) + 300, SWP_NOZORDER | SWP_NOMOVE | SWP_NOACTIVATE);
    dialog.CentreWindow();
    GetWindowRect(window, &after);
    EXPECT_EQ(after.left, work.left);
    EXPECT_EQ(after.top, work.top);
    DestroyWindow(window);
}

// A window with two commands in its update table.
struct UpdatingWindow : CUpdateUI<UpdatingWindow> {
    static const UpdateUIEntry* GetUpdateUIMap() {
        static const UpdateUIEntry map[] = {{100}, {101}, {0}};
        return map;
    }
};

struct EmptyTableWindow : CUpdateUI<EmptyTableWindow> {
    static const UpdateUIEntry* GetUpdateUIMap() {
        static const UpdateUIEntry map[] = {{0}};
        return map;
    }
};

TEST(UpdateUI, AppliesWantedStatesToTheMenuForTableCommandsOnly) {
    UniqueMenu menu(CreatePopupMenu());
    AppendMenuW(menu.get(), MF_STRING, 100, L"a");
    AppendMenuW(menu.get(), MF_STRING, 101, L"b");
    AppendMenuW(menu.get(), MF_STRING, 102, L"c");

    UpdatingWindow window;
    EXPECT_EQ(window.UIElementCount(), 2u);
    EXPECT_TRUE(window.UIEnable(100, false));
    EXPECT_TRUE(window.UISetCheck(101, true));
    EXPECT_FALSE(window.UIEnable(102, false));  // not in the table
    window.UIUpdateMenu(menu.get());
    EXPECT_TRUE(GetMenuState(menu.get(), 100, MF_BYCOMMAND) & MF_GRAYED);
    EXPECT_TRUE(GetMenuState(menu.get(), 101, MF_BYCOMMAND) & MF_CHECKED);
    EXPECT_FALSE(GetMenuState(menu.get(), 102, MF_BYCOMMAND) & MF_GRAYED);

    EXPECT_TRUE(window.UIEnable(100, true));
    window.UIUpdateMenu(menu.get());
    EXPECT_FALSE(GetMenuState(menu.get(), 100, MF_BYCOMMAND) & MF_GRAYED);

    EmptyTableWindow empty;
    EXPECT_EQ(empty.UIElementCount(), 0u);
    EXPECT_FALSE(empty.UIEnable(100, false));
    empty.UIUpdateMenu(menu.get());
    EXPECT_FALSE(GetMenuState(menu.get(), 100, MF_BYCOMMAND) & MF_GRAYED);
}

}  // namespace
}  // namespace qv
