#pragma once
// Shared pieces of the tests of the signed texts (release.dat, delta.dat): digests of
// one repeated byte, a dummy signature line, and fresh key pairs with their public keys.

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "tools/publish/key_pair.h"
#include "trust/ecdsa.h"
#include "trust/sha256.h"

namespace qv::test {

// A digest whose 32 bytes are all `value`.
inline Sha256Digest Filled(uint8_t value) {
    Sha256Digest digest;
    digest.fill(value);
    return digest;
}

// A dummy signature line: the readers' form checks do not look at the signature.
inline std::string WithSignature(const std::string& body) {
    return body + "signature ecdsa-p256 " + std::string(128, 'a') + "\n";
}

inline EcdsaKeyPair NewPair() {
    EcdsaKeyPair pair;
    EXPECT_TRUE(pair.Generate());
    return pair;
}

// The public key of `pair`, as an updater trusts it.
inline EcdsaPublicKey PublicOf(const EcdsaKeyPair& pair) {
    EcdsaPrivateScalar scalar{};
    EcdsaPublicPoint point{};
    EcdsaPublicKey key;
    EXPECT_TRUE(pair.Export(scalar, point));
    EXPECT_TRUE(key.Import(point));
    return key;
}

// The public keys of `pairs`, as an updater's trusted list.
inline std::vector<EcdsaPublicKey> KeysOf(std::initializer_list<const EcdsaKeyPair*> pairs) {
    std::vector<EcdsaPublicKey> keys;
    for (const EcdsaKeyPair* pair : pairs) {
        keys.push_back(PublicOf(*pair));
    }
    return keys;
}

}  // namespace qv::test
