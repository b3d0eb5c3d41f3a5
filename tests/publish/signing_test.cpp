// Signed releases from the vendor's side: keygen and its key files, publish --sign
// and check --key.

#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "tests/publish/helpers.h"
#include "tests/support/test_support.h"
#include "tools/publish/checker.h"
#include "tools/publish/key_pair.h"
#include "tools/publish/publisher.h"
#include "tools/publish/signing.h"
#include "tools/publish/zip_archive.h"
#include "trust/hex.h"
#include "trust/release_manifest.h"
#include "update/file_list.h"

namespace qv::publish {
namespace {

int MakeKeys(const std::wstring& private_file, const std::wstring& public_file, MemoryLog& log) {
    return GenerateKeys({private_file, public_file}, log);
}

TEST(Keygen, WritesAPairThatSignsAndVerifiesAndNeverOverwrites) {
    TempDir dir;
    MemoryLog log;
    ASSERT_EQ(MakeKeys(dir / L"keys\\a.key", dir / L"keys\\a.pub", log), kExitOk)
        << Narrow(log.text);
    const std::string public_text = ReadFileBytes(dir / L"keys\\a.pub");
    ASSERT_EQ(public_text.size(), 11u + 128u + 1u);
    EXPECT_EQ(public_text.substr(0, 11), "ecdsa-p256:");
    EXPECT_EQ(public_text.back(), '\n');
    // The log shows the vendor the line for cfg.ini.
    EXPECT_TRUE(Contains(log.text, L"release_keys=" + qv::test::Widen(public_text.substr(
                                                          0, public_text.size() - 1))))
        << Narrow(log.text);

    EcdsaKeyPair pair;
    EcdsaPublicKey key;
    std::wstring error;
    ASSERT_TRUE(LoadPrivateKey(dir / L"keys\\a.key", pair, error)) << Narrow(error);
    ASSERT_TRUE(LoadPublicKey(dir / L"keys\\a.pub", key, error)) << Narrow(error);
    Sha256Digest digest{};
    EcdsaSignature signature{};
    ASSERT_TRUE(pair.Sign(digest, signature));
    EXPECT_EQ(key.Verify(digest, signature), SignatureCheck::kValid);

    // Either file present: nothing written, nothing changed.
    const std::string private_bytes = ReadFileBytes(dir / L"keys\\a.key");
    EXPECT_EQ(MakeKeys(dir / L"keys\\a.key", dir / L"keys\\b.pub", log), kExitUsage);
    EXPECT_FALSE(FileExists(dir / L"keys\\b.pub"));
    EXPECT_EQ(MakeKeys(dir / L"keys\\b.key", dir / L"keys\\a.pub", log), kExitUsage);
    EXPECT_FALSE(FileExists(dir / L"keys\\b.key"));
    EXPECT_EQ(ReadFileBytes(dir / L"keys\\a.key"), private_bytes);
    EXPECT_EQ(ReadFileBytes(dir / L"keys\\a.pub"), public_text);
    // A second pair is another key.
    ASSERT_EQ(MakeKeys(dir / L"c.key", dir / L"c.pub", log), kExitOk);
    EXPECT_NE(ReadFileBytes(dir / L"c.pub"), public_text);
}

TEST(Keygen, KeyFilesAreReadStrictly) {
    TempDir dir;
    MemoryLog log;
    ASSERT_EQ(MakeKeys(dir / L"a.key", dir / L"a.pub", log), kExitOk);
    ASSERT_EQ(MakeKeys(dir / L"b.key", dir / L"b.pub", log), kExitOk);
    const std::string a_key = ReadFileBytes(dir / L"a.key");
    const std::string a_pub = ReadFileBytes(dir / L"a.pub");
    const std::string b_key = ReadFileBytes(dir / L"b.key");
    const std::string a_line = a_key.substr(0, a_key.size() - 1);
    const std::string a_pub_line = a_pub.substr(0, a_pub.size() - 1);
    EcdsaKeyPair pair;
    EcdsaPublicKey key;
    std::wstring error;
    // As an editor on Windows saves them, and without a line end.
    for (const std::string& good : {a_line + "\r\n", a_line}) {
        ASSERT_TRUE(WriteFileBytes(dir / L"x.key", good));
        EXPECT_TRUE(LoadPrivateKey(dir / L"x.key", pair, error)) << Narrow(error);
    }
    for (const std::string& good : {a_pub_line + "\r\n", a_pub_line}) {
        ASSERT_TRUE(WriteFileBytes(dir / L"x.pub", good));
        EXPECT_TRUE(LoadPublicKey(dir / L"x.pub", key, error)) << Narrow(error);
    }
    // The scalar of one pair with the point of another.
    const std::string mixed = b_key.substr(0, 34 + 64) + a_key.substr(34 + 64);
    const std::string bad_keys[] = {
        "",
        a_line + "\n\n",
        a_line + " ",
        a_line.substr(0, a_line.size() - 2),
        "qvupdate-private-key-2" + a_line.substr(22),
        a_pub,  // a public key given as the private one
        mixed,
    };
    for (const std::string& bad : bad_keys) {
        ASSERT_TRUE(WriteFileBytes(dir / L"x.key", bad));
        error.clear();
        EXPECT_FALSE(LoadPrivateKey(dir / L"x.key", pair, error)) << bad;
        EXPECT_NE(error, L"");
    }
    for (const std::string& bad : {std::string(), a_line, a_pub + a_pub, " " + a_pub}) {
        ASSERT_TRUE(WriteFileBytes(dir / L"x.pub", bad));
        EXPECT_FALSE(LoadPublicKey(dir / L"x.pub", key, error)) << bad;
    }
    EXPECT_FALSE(LoadPrivateKey(dir / L"missing.key", pair, error));
}

// A release published signed, to check and to plant faults in.
class SignedRelease : public test::SmallReleaseTest {
protected:
    void SetUp() override {
        MemoryLog key_log;
        ASSERT_EQ(MakeKeys(private_file, public_file, key_log), kExitOk);
        ASSERT_NO_FATAL_FAILURE(MakeSmallRelease());
        PutFile(release, L"ver.dat", QV_SAMPLE_READER_NEXT_VERSION);
    }

