// A DLL planted beside update.exe by the DLL-search tests, under the name of a DLL
// the updater uses. Loading it leaves a mark: "<its own path>.loaded". Its exports
// carry the names the updater would look up there, so that an import from it would
// resolve and the process would run on; each fails as the real function fails.

#include <windows.h>

namespace {

void LeaveMark(HMODULE self) {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(self, path, MAX_PATH - 8);
    if (length == 0 || length >= MAX_PATH - 8) {
        return;
    }
    lstrcatW(path, L".loaded");
    const HANDLE marker =
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker != INVALID_HANDLE_VALUE) {
        CloseHandle(marker);
    }
}

}  // namespace

// The .def file exports this under the names of the CNG functions: a failure.
extern "C" LONG PlantedReturnNtFailure() {
    return static_cast<LONG>(0xC0000001L);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) {
        LeaveMark(self);
    }
    return TRUE;
}
