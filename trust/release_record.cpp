#include "trust/release_record.h"

#include <windows.h>

#include <cstdio>

#include "trust/release_manifest.h"
#include "win/path.h"
#include "win/unique_handle.h"

namespace qv {

namespace {

// "18446744073709551615\n" and a little room to see that a file is longer.
constexpr DWORD kMaxRecordSize = 32;

}  // namespace

bool ReadReleaseRecord(const wchar_t* path, std::optional<uint64_t>& sequence) noexcept {
    sequence.reset();
    if (path == nullptr || !FitsMaxPath(path)) {
        return false;
    }
    UniqueFileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        // Only a record that is not there at all is "no release installed yet".
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    char buffer[kMaxRecordSize];
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) || read < 2 ||
        read == sizeof(buffer) || buffer[read - 1] != '\n') {
        return false;
    }
    uint64_t value = 0;
    if (!ParseManifestNumber(std::string_view(buffer, read - 1), value)) {
        return false;
    }
    sequence = value;
    return true;
}

bool WriteReleaseRecord(const wchar_t* path, uint64_t sequence) noexcept {
    if (path == nullptr || !FitsMaxPath(path)) {
        return false;
    }
    char text[kMaxRecordSize];
    const int length =
        std::snprintf(text, sizeof(text), "%llu\n", static_cast<unsigned long long>(sequence));
    UniqueFileHandle file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && length > 0 &&
           WriteFile(file.get(), text, static_cast<DWORD>(length), &written, nullptr) &&
           written == static_cast<DWORD>(length) && FlushFileBuffers(file.get());
}

}  // namespace qv
