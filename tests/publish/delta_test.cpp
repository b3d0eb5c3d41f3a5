// Delta patches from the vendor's side: publish --delta-from and check.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "delta/patch_applier.h"
#include "tests/publish/helpers.h"
#include "tests/support/test_support.h"
#include "tools/publish/checker.h"
#include "tools/publish/publisher.h"
#include "tools/publish/rules.h"
#include "tools/publish/signing.h"
#include "update/delta_manifest.h"
#include "update/file_list.h"

namespace qv::publish {
namespace {

// Every `step`-th byte changed: a new build of the same file.
std::string Edited(std::string bytes, size_t step) {
    for (size_t i = step / 2; i < bytes.size(); i += step) {
        bytes[i] = static_cast<char>(bytes[i] ^ 0x5A);
    }
    return bytes;
}

// An old release and a new one with edited, unchanged, replaced and new files.
class DeltaRelease : public ::testing::Test {
protected:
    void SetUp() override {
        MemoryLog key_log;
        ASSERT_EQ(GenerateKeys({private_file, public_file}, key_log), kExitOk);
        const std::string program = test::NoiseBytes(200000, 1);
        const std::string book = test::TextBytes(300000);
        const std::string twin = test::NoiseBytes(50000, 2);
        for (const auto& [name, bytes] : std::vector<std::pair<std::wstring, std::string>>{
                 {L"program.exe", program},
                 {L"same.dll", "unchanged"},
                 {L"replaced.bin", test::NoiseBytes(40000, 3)},
                 {L"data\\book.dat", book},
                 {L"twin1.bin", twin},
                 {L"twin2.bin", twin},
                 {L"ver.dat", "1.0"}}) {
            PutFile(old_release, name, bytes);
        }
        for (const auto& [name, bytes] : std::vector<std::pair<std::wstring, std::string>>{
                 {L"program.exe", Edited(program, 5000)},
                 {L"same.dll", "unchanged"},
                 {L"replaced.bin", test::NoiseBytes(40000, 4)},  // nothing in common
                 {L"data\\book.dat", Edited(book, 20000)},
                 {L"twin1.bin", Edited(twin, 1000)},
                 {L"twin2.bin", Edited(twin, 1000)},
                 {L"new.bin", "only in the new release"},
                 {L"ver.dat", "2.0"}}) {
            PutFile(new_release, name, bytes);
        }
    }

    int RunPublish(const std::wstring& server, std::vector<std::wstring> delta_from,
                   bool sign = true) {
        PublishOptions options;
        options.release_dir = new_release;
        options.server_dir = server;
        options.zip.patterns = {L"*.dat"};
        options.signing.private_file = sign ? private_file : L"";
        options.signing.sequence = 7;
        options.delta_from = std::move(delta_from);
        MemoryLog log;
        const int code = Publish(options, log);
        output = log.text;
        return code;
    }

    int RunCheck(std::vector<std::wstring> bases = {}) {
        CheckOptions options;
        options.server_dir = server;
        options.key_file = public_file;
        options.delta_from = std::move(bases);
        MemoryLog log;
        const int code = Check(options, log);
        output = log.text;
        return code;
    }

    DeltaManifest OpenDelta(const std::wstring& folder) {
        EcdsaPublicKey key;
        std::wstring error;
        EXPECT_TRUE(LoadPublicKey(public_file, key, error));
        std::vector<EcdsaPublicKey> keys;
        keys.push_back(std::move(key));
        DeltaManifest delta;
        EXPECT_EQ(OpenDeltaManifest(ReadFileBytes(folder + L"\\delta.dat"), keys, delta),
                  ManifestCheck::kValid);
        return delta;
    }

    // Signs `delta` again with the release key, as a vendor would who changed it.
    void Resign(const DeltaManifest& delta) {
        EcdsaKeyPair key;
        std::wstring error;
        ASSERT_TRUE(LoadPrivateKey(private_file, key, error));
        std::string bytes;
        ASSERT_TRUE(SignDeltaManifest(delta, key, bytes));
        ASSERT_TRUE(WriteFileBytes(server + L"\\delta.dat", bytes));
    }

