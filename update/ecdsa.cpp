#include "update/ecdsa.h"

#include <cstring>

#include "update/hex.h"

namespace qv {

namespace {

constexpr char kKeyTextPrefix[] = "ecdsa-p256:";
constexpr size_t kKeyTextPrefixLength = sizeof(kKeyTextPrefix) - 1;
constexpr size_t kKeyTextLength = kKeyTextPrefixLength + 2 * sizeof(EcdsaPublicPoint);
constexpr size_t kMaxTrustedKeys = 2;
constexpr ULONG kCoordinateSize = 32;

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

bool OpenEcdsa(UniqueCngAlgorithm& algorithm) noexcept {
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

bool ImportBlob(UniqueCngAlgorithm& algorithm, UniqueCngKey& key, const wchar_t* type,
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

SignatureCheck VerifyWith(BCRYPT_KEY_HANDLE key, const Sha256Digest& digest,
                          const EcdsaSignature& signature) noexcept {
    if (key == nullptr) {
        return SignatureCheck::kUnavailable;
    }
    const NTSTATUS status = system32::BCryptVerifySignature(
        key, nullptr, const_cast<PUCHAR>(digest.data()), static_cast<ULONG>(digest.size()),
        const_cast<PUCHAR>(signature.data()), static_cast<ULONG>(signature.size()), 0);
    if (status == kStatusSuccess) {
        return SignatureCheck::kValid;
    }
    // Anything but a clear "does not match" is a CNG that cannot verify.
    return status == kStatusInvalidSignature ? SignatureCheck::kInvalid
                                             : SignatureCheck::kUnavailable;
}

}  // namespace

bool EcdsaPublicKey::Import(const EcdsaPublicPoint& point) noexcept {
    key_.reset();
    WipedBlob holder;
    holder.blob.header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    holder.blob.header.cbKey = kCoordinateSize;
    std::memcpy(holder.blob.data, point.data(), point.size());
    if (!ImportBlob(algorithm_, key_, BCRYPT_ECCPUBLIC_BLOB, holder.blob,
                    static_cast<ULONG>(sizeof(BCRYPT_ECCKEY_BLOB) + point.size()))) {
        return false;
    }
    point_ = point;
    return true;
}

SignatureCheck EcdsaPublicKey::Verify(const Sha256Digest& digest,
                                      const EcdsaSignature& signature) const noexcept {
    return VerifyWith(key_.get(), digest, signature);
}

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

std::string PublicKeyText(const EcdsaPublicPoint& point) {
    return kKeyTextPrefix + ToHex(point.data(), point.size());
}

bool ParsePublicKeyText(std::string_view text, EcdsaPublicPoint& out) noexcept {
    return text.size() == kKeyTextLength &&
           text.substr(0, kKeyTextPrefixLength) == kKeyTextPrefix &&
           ParseHex(text.substr(kKeyTextPrefixLength), out.data(), out.size());
}

bool ParsePublicKeyText(std::wstring_view text, EcdsaPublicPoint& out) noexcept {
    // The form is ASCII: anything else cannot be a key.
    char narrow[kKeyTextLength];
    if (text.size() != kKeyTextLength) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] > 0x7F) {
            return false;
        }
        narrow[i] = static_cast<char>(text[i]);
    }
    return ParsePublicKeyText(std::string_view(narrow, sizeof(narrow)), out);
}

bool ParsePublicKeyList(std::wstring_view text, std::vector<EcdsaPublicPoint>& out) noexcept {
    out.clear();
    EcdsaPublicPoint keys[kMaxTrustedKeys];
    size_t count = 0;
    while (count < kMaxTrustedKeys) {
        const size_t space = text.find(L' ');
        if (!ParsePublicKeyText(text.substr(0, space), keys[count])) {
            return false;
        }
        ++count;
        if (space == std::wstring_view::npos) {
            try {
                out.assign(keys, keys + count);
            } catch (...) {
                return false;
            }
            return true;
        }
        text.remove_prefix(space + 1);
    }
    return false;  // a third key, or a space at the end
}

}  // namespace qv
