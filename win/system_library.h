#pragma once
// A DLL of Windows, loaded from the system folder only. The updater runs beside other
// programs' files (and, in copy-only mode, from its own download folder), so a DLL that
// is not one of the system's known DLLs must never be found by the ordinary search
// order: a planted copy beside the executable would run inside the updater.

#include <windows.h>

#include "win/unique_handle.h"

namespace qv {

using UniqueModule = UniqueHandle<HMODULE, nullptr, ::FreeLibrary>;

// `path` = the system folder's full path of the file `name`; false when it does not
// fit MAX_PATH.
[[nodiscard]] inline bool SystemFolderPath(const wchar_t* name,
                                           wchar_t (&path)[MAX_PATH]) noexcept {
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH ||
        length + 1 + static_cast<size_t>(lstrlenW(name)) >= MAX_PATH) {
        return false;
    }
    path[length] = L'\\';
    lstrcpyW(path + length + 1, name);
    return true;
}

class SystemLibrary {
public:
    // `name` is a bare file name ("version.dll"); only the system folder is searched.
    explicit SystemLibrary(const wchar_t* name) noexcept
        : module_(LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        if (!module_ && GetLastError() == ERROR_INVALID_PARAMETER) {
            // A Windows 7 without the search-flag update: the full path of the
            // system folder's copy is just as strict.
            wchar_t path[MAX_PATH];
            if (SystemFolderPath(name, path)) {
                module_.reset(LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
            }
        }
    }

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

// Makes the system folder the only place the process loads DLLs from by name: neither
// its own folder nor the current directory is searched any more, for the DLLs Windows
// loads on its behalf as well as for its own. Call it first thing; false when this
// Windows cannot restrict the search (a Windows 7 without the search-flag update),
// which then at least leaves out the current directory.
inline bool RestrictDllSearchToSystem32() noexcept {
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    // Looked up rather than imported, so that such a Windows still starts the program.
    const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    const auto set_default =
        kernel32 == nullptr
            ? nullptr
            : reinterpret_cast<SetDefaultDllDirectoriesFunction>(
                  reinterpret_cast<void*>(GetProcAddress(kernel32, "SetDefaultDllDirectories")));
    if (set_default != nullptr && set_default(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        return true;
    }
    SetDllDirectoryW(L"");
    return false;
}

}  // namespace qv
