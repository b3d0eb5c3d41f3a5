// The signed release manifest: what the writer makes reads back, the reader refuses
// everything that is not exactly the form, and only a trusted key opens it.

#include "trust/release_manifest.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_support.h"
#include "tests/update/signed_text_test_util.h"
#include "trust/hex.h"

namespace qv {
namespace {

using test::Filled;
using test::NewPair;
using test::PublicOf;
using test::WithSignature;

ReleaseManifest Sample() {
    ReleaseManifest manifest;
    manifest.sequence = 1718000000;
    manifest.expires = 1767225600;  // 2026-01-01T00:00:00Z
    manifest.version_bytes = "1.0.0.2";
    manifest.file_list_sha256 = Filled(0x11);
    manifest.file_list_size = 321;
    manifest.files.push_back({L"qvreader.exe", Filled(0x22), 4096, Filled(0x22), 4096});
    manifest.files.push_back(
        {L"plugins\\\u6e32\u67d3 a.dll", Filled(0x33), 100, Filled(0x44), 250});
    return manifest;
}

TEST(ReleaseManifest, WriterOutputReadsBackFieldByField) {
    const ReleaseManifest written = Sample();
    const std::string body = FormatManifestBody(written);
    // The format, byte for byte: installations in the field read exactly this.
    EXPECT_EQ(body,
              "qvupdate-release 1\nsequence 1718000000\nexpires 2026-01-01T00:00:00Z\n"
              "version 312e302e302e32\nfilelist " +
                  std::string(64, '1') + " 321\nfile " + std::string(64, '2') + " 4096 " +
                  std::string(64, '2') + " 4096 qvreader.exe\nfile " + std::string(64, '3') +
                  " 100 " + std::string(64, '4') +
                  " 250 plugins\\\xe6\xb8\xb2\xe6\x9f\x93 a.dll\n");
    ReleaseManifest read;
    std::string problem;
    ASSERT_TRUE(ParseReleaseManifest(WithSignature(body), read, &problem)) << problem;
    EXPECT_EQ(read.sequence, written.sequence);
    EXPECT_EQ(read.expires, written.expires);
    EXPECT_EQ(read.version_bytes, written.version_bytes);
    EXPECT_EQ(read.file_list_sha256, written.file_list_sha256);
    EXPECT_EQ(read.file_list_size, written.file_list_size);
    ASSERT_EQ(read.files.size(), 2u);
    const SignedFile* dll = read.Find(L"plugins\\\u6e32\u67d3 a.dll");
    ASSERT_NE(dll, nullptr);
    EXPECT_EQ(dll->served_sha256, Filled(0x33));
    EXPECT_EQ(dll->served_size, 100u);
    EXPECT_EQ(dll->installed_sha256, Filled(0x44));
    EXPECT_EQ(dll->installed_size, 250u);
    // Exact spelling only: Windows would take these for one file, the list does not.
    EXPECT_EQ(read.Find(L"QVREADER.EXE"), nullptr);
    EXPECT_EQ(read.signed_length, body.size());
    EXPECT_EQ(read.signature[0], 0xAA);

    // Without an expiry, and with no files.
    ReleaseManifest bare = Sample();
    bare.expires.reset();
    bare.files.clear();
    ASSERT_TRUE(ParseReleaseManifest(WithSignature(FormatManifestBody(bare)), read, &problem))
        << problem;
    EXPECT_FALSE(read.expires.has_value());
    EXPECT_TRUE(read.files.empty());
}

TEST(ReleaseManifest, RefusesEveryHostileForm) {
    const std::string good = FormatManifestBody(Sample());
    const std::string sig = "signature ecdsa-p256 " + std::string(128, 'a') + "\n";
    const std::string head = "qvupdate-release 1\nsequence 5\nversion 31\n";
    const std::string list = "filelist " + std::string(64, '1') + " 10\n";
    const std::string hash = std::string(64, 'b');
    // A whole file around the lines after the format line: the format line, `text`, the
    // file list and the signature line.
    auto fields = [&](const std::string& text) {
        return "qvupdate-release 1\n" + text + list + sig;
    };
    auto file_line = [&](const std::string& rest) { return "file " + rest + "\n"; };
    const std::string one_file = file_line(hash + " 1 " + hash + " 1 a.txt");
    struct Case {
        const char* what;
        std::string bytes;
    };
    const Case cases[] = {
        {"empty", ""},
        {"no signature line", good},
        {"truncated in the signature", (good + sig).substr(0, good.size() + sig.size() - 2)},
        {"signature without its line end", good + sig.substr(0, sig.size() - 1)},
        {"truncated before the file list", head + sig},
        {"trailing bytes", good + sig + "x"},
        {"a trailing line", good + sig + "file\n"},
        {"a second signature line", good + sig + sig},
        {"a signature line inside", head + sig + list + sig},
        {"oversized", head + list + std::string(kMaxReleaseManifestSize, 'x') + "\n" + sig},
        {"another format", "qvupdate-release 2\nsequence 5\nversion 31\n" + list + sig},
        {"CR line ends", "qvupdate-release 1\r\nsequence 5\r\nversion 31\r\n" + list + sig},
        {"a zero byte",
         head + list + file_line(hash + " 1 " + hash + " 1 a") + std::string(1, '\0') + sig},
        {"a tab", fields("sequence\t5\nversion 31\n")},
        {"a blank line", head + "\n" + list + sig},
        {"fields out of order", fields("version 31\nsequence 5\n")},
        {"no sequence", fields("version 31\n")},
        {"sequence over 64 bits", fields("sequence 18446744073709551616\nversion 31\n")},
        {"sequence with 21 digits", fields("sequence 000000000000000000001\nversion 31\n")},
        {"sequence with a leading zero", fields("sequence 05\nversion 31\n")},
        {"sequence with a sign", fields("sequence +5\nversion 31\n")},
        {"negative sequence", fields("sequence -5\nversion 31\n")},
        {"two spaces", fields("sequence  5\nversion 31\n")},
        {"a trailing space", fields("sequence 5 \nversion 31\n")},
        {"expiry in local time", fields("sequence 5\nexpires 2026-01-01T00:00:00\nversion 31\n")},
        {"expiry on 30 February", fields("sequence 5\nexpires 2028-02-30T00:00:00Z\nversion 31\n")},
        {"expiry twice", fields("sequence 5\nexpires 2026-01-01T00:00:00Z\nexpires "
                                "2026-01-01T00:00:00Z\nversion 31\n")},
        {"odd version hex", fields("sequence 5\nversion 313\n")},
        {"uppercase version hex", fields("sequence 5\nversion 3A\n")},
        {"empty version", fields("sequence 5\nversion \n")},
        {"oversized version",
         fields("sequence 5\nversion " + std::string(2 * kMaxSignedVersionSize + 2, '3') + "\n")},
        {"short list hash", head + "filelist " + std::string(63, '1') + " 10\n" + sig},
        {"list hash with a capital", head + "filelist A" + std::string(63, '1') + " 10\n" + sig},
        {"list size missing", head + "filelist " + std::string(64, '1') + "\n" + sig},
        {"list line with an extra field",
         head + "filelist " + std::string(64, '1') + " 10 2\n" + sig},
        {"file hash not hex",
         head + list + file_line(std::string(64, 'g') + " 1 " + hash + " 1 a") + sig},
        {"file size over 1 GiB",
         head + list + file_line(hash + " 1073741825 " + hash + " 1 a") + sig},
        {"installed size over 64 bits",
         head + list + file_line(hash + " 1 " + hash + " 99999999999999999999 a") + sig},
        {"file line without a name", head + list + file_line(hash + " 1 " + hash + " 1") + sig},
        {"file line with an empty name",
         head + list + file_line(hash + " 1 " + hash + " 1 ") + sig},
        {"a name listed twice", head + list + one_file + one_file + sig},
        {"a name listed twice in another case",
         head + list + one_file + file_line(hash + " 1 " + hash + " 1 A.TXT") + sig},
        {"a name outside the folder",
         head + list + file_line(hash + " 1 " + hash + " 1 ..\\a") + sig},
        {"an absolute name", head + list + file_line(hash + " 1 " + hash + " 1 C:\\a") + sig},
        {"a name in invalid UTF-8",
         head + list + file_line(hash + " 1 " + hash + " 1 a\xC3") + sig},
        {"an unknown line", head + list + one_file + "mirror http://x\n" + sig},
        {"signature of another algorithm",
         good + "signature ecdsa-p384 " + std::string(128, 'a') + "\n"},
        {"short signature", good + "signature ecdsa-p256 " + std::string(126, 'a') + "\n"},
    };
    for (const Case& c : cases) {
        ReleaseManifest read;
        std::string problem;
        EXPECT_FALSE(ParseReleaseManifest(c.bytes, read, &problem)) << c.what;
        EXPECT_FALSE(problem.empty()) << c.what;
        EXPECT_TRUE(read.files.empty()) << c.what;
    }
    // Every truncation of a whole signed file.
    const std::string whole = good + sig;
    for (size_t length = 0; length < whole.size(); ++length) {
        ReleaseManifest read;
        EXPECT_FALSE(ParseReleaseManifest(whole.substr(0, length), read)) << length;
    }
    // The same shapes made right are read: the refusals above are about the fault.
    ReleaseManifest read;
    std::string problem;
    EXPECT_TRUE(ParseReleaseManifest(head + list + one_file + sig, read, &problem)) << problem;
    EXPECT_TRUE(ParseReleaseManifest(
        "qvupdate-release 1\nsequence 18446744073709551615\nexpires 2028-02-29T23:59:59Z\n"
        "version 31\n" +
            list + sig,
        read, &problem))
        << problem;
    EXPECT_EQ(read.sequence, UINT64_MAX);
    EXPECT_TRUE(ParseReleaseManifest(
        head + list + file_line(hash + " 1073741824 " + hash + " 0 a b\\c d.txt") + sig, read,
        &problem))
        << problem;
    EXPECT_NE(read.Find(L"a b\\c d.txt"), nullptr);
}

TEST(ReleaseManifest, OpensOnlyWithATrustedKey) {
    const EcdsaKeyPair signer = NewPair();
    const EcdsaKeyPair stranger = NewPair();
    std::string bytes;
    ASSERT_TRUE(SignReleaseManifest(Sample(), signer, bytes));
    std::vector<EcdsaPublicKey> trusted;
    trusted.push_back(PublicOf(stranger));
    ReleaseManifest read;
    EXPECT_EQ(OpenReleaseManifest(bytes, trusted, read), ManifestCheck::kBadSignature);
    EXPECT_TRUE(read.files.empty());
    // The second of two configured keys is as good as the first.
    trusted.push_back(PublicOf(signer));
    ASSERT_EQ(OpenReleaseManifest(bytes, trusted, read), ManifestCheck::kValid);
    EXPECT_EQ(read.sequence, Sample().sequence);
    EXPECT_NE(read.Find(L"qvreader.exe"), nullptr);

    // Any changed byte of the signed part, and any changed signature, is refused.
    for (size_t at : {size_t{0}, size_t{30}, read.signed_length - 2}) {
        std::string altered = bytes;
        altered[at] = altered[at] == '1' ? '2' : '1';
        ReleaseManifest refused;
        EXPECT_NE(OpenReleaseManifest(altered, trusted, refused), ManifestCheck::kValid) << at;
    }
    std::string altered = bytes;
    altered[bytes.size() - 2] = altered[bytes.size() - 2] == '0' ? '1' : '0';
    EXPECT_EQ(OpenReleaseManifest(altered, trusted, read), ManifestCheck::kBadSignature);
    EXPECT_EQ(OpenReleaseManifest(bytes + "x", trusted, read), ManifestCheck::kMalformed);
    EXPECT_EQ(OpenReleaseManifest(bytes, {}, read), ManifestCheck::kBadSignature);
}

TEST(ReleaseManifest, AKeyCngCannotUseFailsClosed) {
    const EcdsaKeyPair signer = NewPair();
    std::string bytes;
    ASSERT_TRUE(SignReleaseManifest(Sample(), signer, bytes));
    // A key that never imported stands for a CNG without ECDSA: never "valid".
    std::vector<EcdsaPublicKey> unusable(1);
    ReleaseManifest read;
    EXPECT_EQ(OpenReleaseManifest(bytes, unusable, read), ManifestCheck::kUnavailable);
    EXPECT_TRUE(read.files.empty());
}

TEST(ReleaseManifest, SignedWellFormedContentIsStillReadStrictly) {
    // A trusted signature over a body the reader refuses opens as malformed.
    const EcdsaKeyPair signer = NewPair();
    ReleaseManifest manifest = Sample();
    manifest.files.push_back(manifest.files[0]);  // a name twice
    std::string bytes;
    ASSERT_TRUE(SignReleaseManifest(manifest, signer, bytes));
    std::vector<EcdsaPublicKey> trusted;
    trusted.push_back(PublicOf(signer));
    ReleaseManifest read;
    EXPECT_EQ(OpenReleaseManifest(bytes, trusted, read), ManifestCheck::kMalformed);
}

TEST(UtcTime, ReadsAndWritesTheOneForm) {
    struct Case {
        const char* text;
        uint64_t seconds;
    };
    const Case good[] = {
        {"1970-01-01T00:00:00Z", 0},
        {"2000-02-29T12:34:56Z", 951827696},
        {"2038-01-19T03:14:08Z", 2147483648u},
        {"9999-12-31T23:59:59Z", 253402300799ull},
    };
    for (const Case& c : good) {
        uint64_t seconds = 1;
        ASSERT_TRUE(ParseUtcTime(c.text, seconds)) << c.text;
        EXPECT_EQ(seconds, c.seconds) << c.text;
        EXPECT_EQ(FormatUtcTime(c.seconds), c.text);
    }
    for (const char* bad : {"1969-12-31T23:59:59Z", "2023-02-29T00:00:00Z", "2100-02-29T00:00:00Z",
                            "2024-13-01T00:00:00Z", "2024-00-01T00:00:00Z", "2024-04-31T00:00:00Z",
                            "2024-01-01T24:00:00Z", "2024-01-01T00:60:00Z", "2024-01-01T00:00:60Z",
                            "2024-01-01 00:00:00Z", "2024-01-01T00:00:00z", "2024-1-01T00:00:00Z",
                            "2024-01-01T00:00:00+00:00", "+024-01-01T00:00:00Z", ""}) {
        uint64_t seconds = 0;
        EXPECT_FALSE(ParseUtcTime(bad, seconds)) << bad;
    }
    ReleaseManifest manifest;
    manifest.expires = 1000;
    EXPECT_FALSE(manifest.ExpiredAt(999));
    EXPECT_TRUE(manifest.ExpiredAt(1000));
    manifest.expires.reset();
    EXPECT_FALSE(manifest.ExpiredAt(UINT64_MAX));
    // The clock is this machine's, in seconds since 1970, and after this code was written.
    EXPECT_GT(CurrentUtcTime(), 1700000000u);
}

}  // namespace
}  // namespace qv
