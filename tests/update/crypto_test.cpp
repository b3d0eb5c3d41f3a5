// SHA-256 and ECDSA P-256 through CNG, against published vectors, and the text forms
// of public keys.

#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_support.h"
#include "tools/publish/key_pair.h"
#include "trust/ecdsa.h"
#include "trust/file_hashes.h"
#include "trust/hex.h"

namespace qv {
namespace {

template <size_t N>
std::array<uint8_t, N> FromHex(const std::string& text) {
    std::array<uint8_t, N> bytes{};
    EXPECT_TRUE(ParseHex(text, bytes.data(), bytes.size())) << text;
    return bytes;
}

std::string DigestHex(const Sha256Digest& digest) {
    return ToHex(digest.data(), digest.size());
}

Sha256Digest Digest(const std::string& message) {
    Sha256Digest digest{};
    EXPECT_TRUE(Sha256Bytes(message.data(), message.size(), digest));
    return digest;
}

// A new pair; its stored form through `scalar` and `point`, and, when given, its public
// key imported as an installation imports it.
void NewPair(EcdsaKeyPair& pair, EcdsaPrivateScalar& scalar, EcdsaPublicPoint& point,
             EcdsaPublicKey* key = nullptr) {
    ASSERT_TRUE(pair.Generate());
    ASSERT_TRUE(pair.Export(scalar, point));
    if (key != nullptr) {
        ASSERT_TRUE(key->Import(point));
    }
}

// RFC 6979, A.2.5: the P-256 key and its SHA-256 signatures of "sample" and "test".
const char kRfcPrivate[] = "c9afa9d845ba75166b5c215767b1d6934e50c3db36e89b127b8a622b120f6721";
const char kRfcPublic[] =
    "60fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb6"
    "7903fe1008b8bc99a41ae9e95628bc64f2f1b20c2d7e9f5177a3c294d4462299";
struct RfcVector {
    const char* message;
    const char* signature;  // r || s
};
const RfcVector kRfcVectors[] = {
    {"sample",
     "efd48b2aacb6a8fd1140dd9cd45e81d69d2c877b56aaf991c34d0ea84eaf3716"
     "f7cb1c942d657c41d436c7a1b6e29f65f3e900dbb9aff4064dc4ab2f843acda8"},
    {"test",
     "f1abb023518351cd71d881567b1ea663ed3efcf6c5132b354f28d3b0b7d38367"
     "019f4113742a2b14bd25926b49c649155f267e60d3814b4c0cc84250e46f0083"},
};

TEST(Hex, ReadsOnlyLowercaseDigitsOfTheExactLength) {
    uint8_t bytes[2] = {};
    EXPECT_TRUE(ParseHex("0aff", bytes, 2));
    EXPECT_EQ(bytes[0], 0x0A);
    EXPECT_EQ(bytes[1], 0xFF);
    EXPECT_EQ(ToHex(bytes, 2), "0aff");
    for (const char* bad : {"0AFF", "0af", "0aff0", "0ag0", " 0af", "0a f", ""}) {
        EXPECT_FALSE(ParseHex(bad, bytes, 2)) << bad;
    }
}

TEST(Sha256, MatchesPublishedVectorsWholeAndInPieces) {
    EXPECT_EQ(DigestHex(Digest("")),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(DigestHex(Digest("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(DigestHex(Digest(two_blocks)),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    // The same bytes fed one at a time give the same digest.
    Sha256 hash;
    ASSERT_TRUE(hash.Start());
    for (char c : two_blocks) {
        ASSERT_TRUE(hash.Update(&c, 1));
    }
    Sha256Digest digest{};
    ASSERT_TRUE(hash.Finish(digest));
    EXPECT_EQ(digest, Digest(two_blocks));
    // A finished hash takes nothing more until it is started again.
    EXPECT_FALSE(hash.Update("x", 1));
    EXPECT_FALSE(hash.Finish(digest));
}

TEST(Sha256, HashesFilesAcrossReadChunksAndRefusesOversizedOnes) {
    test::TempDir dir;
    // A million 'a' (the long published vector), plus more than one read chunk.
    const std::string million(1000000, 'a');
    ASSERT_TRUE(test::WriteFileBytes(dir / L"a", million));
    Sha256Digest digest{};
    uint64_t size = 0;
    ASSERT_TRUE(Sha256File((dir / L"a").c_str(), million.size(), digest, size));
    EXPECT_EQ(size, million.size());
    EXPECT_EQ(DigestHex(digest),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    const std::string large = million + million + "tail";
    ASSERT_TRUE(test::WriteFileBytes(dir / L"b", large));
    ASSERT_TRUE(Sha256File((dir / L"b").c_str(), large.size(), digest, size));
    EXPECT_EQ(digest, Digest(large));
    EXPECT_FALSE(Sha256File((dir / L"b").c_str(), large.size() - 1, digest, size));
    ASSERT_TRUE(test::WriteFileBytes(dir / L"empty", ""));
    ASSERT_TRUE(Sha256File((dir / L"empty").c_str(), 0, digest, size));
    EXPECT_EQ(digest, Digest(""));
    EXPECT_EQ(size, 0u);
    EXPECT_FALSE(Sha256File((dir / L"missing").c_str(), 100, digest, size));
}

TEST(Ecdsa, AcceptsTheRfc6979SignaturesAndNothingAltered) {
    EcdsaPublicKey key;
    ASSERT_TRUE(key.Import(FromHex<64>(kRfcPublic)));
    for (const RfcVector& vector : kRfcVectors) {
        const Sha256Digest digest = Digest(vector.message);
        EcdsaSignature signature = FromHex<64>(vector.signature);
        EXPECT_EQ(key.Verify(digest, signature), SignatureCheck::kValid) << vector.message;
        // Another message, a flipped bit in r and in s.
        EXPECT_EQ(key.Verify(Digest(std::string(vector.message) + "."), signature),
                  SignatureCheck::kInvalid);
        for (size_t at : {0u, 63u}) {
            EcdsaSignature altered = signature;
            altered[at] ^= 0x01;
            EXPECT_EQ(key.Verify(digest, altered), SignatureCheck::kInvalid) << at;
        }
    }
    // The signature of "sample" does not stand for "test".
    EXPECT_EQ(key.Verify(Digest("test"), FromHex<64>(kRfcVectors[0].signature)),
              SignatureCheck::kInvalid);
}

TEST(Ecdsa, AnotherKeyDoesNotVerify) {
    EcdsaKeyPair other;
    EcdsaPrivateScalar scalar{};
    EcdsaPublicPoint point{};
    EcdsaPublicKey wrong_key;
    NewPair(other, scalar, point, &wrong_key);
    for (const RfcVector& vector : kRfcVectors) {
        EXPECT_EQ(wrong_key.Verify(Digest(vector.message), FromHex<64>(vector.signature)),
                  SignatureCheck::kInvalid);
    }
}

TEST(Ecdsa, RefusesAPointOffTheCurve) {
    EcdsaPublicPoint point = FromHex<64>(kRfcPublic);
    point[63] ^= 0x01;
    EcdsaPublicKey key;
    // Either CNG refuses the point, or no signature verifies under it.
    if (key.Import(point)) {
        EXPECT_NE(key.Verify(Digest("sample"), FromHex<64>(kRfcVectors[0].signature)),
                  SignatureCheck::kValid);
    }
}

TEST(Ecdsa, SignsWithGeneratedAndImportedPairs) {
    EcdsaKeyPair pair;
    EcdsaPrivateScalar scalar{};
    EcdsaPublicPoint point{};
    EcdsaPublicKey key;
    NewPair(pair, scalar, point, &key);
    const Sha256Digest digest = Digest("release");
    EcdsaSignature signature{};
    ASSERT_TRUE(pair.Sign(digest, signature));
    EXPECT_EQ(key.Verify(digest, signature), SignatureCheck::kValid);
    EXPECT_EQ(key.Verify(Digest("releasf"), signature), SignatureCheck::kInvalid);

    // The stored form signs alike; the RFC's known pair imports too.
    EcdsaKeyPair imported;
    ASSERT_TRUE(imported.Import(scalar, point));
    ASSERT_TRUE(imported.Sign(digest, signature));
    EXPECT_EQ(key.Verify(digest, signature), SignatureCheck::kValid);
    EcdsaKeyPair rfc;
    ASSERT_TRUE(rfc.Import(FromHex<32>(kRfcPrivate), FromHex<64>(kRfcPublic)));

    // A scalar with another pair's point is refused.
    EXPECT_FALSE(imported.Import(FromHex<32>(kRfcPrivate), point));
    EXPECT_FALSE(imported.Sign(digest, signature));
}

TEST(PublicKeyText, RoundTripsAndReadsNothingElse) {
    const EcdsaPublicPoint point = FromHex<64>(kRfcPublic);
    const std::string text = PublicKeyText(point);
    EXPECT_EQ(text, std::string("ecdsa-p256:") + kRfcPublic);
    EcdsaPublicPoint read{};
    ASSERT_TRUE(ParsePublicKeyText(std::string_view(text), read));
    EXPECT_EQ(read, point);
    ASSERT_TRUE(ParsePublicKeyText(std::wstring_view(test::Widen(text)), read));
    EXPECT_EQ(read, point);
    const std::string bad[] = {
        "",
        text.substr(0, text.size() - 1),
        text + "0",
        text + "\n",
        " " + text,
        "ecdsa-p384:" + std::string(kRfcPublic),
        "ECDSA-P256:" + std::string(kRfcPublic),
        "ecdsa-p256:" + std::string(kRfcPublic).replace(10, 1, "G"),
    };
    for (const std::string& candidate : bad) {
        EXPECT_FALSE(ParsePublicKeyText(std::string_view(candidate), read)) << candidate;
    }
    // A non-ASCII character that narrows to a hex digit is no digit.
    std::wstring wide = test::Widen(text);
    wide[20] = static_cast<wchar_t>(0x0100 + L'a');
    EXPECT_FALSE(ParsePublicKeyText(std::wstring_view(wide), read));
}

TEST(PublicKeyList, TakesOneOrTwoKeysSeparatedByOneSpace) {
    EcdsaKeyPair pair;
    EcdsaPrivateScalar scalar{};
    EcdsaPublicPoint second{};
    NewPair(pair, scalar, second);
    const EcdsaPublicPoint first = FromHex<64>(kRfcPublic);
    const std::wstring a = test::Widen(PublicKeyText(first));
    const std::wstring b = test::Widen(PublicKeyText(second));
    std::vector<EcdsaPublicPoint> keys;
    ASSERT_TRUE(ParsePublicKeyList(a, keys));
    EXPECT_EQ(keys, (std::vector<EcdsaPublicPoint>{first}));
    ASSERT_TRUE(ParsePublicKeyList(a + L" " + b, keys));
    EXPECT_EQ(keys, (std::vector<EcdsaPublicPoint>{first, second}));
    for (const std::wstring& bad : {std::wstring(), a + L" ", L" " + a, a + L"  " + b,
                                    a + L" " + b + L" " + a, a + L"," + b, a + L"x"}) {
        EXPECT_FALSE(ParsePublicKeyList(bad, keys)) << test::Narrow(bad);
        EXPECT_TRUE(keys.empty());
    }
}

// One read gives every hash: the CRC-32 the lists carry and the SHA-256 of "abc" from
// the published vectors, with the size; a file over the bound or missing gives none.
TEST(HashFile, GivesCrcSha256AndSizeFromOneReadWithinTheBound) {
    test::TempDir dir;
    ASSERT_TRUE(test::WriteFileBytes(dir / L"abc", "abc"));
    FileHashes hashes;
    ASSERT_TRUE(HashFile((dir / L"abc").c_str(), 3, true, hashes));
    EXPECT_EQ(hashes.size, 3u);
    EXPECT_EQ(hashes.crc32, 0x352441C2u);
    EXPECT_EQ(DigestHex(hashes.sha256),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    ASSERT_TRUE(HashFile((dir / L"abc").c_str(), 3, false, hashes));
    EXPECT_EQ(hashes.crc32, 0x352441C2u);
    EXPECT_EQ(hashes.sha256, Sha256Digest{});  // not asked for
    EXPECT_FALSE(HashFile((dir / L"abc").c_str(), 2, true, hashes));
    EXPECT_FALSE(HashFile((dir / L"missing").c_str(), 3, true, hashes));
    ASSERT_TRUE(test::WriteFileBytes(dir / L"empty", ""));
    ASSERT_TRUE(HashFile((dir / L"empty").c_str(), 0, false, hashes));
    EXPECT_EQ(hashes.size, 0u);
    EXPECT_EQ(hashes.crc32, 0u);
}

}  // namespace
}  // namespace qv
