#pragma once
// Path text helpers. Every path the updater builds must fit a MAX_PATH buffer
// (terminator included); one that does not is a failure, never a shorter path.

#include <windows.h>

#include <string>
#include <string_view>

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

}  // namespace qv
