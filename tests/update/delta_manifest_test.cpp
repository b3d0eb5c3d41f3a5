// The signed description of delta patches: what the writer makes reads back, the
// reader refuses everything that is not exactly the form, only a trusted key opens it,
// and it belongs to one release only.

#include "update/delta_manifest.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_support.h"
#include "tests/update/signed_text_test_util.h"
#include "trust/hex.h"
#include "update/file_names.h"

namespace qv {
namespace {

using test::Filled;
using test::KeysOf;
using test::NewPair;
using test::WithSignature;

std::string Hex(uint8_t value) {
    const Sha256Digest digest = Filled(value);
    return ToHex(digest.data(), digest.size());
}

DeltaManifest Sample() {
    DeltaManifest manifest;
    manifest.sequence = 1718000000;
    manifest.version_bytes = "1.0.0.2";
    manifest.patches.push_back(
        {L"qvreader.exe", Filled(0x11), 4096, Filled(0x22), 300, PatchServedName(Filled(0x22))});
    manifest.patches.push_back({L"plugins\\\u6e32\u67d3 a.dll", Filled(0x33), 100, Filled(0x44), 20,
                                PatchServedName(Filled(0x44))});
    return manifest;
}

ReleaseManifest ReleaseOf(const DeltaManifest& delta) {
    ReleaseManifest release;
    release.sequence = delta.sequence;
    release.version_bytes = delta.version_bytes;
    for (const DeltaPatch& patch : delta.patches) {
        release.files.push_back({patch.name, Filled(1), 1, Filled(2), 2});
    }
    release.IndexNames();
    return release;
}

TEST(DeltaManifest, WriterOutputReadsBack) {
    const DeltaManifest written = Sample();
    const std::string body = FormatDeltaManifestBody(written);
    const std::string head = "qvupdate-delta 1\nsequence 1718000000\nversion 312e302e302e32\n";
    EXPECT_EQ(body.substr(0, head.size()), head);
    EXPECT_NE(body.find("patch " + Hex(0x11) + " 4096 " + Hex(0x22) + " 300 qvpatch\\" + Hex(0x22) +
                        " qvreader.exe\n"),
              std::string::npos);
    DeltaManifest read;
    std::string problem;
    ASSERT_TRUE(ParseDeltaManifest(WithSignature(body), read, &problem)) << problem;
    EXPECT_EQ(read.sequence, written.sequence);
    EXPECT_EQ(read.version_bytes, written.version_bytes);
    ASSERT_EQ(read.patches.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(read.patches[i].name, written.patches[i].name);
        EXPECT_EQ(read.patches[i].base_sha256, written.patches[i].base_sha256);
        EXPECT_EQ(read.patches[i].base_size, written.patches[i].base_size);
        EXPECT_EQ(read.patches[i].patch_sha256, written.patches[i].patch_sha256);
        EXPECT_EQ(read.patches[i].patch_size, written.patches[i].patch_size);
        EXPECT_EQ(read.patches[i].served_name, written.patches[i].served_name);
    }
    EXPECT_EQ(read.signed_length, body.size());
}

TEST(DeltaManifest, RefusesHostileInput) {
    const std::string body = FormatDeltaManifestBody(Sample());
    const std::string head = "qvupdate-delta 1\nsequence 5\nversion 31\n";
    const std::string line = "patch " + Hex(1) + " 10 " + Hex(2) + " 5 qvpatch\\" + Hex(2) + " ";
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"no signature", body},
        {"truncated signature", WithSignature(body).substr(0, body.size() + 60)},
        {"truncated body", WithSignature(body.substr(0, body.size() - 5))},
        {"trailing bytes", WithSignature(body) + "x"},
        {"trailing line", WithSignature(body) + "patch\n"},
        {"oversized", WithSignature(body + std::string(kMaxDeltaManifestSize, 'x') + "\n")},
        {"other format", WithSignature("qvupdate-delta 2" + body.substr(16))},
        {"release manifest", WithSignature("qvupdate-release 1" + body.substr(16))},
        {"no sequence", WithSignature("qvupdate-delta 1\nversion 31\n")},
        {"sequence with a sign", WithSignature("qvupdate-delta 1\nsequence +5\nversion 31\n")},
        {"odd version hex", WithSignature("qvupdate-delta 1\nsequence 5\nversion 313\n")},
        {"upper-case version hex", WithSignature("qvupdate-delta 1\nsequence 5\nversion 3A\n")},
        {"duplicate base", WithSignature(head + line + "a.dll\n" + line + "A.DLL\n")},
        {"bad base hex",
         WithSignature(head + "patch " + std::string(64, 'g') + line.substr(70) + "a.dll\n")},
        {"short patch hex", WithSignature(head + "patch " + Hex(1) + " 10 " + Hex(2).substr(1) +
                                          " 5 qvpatch\\" + Hex(2) + " a.dll\n")},
        {"oversized base", WithSignature(head + "patch " + Hex(1) + " 1073741825 " + Hex(2) +
                                         " 5 qvpatch\\" + Hex(2) + " a.dll\n")},
        {"size with leading zero", WithSignature(head + "patch " + Hex(1) + " 010 " + Hex(2) +
                                                 " 5 qvpatch\\" + Hex(2) + " a.dll\n")},
        {"served name of another patch", WithSignature(head + "patch " + Hex(1) + " 10 " + Hex(2) +
                                                       " 5 qvpatch\\" + Hex(3) + " a.dll\n")},
        {"served name elsewhere", WithSignature(head + "patch " + Hex(1) + " 10 " + Hex(2) +
                                                " 5 patches\\" + Hex(2) + " a.dll\n")},
        {"name outside", WithSignature(head + line + "..\\a.dll\n")},
        {"reserved name", WithSignature(head + line + "update\\a.dll\n")},
        {"missing name", WithSignature(head + line.substr(0, line.size() - 1) + "\n")},
        {"double space", WithSignature(head + "patch  " + line.substr(6) + "a.dll\n")},
        {"CR line end", WithSignature(head + line + "a.dll\r\n")},
        {"invalid UTF-8 name", WithSignature(head + line + "a\xff.dll\n")},
        {"unknown line", WithSignature(head + "file " + line.substr(6) + "a.dll\n")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeltaManifest read;
        read.sequence = 99;
        EXPECT_FALSE(ParseDeltaManifest(c.bytes, read));
        EXPECT_EQ(read.sequence, 0u);
        EXPECT_TRUE(read.patches.empty());
    }
    // The same shape with sound fields reads: the table's faults are what fail.
    DeltaManifest read;
    std::string problem;
    EXPECT_TRUE(ParseDeltaManifest(WithSignature(head + line + "a.dll\n" + line + "b.dll\n"), read,
                                   &problem))
        << problem;
}

TEST(DeltaManifest, OpensOnlyWithATrustedKey) {
    const EcdsaKeyPair pair = NewPair();
    const EcdsaKeyPair other = NewPair();
    std::string signed_bytes;
    ASSERT_TRUE(SignDeltaManifest(Sample(), pair, signed_bytes));
    DeltaManifest read;
    EXPECT_EQ(OpenDeltaManifest(signed_bytes, KeysOf({&other, &pair}), read),
              ManifestCheck::kValid);
    EXPECT_EQ(read.patches.size(), 2u);
    EXPECT_EQ(OpenDeltaManifest(signed_bytes, KeysOf({&other}), read),
              ManifestCheck::kBadSignature);
    std::string changed = signed_bytes;
    changed[changed.find("300")] = '4';  // another patch size
    EXPECT_EQ(OpenDeltaManifest(changed, KeysOf({&pair}), read), ManifestCheck::kBadSignature);
    EXPECT_EQ(OpenDeltaManifest(signed_bytes + "x", KeysOf({&pair}), read),
              ManifestCheck::kMalformed);
}

TEST(DeltaManifest, BelongsToItsReleaseOnly) {
    const DeltaManifest delta = Sample();
    EXPECT_TRUE(DeltaManifestBelongsTo(delta, ReleaseOf(delta)));
    ReleaseManifest release = ReleaseOf(delta);
    release.sequence += 1;
    EXPECT_FALSE(DeltaManifestBelongsTo(delta, release));
    release = ReleaseOf(delta);
    release.version_bytes = "1.0.0.3";
    EXPECT_FALSE(DeltaManifestBelongsTo(delta, release));
    release = ReleaseOf(delta);
    release.files.pop_back();
    release.IndexNames();
    std::string problem;
    EXPECT_FALSE(DeltaManifestBelongsTo(delta, release, &problem));
    EXPECT_NE(problem.find("does not list"), std::string::npos);
}

TEST(DeltaManifest, APatchIsChosenByItsBasesSizeAndSha256) {
    test::TempDir dir;
    const std::wstring path = dir / L"installed.dll";
    ASSERT_TRUE(test::WriteFileBytes(path, "the build installed"));
    Sha256Digest installed = {};
    ASSERT_TRUE(Sha256Bytes("the build installed", 19, installed));
    DeltaManifest delta;
    auto patch = [&](const wchar_t* name, const Sha256Digest& base, uint64_t size, uint8_t id) {
        delta.patches.push_back({name, base, size, Filled(id), 10, PatchServedName(Filled(id))});
    };
    patch(L"installed.dll", Filled(9), 19, 1);  // another build of the same size
    patch(L"installed.dll", installed, 18, 2);  // its hash, another size
    patch(L"other.dll", installed, 19, 3);      // the same bytes, for another file
    patch(L"INSTALLED.DLL", installed, 19, 4);  // not the listed name as written
    EXPECT_EQ(FindPatchForBase(delta, L"installed.dll", path.c_str()), nullptr);
    patch(L"installed.dll", installed, 19, 5);
    const DeltaPatch* found = FindPatchForBase(delta, L"installed.dll", path.c_str());
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->patch_sha256, Filled(5));
    // No installed file, or one that changed since: no base.
    EXPECT_EQ(FindPatchForBase(delta, L"installed.dll", (dir / L"missing.dll").c_str()), nullptr);
    ASSERT_TRUE(test::WriteFileBytes(path, "the build installeD"));
    EXPECT_EQ(FindPatchForBase(delta, L"installed.dll", path.c_str()), nullptr);
}

TEST(DeltaManifest, NoListedFileCanTakeAPatchsName) {
    for (const wchar_t* name : {L"qvpatch", L"QvPatch\\x.dll", L"qvpatch. \\x", L"qvpatch/x"}) {
        EXPECT_TRUE(IsReservedListName(name));
    }
    for (const wchar_t* name : {L"qvpatches\\x", L"x\\qvpatch\\y", L"qvpatch.dll"}) {
        EXPECT_FALSE(IsReservedListName(name));
    }
}

}  // namespace
}  // namespace qv
