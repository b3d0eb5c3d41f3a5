#pragma once
// Text helpers: conversion between UTF-16 and the code pages the system speaks (UTF-8
// in its files, the ANSI code page in HTTP request text), and the ASCII-only tests and
// case folding that protocol text needs whatever the user's locale.

#include <windows.h>

#include <climits>
#include <string>
#include <string_view>

namespace qv {

namespace detail {

// Runs one of Windows' two-call conversions over all of `input`: `convert(length,
// nullptr, 0)` measures, `convert(length, buffer, size)` converts. False, with `out`
// empty, when it fails or the input is too long for one call.
template <typename Input, typename Output, typename Convert>
[[nodiscard]] bool ConvertWhole(const Input& input, Output& out, Convert convert) {
    out.clear();
    if (input.empty()) {
        return true;
    }
    if (input.size() > static_cast<size_t>(INT_MAX)) {
        return false;
    }
    const int length = static_cast<int>(input.size());
    const int count = convert(length, nullptr, 0);
    if (count <= 0) {
        return false;
    }
    out.resize(static_cast<size_t>(count));
    if (convert(length, out.data(), count) != count) {
        out.clear();
        return false;
    }
    return true;
}

}  // namespace detail

// UTF-16 text in `code_page` (CP_UTF8, CP_THREAD_ACP, ...) into `out`. `flags` are
// WideCharToMultiByte's: WC_ERR_INVALID_CHARS (UTF-8 only) refuses a lone surrogate
// that would otherwise be replaced. False, with `out` empty, when the text cannot be
// converted or is too long for one call. Throws std::bad_alloc when memory runs out.
[[nodiscard]] inline bool ToCodePage(std::wstring_view text, UINT code_page, std::string& out,
                                     DWORD flags = 0) {
    return detail::ConvertWhole(text, out, [&](int length, char* buffer, int size) {
        return WideCharToMultiByte(code_page, flags, text.data(), length, buffer, size, nullptr,
                                   nullptr);
    });
}

// Bytes in `code_page` as UTF-16 into `out`; `flags` are MultiByteToWideChar's
// (MB_ERR_INVALID_CHARS refuses invalid sequences that would otherwise become U+FFFD).
// False, with `out` empty, as for ToCodePage; throws std::bad_alloc the same way.
[[nodiscard]] inline bool FromCodePage(std::string_view bytes, UINT code_page, std::wstring& out,
                                       DWORD flags = 0) {
    return detail::ConvertWhole(bytes, out, [&](int length, wchar_t* buffer, int size) {
        return MultiByteToWideChar(code_page, flags, bytes.data(), length, buffer, size);
    });
}

// The same conversions for text where an unconvertible input may simply give an empty
// result: invalid input is replaced, never dropped.
[[nodiscard]] inline std::string EncodeText(std::wstring_view text, UINT code_page = CP_UTF8) {
    std::string out;
    static_cast<void>(ToCodePage(text, code_page, out));
    return out;
}
[[nodiscard]] inline std::wstring DecodeText(std::string_view bytes, UINT code_page = CP_UTF8) {
    std::wstring out;
    static_cast<void>(FromCodePage(bytes, code_page, out));
    return out;
}

// 'A'..'Z' to 'a'..'z'; every other character as it is.
[[nodiscard]] constexpr wchar_t AsciiLower(wchar_t c) noexcept {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

// Equal but for the case of ASCII letters (protocol tokens: header names, schemes).
[[nodiscard]] constexpr bool EqualsAsciiNoCase(std::wstring_view a, std::wstring_view b) noexcept {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) {
            return false;
        }
    }
    return true;
}

// True when `text` matches `pattern`, where '*' stands for any run of characters (none
// included) and `takes(p, t)` tells whether any other pattern character `p` matches the
// text character `t`. Linear in practice: one back-tracking point, the last '*'.
template <typename Takes>
[[nodiscard]] constexpr bool MatchesWildcard(std::wstring_view pattern, std::wstring_view text,
                                             Takes takes) noexcept {
    size_t p = 0, t = 0, star = std::wstring_view::npos, taken = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == L'*') {
            star = p++;
            taken = t;
        } else if (p < pattern.size() && takes(pattern[p], text[t])) {
            ++p;
            ++t;
        } else if (star != std::wstring_view::npos) {
            p = star + 1;
            t = ++taken;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*') {
        ++p;
    }
    return p == pattern.size();
}

// ' ', tab, CR, LF, vertical tab and form feed.
[[nodiscard]] constexpr bool IsAsciiSpace(wchar_t c) noexcept {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f';
}

// Comparisons as Windows makes them for file names, whatever the locale: code unit by
// code unit after its own upper-casing (CompareStringOrdinal ignoring case).
[[nodiscard]] inline bool EqualsNoCase(std::wstring_view a, std::wstring_view b) noexcept {
    return a.size() <= INT_MAX && b.size() <= INT_MAX &&
           CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}
[[nodiscard]] inline bool LessNoCase(std::wstring_view a, std::wstring_view b) noexcept {
    return a.size() <= INT_MAX && b.size() <= INT_MAX &&
           CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_LESS_THAN;
}

// C0 controls (CR, LF, NUL, ...) and DEL: what may never reach a file name, a request
// line or a one-line text.
[[nodiscard]] constexpr bool IsControlCharacter(wchar_t c) noexcept {
    return c < 0x20 || c == 0x7F;
}

[[nodiscard]] constexpr bool HasControlCharacter(std::wstring_view text) noexcept {
    for (wchar_t c : text) {
        if (IsControlCharacter(c)) {
            return true;
        }
    }
    return false;
}

}  // namespace qv
