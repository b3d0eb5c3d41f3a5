// Signed mode's checks: the rollback record, the manifest's acceptance, the file list
// and every file against what release.dat signs.

#include <gtest/gtest.h>

#include "tests/support/test_support.h"
#include "tools/publish/key_pair.h"
#include "trust/release_record.h"
#include "trust/release_verifier.h"
#include "update/file_list.h"

namespace qv {
namespace {

FileHashes Hashes(const wchar_t* path) {
    FileHashes hashes;
    static_cast<void>(HashFile(path, 1ull << 30, true, hashes));
    return hashes;
}

std::vector<std::wstring> Names(const FileList& list) {
    std::vector<std::wstring> names;
    for (const FileEntry& entry : list.entries) {
        names.push_back(entry.name);
    }
    return names;
}

using test::TempDir;
using test::WriteFileBytes;

Sha256Digest HashOf(const std::string& bytes) {
    Sha256Digest digest{};
    EXPECT_TRUE(Sha256Bytes(bytes.data(), bytes.size(), digest));
    return digest;
}

TEST(ReleaseRecord, ReadsWhatIsWrittenAndRefusesAnythingElse) {
    TempDir dir;
    const std::wstring path = dir / L"release.seq";
    std::optional<uint64_t> sequence = 1;
    ASSERT_TRUE(ReadReleaseRecord(path.c_str(), sequence));
    EXPECT_FALSE(sequence.has_value());  // none yet
    ASSERT_TRUE(ReadReleaseRecord((dir / L"no\\such\\dir\\release.seq").c_str(), sequence));
    EXPECT_FALSE(sequence.has_value());
    for (uint64_t value : {uint64_t{0}, uint64_t{1718000000}, UINT64_MAX}) {
        ASSERT_TRUE(WriteReleaseRecord(path.c_str(), value));
        ASSERT_TRUE(ReadReleaseRecord(path.c_str(), sequence));
        EXPECT_EQ(sequence, value);
    }
    EXPECT_EQ(test::ReadFileBytes(path), "18446744073709551615\n");
    for (const char* bad : {"", "\n", "5", "05\n", "5\n\n", "5\r\n", "-1\n", " 5\n",
                            "18446744073709551616\n", "123456789012345678901234567890\n"}) {
        ASSERT_TRUE(WriteFileBytes(path, bad));
        sequence = 7;
        EXPECT_FALSE(ReadReleaseRecord(path.c_str(), sequence)) << bad;
        EXPECT_FALSE(sequence.has_value()) << bad;
    }
    // A record that exists but cannot be read is no "none".
    CreateDirectoryW((dir / L"folder.seq").c_str(), nullptr);
    EXPECT_FALSE(ReadReleaseRecord((dir / L"folder.seq").c_str(), sequence));
}

class VerifierTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(signer_.Generate());
        EcdsaPrivateScalar scalar{};
        ASSERT_TRUE(signer_.Export(scalar, point_));
        ASSERT_TRUE(WriteFileBytes(dir_ / L"filelist.dat", list_bytes_));
        ASSERT_TRUE(list_.ReadFileList((dir_ / L"filelist.dat").c_str()));
        manifest_.sequence = 50;
        manifest_.version_bytes = "1.0.0.2";
        manifest_.file_list_sha256 = HashOf(list_bytes_);
        manifest_.file_list_size = list_bytes_.size();
        manifest_.files.push_back({L"a.txt", HashOf(a_), a_.size(), HashOf(a_), a_.size()});
        manifest_.files.push_back({L"sub\\b.dll", HashOf("zip"), 3, HashOf(b_), b_.size()});
    }

    std::string Signed(const ReleaseManifest& manifest) {
        std::string bytes;
        EXPECT_TRUE(SignReleaseManifest(manifest, signer_, bytes));
        return bytes;
    }
    std::wstring KeyText() const { return test::Widen(PublicKeyText(point_)); }

    bool Accept(ReleaseVerifier& verifier, std::optional<uint64_t> installed = {},
                uint64_t now = 1000) {
        return verifier.SetTrustedKeys(KeyText()) &&
               verifier.AcceptManifest(Signed(manifest_), "1.0.0.2", installed, now);
    }

    TempDir dir_;
    EcdsaKeyPair signer_;
    EcdsaPublicPoint point_{};
    const std::string a_ = "plain file a";
    const std::string b_ = "installed bytes of b";
    const std::string list_bytes_ = "1,1,0,0,a.txt\n2,3,0,1,sub\\b.dll\n";
    FileList list_;
    ReleaseManifest manifest_;
};

