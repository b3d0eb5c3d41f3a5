#include "archive/zip_data.h"

#include <algorithm>
#include <new>

#include "archive/zip_item.h"

namespace qv::zip {
namespace {

constexpr uint32_t kInputChunk = 16384;
constexpr uint32_t kFlagEncrypted = 0x0001;

}  // namespace

ArchiveResult ItemDataReader::Open(const char* password) noexcept {
    if (!(details_.flag & kFlagEncrypted)) {
        opened_ = unzOpenCurrentFile(archive_) == UNZ_OK;
        return opened_ ? ARCHIVE_OK : ARCHIVE_E_INFLATE;
    }
    opened_ = unzOpenCurrentFile2(archive_, nullptr, nullptr, 1) == UNZ_OK;
    if (!opened_) {
        return ARCHIVE_E_INFLATE;
    }
    decrypter_.emplace(password != nullptr ? password : "");
    unsigned char header[kEncryptionHeaderSize];
    if (!ReadRaw(header, kEncryptionHeaderSize)) {
        return ARCHIVE_E_INFLATE;
    }
    decrypter_->Decrypt(header, kEncryptionHeaderSize);
    if (header[kEncryptionHeaderSize - 1] !=
        PasswordCheckByte(details_.flag, details_.crc, details_.dos_stamp)) {
        return ARCHIVE_E_PASSWORD;
    }
    if (details_.method == Z_DEFLATED) {
        input_.reset(new (std::nothrow) unsigned char[kInputChunk]);
        if (!input_) {
            return ARCHIVE_E_OUT_OF_MEMORY;
        }
        if (inflateInit2(&stream_, -MAX_WBITS) != Z_OK) {
            return ARCHIVE_E_INFLATE;
        }
        inflating_ = true;
    }
    return ARCHIVE_OK;
}

int ItemDataReader::Read(unsigned char* out, uint32_t capacity, bool& end) noexcept {
    end = false;
    if (remaining_ == 0) {
        end = true;
        return 0;
    }
    const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(capacity, remaining_));
    const int got = decrypter_ ? ReadDecrypted(out, want, end) : ReadPlain(out, want, end);
    if (got > 0) {
        crc_ = static_cast<uint32_t>(crc32(crc_, out, static_cast<uInt>(got)));
    }
    return got;
}

int ItemDataReader::ReadPlain(unsigned char* out, uint32_t want, bool& end) noexcept {
    const int got = unzReadCurrentFile(archive_, out, want);
    if (got < 0) {
        return got;
    }
    remaining_ -= static_cast<uint32_t>(got);
    end = got == 0 || remaining_ == 0 || unzeof(archive_) == 1;
    return got;
}

int ItemDataReader::ReadDecrypted(unsigned char* out, uint32_t want, bool& end) noexcept {
    if (!inflating_) {
        const int got = unzReadCurrentFile(archive_, out, want);
        if (got < 0) {
            return got;
        }
        decrypter_->Decrypt(out, static_cast<uint32_t>(got));
        remaining_ -= static_cast<uint32_t>(got);
        end = got == 0 || remaining_ == 0;
        return got;
    }
    stream_.next_out = out;
    stream_.avail_out = want;
    while (stream_.avail_out > 0) {
        if (stream_.avail_in == 0 && !input_done_) {
            const int got = unzReadCurrentFile(archive_, input_.get(), kInputChunk);
            if (got < 0) {
                return got;
            }
            if (got == 0) {
                input_done_ = true;
            } else {
                decrypter_->Decrypt(input_.get(), static_cast<uint32_t>(got));
                stream_.next_in = input_.get();
                stream_.avail_in = static_cast<uInt>(got);
            }
        }
        const int rc = inflate(&stream_, Z_NO_FLUSH);
        if (rc == Z_STREAM_END) {
            stream_end_ = true;
            break;
        }
        if (rc == Z_BUF_ERROR && input_done_) {
            break;  // the compressed data ended before the stream did
        }
        if (rc != Z_OK && rc != Z_BUF_ERROR) {
            return rc < 0 ? rc : Z_DATA_ERROR;
        }
    }
    const uint32_t produced = want - stream_.avail_out;
    remaining_ -= produced;
    end = stream_end_ || remaining_ == 0;
    if (produced == 0 && !end) {
        return Z_BUF_ERROR;
    }
    return static_cast<int>(produced);
}

bool ItemDataReader::ReadRaw(unsigned char* out, uint32_t size) noexcept {
    uint32_t done = 0;
    while (done < size) {
        const int got = unzReadCurrentFile(archive_, out + done, size - done);
        if (got <= 0) {
            return false;
        }
        done += static_cast<uint32_t>(got);
    }
    return true;
}

void ItemDataReader::Close() noexcept {
    if (inflating_) {
        inflateEnd(&stream_);
        inflating_ = false;
    }
    if (opened_) {
        unzCloseCurrentFile(archive_);
        opened_ = false;
    }
}

}  // namespace qv::zip
