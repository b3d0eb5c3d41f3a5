// A program that imports version.dll, which is not a known DLL: what
// tools/check-static.sh --known-only must refuse (ctest static_link_check_refuses).

#include <windows.h>

int wmain() {
    DWORD ignored = 0;
    return GetFileVersionInfoSizeW(L"kernel32.dll", &ignored) != 0 ? 0 : 1;
}
