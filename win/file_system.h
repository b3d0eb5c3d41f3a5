#pragma once
// What is at a path, and the creation of directory trees. Paths are MAX_PATH paths:
// one that does not fit is refused, never shortened.

#include <windows.h>

#include <cwchar>

#include "win/path.h"
#include "win/unique_handle.h"

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

namespace file_system_detail {

// The length of the directory above path[0, length): up to its last separator, which
// stays when it is the root's ("C:\", "\"). 0 when there is no separator.
[[nodiscard]] inline size_t ParentLength(const wchar_t* path, size_t length) noexcept {
    const size_t separator = FindLastSeparator(std::wstring_view(path, length));
    if (separator == std::wstring_view::npos) {
        return 0;
    }
    if (separator == 0 || path[separator - 1] == L':') {
        return separator + 1;
    }
    return separator;
}

// Calls `visit` with path[0, length) terminated in place, and restores the text.
template <typename Visit>
bool WithPrefix(wchar_t* path, size_t length, Visit&& visit) noexcept {
    const wchar_t saved = path[length];
    path[length] = L'\0';
    const bool result = visit(static_cast<const wchar_t*>(path));
    path[length] = saved;
    return result;
}

}  // namespace file_system_detail

// Creates the directory `path` and every missing directory above it, from the top
// down. True when it is a directory afterwards. False for a null, empty or relative
// path (no existing directory above it), one that does not fit MAX_PATH, and a
// directory that cannot be made: GetLastError() then says why (ERROR_ALREADY_EXISTS
// for a file in the way).
[[nodiscard]] inline bool CreateDirectoryTree(const wchar_t* path) noexcept {
    using file_system_detail::ParentLength;
    using file_system_detail::WithPrefix;
    if (path == nullptr) {
        return false;
    }
    wchar_t buffer[MAX_PATH];
    size_t length = 0;
    while (length < MAX_PATH && path[length] != L'\0') {
        buffer[length] = path[length];
        ++length;
    }
    if (length == 0 || length == MAX_PATH) {
        return false;
    }
    buffer[length] = L'\0';

    // Up to the deepest directory that exists...
    size_t existing = length;
    while (!WithPrefix(buffer, existing, IsDirectory)) {
        const size_t parent = ParentLength(buffer, existing);
        if (parent == 0 || parent >= existing) {
            return false;
        }
        existing = parent;
    }
    // ...then down again, one component at a time.
    for (size_t end = existing; end < length;) {
        while (end < length && IsPathSeparator(buffer[end])) {
            ++end;
        }
        while (end < length && !IsPathSeparator(buffer[end])) {
            ++end;
        }
        const bool made = WithPrefix(buffer, end, [](const wchar_t* directory) noexcept {
            if (CreateDirectoryW(directory, nullptr)) {
                return true;
            }
            // There now (made by someone else, or named with a trailing separator) is
            // as good as made; a file of that name is not.
            const DWORD error = GetLastError();
            const bool there = error == ERROR_ALREADY_EXISTS && IsDirectory(directory);
            SetLastError(error);
            return there;
        });
        if (!made) {
            return false;
        }
    }
    return true;
}

// Creates every missing directory above the file `path`; false as CreateDirectoryTree
// is for that directory.
[[nodiscard]] inline bool CreateParentDirectories(const wchar_t* path) noexcept {
    if (path == nullptr) {
        return false;
    }
    const size_t length = std::wcslen(path);
    if (!FitsMaxPath(std::wstring_view(path, length))) {
        return false;
    }
    wchar_t parent[MAX_PATH];
    std::wmemcpy(parent, path, length + 1);
    parent[file_system_detail::ParentLength(parent, length)] = L'\0';
    return CreateDirectoryTree(parent);
}

// Opens an existing file for reading (others may read it too) and gives its size; an
// empty owner when it cannot be opened, its size cannot be read or it is larger than
// `max_size`.
[[nodiscard]] inline UniqueFileHandle OpenFileAtMost(const wchar_t* path, uint64_t max_size,
                                                     uint64_t& size,
                                                     DWORD flags = FILE_ATTRIBUTE_NORMAL) noexcept {
    size = 0;
    UniqueFileHandle file(
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, flags, nullptr));
    LARGE_INTEGER file_size;
    if (!file || !GetFileSizeEx(file.get(), &file_size) || file_size.QuadPart < 0 ||
        static_cast<uint64_t>(file_size.QuadPart) > max_size) {
        return UniqueFileHandle();
    }
    size = static_cast<uint64_t>(file_size.QuadPart);
    return file;
}

}  // namespace qv
