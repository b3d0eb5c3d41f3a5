#pragma once
// Archive files as minizip sees them: read, write, seek, tell and an error flag over a
// CreateFileW handle, with positions counted from the file position at open time, so
// an archive with data in front of it (a self-extractor stub) opens like any other.
// The reader opens archives for reading; the publisher creates them for writing.

#include <windows.h>

#include <ioapi.h>

#include <cstdint>

#include "win/unique_handle.h"

namespace qv::zip {

struct ZipFileStream {
    UniqueFileHandle file;
    bool writable = false;
    uint64_t start = 0;     // file offset of position 0
    uint64_t position = 0;  // where the next read or write starts, as minizip counts
    // Zero bytes shown ahead of the file, and how many file bytes are shown; see
    // ShowEndRecordToDependency.
    uint64_t lead_pad = 0;
    uint64_t shown_length = UINT64_MAX;
    // Where the handle's own file pointer is (file offset), or UINT64_MAX when unknown;
    // saves a SetFilePointerEx before reads or writes that follow each other.
    uint64_t file_pointer = UINT64_MAX;
    bool failed = false;  // a read or write failed
};

// Opens `path` for reading (shared for reading only) and takes the current file
// position as position 0; false when the file cannot be opened.
[[nodiscard]] bool OpenZipFileStream(ZipFileStream& stream, const wchar_t* path) noexcept;

// Creates `path` (replacing a file there) for writing and reading, shared with nobody;
// false when it cannot be created.
[[nodiscard]] bool CreateZipFileStream(ZipFileStream& stream, const wchar_t* path) noexcept;

// The I/O functions for unzOpen2_64 and zipOpen2_64; the "path" given to them must be
// the ZipFileStream, opened in a mode that allows what minizip asks for. Closing
// through them reports the error flag and leaves the handle to the stream's owner.
void FillZipFileFunctions(zlib_filefunc64_def& functions) noexcept;

// Reads up to `size` bytes at the stream's position; returns the count read. A failed
// ReadFile sets the error flag.
[[nodiscard]] uint32_t ReadZipFileStream(ZipFileStream& stream, void* buffer,
                                         uint32_t size) noexcept;

// Writes `size` bytes at the stream's position; returns the count written, fewer only
// when a WriteFile failed, which sets the error flag.
[[nodiscard]] uint32_t WriteZipFileStream(ZipFileStream& stream, const void* buffer,
                                          uint32_t size) noexcept;

// minizip's search for the end-of-central-directory record misses two places where a
// valid record can lie: at offset 0 (an archive without items is nothing but that
// record, and minizip takes a find at 0 for "not found") and more than 65,535 bytes
// before the end (a record followed by a comment of more than 65,513 bytes). When the
// file has a consistent record at one of those places, this sets up the stream so
// that minizip finds it (one zero byte in front for offset 0, the comment hidden,
// which minizip does not need) and returns true; the caller then opens again.
[[nodiscard]] bool ShowEndRecordToDependency(ZipFileStream& stream) noexcept;

}  // namespace qv::zip
