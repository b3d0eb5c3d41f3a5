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
        ZeroMemory(&icon_data, sizeof icon_data);
        icon_data.cbSize = kNotifyIconDataSize;
        tray_message = RegisterWindowMessageW(kTrayIconMessageName);
    }
    ~CTrayIconImpl() { RemoveTrayIcon(); }
    CTrayIconImpl(const CTrayIconImpl&) = delete;
    CTrayIconImpl& operator=(const CTrayIconImpl&) = delete;

    // Adds the icon with its tooltip (cut to 127 characters); true when the shell
    // took it.
    bool AddTrayIcon(const wchar_t* tooltip, HICON icon, UINT id) noexcept {
        icon_data.hWnd = static_cast<T*>(this)->Handle();
        icon_data.uID = id;
        icon_data.hIcon = icon;
        icon_data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
        icon_data.uCallbackMessage = tray_message;
        CopyTruncated(icon_data.szTip, tooltip);
        installed = Shell_NotifyIconW(NIM_ADD, &icon_data) != FALSE;
        return installed;
    }

    // Shows a balloon (title cut to 63 characters, text to 255) at the icon. Without
    // an icon it sends nothing and returns false; a failure marks the icon absent.
    bool ShowTrayBalloon(const wchar_t* title, const wchar_t* text, UINT timeout) noexcept {
        if (!installed) {
            return false;
        }
        icon_data.uFlags |= NIF_INFO;
        icon_data.uTimeout = timeout;
        icon_data.dwInfoFlags = NIIF_INFO;
        CopyTruncated(icon_data.szInfoTitle, title);
        CopyTruncated(icon_data.szInfo, text);
        installed = Shell_NotifyIconW(NIM_MODIFY, &icon_data) != FALSE;
        return installed;
    }

    // Removes the icon if it is there; a second call does nothing.
    void RemoveTrayIcon() noexcept {
        if (!installed) {
            return;
        }
        icon_data.uFlags = 0;
        Shell_NotifyIconW(NIM_DELETE, &icon_data);
        installed = false;
    }

    // A notification from the shell: wParam is the icon id, the low word of lParam
    // the mouse message. A right button release opens the menu whose resource id is
    // the icon id; a left double click runs the menu's default command.
    LRESULT HandleTrayNotify(WPARAM wparam, LPARAM lparam) noexcept {
        if (wparam != icon_data.uID) {
            return 0;
        }
        const HWND window = static_cast<T*>(this)->Handle();
        const UINT mouse_message = LOWORD(lparam);
        if (mouse_message == WM_RBUTTONUP) {
            UniqueMenu menu(LoadMenuW(g_module.GetInstance(), MAKEINTRESOURCEW(icon_data.uID)));
            if (!menu) {
                return 0;
            }
            const HMENU popup = GetSubMenu(menu.get(), 0);
            POINT cursor = {};
            GetCursorPos(&cursor);
            SetForegroundWindow(window);
            if (default_item == 0) {
                SetMenuDefaultItem(popup, 0, TRUE);
            } else {
                SetMenuDefaultItem(popup, default_item, FALSE);
            }
            TrackPopupMenu(popup, 0, ClampMenuX(cursor.x, cursor.y), cursor.y, 0, window, nullptr);
            // Lets the menu close properly when the user clicks elsewhere next time.
            PostMessageW(window, WM_NULL, 0, 0);
        } else if (mouse_message == WM_LBUTTONDBLCLK) {
            SetForegroundWindow(window);
            UniqueMenu menu(LoadMenuW(g_module.GetInstance(), MAKEINTRESOURCEW(icon_data.uID)));
            if (!menu) {
                return 0;
            }
            const HMENU popup = GetSubMenu(menu.get(), 0);
            const UINT command = default_item != 0 ? default_item : GetMenuItemID(popup, 0);
            SendMessageW(window, WM_COMMAND, command, 0);
        }
        return 0;
    }

    [[nodiscard]] UINT TrayMessage() const noexcept { return tray_message; }
    [[nodiscard]] bool IsTrayIconInstalled() const noexcept { return installed; }
    [[nodiscard]] const NOTIFYICONDATAW& TrayIconData() const noexcept { return icon_data; }

protected:
    UINT tray_message = 0;
    NOTIFYICONDATAW icon_data;
    bool installed = false;
    UINT default_item = 0;  // 0: the menu's first item; nothing sets another
};

}  // namespace qv
