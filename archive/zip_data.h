#pragma once
// The uncompressed data of minizip's current item, in chunks with an end flag. minizip
// reads and inflates plain items itself; an encrypted item is read raw through minizip
// (which still checks its local header and bounds it by its compressed size), then
// decrypted here and inflated with zlib.

#include <unzip.h>

#include <cstdint>
#include <memory>
#include <optional>

#include "archive/zip_crypt.h"
#include "archive/zip_reader.h"

namespace qv::zip {

// What the extraction needs of an item beyond its public record.
struct ItemDetails {
    uint32_t flag = 0;
    uint32_t crc = 0;
    uint32_t dos_stamp = 0;
    uint32_t method = 0;
    uint64_t uncompressed_size = 0;
};

class ItemDataReader {
public:
    ItemDataReader(unzFile archive, const ItemDetails& details) noexcept
        : archive_(archive), details_(details), remaining_(details.uncompressed_size) {}
    ~ItemDataReader() { Close(); }
    ItemDataReader(const ItemDataReader&) = delete;
    ItemDataReader& operator=(const ItemDataReader&) = delete;

    // Opens the data of the current item. For an encrypted item (with the keys of
    // `password`, or of an empty one) it also reads and checks the encryption header:
    // ARCHIVE_E_PASSWORD when its last byte is not the item's check byte. Otherwise
    // ARCHIVE_E_INFLATE when the data cannot be opened or read, ARCHIVE_E_OUT_OF_MEMORY.
    [[nodiscard]] ArchiveResult Open(const char* password) noexcept;

    // Up to `capacity` uncompressed bytes into `out`, never more than the declared
    // size still owed; returns the count or a negative error. `end` is set when every
    // declared byte has come, when the compressed bytes are used up (stored items) or
    // when the deflate stream ends.
    [[nodiscard]] int Read(unsigned char* out, uint32_t capacity, bool& end) noexcept;

    // True when the bytes delivered so far have the item's CRC-32: after the end, when
    // the item's data is what the archive says it is.
    [[nodiscard]] bool CrcMatches() const noexcept { return crc_ == details_.crc; }

    // Ends the item in minizip. Its own CRC-32 comparison is not used: it is made only
    // when every declared byte was read, and never for encrypted items.
    void Close() noexcept;

private:
    [[nodiscard]] int ReadPlain(unsigned char* out, uint32_t want, bool& end) noexcept;
    [[nodiscard]] bool ReadRaw(unsigned char* out, uint32_t size) noexcept;
    [[nodiscard]] int ReadDecrypted(unsigned char* out, uint32_t want, bool& end) noexcept;

    unzFile archive_;
    ItemDetails details_;
    uint64_t remaining_;
    uint32_t crc_ = 0;  // of the uncompressed bytes delivered
    bool opened_ = false;
    std::optional<TraditionalDecrypter> decrypter_;
    // Encrypted deflated items only: zlib's inflater and its input.
    std::unique_ptr<unsigned char[]> input_;
    z_stream stream_ = {};
    bool inflating_ = false;
    bool input_done_ = false;
    bool stream_end_ = false;
};

}  // namespace qv::zip
