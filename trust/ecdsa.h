#pragma once
// ECDSA over NIST P-256 with SHA-256 through Windows' own cryptography (CNG). Keys are
// raw curve points and scalars, signatures the raw 64 bytes r || s that CNG takes.
// A CNG that cannot do ECDSA (a Wine without the host's GnuTLS) is reported as such,
// so that callers can fail closed.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "trust/cng_handle.h"
#include "trust/sha256.h"

namespace qv {

using EcdsaPublicPoint = std::array<uint8_t, 64>;    // X || Y, big-endian
using EcdsaPrivateScalar = std::array<uint8_t, 32>;  // d, big-endian
using EcdsaSignature = std::array<uint8_t, 64>;      // r || s, big-endian

enum class SignatureCheck {
    kValid,
    kInvalid,      // a well-formed answer: this key did not make this signature
    kUnavailable,  // CNG could not check at all
};

class EcdsaPublicKey {
public:
    EcdsaPublicKey() noexcept = default;

    // False when CNG refuses the point or cannot do ECDSA P-256.
    [[nodiscard]] bool Import(const EcdsaPublicPoint& point) noexcept;
    [[nodiscard]] SignatureCheck Verify(const Sha256Digest& digest,
                                        const EcdsaSignature& signature) const noexcept;
    [[nodiscard]] const EcdsaPublicPoint& point() const noexcept { return point_; }

private:
    UniqueCngAlgorithm algorithm_;
    UniqueCngKey key_;
    EcdsaPublicPoint point_ = {};
};

// The public key as one line of text, what a vendor puts into cfg.ini:
// "ecdsa-p256:" and the 64 bytes of the point in lowercase hex.
[[nodiscard]] std::string PublicKeyText(const EcdsaPublicPoint& point);
// Reads exactly that form (as UTF-16 from cfg.ini or as bytes from a file).
[[nodiscard]] bool ParsePublicKeyText(std::string_view text, EcdsaPublicPoint& out) noexcept;
[[nodiscard]] bool ParsePublicKeyText(std::wstring_view text, EcdsaPublicPoint& out) noexcept;
// cfg.ini's list of trusted keys: one key, or two separated by one space (the current
// one and the next, while a vendor moves to a new key).
[[nodiscard]] bool ParsePublicKeyList(std::wstring_view text,
                                      std::vector<EcdsaPublicPoint>& out) noexcept;

}  // namespace qv
