#include "tools/publish/key_pair.h"

#include <cstring>

#include "trust/ecdsa_blob.h"

namespace qv {

using namespace ecdsa_blob;

bool EcdsaKeyPair::Generate() noexcept {
    key_.reset();
    if (!OpenEcdsa(algorithm_)) {
        return false;
    }
    if (system32::BCryptGenerateKeyPair(algorithm_.get(), key_.put(), 256, 0) != kStatusSuccess ||
        system32::BCryptFinalizeKeyPair(key_.get(), 0) != kStatusSuccess) {
        key_.reset();
        return false;
    }
    return true;
}

bool EcdsaKeyPair::Import(const EcdsaPrivateScalar& scalar,
                          const EcdsaPublicPoint& point) noexcept {
    key_.reset();
    WipedBlob holder;
    holder.blob.header.dwMagic = BCRYPT_ECDSA_PRIVATE_P256_MAGIC;
    holder.blob.header.cbKey = kCoordinateSize;
    std::memcpy(holder.blob.data, point.data(), point.size());
    std::memcpy(holder.blob.data + point.size(), scalar.data(), scalar.size());
    if (!ImportBlob(algorithm_, key_, BCRYPT_ECCPRIVATE_BLOB, holder.blob,
                    static_cast<ULONG>(sizeof(holder.blob)))) {
        return false;
    }
    // Not every CNG checks that the point belongs to d: a pair that cannot make a
    // signature its own point accepts would sign releases no installation trusts.
    Sha256Digest probe = {};
    EcdsaSignature signature;
    EcdsaPublicKey public_key;
    if (!Sign(probe, signature) || !public_key.Import(point) ||
        public_key.Verify(probe, signature) != SignatureCheck::kValid) {
        key_.reset();
        return false;
    }
    return true;
}

bool EcdsaKeyPair::Export(EcdsaPrivateScalar& scalar, EcdsaPublicPoint& point) const noexcept {
    if (!key_) {
        return false;
    }
    WipedBlob holder;
    ULONG written = 0;
    if (system32::BCryptExportKey(key_.get(), nullptr, BCRYPT_ECCPRIVATE_BLOB,
                                  reinterpret_cast<PUCHAR>(&holder.blob), sizeof(holder.blob),
                                  &written, 0) != kStatusSuccess ||
        written != sizeof(holder.blob) ||
        holder.blob.header.dwMagic != BCRYPT_ECDSA_PRIVATE_P256_MAGIC ||
        holder.blob.header.cbKey != kCoordinateSize) {
        return false;
    }
    std::memcpy(point.data(), holder.blob.data, point.size());
    std::memcpy(scalar.data(), holder.blob.data + point.size(), scalar.size());
    return true;
}

bool EcdsaKeyPair::Sign(const Sha256Digest& digest, EcdsaSignature& signature) const noexcept {
    if (!key_) {
        return false;
    }
    ULONG written = 0;
    return system32::BCryptSignHash(key_.get(), nullptr, const_cast<PUCHAR>(digest.data()),
                                    static_cast<ULONG>(digest.size()), signature.data(),
                                    static_cast<ULONG>(signature.size()), &written,
                                    0) == kStatusSuccess &&
           written == signature.size();
}

bool SignText(std::string body, const EcdsaKeyPair& key, std::string& out) noexcept {
    try {
        Sha256Digest digest;
        EcdsaSignature signature;
        if (!Sha256Bytes(body.data(), body.size(), digest) || !key.Sign(digest, signature)) {
            return false;
        }
        body += FormatSignatureLine(signature);
        out = std::move(body);
        return true;
    } catch (...) {
        return false;
    }
}

namespace {

// The body that `format` gives, signed; formatting may run out of memory.
template <typename Manifest>
bool SignFormatted(std::string (*format)(const Manifest&), const Manifest& manifest,
                   const EcdsaKeyPair& key, std::string& out) noexcept {
    try {
        return SignText(format(manifest), key, out);
    } catch (...) {
        return false;
    }
}

}  // namespace

bool SignReleaseManifest(const ReleaseManifest& manifest, const EcdsaKeyPair& key,
                         std::string& out) noexcept {
    return SignFormatted(FormatManifestBody, manifest, key, out);
}

bool SignDeltaManifest(const DeltaManifest& manifest, const EcdsaKeyPair& key,
                       std::string& out) noexcept {
    return SignFormatted(FormatDeltaManifestBody, manifest, key, out);
}

}  // namespace qv
