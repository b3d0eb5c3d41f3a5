#pragma once
// The names the updater and the publisher agree on: the files of an installation and
// of the update server that the updater reads by name, and its working folder.

#include <string_view>

#include "win/path.h"
#include "win/text.h"

namespace qv {

inline constexpr wchar_t kUpdaterFileName[] = L"update.exe";
inline constexpr wchar_t kReaderFileName[] = L"qvreader.exe";
// The version text, on the server and (optionally) in the installation.
inline constexpr wchar_t kVersionFileName[] = L"ver.dat";
inline constexpr wchar_t kFileListName[] = L"filelist.dat";
inline constexpr wchar_t kDownloadListName[] = L"downlist.dat";
// The updater's working folder inside the installation folder.
inline constexpr wchar_t kUpdateDirName[] = L"update";
// The server folder of delta patches, each named by the SHA-256 of its bytes. No list
// name may lie under it (nor be it), so no installed file can take a patch's name.
inline constexpr wchar_t kPatchDirName[] = L"qvpatch";
// Signed mode's rollback record in the update directory: the sequence number of the
// release last installed, staged beside it and moved into place as the installation's
// last move; the version text the staged record belongs to, so that a run after a cut
// installation can tell whether that release reached the installation.
inline constexpr wchar_t kReleaseRecordName[] = L"release.seq";
inline constexpr wchar_t kStagedReleaseRecordName[] = L"release.seq.new";
inline constexpr wchar_t kStagedRecordVersionName[] = L"release.ver.new";

// The files the update directory holds for itself: a listed file of one of these names
// would be staged over them.
inline constexpr const wchar_t* kUpdateDirOwnNames[] = {
    kFileListName,
    kDownloadListName,
    kReleaseRecordName,
    kStagedReleaseRecordName,
    kStagedRecordVersionName,
};

// True when a list name is the installation's `file_name`, as Windows resolves names:
// in any letter case, and with trailing dots and spaces dropped ("VER.DAT." is ver.dat).
[[nodiscard]] inline bool NamesInstalledFile(std::wstring_view name,
                                             const wchar_t* file_name) noexcept {
    while (!name.empty() && (name.back() == L'.' || name.back() == L' ')) {
        name.remove_suffix(1);
    }
    return EqualsNoCase(name, file_name);
}

// True when a list name may not be installed because the updater uses it: anything
// under the update folder or the server's patch folder (or those names themselves), or
// one of the update folder's own files at the top level (staged, it would replace the
// updater's working file of that name).
[[nodiscard]] inline bool IsReservedListName(std::wstring_view name) noexcept {
    size_t first_end = 0;
    while (first_end < name.size() && !IsPathSeparator(name[first_end])) {
        ++first_end;
    }
    if (NamesInstalledFile(name.substr(0, first_end), kUpdateDirName) ||
        NamesInstalledFile(name.substr(0, first_end), kPatchDirName)) {
        return true;
    }
    if (first_end != name.size()) {
        return false;
    }
    for (const wchar_t* own : kUpdateDirOwnNames) {
        if (NamesInstalledFile(name, own)) {
            return true;
        }
    }
    return false;
}

}  // namespace qv
