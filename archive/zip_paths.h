#pragma once
// Target paths of an extraction: MAX_PATH buffers that are filled whole or not at all.

#include <windows.h>

#include <initializer_list>
#include <string_view>

namespace qv::zip {

using PathBuffer = wchar_t[MAX_PATH];

// True when `path` starts with "\" or "/" or has ":" as its second character.
[[nodiscard]] bool IsAbsolutePath(const wchar_t* path) noexcept;

// Joins `parts` into `out` with its NUL; false, leaving `out` empty, when they need
// more than MAX_PATH - 1 characters.
[[nodiscard]] bool JoinInto(PathBuffer& out,
                            std::initializer_list<std::wstring_view> parts) noexcept;

}  // namespace qv::zip
