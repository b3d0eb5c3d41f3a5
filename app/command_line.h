#pragma once
// The updater's command-line switches. A switch is present when its text occurs
// anywhere in the whole command line, program path included, in any letter case:
// the line is never split into arguments.

#include <windows.h>

namespace qv {

inline constexpr wchar_t kSilenceSwitch[] = L"/silence";

// True when `command_line` contains `name` as a case-insensitive substring.
[[nodiscard]] bool HasSwitch(const wchar_t* command_line, const wchar_t* name) noexcept;

// True when the line holds "/silence" or "/copyonly": the shell then shows no tray
// icon, so no balloons and no menu.
[[nodiscard]] bool HidesTrayIcon(const wchar_t* command_line) noexcept;

}  // namespace qv
