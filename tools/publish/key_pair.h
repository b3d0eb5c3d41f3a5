#pragma once
// The publisher's side of ECDSA P-256: making, storing and using the private key that
// signs release.dat. The updater verifies only (trust/ecdsa.h), so none of this ships
// inside update.exe.

#include <string>

#include "trust/ecdsa.h"
#include "trust/release_manifest.h"
#include "update/delta_manifest.h"

namespace qv {

class EcdsaKeyPair {
public:
    EcdsaKeyPair() noexcept = default;

    // A new random key pair.
    [[nodiscard]] bool Generate() noexcept;
    // Takes a stored pair; false when CNG refuses it or the point is not d's.
    [[nodiscard]] bool Import(const EcdsaPrivateScalar& scalar,
                              const EcdsaPublicPoint& point) noexcept;
    [[nodiscard]] bool Export(EcdsaPrivateScalar& scalar, EcdsaPublicPoint& point) const noexcept;
    [[nodiscard]] bool Sign(const Sha256Digest& digest, EcdsaSignature& signature) const noexcept;

private:
    UniqueCngAlgorithm algorithm_;
    UniqueCngKey key_;
};

// `body` followed by its signature line, made with `key`. False when CNG cannot sign.
[[nodiscard]] bool SignText(std::string body, const EcdsaKeyPair& key, std::string& out) noexcept;
// The whole release.dat, or delta.dat: the body signed with `key`.
[[nodiscard]] bool SignDeltaManifest(const DeltaManifest& manifest, const EcdsaKeyPair& key,
                                     std::string& out) noexcept;
[[nodiscard]] bool SignReleaseManifest(const ReleaseManifest& manifest, const EcdsaKeyPair& key,
                                       std::string& out) noexcept;

}  // namespace qv
