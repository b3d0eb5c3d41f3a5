#include "tests/archive/zip_builder.h"

#include <zlib.h>

#include <stdexcept>

namespace qv::test {
namespace {

// Traditional zip encryption, written here from the zip format's application note
// independently of the reader, which only checks the header.
class Encrypter {
public:
    explicit Encrypter(const std::string& password) {
        for (char c : password) {
            Update(static_cast<uint8_t>(c));
        }
    }
    std::string Encrypt(const std::string& plain) {
        std::string out;
        out.reserve(plain.size());
        for (char c : plain) {
            const uint32_t temp = (keys_[2] & 0xFFFF) | 2;
            const uint8_t stream = static_cast<uint8_t>((temp * (temp ^ 1)) >> 8);
            out.push_back(static_cast<char>(static_cast<uint8_t>(c) ^ stream));
            Update(static_cast<uint8_t>(c));
        }
        return out;
    }

private:
    static uint32_t Crc(uint32_t crc, uint8_t byte) {
        const z_crc_t* table = get_crc_table();
        return static_cast<uint32_t>(table[(crc ^ byte) & 0xFF]) ^ (crc >> 8);
    }
    void Update(uint8_t c) {
        keys_[0] = Crc(keys_[0], c);
        keys_[1] = (keys_[1] + (keys_[0] & 0xFF)) * 134775813u + 1;
        keys_[2] = Crc(keys_[2], static_cast<uint8_t>(keys_[1] >> 24));
    }
    uint32_t keys_[3] = {0x12345678u, 0x23456789u, 0x34567890u};
};

}  // namespace

std::string Le16(uint16_t value) {
    return {static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
}

std::string Le32(uint32_t value) {
    return Le16(static_cast<uint16_t>(value & 0xFFFF)) + Le16(static_cast<uint16_t>(value >> 16));
}

uint32_t Crc32(const std::string& data) {
    return static_cast<uint32_t>(
        crc32(0L, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

std::string Deflate(const std::string& data) {
    z_stream stream = {};
    if (deflateInit2(&stream, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("deflateInit2");
    }
    std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (rc != Z_STREAM_END) {
        throw std::runtime_error("deflate");
    }
    return out;
}

std::string TextLikeBytes(size_t size, uint32_t seed) {
    static const char* const kWords[] = {"the ",  "reader ", "page ",   "chapter ", "book ",
                                         "of ",   "and ",    "update ", "light ",   "night ",
                                         "line ", "\n",      "word ",   "story ",   "turns "};
    std::string out;
    out.reserve(size + 16);
    uint32_t state = seed;
    while (out.size() < size) {
        state = state * 1103515245u + 12345u;
        out += kWords[(state >> 16) % 15];
        if ((state >> 8) % 7 == 0) {
            out += std::to_string(state % 1000);
        }
    }
    out.resize(size);
    return out;
}

std::string ExtendedTimestampBlock(uint8_t flags, const std::vector<int32_t>& times,
                                   std::optional<uint16_t> declared_size) {
    std::string data(1, static_cast<char>(flags));
    for (int32_t t : times) {
        data += Le32(static_cast<uint32_t>(t));
    }
    return Le16(0x5455) + Le16(declared_size.value_or(static_cast<uint16_t>(data.size()))) + data;
}

std::string BuildZip(const ZipLayout& layout) {
    std::string archive;
    std::string central;
    for (const ZipEntry& e : layout.entries) {
        const uint32_t crc = e.crc.value_or(Crc32(e.data));
        uint16_t flag = e.flag;
        std::string stored = e.method == 8 ? Deflate(e.data) : e.data;
        if (e.password) {
            flag |= 1;
            const uint8_t check = e.check_byte.value_or(
                static_cast<uint8_t>((flag & 8) ? (e.dos_stamp >> 8) & 0xFF : crc >> 24));
            std::string header = "\x11\x22\x33\x44\x55\x66\x77\x88\x99\xAA\xBB";
            header.push_back(static_cast<char>(check));
            stored = Encrypter(*e.password).Encrypt(header + stored);
        }
        if (e.payload) {
            stored = *e.payload;
        }
        const uint32_t compressed =
            e.compressed_size.value_or(static_cast<uint32_t>(stored.size()));
        const uint32_t uncompressed =
            e.uncompressed_size.value_or(static_cast<uint32_t>(e.data.size()));
        const uint32_t offset = static_cast<uint32_t>(archive.size());

        archive += Le32(e.local_signature.value_or(0x04034b50));
        archive += Le16(20) + Le16(flag) + Le16(e.local_method.value_or(e.method));
        archive += Le32(e.dos_stamp) + Le32(e.local_crc.value_or(crc));
        archive += Le32(compressed) + Le32(uncompressed);
        archive += Le16(e.local_name_length.value_or(static_cast<uint16_t>(e.name.size())));
        archive += Le16(e.local_extra_length.value_or(static_cast<uint16_t>(e.local_extra.size())));
        archive += e.name + e.local_extra + stored;

        central += Le32(0x02014b50) + Le16(e.version_made_by) + Le16(20) + Le16(flag);
        central += Le16(e.method) + Le32(e.dos_stamp) + Le32(crc);
        central += Le32(compressed) + Le32(uncompressed);
        central += Le16(static_cast<uint16_t>(e.name.size()));
        central += Le16(static_cast<uint16_t>(e.central_extra.size()));
        central += Le16(0) + Le16(0) + Le16(0) + Le32(e.external_attributes) + Le32(offset);
        central += e.name + e.central_extra;
    }
    const uint32_t central_offset = static_cast<uint32_t>(archive.size());
    archive += central;
    const uint16_t count = static_cast<uint16_t>(layout.entries.size());
    archive += Le32(0x06054b50) + Le16(layout.disk_number) + Le16(layout.disk_number);
    archive += Le16(count) + Le16(count) + Le32(static_cast<uint32_t>(central.size()));
    archive += Le32(static_cast<uint32_t>(central_offset + layout.central_offset_shift));
    archive += Le16(static_cast<uint16_t>(layout.comment.size())) + layout.comment;
    return layout.prefix + archive;
}

}  // namespace qv::test
