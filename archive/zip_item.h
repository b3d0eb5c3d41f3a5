#pragma once
// How an item's record is derived from what the archive stores: the name, the
// Windows attributes, the times, and the check byte of traditional encryption.

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace qv::zip {

// Decodes a stored name as UTF-8 (whatever the archive's flags say), up to its first
// NUL byte, into `out` with its NUL; false when it needs more than `capacity`
// characters. Invalid sequences become U+FFFD.
[[nodiscard]] bool DecodeItemName(const char* bytes, size_t length, wchar_t* out,
                                  size_t capacity) noexcept;

// Drops, as long as one applies: a drive prefix ("C:"), a leading "\" or "/", and
// everything up to and including the first "..", between two separators. A name that
// begins with ".." and a separator keeps them.
void CleanItemName(wchar_t* name) noexcept;

// Windows attribute bits: from the DOS attribute byte (the low byte of the external
// attributes) when the host system, the high byte of version made by, is 0, 7, 11 or
// 14, else from the Unix mode in the high 16 bits of the external attributes.
[[nodiscard]] uint32_t ItemAttributes(uint32_t version_made_by,
                                      uint32_t external_attributes) noexcept;

// A DOS stamp (date in the high 16 bits) taken as local time, converted to UTC. A stamp
// that is no valid date and time gives 1980-01-01 00:00:00 local time, the earliest
// DOS date, so that the record never holds an undefined time.
[[nodiscard]] FILETIME DosStampToFileTime(uint32_t dos_stamp) noexcept;

struct ItemTimes {
    FILETIME access;
    FILETIME creation;
    FILETIME modification;
};

// Overrides `times` from the first "UT" (extended timestamp) block of a local extra
// field: for flag bits 0, 1, 2 in turn, the modification, access and creation time as
// 32-bit Unix seconds (UTC). A time that its block or the field does not hold whole is
// left as it was; nothing beyond `length` is read.
void ApplyExtendedTimestamp(const uint8_t* extra, size_t length, ItemTimes& times) noexcept;

// The value the last decrypted header byte must have: the high byte of the CRC-32, or
// bits 8-15 of the DOS time when the sizes follow the data (flag bit 3).
[[nodiscard]] uint8_t PasswordCheckByte(uint32_t flag, uint32_t crc, uint32_t dos_stamp) noexcept;

}  // namespace qv::zip
