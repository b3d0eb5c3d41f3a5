#pragma once
// SHA-256 through Windows' own cryptography (CNG): incremental, over memory and over
// whole files.

#include <array>
#include <cstdint>

#include "update/cng_handle.h"

namespace qv {

using Sha256Digest = std::array<uint8_t, 32>;

class Sha256 {
public:
    Sha256() noexcept = default;

    // Opens a new hash; false when CNG cannot hash (then nothing is hashed).
    [[nodiscard]] bool Start() noexcept;
    // Adds bytes; false without a started hash or when CNG fails.
    [[nodiscard]] bool Update(const void* data, size_t length) noexcept;
    // Gives the digest of everything added and closes the hash.
    [[nodiscard]] bool Finish(Sha256Digest& out) noexcept;

private:
    UniqueCngAlgorithm algorithm_;
    UniqueCngHash hash_;
};

[[nodiscard]] bool Sha256Bytes(const void* data, size_t length, Sha256Digest& out) noexcept;

// Hashes a whole file and gives its size; false when it cannot be opened or read, when
// it is larger than `max_size`, or when CNG fails.
[[nodiscard]] bool Sha256File(const wchar_t* path, uint64_t max_size, Sha256Digest& out,
                              uint64_t& size) noexcept;

}  // namespace qv