TEST_F(VerifierTest, AcceptsOnlyATrustedFreshNewerManifestForTheFetchedVersion) {
    ReleaseVerifier verifier;
    EXPECT_FALSE(verifier.HasManifest());
    ASSERT_TRUE(Accept(verifier));
    EXPECT_TRUE(verifier.HasManifest());
    EXPECT_TRUE(Accept(verifier, uint64_t{49}));
    EXPECT_FALSE(Accept(verifier, uint64_t{50}));  // the release installed now again
    EXPECT_FALSE(verifier.HasManifest());
    EXPECT_FALSE(Accept(verifier, uint64_t{51}));  // an older one

    ASSERT_TRUE(verifier.SetTrustedKeys(KeyText()));
    EXPECT_FALSE(verifier.AcceptManifest(Signed(manifest_), "1.0.0.3", {}, 1000));
    EXPECT_FALSE(verifier.AcceptManifest(Signed(manifest_), "1.0.0.2\n", {}, 1000));
    manifest_.expires = 1000;
    EXPECT_FALSE(verifier.AcceptManifest(Signed(manifest_), "1.0.0.2", {}, 1000));
    EXPECT_TRUE(verifier.AcceptManifest(Signed(manifest_), "1.0.0.2", {}, 999));

    // Another signer, or no usable key at all.
    EcdsaKeyPair stranger;
    ASSERT_TRUE(stranger.Generate());
    std::string bytes;
    ASSERT_TRUE(SignReleaseManifest(manifest_, stranger, bytes));
    EXPECT_FALSE(verifier.AcceptManifest(bytes, "1.0.0.2", {}, 999));
    EXPECT_FALSE(verifier.SetTrustedKeys(KeyText() + L"x"));
    EXPECT_FALSE(verifier.AcceptManifest(Signed(manifest_), "1.0.0.2", {}, 999));
    EXPECT_FALSE(verifier.SetTrustedKeys(L""));
}

TEST_F(VerifierTest, FileListMustBeTheSignedOneWithTheSameNames) {
    ReleaseVerifier verifier;
    ASSERT_TRUE(Accept(verifier));
    const std::wstring path = dir_ / L"filelist.dat";
    EXPECT_TRUE(verifier.FileListMatches(Hashes(path.c_str()), Names(list_)));

    struct Case {
        const char* what;
        std::vector<std::wstring> names;
    };
    const Case cases[] = {
        {"a line added", {L"a.txt", L"sub\\b.dll", L"evil.dll"}},
        {"a line dropped", {L"a.txt"}},
        {"a name twice", {L"a.txt", L"a.txt"}},
        {"another spelling", {L"A.TXT", L"sub\\b.dll"}},
    };
    for (const Case& c : cases) {
        FileList other;
        for (const std::wstring& name : c.names) {
            other.entries.push_back({1, 1, 0, 0, name});
        }
        EXPECT_FALSE(verifier.FileListMatches(Hashes(path.c_str()), Names(other))) << c.what;
    }
    // Other bytes on disk, though they read as the same list.
    ASSERT_TRUE(WriteFileBytes(path, "1,1,0,0,a.txt\r\n2,3,0,1,sub\\b.dll\n"));
    EXPECT_FALSE(verifier.FileListMatches(Hashes(path.c_str()), Names(list_)));
    ReleaseVerifier unaccepted;
    EXPECT_FALSE(unaccepted.FileListMatches(Hashes(path.c_str()), Names(list_)));
}

TEST_F(VerifierTest, FilesMatchTheirServedAndInstalledHashesAndSizes) {
    ReleaseVerifier verifier;
    ASSERT_TRUE(Accept(verifier));
    const FileEntry& a = list_.entries[0];
    const FileEntry& b = list_.entries[1];
    const std::wstring path = dir_ / L"file";
    ASSERT_TRUE(WriteFileBytes(path, a_));
    EXPECT_TRUE(verifier.DownloadMatches(a.name, Hashes(path.c_str())));
    EXPECT_TRUE(verifier.StagedMatches(a.name, Hashes(path.c_str())));
    EXPECT_FALSE(verifier.DownloadMatches(b.name, Hashes(path.c_str())));
    ASSERT_TRUE(WriteFileBytes(path, "zip"));
    EXPECT_TRUE(verifier.DownloadMatches(b.name, Hashes(path.c_str())));
    EXPECT_FALSE(
        verifier.StagedMatches(b.name, Hashes(path.c_str())));  // the archive is not the file
    ASSERT_TRUE(WriteFileBytes(path, b_));
    EXPECT_TRUE(verifier.StagedMatches(b.name, Hashes(path.c_str())));
    EXPECT_EQ(verifier.ServedSize(a.name), a_.size());
    EXPECT_EQ(verifier.ServedSize(b.name), 3u);

    std::string changed = a_;
    changed[0] ^= 1;
    for (const std::string& wrong : {changed, a_ + "x", a_.substr(1), std::string()}) {
        ASSERT_TRUE(WriteFileBytes(path, wrong));
        EXPECT_FALSE(verifier.DownloadMatches(a.name, Hashes(path.c_str()))) << wrong;
        EXPECT_FALSE(verifier.StagedMatches(a.name, Hashes(path.c_str()))) << wrong;
    }
    EXPECT_FALSE(verifier.DownloadMatches(a.name, Hashes((dir_ / L"missing").c_str())));
    const FileEntry unlisted{1, 1, 0, 0, L"c.txt"};
    EXPECT_FALSE(verifier.StagedMatches(unlisted.name, Hashes(path.c_str())));
    EXPECT_EQ(verifier.ServedSize(unlisted.name), 0u);
}

}  // namespace
}  // namespace qv
