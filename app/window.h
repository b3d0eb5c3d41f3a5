#pragma once
// A small dialog framework: a window handle holder, a modeless dialog whose static
// dialog procedure finds its object and routes every message to a member table, and
// a table-driven user-interface update mixin.

#include <windows.h>

#include <vector>

#include "app/module.h"

namespace qv {

// Holds a window handle; null before creation and again after destruction.
class CWindow {
public:
    [[nodiscard]] HWND Handle() const noexcept { return hwnd_; }
    [[nodiscard]] bool IsWindow() const noexcept { return hwnd_ != nullptr && ::IsWindow(hwnd_); }

    // Centres the window on the work area of the monitor nearest to it, kept inside
    // that work area; it stays where it is when no monitor information is found.
    void CentreWindow() noexcept;

protected:
    HWND hwnd_ = nullptr;
};

// The non-template part of every dialog: creation from a template and the dialog
// procedure.
class CDialogImplBase : public CWindow {
public:
    CDialogImplBase() = default;
    CDialogImplBase(const CDialogImplBase&) = delete;
    CDialogImplBase& operator=(const CDialogImplBase&) = delete;

    // The message table: sets `result` and returns TRUE for a handled message,
    // returns FALSE to leave it to the default dialog processing.
    virtual BOOL ProcessWindowMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                                      LRESULT& result) = 0;
    // A window that still exists is destroyed without reaching this object again.
    virtual ~CDialogImplBase();
    // The procedure given to the platform for this dialog.
    virtual DLGPROC GetDialogProc() { return &DialogProc; }
    // Called once after the window's last message, when the handle has been cleared.
    virtual void OnFinalMessage(HWND /*window*/) {}

protected:
    // Creates the modeless dialog; null on failure (the last error says why).
    HWND CreateFromTemplate(HINSTANCE instance, int template_id, HWND parent, LPARAM param);

    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

private:
    // Handlers of this window now on the stack; the final message waits for them.
    int handler_depth_ = 0;
    bool destroyed_ = false;
};

// A modeless dialog made from the template T::IDD of the module's executable.
template <class T>
class CDialogImpl : public CDialogImplBase {
public:
    HWND Create(HWND parent, LPARAM param = 0) {
        return CreateFromTemplate(g_module.GetInstance(), T::IDD, parent, param);
    }
};

// One element of a user-interface update table; a table ends with id 0.
struct UpdateUIEntry {
    UINT id;
};

// Keeps the wanted enabled and checked state of the commands in T's table
// (T::GetUpdateUIMap) and applies it to a menu on request.
template <class T>
class CUpdateUI {
public:
    CUpdateUI() noexcept {
        try {
            for (const UpdateUIEntry* entry = T::GetUpdateUIMap(); entry->id != 0; ++entry) {
                states_.push_back({entry->id, true, false, false});
            }
        } catch (...) {
            states_.clear();  // out of memory: the table then changes nothing
        }
    }

    // False when the command is not in the table.
    [[nodiscard]] bool UIEnable(UINT id, bool enable) noexcept {
        return Set(id, &State::enabled, enable);
    }
    [[nodiscard]] bool UISetCheck(UINT id, bool checked) noexcept {
        return Set(id, &State::checked, checked);
    }
    // Applies every changed state to the menu's items with those commands.
    void UIUpdateMenu(HMENU menu) noexcept {
        for (State& state : states_) {
            if (!state.dirty) {
                continue;
            }
            EnableMenuItem(menu, state.id, MF_BYCOMMAND | (state.enabled ? MF_ENABLED : MF_GRAYED));
            CheckMenuItem(menu, state.id,
                          MF_BYCOMMAND | (state.checked ? MF_CHECKED : MF_UNCHECKED));
            state.dirty = false;
        }
    }
    [[nodiscard]] size_t UIElementCount() const noexcept { return states_.size(); }

private:
    struct State {
        UINT id;
        bool enabled;
        bool checked;
        bool dirty;
    };
    // Sets one field of the command's state, marking it changed when it differs.
    bool Set(UINT id, bool State::*field, bool value) noexcept {
        for (State& state : states_) {
            if (state.id == id) {
                state.dirty = state.dirty || state.*field != value;
                state.*field = value;
                return true;
            }
        }
        return false;
    }
    std::vector<State> states_;
};

}  // namespace qv
