#pragma once
// The archive file as minizip sees it: read, seek, tell and an error flag over a
// CreateFileW handle, with positions counted from the file position at open time, so
// an archive with data in front of it (a self-extractor stub) opens like any other.

#include <windows.h>

#include <ioapi.h>

#include <cstdint>

#include "win/unique_handle.h"

namespace qv::zip {

struct ZipFileStream {
    UniqueFileHandle file;
    uint64_t start = 0;     // file offset of position 0
    uint64_t position = 0;  // where the next read starts, as minizip counts
    // Zero bytes shown ahead of the file, and how many file bytes are shown; see
    // ShowEndRecordToDependency.
    uint64_t lead_pad = 0;
    uint64_t shown_length = UINT64_MAX;
    // Where the handle's own file pointer is (file offset), or UINT64_MAX when unknown;
    // saves a SetFilePointerEx before reads that follow each other.
    uint64_t file_pointer = UINT64_MAX;
    bool read_error = false;
};

// Opens `path` for reading (shared for reading only) and takes the current file
// position as position 0; false when the file cannot be opened.
[[nodiscard]] bool OpenZipFileStream(ZipFileStream& stream, const wchar_t* path) noexcept;

// The I/O functions for unzOpen2_64; the "path" given to unzOpen2_64 must be the
// ZipFileStream. Closing through them leaves the handle to the stream's owner.
void FillZipFileFunctions(zlib_filefunc64_def& functions) noexcept;

// Reads up to `size` bytes at the stream's position; returns the count read. A failed
// ReadFile sets the read-error flag.
uint32_t ReadZipFileStream(ZipFileStream& stream, void* buffer, uint32_t size) noexcept;

// minizip's search for the end-of-central-directory record misses two places where a
// valid record can lie: at offset 0 (an archive without items is nothing but that
// record, and minizip takes a find at 0 for "not found") and more than 65,535 bytes
// before the end (a record followed by a comment of more than 65,513 bytes). When the
// file has a consistent record at one of those places, this sets up the stream so
// that minizip finds it (one zero byte in front for offset 0, the comment hidden,
// which minizip does not need) and returns true; the caller then opens again.
[[nodiscard]] bool ShowEndRecordToDependency(ZipFileStream& stream) noexcept;

}  // namespace qv::zip