    int RunPublish(std::optional<uint64_t> sequence = {}, std::optional<uint64_t> expires = {}) {
        PublishOptions options = SmallReleaseOptions();
        options.signing.private_file = private_file;
        options.signing.sequence = sequence;
        options.signing.expires = expires;
        MemoryLog log;  // a fresh count of errors for each run
        const int code = Publish(options, log);
        output = log.text;
        return code;
    }

    int RunCheck(const std::wstring& key_file) {
        CheckOptions options;
        options.server_dir = server;
        options.key_file = key_file;
        MemoryLog log;
        const int code = Check(options, log);
        output = log.text;
        return code;
    }

    // release.dat as the updater opens it, with the public key.
    ManifestCheck Open(ReleaseManifest& manifest) {
        EcdsaPublicKey key;
        std::wstring error;
        EXPECT_TRUE(LoadPublicKey(public_file, key, error));
        std::vector<EcdsaPublicKey> keys;
        keys.push_back(std::move(key));
        return OpenReleaseManifest(ReadFileBytes(server + L"\\release.dat"), keys, manifest);
    }

    const std::wstring private_file = dir / L"release.key";
    const std::wstring public_file = dir / L"release.pub";
    std::wstring output;  // of the last run
};

Sha256Digest HashOf(const std::string& bytes) {
    Sha256Digest digest{};
    EXPECT_TRUE(Sha256Bytes(bytes.data(), bytes.size(), digest));
    return digest;
}

TEST_F(SignedRelease, ManifestBindsWhatIsServedAndWhatIsInstalled) {
    const uint64_t before = CurrentUtcTime();
    ASSERT_EQ(RunPublish(), kExitOk) << Narrow(output);
    ReleaseManifest manifest;
    ASSERT_EQ(Open(manifest), ManifestCheck::kValid);
    // Default sequence: the time of publishing, so that later releases count higher.
    EXPECT_GE(manifest.sequence, before);
    EXPECT_LE(manifest.sequence, CurrentUtcTime());
    EXPECT_FALSE(manifest.expires.has_value());
    EXPECT_EQ(manifest.version_bytes, ReadFileBytes(server + L"\\ver.dat"));
    const std::string list_bytes = ReadFileBytes(server + L"\\filelist.dat");
    EXPECT_EQ(manifest.file_list_sha256, HashOf(list_bytes));
    EXPECT_EQ(manifest.file_list_size, list_bytes.size());

    FileList list;
    ASSERT_TRUE(list.ReadFileList((server + L"\\filelist.dat").c_str()));
    ASSERT_EQ(manifest.files.size(), list.entries.size());
    for (const FileEntry& entry : list.entries) {
        const SignedFile* file = manifest.Find(entry.name);
        ASSERT_NE(file, nullptr) << Narrow(entry.name);
        const std::string served = ReadFileBytes(server + L"\\" + entry.name);
        const std::string installed = ReadFileBytes(dir / L"release" + L"\\" + entry.name);
        EXPECT_EQ(file->served_sha256, HashOf(served)) << Narrow(entry.name);
        EXPECT_EQ(file->served_size, served.size());
        EXPECT_EQ(file->installed_sha256, HashOf(installed)) << Narrow(entry.name);
        EXPECT_EQ(file->installed_size, installed.size());
        EXPECT_EQ(entry.zipped != 0, served != installed) << Narrow(entry.name);
    }
    EXPECT_EQ(RunCheck(public_file), kExitOk) << Narrow(output);
    EXPECT_TRUE(Contains(output, L"release.dat: signed with the key")) << Narrow(output);
}

TEST_F(SignedRelease, SequenceAndExpiryAsGiven) {
    ASSERT_EQ(RunPublish(uint64_t{42}, uint64_t{4102444800}), kExitOk) << Narrow(output);
    EXPECT_TRUE(Contains(output, L"sequence 42, expires 2100-01-01T00:00:00Z")) << Narrow(output);
    ReleaseManifest manifest;
    ASSERT_EQ(Open(manifest), ManifestCheck::kValid);
    EXPECT_EQ(manifest.sequence, 42u);
    EXPECT_EQ(manifest.expires, 4102444800u);
}

TEST_F(SignedRelease, AnUnreadableKeyWritesNothing) {
    ASSERT_TRUE(WriteFileBytes(private_file, "not a key"));
    EXPECT_EQ(RunPublish(), kExitUsage);
    EXPECT_TRUE(Contains(output, L"no private key file")) << Narrow(output);
    EXPECT_FALSE(FileExists(server + L"\\filelist.dat"));
}

TEST_F(SignedRelease, CheckFindsEveryFaultInASignedFolder) {
    ASSERT_EQ(RunPublish(), kExitOk) << Narrow(output);
    const std::string list_bytes = ReadFileBytes(server + L"\\filelist.dat");
    const std::string manifest_bytes = ReadFileBytes(server + L"\\release.dat");
    const std::string plain = ReadFileBytes(server + L"\\plain.txt");
    MemoryLog other_log;
    ASSERT_EQ(MakeKeys(dir / L"other.key", dir / L"other.pub", other_log), kExitOk);

    struct Fault {
        const char* what;
        std::function<void()> plant;
        const wchar_t* key_file;
        const wchar_t* expected;
    };
    const std::wstring key = public_file;
    const std::wstring other = dir / L"other.pub";
    const Fault faults[] = {
        {"a served file changed and its CRCs recomputed",
         [&] {
             ASSERT_TRUE(WriteFileBytes(server + L"\\plain.txt", "plain texT"));
             FileList list;
             ASSERT_TRUE(list.ReadFileList((server + L"\\filelist.dat").c_str()));
             for (FileEntry& entry : list.entries) {
                 if (entry.name == L"plain.txt") {
                     entry.crc_installed = entry.crc_download =
                         FileCrc32((server + L"\\plain.txt").c_str());
                 }
             }
             ASSERT_TRUE(list.WriteFileList((server + L"\\filelist.dat").c_str()));
         },
         key.c_str(), L"filelist.dat is not the file list release.dat signs"},
        {"a served file changed", [&] { WriteFileBytes(server + L"\\plain.txt", "plain texT"); },
         key.c_str(), L"\"plain.txt\": the served file's SHA-256 is"},
        {"a line added to the list",
         [&] { WriteFileBytes(server + L"\\filelist.dat", list_bytes + "1,1,0,0,extra.txt\n"); },
         key.c_str(), L"\"extra.txt\" is listed in filelist.dat but not in release.dat"},
        {"ver.dat changed", [&] { WriteFileBytes(server + L"\\ver.dat", "9.9.9.9"); }, key.c_str(),
         L"release.dat signs other bytes than the served ver.dat"},
        {"release.dat missing", [&] { DeleteFileW((server + L"\\release.dat").c_str()); },
         key.c_str(), L"release.dat is missing"},
        {"another key", [] {}, other.c_str(), L"release.dat is not signed with the key"},
        {"a byte of release.dat changed",
         [&] {
             std::string bytes = manifest_bytes;
             char& digit = bytes[bytes.find("filelist ") + 9];
             digit = digit == 'a' ? 'b' : 'a';
             WriteFileBytes(server + L"\\release.dat", bytes);
         },
         key.c_str(), L"release.dat is not signed with the key"},
        {"release.dat truncated",
         [&] {
             WriteFileBytes(server + L"\\release.dat",
                            manifest_bytes.substr(0, manifest_bytes.size() - 1));
         },
         key.c_str(), L"release.dat: the last line is not a signature line"},
    };
    for (const Fault& fault : faults) {
        fault.plant();
        EXPECT_EQ(RunCheck(fault.key_file), kExitProblems) << fault.what;
        EXPECT_TRUE(Contains(output, fault.expected)) << fault.what << "\n" << Narrow(output);
        // Put the folder back for the next fault.
        WriteFileBytes(server + L"\\filelist.dat", list_bytes);
        WriteFileBytes(server + L"\\release.dat", manifest_bytes);
        WriteFileBytes(server + L"\\plain.txt", plain);
        WriteFileBytes(server + L"\\ver.dat", QV_SAMPLE_READER_NEXT_VERSION);
        ASSERT_EQ(RunCheck(key), kExitOk) << fault.what << "\n" << Narrow(output);
    }
    // Without --key the hashes are still checked, the signature is not.
    WriteFileBytes(server + L"\\plain.txt", "plain texT");
    EXPECT_EQ(RunCheck(L""), kExitProblems);
    EXPECT_TRUE(Contains(output, L"signature not checked")) << Narrow(output);
    EXPECT_TRUE(Contains(output, L"\"plain.txt\": the served file's SHA-256 is"));
}

// Faults only a holder of the private key could plant: check reads what it signs.
TEST_F(SignedRelease, CheckComparesExtractedFilesAndTheExpiry) {
    ASSERT_EQ(RunPublish(), kExitOk) << Narrow(output);
    ReleaseManifest manifest;
    ASSERT_TRUE(ParseReleaseManifest(ReadFileBytes(server + L"\\release.dat"), manifest));
    EcdsaKeyPair pair;
    std::wstring error;
    ASSERT_TRUE(LoadPrivateKey(private_file, pair, error));
    auto resign = [&](const ReleaseManifest& changed) {
        std::string bytes;
        ASSERT_TRUE(SignReleaseManifest(changed, pair, bytes));
        ASSERT_TRUE(WriteFileBytes(server + L"\\release.dat", bytes));
    };

    ReleaseManifest other_item = manifest;
    for (SignedFile& file : other_item.files) {
        if (file.name == L"sub\\zipped.dat") {
            file.installed_sha256[0] ^= 1;
        }
    }
    resign(other_item);
    EXPECT_EQ(RunCheck(public_file), kExitProblems);
    EXPECT_TRUE(Contains(output, L"\"sub\\zipped.dat\" (zipped): the extracted file's SHA-256 is"))
        << Narrow(output);

    ReleaseManifest expired = manifest;
    expired.expires = CurrentUtcTime() - 1;
    resign(expired);
    EXPECT_EQ(RunCheck(public_file), kExitProblems);
    EXPECT_TRUE(Contains(output, L"release.dat has expired")) << Narrow(output);

    resign(manifest);
    EXPECT_EQ(RunCheck(public_file), kExitOk) << Narrow(output);
}

TEST_F(SignedRelease, RefusesAnExpiryThatHasPassed) {
    EXPECT_EQ(RunPublish(uint64_t{1}, CurrentUtcTime() - 1), kExitUsage);
    EXPECT_TRUE(Contains(output, L"--expires")) << Narrow(output);
    EXPECT_FALSE(FileExists(server + L"\\filelist.dat"));
}

}  // namespace
}  // namespace qv::publish
