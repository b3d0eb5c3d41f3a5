// Stands in for the browser in the home-page tests: "opening" the home page runs
// this program, which leaves home_opened.txt (its command line) beside itself.

#include <windows.h>

#include <string>

#include "win/path.h"
#include "win/unique_handle.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    std::wstring marker;
    if (!qv::GetExecutableDirectory(marker) || !qv::JoinPath(marker, marker, L"home_opened.txt")) {
        return 1;
    }
    qv::UniqueFileHandle file(CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return 1;
    }
    const wchar_t* line = GetCommandLineW();
    DWORD written = 0;
    const DWORD bytes = static_cast<DWORD>(lstrlenW(line) * sizeof(wchar_t));
    return WriteFile(file.get(), line, bytes, &written, nullptr) && written == bytes ? 0 : 1;
}
