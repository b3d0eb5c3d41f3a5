#pragma once
// Target paths of an extraction: MAX_PATH buffers that are filled whole or not at all,
// and the creation of the directories a target needs.

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

// Creates `directory` and every missing directory above it: under `base` when one is
// given (creating `base` itself first when it does not exist), else as it stands.
// Failures of CreateDirectoryW are not reported here: a directory that could not be
// made shows up when the caller creates something in it. Returns false, creating
// nothing, only when base and directory together do not fit MAX_PATH.
[[nodiscard]] bool EnsureDirectoryPath(const wchar_t* base, const wchar_t* directory) noexcept;

}  // namespace qv::zip
