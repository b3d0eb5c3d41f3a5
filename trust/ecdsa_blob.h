#pragma once
// The CNG key blobs of ECDSA P-256 and the provider that reads them, shared by the
// verifier's public keys and the publisher's key pair.

#include <windows.h>

#include <bcrypt.h>

#include <cstdint>
#include <cstring>

#include "trust/cng_handle.h"

namespace qv::ecdsa_blob {

inline constexpr ULONG kCoordinateSize = 32;

// A key blob as CNG reads and writes it: header, X, Y and, for a private key, d.
struct EccBlob {
    BCRYPT_ECCKEY_BLOB header;
    uint8_t data[3 * kCoordinateSize];
};

// Wipes key material from the stack on every path.
class WipedBlob {
public:
    WipedBlob() noexcept { std::memset(&blob, 0, sizeof(blob)); }
    ~WipedBlob() { SecureZeroMemory(&blob, sizeof(blob)); }
    WipedBlob(const WipedBlob&) = delete;
    WipedBlob& operator=(const WipedBlob&) = delete;
    EccBlob blob;
};

inline bool OpenEcdsa(UniqueCngAlgorithm& algorithm) noexcept {
    if (algorithm) {
        return true;
    }
    if (system32::BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr,
                                              0) != kStatusSuccess) {
        algorithm.reset();
        return false;
    }
    return true;
}

inline bool ImportBlob(UniqueCngAlgorithm& algorithm, UniqueCngKey& key, const wchar_t* type,
                       const EccBlob& blob, ULONG size) noexcept {
    if (!OpenEcdsa(algorithm)) {
        return false;
    }
    if (system32::BCryptImportKeyPair(algorithm.get(), nullptr, type, key.put(),
                                      reinterpret_cast<PUCHAR>(const_cast<EccBlob*>(&blob)), size,
                                      0) != kStatusSuccess) {
        key.reset();
        return false;
    }
    return true;
}

}  // namespace qv::ecdsa_blob
