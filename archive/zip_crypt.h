#pragma once
// Traditional zip decryption (the "ZipCrypto" of the zip format's application note).
// minizip's unzip module as we build it has its own decryption compiled out (unzip.c
// defines NOUNCRYPT itself), so the reader decrypts the raw item data here.

#include <cstddef>
#include <cstdint>

namespace qv::zip {

class TraditionalDecrypter {
public:
    // Keys of `password` (an empty password has keys too).
    explicit TraditionalDecrypter(const char* password) noexcept;
    // Decrypts `size` bytes in place, continuing the key stream.
    void Decrypt(uint8_t* data, size_t size) noexcept;

private:
    void Update(uint8_t plain) noexcept;

    uint32_t keys_[3];
};

// The size of the encryption header in front of an encrypted item's data.
inline constexpr uint32_t kEncryptionHeaderSize = 12;

}  // namespace qv::zip
