#pragma once
// The notification-area ("tray") icon of a window: adding and removing it, its
// balloons, and its popup menu on a right click.

#include <windows.h>

#include <shellapi.h>

#include "app/gui_handles.h"
#include "app/module.h"

namespace qv {

// The icon record's size: the layout that ends with the balloon GUID (952 bytes in
// a 32-bit build, 968 in a 64-bit one).
inline constexpr DWORD kNotifyIconDataSize = NOTIFYICONDATAW_V3_SIZE;
static_assert(kNotifyIconDataSize == (sizeof(void*) == 8 ? 968u : 952u),
              "the icon record must end with the balloon GUID");

// The registered message the shell sends tray notifications with.
inline constexpr wchar_t kTrayIconMessageName[] = L"WM_TRAYICON";
// The registered message the shell sends every top-level window when its taskbar
// has been created: at its first start, and again after a restart of the shell.
inline constexpr wchar_t kTaskbarCreatedMessageName[] = L"TaskbarCreated";

// Copies at most N - 1 characters and always terminates; longer text is cut.
template <size_t N>
void CopyTruncated(wchar_t (&target)[N], const wchar_t* source) noexcept {
    size_t length = 0;
    if (source != nullptr) {
        while (length + 1 < N && source[length] != L'\0') {
            target[length] = source[length];
            ++length;
        }
    }
    target[length] = L'\0';
}

// x of a popup menu opened at (x, y): kept on a monitor's work area when the point
// lies on no monitor. y is never changed.
[[nodiscard]] int ClampMenuX(int x, int y) noexcept;

// The tray icon of the window T (which provides Handle()).
template <class T>
class CTrayIconImpl {
public:
    CTrayIconImpl() noexcept {
        ZeroMemory(&icon_data_, sizeof icon_data_);
        icon_data_.cbSize = kNotifyIconDataSize;
        tray_message_ = RegisterWindowMessageW(kTrayIconMessageName);
        taskbar_created_message_ = RegisterWindowMessageW(kTaskbarCreatedMessageName);
    }
    ~CTrayIconImpl() { RemoveTrayIcon(); }
    CTrayIconImpl(const CTrayIconImpl&) = delete;
    CTrayIconImpl& operator=(const CTrayIconImpl&) = delete;

    // Adds the icon with its tooltip (cut to 127 characters); true when the shell
    // took it.
    [[nodiscard]] bool AddTrayIcon(const wchar_t* tooltip, HICON icon, UINT id) noexcept {
        icon_data_.hWnd = static_cast<T*>(this)->Handle();
        icon_data_.uID = id;
        icon_data_.hIcon = icon;
        icon_data_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
        icon_data_.uCallbackMessage = tray_message_;
        CopyTruncated(icon_data_.szTip, tooltip);
        wanted_ = true;
        installed_ = Shell_NotifyIconW(NIM_ADD, &icon_data_) != FALSE;
        return installed_;
    }

    // The shell's taskbar was (re)created: the icons of the shell before it are gone,
    // and with them the menu. Adds the icon again, without its balloon, when one was
    // added before (also when that failed for want of a taskbar); true when the shell
    // has it now.
    bool RestoreTrayIcon() noexcept {
        if (!wanted_) {
            return false;
        }
        icon_data_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
        // The message can also come while the icon is still there (another program may
        // send it): the shell then refuses a second NIM_ADD but takes a change.
        installed_ = Shell_NotifyIconW(NIM_ADD, &icon_data_) != FALSE ||
                     Shell_NotifyIconW(NIM_MODIFY, &icon_data_) != FALSE;
        return installed_;
    }

    // Shows a balloon (title cut to 63 characters, text to 255) at the icon. Without
    // an icon it sends nothing and returns false; a failure marks the icon absent.
    [[nodiscard]] bool ShowTrayBalloon(const wchar_t* title, const wchar_t* text,
                                       UINT timeout) noexcept {
        if (!installed_) {
            return false;
        }
        icon_data_.uFlags |= NIF_INFO;
        icon_data_.uTimeout = timeout;
        icon_data_.dwInfoFlags = NIIF_INFO;
        CopyTruncated(icon_data_.szInfoTitle, title);
        CopyTruncated(icon_data_.szInfo, text);
        installed_ = Shell_NotifyIconW(NIM_MODIFY, &icon_data_) != FALSE;
        return installed_;
    }

    // Changes the icon's tooltip (cut to 127 characters). Without an icon it sends
    // nothing, changes nothing and returns false; a failure marks the icon absent.
    bool SetTrayTooltip(const wchar_t* tooltip) noexcept {
        if (!installed_) {
            return false;
        }
        // The tip alone: a balloon shown before must not come up again.
        icon_data_.uFlags = NIF_TIP;
        CopyTruncated(icon_data_.szTip, tooltip);
        installed_ = Shell_NotifyIconW(NIM_MODIFY, &icon_data_) != FALSE;
        return installed_;
    }

    // Removes the icon if it is there; a second call does nothing.
    void RemoveTrayIcon() noexcept {
        wanted_ = false;
        if (!installed_) {
            return;
        }
        icon_data_.uFlags = 0;
        Shell_NotifyIconW(NIM_DELETE, &icon_data_);
        installed_ = false;
    }

    // A notification from the shell: wParam is the icon id, the low word of lParam
    // the mouse message. A right button release opens the menu whose resource id is
    // the icon id; a left double click runs the menu's default command.
    LRESULT HandleTrayNotify(WPARAM wparam, LPARAM lparam) noexcept {
        if (wparam != icon_data_.uID) {
            return 0;
        }
        const HWND window = static_cast<T*>(this)->Handle();
        const UINT mouse_message = LOWORD(lparam);
        if (mouse_message == WM_RBUTTONUP) {
            UniqueMenu menu(LoadMenuW(g_module.GetInstance(), MAKEINTRESOURCEW(icon_data_.uID)));
            if (!menu) {
                return 0;
            }
            const HMENU popup = GetSubMenu(menu.get(), 0);
            POINT cursor = {};
            GetCursorPos(&cursor);
            SetForegroundWindow(window);
            if (default_item_ == 0) {
                SetMenuDefaultItem(popup, 0, TRUE);
            } else {
                SetMenuDefaultItem(popup, default_item_, FALSE);
            }
            TrackPopupMenu(popup, 0, ClampMenuX(cursor.x, cursor.y), cursor.y, 0, window, nullptr);
            // Lets the menu close properly when the user clicks elsewhere next time.
            PostMessageW(window, WM_NULL, 0, 0);
        } else if (mouse_message == WM_LBUTTONDBLCLK) {
            SetForegroundWindow(window);
            UniqueMenu menu(LoadMenuW(g_module.GetInstance(), MAKEINTRESOURCEW(icon_data_.uID)));
            if (!menu) {
                return 0;
            }
            const HMENU popup = GetSubMenu(menu.get(), 0);
            const UINT command = default_item_ != 0 ? default_item_ : GetMenuItemID(popup, 0);
            SendMessageW(window, WM_COMMAND, command, 0);
        }
        return 0;
    }

    [[nodiscard]] bool IsTrayIconInstalled() const noexcept { return installed_; }
    [[nodiscard]] const NOTIFYICONDATAW& TrayIconData() const noexcept { return icon_data_; }

protected:
    UINT tray_message_ = 0;
    UINT taskbar_created_message_ = 0;
    NOTIFYICONDATAW icon_data_;
    bool installed_ = false;
    bool wanted_ = false;    // an icon was added and not removed since: restored on TaskbarCreated
    UINT default_item_ = 0;  // 0: the menu's first item; nothing sets another
};

}  // namespace qv
