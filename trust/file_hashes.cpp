#include "trust/file_hashes.h"

#include <windows.h>

#include <zlib.h>

#include "win/file_system.h"
#include "win/path.h"

namespace qv {

namespace {

// Read size of the file pass: large enough that the per-call costs of ReadFile and
// CNG vanish, small enough for the stack. A fresh heap block per file would cost more
// than the read for the small files an installation is mostly made of: a block this
// size is new pages every time.
constexpr DWORD kFileChunk = 64u << 10;

}  // namespace

bool HashFile(const wchar_t* path, uint64_t max_size, bool with_sha256, FileHashes& out) noexcept {
    out = FileHashes{};
    if (path == nullptr || *path == L'\0' || !FitsMaxPath(path)) {
        return false;
    }
    uint64_t file_size = 0;
    const UniqueFileHandle file =
        OpenFileAtMost(path, max_size, file_size, FILE_FLAG_SEQUENTIAL_SCAN);
    if (!file) {
        return false;
    }
    uint8_t buffer[kFileChunk];
    Sha256 hash;
    if (with_sha256 && !hash.Start()) {
        return false;
    }
    uLong crc = crc32(0L, Z_NULL, 0);
    uint64_t total = 0;
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), buffer, kFileChunk, &read, nullptr)) {
            return false;
        }
        if (read == 0) {
            break;
        }
        total += read;
        // A file that grows while it is read is not the file that was measured.
        if (total > max_size || (with_sha256 && !hash.Update(buffer, read))) {
            return false;
        }
        crc = crc32(crc, buffer, static_cast<uInt>(read));
    }
    if (with_sha256 && !hash.Finish(out.sha256)) {
        return false;
    }
    out.size = total;
    out.crc32 = static_cast<uint32_t>(crc);
    return true;
}

bool Sha256File(const wchar_t* path, uint64_t max_size, Sha256Digest& out,
                uint64_t& size) noexcept {
    FileHashes hashes;
    size = 0;
    if (!HashFile(path, max_size, true, hashes)) {
        return false;
    }
    out = hashes.sha256;
    size = hashes.size;
    return true;
}

}  // namespace qv
