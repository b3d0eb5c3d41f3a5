// The pass's two policies, as the engine asks them: cfg.ini's keys choose one, and
// each answers for its own mode.

#include "update/verification_policy.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <memory>

#include "tests/support/test_support.h"
#include "tools/publish/key_pair.h"

namespace qv {
namespace {

FileEntry EntryOf(const std::wstring& name, const std::string& body) {
    const auto crc = static_cast<uint32_t>(
        crc32(0L, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
    return FileEntry{crc, crc, 0, 0, name};
}

// The signed policy of a fresh key, as cfg.ini's release_keys names it.
std::unique_ptr<VerificationPolicy> SignedPolicyOfNewKey() {
    EcdsaKeyPair pair;
    EXPECT_TRUE(pair.Generate());
    EcdsaPrivateScalar scalar{};
    EcdsaPublicPoint point{};
    EXPECT_TRUE(pair.Export(scalar, point));
    const std::string key = PublicKeyText(point);
    return MakeVerificationPolicy(std::wstring(key.begin(), key.end()));
}

TEST(VerificationPolicy, KeysChooseThePolicyAndEachAnswersForItsMode) {
    EXPECT_EQ(MakeVerificationPolicy(std::wstring(L"ecdsa-p256:00")), nullptr);
    const auto crc_only = MakeVerificationPolicy(std::nullopt);
    const auto signed_mode = SignedPolicyOfNewKey();
    ASSERT_NE(crc_only, nullptr);
    ASSERT_NE(signed_mode, nullptr);

    test::TempDir dir;
    const std::wstring path = dir / L"a.txt";
    ASSERT_TRUE(test::WriteFileBytes(path, "body"));
    const FileEntry right = EntryOf(L"a.txt", "body");
    const FileEntry other = EntryOf(L"a.txt", "other");
    // CRC-32 only: the list's values decide; failures keep their files and codes.
    EXPECT_EQ(crc_only->CheckStaged(right, path), StagedCheck::kRight);
    EXPECT_EQ(crc_only->CheckStaged(other, path), StagedCheck::kDamaged);
    EXPECT_TRUE(crc_only->DownloadRight(right, path));
    EXPECT_FALSE(crc_only->DownloadRight(other, path));
    EXPECT_EQ(crc_only->BodyLimit(right), 0u);
    EXPECT_FALSE(crc_only->ExpectedDownloadSize(right).has_value());  // only answers tell
    EXPECT_EQ(crc_only->Refused(UPDATE_E_FILE_DOWNLOAD), UPDATE_E_FILE_DOWNLOAD);
    EXPECT_TRUE(crc_only->UpdaterMayStart(path));
    crc_only->DiscardFailed(path);
    EXPECT_TRUE(test::FileExists(path));
    // Signed, before any release.dat is accepted: the list's CRC-32 is not enough, an
    // answer that is not the signed file is a refusal, and a failed file goes.
    EXPECT_EQ(signed_mode->CheckStaged(right, path), StagedCheck::kNotSigned);
    EXPECT_EQ(signed_mode->CheckStaged(other, path), StagedCheck::kDamaged);
    EXPECT_FALSE(signed_mode->DownloadRight(right, path));
    EXPECT_EQ(signed_mode->ExpectedDownloadSize(right), std::optional<uint64_t>(0));
    EXPECT_EQ(signed_mode->Refused(UPDATE_E_FILE_DOWNLOAD), UPDATE_E_SIGNATURE);
    EXPECT_FALSE(signed_mode->UpdaterMayStart(path));
    signed_mode->DiscardFailed(path);
    EXPECT_FALSE(test::FileExists(path));
}

TEST(VerificationPolicy, OnlyASignedReleaseOffersPatches) {
    // CRC-32 only never picks a base, whatever is installed: the full file comes, as it
    // did before patches existed. Signed mode offers none before a release is accepted.
    test::TempDir dir;
    ASSERT_TRUE(test::WriteFileBytes(dir / L"a.txt", "installed"));
    const FileEntry entry = EntryOf(L"a.txt", "new");
    PassContext pass;
    pass.app_dir = dir.path();
    const auto crc_only = MakeVerificationPolicy(std::nullopt);
    ASSERT_NE(crc_only, nullptr);
    const EntryTransfer plain = PlanEntryTransfer(entry, pass, *crc_only);
    EXPECT_FALSE(plain.patch.has_value());
    EXPECT_EQ(plain.bytes, 0u);
    EXPECT_FALSE(crc_only->PatchRight(PatchOffer{}, dir / L"a.txt"));
    const auto signed_mode = SignedPolicyOfNewKey();
    ASSERT_NE(signed_mode, nullptr);
    EXPECT_FALSE(PlanEntryTransfer(entry, pass, *signed_mode).patch.has_value());
}

}  // namespace
}  // namespace qv
