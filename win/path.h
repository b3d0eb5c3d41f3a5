#pragma once
// Path text helpers. Every path the updater builds must fit a MAX_PATH buffer
// (terminator included); one that does not is a failure, never a shorter path.

#include <windows.h>

#include <string>
#include <string_view>

#include "win/text.h"

namespace qv {

// Windows takes both for a separator.
[[nodiscard]] constexpr bool IsPathSeparator(wchar_t c) noexcept {
    return c == L'\\' || c == L'/';
}

// The index of the last separator of `path`, or npos when it has none.
[[nodiscard]] constexpr size_t FindLastSeparator(std::wstring_view path) noexcept {
    for (size_t i = path.size(); i > 0; --i) {
        if (IsPathSeparator(path[i - 1])) {
            return i - 1;
        }
    }
    return std::wstring_view::npos;
}

[[nodiscard]] inline bool FitsMaxPath(std::wstring_view path) noexcept {
    return path.size() < MAX_PATH;
}

// Joins two parts with one separator ("%s\%s"); false when the result would not fit.
[[nodiscard]] inline bool JoinPath(std::wstring& out, std::wstring_view first,
                                   std::wstring_view second, wchar_t separator = L'\\') {
    std::wstring joined;
    joined.reserve(first.size() + 1 + second.size());
    joined.append(first).push_back(separator);
    joined.append(second);
    if (!FitsMaxPath(joined)) {
        return false;
    }
    out = std::move(joined);
    return true;
}

// Full path of the running executable; false when it does not fit MAX_PATH.
[[nodiscard]] inline bool GetExecutablePath(std::wstring& out) {
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return false;
    }
    out.assign(buffer, length);
    return true;
}

// Drops the last path component and its separator ("C:\a\b.exe" -> "C:\a"); false
// when the path has no separator.
[[nodiscard]] inline bool RemoveLastComponent(std::wstring& path) noexcept {
    const size_t slash = FindLastSeparator(path);
    if (slash == std::wstring_view::npos) {
        return false;
    }
    // "C:\x" gives "C:", which joins back to "C:\..." like any other directory.
    path.resize(slash);
    return true;
}

// The directory that holds the running executable.
[[nodiscard]] inline bool GetExecutableDirectory(std::wstring& out) {
    std::wstring path;
    if (!GetExecutablePath(path) || !RemoveLastComponent(path)) {
        return false;
    }
    out = std::move(path);
    return true;
}

// True when a relative name (a list's or a manifest's) stays inside the directory it
// is relative to.
[[nodiscard]] inline bool IsSafeRelativeName(const std::wstring& name) noexcept {
    if (name.empty() || IsPathSeparator(name.front())) {
        return false;  // absolute, rooted or UNC
    }
    for (wchar_t c : name) {
        // ':' covers drive letters and alternate data streams.
        if (IsControlCharacter(c) || c == L':') {
            return false;
        }
    }
    // Every component must name something: no empty, ".", ".." or dots-and-spaces
    // component (Windows trims trailing dots and spaces, so ".. " acts as "..").
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = start;
        while (end < name.size() && !IsPathSeparator(name[end])) {
            ++end;
        }
        bool names_something = false;
        for (size_t i = start; i < end; ++i) {
            if (name[i] != L'.' && name[i] != L' ') {
                names_something = true;
                break;
            }
        }
        if (!names_something) {
            return false;
        }
        start = end + 1;
    }
    return true;
}

}  // namespace qv
