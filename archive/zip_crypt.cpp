#include "archive/zip_crypt.h"

#include <zlib.h>

namespace qv::zip {
namespace {

uint32_t CrcStep(uint32_t crc, uint8_t byte) {
    static const z_crc_t* const table = get_crc_table();
    return static_cast<uint32_t>(table[(crc ^ byte) & 0xFF]) ^ (crc >> 8);
}

}  // namespace

TraditionalDecrypter::TraditionalDecrypter(const char* password) noexcept
    : keys_{305419896u, 591751049u, 878082192u} {
    for (const char* p = password; *p != '\0'; ++p) {
        Update(static_cast<uint8_t>(*p));
    }
}

void TraditionalDecrypter::Decrypt(uint8_t* data, size_t size) noexcept {
    for (size_t i = 0; i < size; ++i) {
        const uint32_t temp = (keys_[2] & 0xFFFF) | 2;
        data[i] = static_cast<uint8_t>(data[i] ^ (((temp * (temp ^ 1)) >> 8) & 0xFF));
        Update(data[i]);
    }
}

void TraditionalDecrypter::Update(uint8_t plain) noexcept {
    keys_[0] = CrcStep(keys_[0], plain);
    keys_[1] = (keys_[1] + (keys_[0] & 0xFF)) * 134775813u + 1;
    keys_[2] = CrcStep(keys_[2], static_cast<uint8_t>(keys_[1] >> 24));
}

}  // namespace qv::zip
