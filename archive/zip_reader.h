#pragma once
// Reads zip archives and extracts one item into a file. Every operation returns an
// ArchiveResult (the open returns a handle) and records it as the process-wide last
// result. Paths and item names are UTF-16; paths and names are held in MAX_PATH
// buffers, and one that does not fit is refused, never shortened.

#include <windows.h>

#include <cstdint>

namespace qv {

using ArchiveResult = uint32_t;

// One code space with the archive-writing functions this interface comes from: the
// codes marked "never returned" belong to that side and are kept, with their texts, so
// that every code keeps its value and meaning for callers.
inline constexpr ArchiveResult ARCHIVE_OK = 0x00000000;
inline constexpr ArchiveResult ARCHIVE_LAST_RESULT = 0x00000001;         // ArchiveResultText only
inline constexpr ArchiveResult ARCHIVE_E_DUPLICATE_HANDLE = 0x00000100;  // never returned
inline constexpr ArchiveResult ARCHIVE_E_OPEN_FILE = 0x00000200;
inline constexpr ArchiveResult ARCHIVE_E_OUT_OF_MEMORY = 0x00000300;
inline constexpr ArchiveResult ARCHIVE_E_WRITE_FILE = 0x00000400;
// The item is a directory and the target a file path (one that does not end in "\" or "/").
inline constexpr ArchiveResult ARCHIVE_E_ITEM_NOT_FOUND = 0x00000500;
inline constexpr ArchiveResult ARCHIVE_MORE_DATA = 0x00000600;  // never returned
inline constexpr ArchiveResult ARCHIVE_E_CORRUPT = 0x00000700;
inline constexpr ArchiveResult ARCHIVE_E_READ_FILE = 0x00000800;
// An item name or a target path does not fit its MAX_PATH buffer.
inline constexpr ArchiveResult ARCHIVE_E_NAME_TOO_LONG = 0x00000900;
inline constexpr ArchiveResult ARCHIVE_E_PASSWORD = 0x00001000;
inline constexpr ArchiveResult ARCHIVE_E_BAD_ARGUMENTS = 0x00010000;
inline constexpr ArchiveResult ARCHIVE_E_NOT_MEMORY_ARCHIVE = 0x00020000;   // never returned
inline constexpr ArchiveResult ARCHIVE_E_MEMORY_TOO_SMALL = 0x00030000;     // never returned
inline constexpr ArchiveResult ARCHIVE_E_PREVIOUS_ERROR = 0x00040000;       // never returned
inline constexpr ArchiveResult ARCHIVE_E_ALREADY_ENDED = 0x00050000;        // never returned
inline constexpr ArchiveResult ARCHIVE_E_SIZE_CHANGED = 0x00060000;         // never returned
inline constexpr ArchiveResult ARCHIVE_E_PARTIALLY_EXTRACTED = 0x00070000;  // never returned
inline constexpr ArchiveResult ARCHIVE_E_WRONG_MODE = 0x00080000;
inline constexpr ArchiveResult ARCHIVE_E_NOT_INITIALISED = 0x01000000;  // never returned
inline constexpr ArchiveResult ARCHIVE_E_NOT_SEEKABLE = 0x02000000;     // never returned
inline constexpr ArchiveResult ARCHIVE_E_NO_CHANGE = 0x04000000;        // never returned
inline constexpr ArchiveResult ARCHIVE_E_INFLATE = 0x05000000;

// One item's record.
struct ArchiveItem {
    int32_t index;               // position from 0; for index -1, the number of items
    wchar_t name[MAX_PATH];      // cleaned item name
    uint32_t attributes;         // FILE_ATTRIBUTE_* bits
    FILETIME access_time;        // UTC
    FILETIME creation_time;      // UTC
    FILETIME modification_time;  // UTC
    int32_t compressed_size;     // saturated at INT32_MAX for larger items
    int32_t uncompressed_size;   // saturated at INT32_MAX for larger items
};

// The reader behind a handle; defined in archive/zip_reader.cpp.
struct ArchiveReader;

// What an ArchiveHandle points to. Every operation rejects a record whose kind is
// not kArchiveReaderKind.
struct ArchiveHandleRecord {
    uint32_t kind;
    ArchiveReader* reader;  // owned by the handle
};
inline constexpr uint32_t kArchiveReaderKind = 1;
using ArchiveHandle = ArchiveHandleRecord*;

// Opens an archive file; null on failure (the reason is the last result). The base
// directory for relative targets is the current directory at this moment.
[[nodiscard]] ArchiveHandle ArchiveOpenFile(const wchar_t* path, const char* password) noexcept;
// Fills `item` for index 0..count-1, or the item count for index -1.
[[nodiscard]] ArchiveResult ArchiveGetItem(ArchiveHandle handle, int32_t index,
                                           ArchiveItem* item) noexcept;
// Extracts item `index` to `target_path` (absolute, or relative to the base directory).
// A file item becomes a file with normal attributes (the archive's are not applied);
// data that does not match the item's CRC-32 gives ARCHIVE_E_CORRUPT and no file. A
// directory item needs a target that ends in a separator.
[[nodiscard]] ArchiveResult ArchiveExtractToFile(ArchiveHandle handle, int32_t index,
                                                 const wchar_t* target_path) noexcept;
// Closes the archive and frees the handle.
[[nodiscard]] ArchiveResult ArchiveClose(ArchiveHandle handle) noexcept;
// The text of `code` (ARCHIVE_LAST_RESULT: of the last result) into `buffer`, cut to
// capacity - 1 characters; returns the whole text's length.
uint32_t ArchiveResultText(ArchiveResult code, wchar_t* buffer, uint32_t capacity) noexcept;

}  // namespace qv
