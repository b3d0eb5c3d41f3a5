#pragma once
// The file renames registered for the next system start (MoveFileExW with
// MOVEFILE_DELAY_UNTIL_REBOOT), read as the system keeps them: REG_MULTI_SZ values of the
// Session Manager key that hold pairs of names, "\??\C:\from" then "!\??\C:\to" (the "!"
// allows replacing) or an empty name for a delete.

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace qv {

inline constexpr wchar_t kSessionManagerKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
// The system carries out the renames of both values at its start.
inline constexpr const wchar_t* kPendingRenameValues[] = {L"PendingFileRenameOperations",
                                                          L"PendingFileRenameOperations2"};
// A value larger than this is not read: the updater then acts as if its files were named.
inline constexpr DWORD kMaxPendingRenamesBytes = 16u << 20;

struct PendingRename {
    std::wstring source;  // as registered, "\??\C:\from"
    std::wstring target;  // as registered, "!\??\C:\to", "\??\C:\to" or empty (a delete)
};

// Appends the pairs of one value's data (its UTF-16 code units, as stored). False when
// the data is no list of pairs: a source without its target, or text after the end.
[[nodiscard]] bool ParsePendingRenames(std::wstring_view data, std::vector<PendingRename>& out);

// Every rename registered in both values. A missing key or value holds none; false when
// one is there but cannot be read whole (no access, too large, another type, another
// form), since its renames are then unknown.
[[nodiscard]] bool ReadPendingRenames(std::vector<PendingRename>& out) noexcept;

// The Win32 path a registered name stands for: "!" and the "\??\" prefix dropped,
// "\??\UNC\server\share" as "\\server\share".
[[nodiscard]] std::wstring PathOfRegisteredName(std::wstring_view name);

// True when a registered rename takes its file from inside `directory` (in any letter
// case, short or long names: what exists is compared in its long form).
[[nodiscard]] bool RenamesReadFrom(const std::vector<PendingRename>& renames,
                                   const std::wstring& directory);

}  // namespace qv
