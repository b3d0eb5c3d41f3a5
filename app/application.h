#pragma once
// The UI thread's work between start-up and exit: the message loop and the main
// window.

#include <windows.h>

#include <utility>

#include "app/module.h"

namespace qv {

// Creates the loop and the hidden main window, runs the loop and returns its exit
// code: 0 when the window cannot be created, otherwise the command id the window
// closed with. Neither argument is used.
[[nodiscard]] int RunApplication(const wchar_t* command_line, int show_command);

// RunApplication with a main window of type Dialog, constructed from `args`. Returns
// only after the window object, and so its worker thread, is gone.
template <class Dialog, class... Args>
[[nodiscard]] int RunMainWindow(Args&&... args) {
    CMessageLoop loop;
    if (!g_module.RegisterLoop(&loop)) {
        return 0;
    }
    int result = 0;
    {
        Dialog dialog(std::forward<Args>(args)...);
        if (dialog.Create(nullptr, 0) != nullptr) {
            // Never shown: the template lacks the visible style.
            result = loop.RunLoop();
        }
        g_module.UnregisterLoop();
    }
    return result;
}

}  // namespace qv
