#pragma once
// The server's file list and the computed download list: one entry per file, with
// the CRC-32 the installed file must have and the CRC-32 of what is downloaded.

#include <cstdint>
#include <string>
#include <vector>

#include "trust/release_manifest.h"

namespace qv {

class TextLineFile;

struct FileEntry {
    uint32_t crc_installed = 0;  // of the file as it must be installed
    uint32_t crc_download = 0;   // of the download (the archive when zipped)
    uint32_t aux_value = 0;      // carried through unchanged
    int32_t zipped = 0;          // 0 or 1: the download is a zip whose first item is the file
    std::wstring name;           // relative to the installation directory, backslash-separated
};

class FileList {
public:
    // Clears the list, then appends every line that parses. False only when the file
    // cannot be opened; malformed lines are skipped.
    [[nodiscard]] bool ReadFileList(const wchar_t* path);
    // Writes every entry, LF-terminated, and closes the file. False when the file cannot
    // be created or any write, flush or close fails; a file that was not written whole
    // is removed, so that no short list is ever read back.
    [[nodiscard]] bool WriteFileList(const wchar_t* path) const;
    // Writes every entry to `file`, opened at `path`, and finishes it (flush and close).
    // False when any of it fails; the file is then removed.
    [[nodiscard]] bool WriteOpenFile(TextLineFile& file, const wchar_t* path) const;

    std::vector<FileEntry> entries;
};

// Parses "crc_installed,crc_download,aux_value,zipped,name". Rejects lines with fewer
// than four commas, an empty name, or a name that could reach outside the
// installation directory.
[[nodiscard]] bool ParseFileEntry(const std::wstring& line, FileEntry& out);
// The line text, without terminator, in the form ParseFileEntry reads.
std::wstring FormatFileEntry(const FileEntry& entry);

// True when an entry names a file the update directory keeps for itself, or anything
// under it (IsReservedListName).
[[nodiscard]] bool HasReservedName(const FileList& list) noexcept;

// The largest file the engine verifies; as large as the largest body the HTTP client
// accepts (kMaxBodyBytes).
inline constexpr uint64_t kMaxCrcFileSize = kMaxSignedFileSize;

// CRC-32 (as in zip archives) of a whole file; 0 when it cannot be read, is empty, is
// larger than kMaxCrcFileSize or its path does not fit MAX_PATH.
[[nodiscard]] uint32_t FileCrc32(const wchar_t* path) noexcept;

// The entries whose installed file ("app_dir\name") does not have crc_installed,
// in list order.
FileList BuildDownloadList(const FileList& file_list, const std::wstring& app_dir);

}  // namespace qv