    TempDir dir;
    const std::wstring private_file = dir / L"release.key";
    const std::wstring public_file = dir / L"release.pub";
    const std::wstring old_release = dir / L"old";
    const std::wstring new_release = dir / L"new";
    const std::wstring server = dir / L"server";
    std::wstring output;
};

TEST_F(DeltaRelease, PatchesWhatChangedWhenItPaysUnderNamesNoFileCanTake) {
    ASSERT_EQ(RunPublish(server, {old_release}), kExitOk) << Narrow(output);
    const DeltaManifest delta = OpenDelta(server);
    EXPECT_EQ(delta.sequence, 7u);
    EXPECT_EQ(delta.version_bytes, "2.0");
    std::vector<std::wstring> names;
    for (const DeltaPatch& patch : delta.patches) {
        names.push_back(patch.name);
        // Under the patch folder, by content, and refused as a name of any release.
        EXPECT_EQ(patch.served_name, PatchServedName(patch.patch_sha256));
        EXPECT_NE(NameProblem(patch.served_name), L"") << Narrow(patch.served_name);
        const std::string bytes = ReadFileBytes(server + L"\\" + patch.served_name);
        EXPECT_EQ(bytes.size(), patch.patch_size);
        // The half-size rule, against what is served in full.
        EXPECT_LT(2 * patch.patch_size, ReadFileBytes(server + L"\\" + patch.name).size());
    }
    // Not the unchanged file, the new one, ver.dat, nor the replaced one (its patch
    // is as large as the file).
    EXPECT_EQ(names, (std::vector<std::wstring>{L"data\\book.dat", L"program.exe", L"twin1.bin",
                                                L"twin2.bin"}));
    EXPECT_TRUE(Contains(output, L"1 dropped as not under half the served size")) << Narrow(output);
    // Equal patches share one file.
    EXPECT_EQ(delta.patches[2].served_name, delta.patches[3].served_name);
    EXPECT_EQ(test::ReadTree(server + L"\\qvpatch").size(), 3u);
    // Each makes the new file from the old one.
    for (const DeltaPatch& patch : delta.patches) {
        const std::wstring out = dir / L"made";
        EXPECT_EQ(delta::ApplyPatchFile((old_release + L"\\" + patch.name).c_str(),
                                        (server + L"\\" + patch.served_name).c_str(), out.c_str(),
                                        ReadFileBytes(new_release + L"\\" + patch.name).size(),
                                        kMaxCrcFileSize),
                  delta::ApplyResult::kApplied);
        EXPECT_TRUE(ReadFileBytes(out) == ReadFileBytes(new_release + L"\\" + patch.name));
        DeleteFileW(out.c_str());
    }
    EXPECT_EQ(RunCheck({old_release}), kExitOk) << Narrow(output);
    EXPECT_TRUE(Contains(output, L"4 patch(es) applied to their bases")) << Narrow(output);
}

TEST_F(DeltaRelease, SameInputsGiveTheSamePatches) {
    const std::wstring again = dir / L"again";
    ASSERT_EQ(RunPublish(server, {old_release}), kExitOk) << Narrow(output);
    ASSERT_EQ(RunPublish(again, {old_release}), kExitOk) << Narrow(output);
    const auto first = test::ReadTree(server + L"\\qvpatch");
    EXPECT_FALSE(first.empty());
    EXPECT_TRUE(first == test::ReadTree(again + L"\\qvpatch"));
    // The signed text too (signatures differ: ECDSA signs with a random nonce).
    EXPECT_EQ(FormatDeltaManifestBody(OpenDelta(server)),
              FormatDeltaManifestBody(OpenDelta(again)));
}

TEST_F(DeltaRelease, OneBaseOncePerFileAcrossOldReleases) {
    const std::wstring older = dir / L"older";
    PutFile(older, L"program.exe", test::NoiseBytes(200000, 1));  // = the old release's
    PutFile(older, L"twin1.bin", Edited(test::NoiseBytes(50000, 2), 700));
    ASSERT_EQ(RunPublish(server, {old_release, older}), kExitOk) << Narrow(output);
    size_t program = 0, twin1 = 0;
    for (const DeltaPatch& patch : OpenDelta(server).patches) {
        program += patch.name == L"program.exe" ? 1 : 0;
        twin1 += patch.name == L"twin1.bin" ? 1 : 0;
    }
    EXPECT_EQ(program, 1u);
    EXPECT_EQ(twin1, 2u);
    EXPECT_EQ(RunCheck({older, old_release}), kExitOk) << Narrow(output);
    EXPECT_TRUE(Contains(output, L"5 patch(es) applied to their bases")) << Narrow(output);
}

TEST_F(DeltaRelease, RefusedWithoutSigning) {
    EXPECT_EQ(RunPublish(server, {old_release}, false), kExitUsage);
    EXPECT_TRUE(Contains(output, L"--delta-from needs --sign")) << Narrow(output);
    EXPECT_FALSE(FileExists(server + L"\\filelist.dat"));
    EXPECT_EQ(RunPublish(server, {dir / L"missing"}), kExitUsage);
    EXPECT_TRUE(Contains(output, L"does not exist")) << Narrow(output);
    EXPECT_EQ(RunPublish(server, {dir.path()}), kExitUsage);  // holds the server folder
    EXPECT_TRUE(Contains(output, L"outside the old release")) << Narrow(output);
    EXPECT_FALSE(FileExists(server + L"\\filelist.dat"));
}

TEST_F(DeltaRelease, CheckFindsBrokenMissingAndMisplacedPatches) {
    ASSERT_EQ(RunPublish(server, {old_release}), kExitOk) << Narrow(output);
    const DeltaManifest published = OpenDelta(server);
    const std::wstring program_patch = server + L"\\" + published.patches[1].served_name;
    const std::string patch_bytes = ReadFileBytes(program_patch);
    std::string broken = patch_bytes;
    broken[broken.size() / 2] = static_cast<char>(broken[broken.size() / 2] ^ 1);

    // A damaged file: its hash no longer matches.
    ASSERT_TRUE(WriteFileBytes(program_patch, broken));
    EXPECT_EQ(RunCheck(), kExitProblems);
    EXPECT_TRUE(Contains(output, L"is not the one delta.dat signs")) << Narrow(output);
    // A missing one.
    ASSERT_TRUE(DeleteFileW(program_patch.c_str()));
    EXPECT_EQ(RunCheck(), kExitProblems);
    EXPECT_TRUE(Contains(output, L"is missing")) << Narrow(output);
    ASSERT_TRUE(WriteFileBytes(program_patch, patch_bytes));
    EXPECT_EQ(RunCheck({old_release}), kExitOk) << Narrow(output);

    // A broken patch that delta.dat signs as it is: found by applying it.
    DeltaManifest changed = published;
    Sha256Digest broken_sha256;
    ASSERT_TRUE(Sha256Bytes(broken.data(), broken.size(), broken_sha256));
    changed.patches[1].patch_sha256 = broken_sha256;
    changed.patches[1].served_name = PatchServedName(broken_sha256);
    ASSERT_TRUE(WriteFileBytes(server + L"\\" + changed.patches[1].served_name, broken));
    Resign(changed);
    EXPECT_EQ(RunCheck({old_release}), kExitProblems);
    EXPECT_TRUE(Contains(output, L"cannot be applied")) << Narrow(output);
    // Not applied without a base to apply it to; the rest still holds.
    EXPECT_EQ(RunCheck(), kExitOk) << Narrow(output);

    // Bound to another release, or signed by another key.
    changed = published;
    changed.sequence = 8;
    Resign(changed);
    EXPECT_EQ(RunCheck(), kExitProblems);
    EXPECT_TRUE(Contains(output, L"does not belong to this release")) << Narrow(output);
    std::string text = ReadFileBytes(server + L"\\delta.dat");
    text[text.find("sequence 8")] = 'S';
    ASSERT_TRUE(WriteFileBytes(server + L"\\delta.dat", text));
    EXPECT_EQ(RunCheck(), kExitProblems);
    EXPECT_TRUE(Contains(output, L"delta.dat is not signed with the key")) << Narrow(output);
}

}  // namespace
}  // namespace qv::publish
