#include "app/window.h"

namespace qv {

namespace {

// What CreateDialogParamW carries to WM_INITDIALOG: the object and the caller's own
// creation parameter, which the object then receives as that message's lParam.
struct CreationParameter {
    CDialogImplBase* dialog;
    LPARAM param;
};

// Messages whose result a dialog procedure returns itself instead of through
// DWLP_MSGRESULT.
bool ReturnsResultDirectly(UINT message) noexcept {
    switch (message) {
        case WM_INITDIALOG:
        case WM_COMPAREITEM:
        case WM_VKEYTOITEM:
        case WM_CHARTOITEM:
        case WM_QUERYDRAGICON:
            return true;
        default:
            return message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC;
    }
}

}  // namespace

void CWindow::CentreWindow() noexcept {
    RECT window = {};
    if (!GetWindowRect(hwnd_, &window)) {
        return;
    }
    const HMONITOR monitor = MonitorFromWindow(hwnd_, MONITOR_DEFAULTTONEAREST);
    MONITORINFO info = {};
    info.cbSize = sizeof info;
    if (monitor == nullptr || !GetMonitorInfoW(monitor, &info)) {
        return;
    }
    const RECT& work = info.rcWork;
    const int width = window.right - window.left;
    const int height = window.bottom - window.top;
    int left = (work.left + work.right) / 2 - width / 2;
    int top = (work.top + work.bottom) / 2 - height / 2;
    if (left + width > work.right) {
        left = work.right - width;
    }
    if (left < work.left) {
        left = work.left;
    }
    if (top + height > work.bottom) {
        top = work.bottom - height;
    }
    if (top < work.top) {
        top = work.top;
    }
    SetWindowPos(hwnd_, nullptr, left, top, 0, 0, SWP_NOZORDER | SWP_NOSIZE | SWP_NOACTIVATE);
}

CDialogImplBase::~CDialogImplBase() {
    if (hwnd_ != nullptr && ::IsWindow(hwnd_)) {
        // The derived parts are gone: unbind first, so that no message of the
        // destruction reaches this object.
        SetWindowLongPtrW(hwnd_, DWLP_USER, 0);
        DestroyWindow(hwnd_);
    }
}

HWND CDialogImplBase::CreateFromTemplate(HINSTANCE instance, int template_id, HWND parent,
                                         LPARAM param) {
    if (hwnd_ != nullptr) {
        SetLastError(ERROR_ALREADY_EXISTS);  // one window per object
        return nullptr;
    }
    CreationParameter creation = {this, param};
    const HWND created = CreateDialogParamW(instance, MAKEINTRESOURCEW(template_id), parent,
                                            GetDialogProc(), reinterpret_cast<LPARAM>(&creation));
    return created;
}

INT_PTR CALLBACK CDialogImplBase::DialogProc(HWND window, UINT message, WPARAM wparam,
                                             LPARAM lparam) {
    auto* self = reinterpret_cast<CDialogImplBase*>(GetWindowLongPtrW(window, DWLP_USER));
    if (self == nullptr) {
        if (message != WM_INITDIALOG || lparam == 0) {
            return FALSE;  // before the object is known, not ours, or its object is gone
        }
        const auto* creation = reinterpret_cast<const CreationParameter*>(lparam);
        self = creation->dialog;
        lparam = creation->param;
        // The template's font reached the window before WM_INITDIALOG, when the object
        // could not be found yet: the object sees it first, as the window did. Asked
        // for before binding, so that the question itself does not reach the object.
        const bool has_font = (GetWindowLongPtrW(window, GWL_STYLE) & DS_SETFONT) != 0;
        const LRESULT font = has_font ? SendMessageW(window, WM_GETFONT, 0, 0) : 0;
        self->hwnd_ = window;
        SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
        if (has_font) {
            LRESULT ignored = 0;
            ++self->handler_depth_;
            self->ProcessWindowMessage(window, WM_SETFONT, static_cast<WPARAM>(font), FALSE,
                                       ignored);
            --self->handler_depth_;
        }
    }

    ++self->handler_depth_;
    LRESULT result = 0;
    const BOOL handled = self->ProcessWindowMessage(window, message, wparam, lparam, result);
    --self->handler_depth_;

    INT_PTR answer = FALSE;
    if (handled) {
        if (ReturnsResultDirectly(message)) {
            answer = static_cast<INT_PTR>(result);
        } else {
            SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
            answer = TRUE;
        }
    } else if (message == WM_NCDESTROY) {
        self->destroyed_ = true;
    }

    // The window is gone; once no handler of it runs any more (a handler may have
    // destroyed it), the object lets go of the handle.
    if (self->destroyed_ && self->handler_depth_ == 0) {
        self->destroyed_ = false;
        self->hwnd_ = nullptr;
        self->OnFinalMessage(window);  // may delete the object: nothing touches it after
    }
    return answer;
}

}  // namespace qv
