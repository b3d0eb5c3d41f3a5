// A stand-in for the reader in tests and demonstrations. It prints the version it was
// built with; "/sleep N" keeps it running for N milliseconds, so that a test can hold
// the executable busy the way a running reader does.

#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "sample_version.h"

int wmain(int argc, wchar_t** argv) {
    std::wprintf(L"qvreader %ls\n", QV_SAMPLE_VERSION_TEXT);
    std::fflush(stdout);
    for (int i = 1; i + 1 < argc; ++i) {
        if (_wcsicmp(argv[i], L"/sleep") == 0) {
            const unsigned long ms = std::wcstoul(argv[i + 1], nullptr, 10);
            // At most a minute, so that a forgotten sample never outlives its test run.
            Sleep(ms < 60000 ? static_cast<DWORD>(ms) : 60000);
        }
    }
    return 0;
}
