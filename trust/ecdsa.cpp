#include "trust/ecdsa.h"

#include <cstring>

#include "trust/ecdsa_blob.h"
#include "trust/hex.h"

namespace qv {

namespace {

using namespace ecdsa_blob;

constexpr char kKeyTextPrefix[] = "ecdsa-p256:";
constexpr size_t kKeyTextPrefixLength = sizeof(kKeyTextPrefix) - 1;
constexpr size_t kKeyTextLength = kKeyTextPrefixLength + 2 * sizeof(EcdsaPublicPoint);
constexpr size_t kMaxTrustedKeys = 2;
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
