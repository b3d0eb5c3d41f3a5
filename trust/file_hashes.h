#pragma once
// One read of a file for every hash a check needs: the CRC-32 that file lists carry
// and, when asked, the SHA-256 that signed releases carry.

#include <cstdint>

#include "trust/sha256.h"

namespace qv {

struct FileHashes {
    uint64_t size = 0;
    uint32_t crc32 = 0;        // as in zip archives; 0 for an empty file
    Sha256Digest sha256 = {};  // only when asked for
};

// Reads the file once and hashes it; false when it cannot be opened or read, when it
// is larger than `max_size` (or grows past it while read), or when CNG fails.
[[nodiscard]] bool HashFile(const wchar_t* path, uint64_t max_size, bool with_sha256,
                            FileHashes& out) noexcept;

// SHA-256 and size of a whole file, as HashFile.
[[nodiscard]] bool Sha256File(const wchar_t* path, uint64_t max_size, Sha256Digest& out,
                              uint64_t& size) noexcept;

}  // namespace qv
