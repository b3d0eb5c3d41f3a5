#pragma once
// Little-endian fields of file formats, read byte by byte so that neither the host's
// byte order nor the field's alignment matters.

#include <cstdint>

namespace qv {

[[nodiscard]] constexpr uint16_t ReadLittleEndian16(const uint8_t* bytes) noexcept {
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

[[nodiscard]] constexpr uint32_t ReadLittleEndian32(const uint8_t* bytes) noexcept {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

}  // namespace qv
