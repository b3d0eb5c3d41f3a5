#include "update/sha256.h"

#include <limits>
#include <memory>
#include <new>

#include "win/path.h"

namespace qv {

namespace {

// Read size of the file pass: large enough that CNG's per-call cost vanishes.
constexpr DWORD kFileChunk = 1u << 20;

}  // namespace

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

bool Sha256File(const wchar_t* path, uint64_t max_size, Sha256Digest& out,
                uint64_t& size) noexcept {
    size = 0;
    if (path == nullptr || *path == L'\0' || !FitsMaxPath(path)) {
        return false;
    }
    UniqueFileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER file_size;
    if (!file || !GetFileSizeEx(file.get(), &file_size) ||
        static_cast<uint64_t>(file_size.QuadPart) > max_size) {
        return false;
    }
    const std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kFileChunk]);
    Sha256 hash;
    if (!buffer || !hash.Start()) {
        return false;
    }
    uint64_t total = 0;
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), buffer.get(), kFileChunk, &read, nullptr)) {
            return false;
        }
        if (read == 0) {
            break;
        }
        total += read;
        // A file that grows while it is read is not the file that was measured.
        if (total > max_size || !hash.Update(buffer.get(), read)) {
            return false;
        }
    }
    if (!hash.Finish(out)) {
        return false;
    }
    size = total;
    return true;
}

}  // namespace qv
