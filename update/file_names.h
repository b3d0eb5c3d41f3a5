#pragma once
// The names the updater and the publisher agree on: the files of an installation and
// of the update server that the updater reads by name, and its working folder.

namespace qv {

inline constexpr wchar_t kUpdaterFileName[] = L"update.exe";
inline constexpr wchar_t kReaderFileName[] = L"qvreader.exe";
// The version text, on the server and (optionally) in the installation.
inline constexpr wchar_t kVersionFileName[] = L"ver.dat";
inline constexpr wchar_t kFileListName[] = L"filelist.dat";
inline constexpr wchar_t kDownloadListName[] = L"downlist.dat";
// The updater's working folder inside the installation folder.
inline constexpr wchar_t kUpdateDirName[] = L"update";

}  // namespace qv
