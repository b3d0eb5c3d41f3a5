#pragma once
// Builds zip archives byte by byte for the tests, so that every field can be set,
// including the inconsistent ones real writers never produce.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qv::test {

struct ZipEntry {
    std::string name;  // stored name bytes
    std::string data;  // uncompressed content
    uint16_t method = 8;
    uint16_t flag = 0;
    uint16_t version_made_by = 20;  // host 0 (MS-DOS)
    uint32_t external_attributes = 0;
    uint32_t dos_stamp = 0x52CF6465;  // 2021-06-15 12:35:10 (date high, time low)
    std::string local_extra;
    std::string central_extra;

    // Traditional encryption when set (flag bit 0 is added): the data is encrypted
    // with this password behind a header whose last byte is `check_byte`, or the
    // correct check byte when that is not given.
    std::optional<std::string> password;
    std::optional<uint8_t> check_byte;

    // Stored instead of the compressed (and encrypted) data.
    std::optional<std::string> payload;
    // Overrides of what both headers declare.
    std::optional<uint32_t> crc;
    std::optional<uint32_t> compressed_size;
    std::optional<uint32_t> uncompressed_size;
    // Local header fields that then differ from the central directory.
    std::optional<uint32_t> local_signature;
    std::optional<uint16_t> local_method;
    std::optional<uint32_t> local_crc;
    std::optional<uint16_t> local_name_length;
    std::optional<uint16_t> local_extra_length;
};

struct ZipLayout {
    std::string prefix;  // bytes before the archive (offsets stay relative to the archive)
    std::vector<ZipEntry> entries;
    std::string comment;
    uint16_t disk_number = 0;
    // Moves the declared central directory offset by this much.
    int32_t central_offset_shift = 0;
};

std::string BuildZip(const ZipLayout& layout);

// Raw deflate (no zlib header), as zip items hold it.
std::string Deflate(const std::string& data);
uint32_t Crc32(const std::string& data);
// Deterministic bytes that deflate to about a third of their size.
std::string TextLikeBytes(size_t size, uint32_t seed);
// A "UT" extra block with the given flags and Unix times.
std::string ExtendedTimestampBlock(uint8_t flags, const std::vector<int32_t>& times,
                                   std::optional<uint16_t> declared_size = std::nullopt);
// Little-endian field helpers.
std::string Le16(uint16_t value);
std::string Le32(uint32_t value);

}  // namespace qv::test
