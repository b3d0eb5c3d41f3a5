#include "app/command_line.h"

#include <shlwapi.h>

#include "update/update_logic.h"

namespace qv {

bool HasSwitch(const wchar_t* command_line, const wchar_t* name) noexcept {
    return command_line != nullptr && name != nullptr && StrStrIW(command_line, name) != nullptr;
}

bool HidesTrayIcon(const wchar_t* command_line) noexcept {
    return HasSwitch(command_line, kSilenceSwitch) || HasSwitch(command_line, kCopyOnlySwitch);
}

}  // namespace qv
