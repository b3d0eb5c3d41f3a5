// update.exe: the automatic updater of the Qv reader. A hidden window with a tray
// icon runs one update job on a worker thread and exits when it is done.

#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

#include "app/application.h"
#include "app/module.h"
#include "win/system_dlls.h"
#include "win/system_library.h"

namespace {

// Keeps the UI thread in a single-threaded COM apartment for the process's life;
// uninitialises only what it initialised.
class ComApartment {
public:
    ComApartment() noexcept : initialised_(SUCCEEDED(CoInitialize(nullptr))) {}
    ~ComApartment() {
        if (initialised_) {
            CoUninitialize();
        }
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    const bool initialised_;
};

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/, PWSTR command_line,
                    int /*show_command*/) {
    // Before anything loads a DLL: the program's folder (the installation, or in
    // copy-only mode its download folder) must never supply one.
    static_cast<void>(qv::RestrictDllSearchToSystem32());
    int result = 0;
    {
        const ComApartment com;
        // Touches the window manager before any window exists, so that the thread is
        // set up as a GUI thread from the start.
        DefWindowProcW(nullptr, 0, 0, 0);
        INITCOMMONCONTROLSEX controls = {};
        controls.dwSize = sizeof controls;
        controls.dwICC = ICC_BAR_CLASSES;
        qv::system32::InitCommonControlsEx(&controls);
        qv::g_module.Initialise(instance);
        // The process's show command is not passed on: the window is never shown.
        result = qv::RunApplication(command_line, SW_HIDE);
        qv::g_module.Shutdown();
    }
    return result;
}
