#include "trust/sha256.h"

#include <limits>

namespace qv {

bool Sha256::Start() noexcept {
    hash_.reset();
    if (!algorithm_ &&
        system32::BCryptOpenAlgorithmProvider(algorithm_.put(), BCRYPT_SHA256_ALGORITHM, nullptr,
                                              0) != kStatusSuccess) {
        algorithm_.reset();
        return false;
    }
    // CNG keeps the hash object itself (Windows 7 and later).
    if (system32::BCryptCreateHash(algorithm_.get(), hash_.put(), nullptr, 0, nullptr, 0, 0) !=
        kStatusSuccess) {
        hash_.reset();
        return false;
    }
    return true;
}

bool Sha256::Update(const void* data, size_t length) noexcept {
    if (!hash_) {
        return false;
    }
    auto* bytes = static_cast<UCHAR*>(const_cast<void*>(data));
    while (length > 0) {
        const ULONG part = static_cast<ULONG>(length < std::numeric_limits<ULONG>::max()
                                                  ? length
                                                  : std::numeric_limits<ULONG>::max());
        if (system32::BCryptHashData(hash_.get(), bytes, part, 0) != kStatusSuccess) {
            hash_.reset();
            return false;
        }
        bytes += part;
        length -= part;
    }
    return true;
}

bool Sha256::Finish(Sha256Digest& out) noexcept {
    if (!hash_) {
        return false;
    }
    const bool ok = system32::BCryptFinishHash(hash_.get(), out.data(),
                                               static_cast<ULONG>(out.size()), 0) == kStatusSuccess;
    hash_.reset();
    return ok;
}

bool Sha256Bytes(const void* data, size_t length, Sha256Digest& out) noexcept {
    Sha256 hash;
    return hash.Start() && hash.Update(data, length) && hash.Finish(out);
}

}  // namespace qv
