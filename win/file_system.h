#pragma once
// What is at a path.

#include <windows.h>

namespace qv {

[[nodiscard]] inline bool PathExists(const wchar_t* path) noexcept {
    return path != nullptr && GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

[[nodiscard]] inline bool IsDirectory(const wchar_t* path) noexcept {
    const DWORD attributes = path != nullptr ? GetFileAttributesW(path) : INVALID_FILE_ATTRIBUTES;
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Something that exists and is no directory.
[[nodiscard]] inline bool IsFile(const wchar_t* path) noexcept {
    const DWORD attributes = path != nullptr ? GetFileAttributesW(path) : INVALID_FILE_ATTRIBUTES;
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace qv
