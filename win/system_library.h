#pragma once
// A DLL of Windows, loaded from the system folder only. The updater runs beside other
// programs' files (and, in copy-only mode, from its own download folder), so a DLL that
// is not one of the system's known DLLs must never be found by the ordinary search
// order: a planted copy beside the executable would run inside the updater.

#include <windows.h>

#include "win/unique_handle.h"

namespace qv {

struct ModuleHandleTraits {
    using pointer = HMODULE;
    static pointer Invalid() noexcept { return nullptr; }
    static void Close(pointer module) noexcept { ::FreeLibrary(module); }
};
using UniqueModule = UniqueHandle<ModuleHandleTraits>;

class SystemLibrary {
public:
    // `name` is a bare file name ("version.dll"); only the system folder is searched.
    explicit SystemLibrary(const wchar_t* name) noexcept
        : module_(LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {}

    [[nodiscard]] bool loaded() const noexcept { return module_.valid(); }

    // The export `name` as a function pointer of type Function; nullptr when the
    // library or the export is missing.
    template <typename Function>
    [[nodiscard]] Function Find(const char* name) const noexcept {
        if (!module_) {
            return nullptr;
        }
        // GetProcAddress returns one generic pointer type for every export.
        return reinterpret_cast<Function>(
            reinterpret_cast<void*>(GetProcAddress(module_.get(), name)));
    }

private:
    UniqueModule module_;
};

}  // namespace qv
