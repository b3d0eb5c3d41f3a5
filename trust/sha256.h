#pragma once
// SHA-256 through Windows' own cryptography (CNG): incremental and over memory. Whole
// files go through trust/file_hashes.h, which reads each file once for every hash.

#include <array>
#include <cstdint>

#include "trust/cng_handle.h"

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

}  // namespace qv
