#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "delta/patch_applier.h"
#include "delta/patch_maker.h"
#include "tests/support/test_support.h"

namespace qv::delta {
namespace {

using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

constexpr uint64_t kNoLimit = UINT64_MAX;
constexpr uint64_t kMaxFile = 1u << 30;

// Bytes that do not compress on their own: a patch is small only through its base.
std::string Noise(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        seed = seed * 1664525u + 1013904223u;
        bytes[i] = static_cast<char>(seed >> 24);
    }
    return bytes;
}

// A copy with every `step`-th byte changed.
std::string Edited(std::string bytes, size_t step) {
    for (size_t i = step / 2; i < bytes.size(); i += step) {
        bytes[i] = static_cast<char>(bytes[i] ^ 0x5A);
    }
    return bytes;
}

const uint8_t* Bytes(const std::string& text) {
    return reinterpret_cast<const uint8_t*>(text.data());
}

std::string Make(const std::string& base, const std::string& target) {
    std::string patch;
    EXPECT_EQ(MakePatch(Bytes(base), base.size(), Bytes(target), target.size(), kNoLimit, patch),
              MakeResult::kMade);
    return patch;
}

// Applies through files, as the updater will; the output's bytes in `out`.
ApplyResult ApplyFiles(const TempDir& dir, const std::string& base, const std::string& patch,
                       uint64_t expected, std::string& out,
                       const std::atomic<bool>* stop = nullptr) {
    EXPECT_TRUE(WriteFileBytes(dir / L"base", base));
    EXPECT_TRUE(WriteFileBytes(dir / L"patch", patch));
    DeleteFileW((dir / L"out").c_str());
    const ApplyResult result = ApplyPatchFile((dir / L"base").c_str(), (dir / L"patch").c_str(),
                                              (dir / L"out").c_str(), expected, kMaxFile, stop);
    bool exists = false;
    out = ReadFileBytes(dir / L"out", &exists);
    // Only a whole result stays behind.
    EXPECT_EQ(exists, result == ApplyResult::kApplied);
    return result;
}

struct RoundTripCase {
    const char* name;
    std::string base;
    std::string target;
};

TEST(Patch, RoundTripsThroughFiles) {
    const std::string data = Noise(300000, 1);
    const RoundTripCase cases[] = {
        {"small edits", data, Edited(data, 1000)},
        {"appended", data, data + Noise(5000, 2)},
        {"cut short", data, data.substr(0, 120000)},
        {"unrelated", data, Noise(50000, 3)},
        {"empty target", data, ""},
        {"empty base", "", Noise(70000, 4)},
        {"both empty", "", ""},
    };
    TempDir dir;
    for (const RoundTripCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string out;
        EXPECT_EQ(ApplyFiles(dir, c.base, Make(c.base, c.target), c.target.size(), out),
                  ApplyResult::kApplied);
        EXPECT_TRUE(out == c.target);
    }
}

TEST(Patch, IsSmallForSmallEditsAndTheSameEveryTime) {
    const std::string base = Noise(1 << 20, 5);
    const std::string target = Edited(base, 4096);
    const std::string first = Make(base, target);
    EXPECT_LT(first.size(), target.size() / 20);
    EXPECT_TRUE(Make(base, target) == first);
    // Through mapped files the same bytes again.
    TempDir dir;
    ASSERT_TRUE(WriteFileBytes(dir / L"base", base));
    ASSERT_TRUE(WriteFileBytes(dir / L"target", target));
    std::string from_files;
    ASSERT_EQ(MakePatchFromFiles((dir / L"base").c_str(), (dir / L"target").c_str(), kMaxFile,
                                 kNoLimit, from_files),
              MakeResult::kMade);
    EXPECT_TRUE(from_files == first);
}

TEST(Patch, StopsMakingAtTheSizeLimit) {
    const std::string base = Noise(100000, 6);
    const std::string target = Noise(100000, 7);  // nothing in common: as large as itself
    std::string patch = "stale";
    EXPECT_EQ(MakePatch(Bytes(base), base.size(), Bytes(target), target.size(), 50000, patch),
              MakeResult::kTooLarge);
    EXPECT_TRUE(patch.empty());
}

TEST(Patch, DamagedPatchesAndWrongBasesFail) {
    const std::string base = Noise(200000, 8);
    const std::string target = Edited(base, 500);
    const std::string patch = Make(base, target);
    std::string flipped = patch;
    flipped[flipped.size() / 2] = static_cast<char>(flipped[flipped.size() / 2] ^ 0x01);
    std::string bad_checksum = patch;
    bad_checksum.back() = static_cast<char>(bad_checksum.back() ^ 0x01);
    const struct {
        const char* name;
        std::string base;
        std::string patch;
        ApplyResult expected;
    } cases[] = {
        {"a byte changed", base, flipped, ApplyResult::kCorrupt},
        {"the checksum changed", base, bad_checksum, ApplyResult::kCorrupt},
        {"truncated", base, patch.substr(0, patch.size() - 10), ApplyResult::kCorrupt},
        {"header only", base, patch.substr(0, 12), ApplyResult::kCorrupt},
        {"trailing bytes", base, patch + "x", ApplyResult::kCorrupt},
        {"a second frame", base, patch + patch, ApplyResult::kCorrupt},
        {"empty", base, "", ApplyResult::kCorrupt},
        {"not a patch", base, Noise(1000, 9), ApplyResult::kCorrupt},
        {"another base", Edited(base, 777), patch, ApplyResult::kCorrupt},
        {"a shorter base", base.substr(0, 150000), patch, ApplyResult::kCorrupt},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string out;
        EXPECT_EQ(ApplyFiles(dir, c.base, c.patch, target.size(), out), c.expected);
    }
}

TEST(Patch, OutputOfAnotherSizeThanExpectedFails) {
    const std::string base = Noise(100000, 10);
    const std::string target = Edited(base, 300);
    const std::string patch = Make(base, target);
    TempDir dir;
    for (uint64_t expected : {target.size() - 1, target.size() + 1, uint64_t{0}}) {
        SCOPED_TRACE(expected);
        std::string out;
        EXPECT_EQ(ApplyFiles(dir, base, patch, expected, out), ApplyResult::kWrongSize);
    }
    std::string out;
    EXPECT_EQ(ApplyFiles(dir, base, Make(base, ""), 1, out), ApplyResult::kWrongSize);
    EXPECT_EQ(ApplyPatchFile((dir / L"base").c_str(), (dir / L"patch").c_str(),
                             (dir / L"out").c_str(), kMaxFile + 1, kMaxFile),
              ApplyResult::kWrongSize);

    // In memory: a buffer one byte short is never written past.
    std::string buffer(target.size() + 8, '#');
    EXPECT_EQ(ApplyPatch(Bytes(base), base.size(), Bytes(patch), patch.size(),
                         reinterpret_cast<uint8_t*>(buffer.data()), target.size() - 1),
              ApplyResult::kWrongSize);
    EXPECT_EQ(buffer.substr(target.size() - 1), std::string(9, '#'));
}

TEST(Patch, HonoursTheStopFlagAndLeavesNoOutput) {
    const std::string base = Noise(100000, 11);
    const std::string target = Edited(base, 100);
    std::atomic<bool> stop{true};
    TempDir dir;
    std::string out;
    EXPECT_EQ(ApplyFiles(dir, base, Make(base, target), target.size(), out, &stop),
              ApplyResult::kStopped);
}

TEST(Patch, RefusesAnExistingOutputOrAMissingBase) {
    const std::string base = Noise(1000, 12);
    const std::string patch = Make(base, base + "more");
    TempDir dir;
    ASSERT_TRUE(WriteFileBytes(dir / L"base", base));
    ASSERT_TRUE(WriteFileBytes(dir / L"patch", patch));
    ASSERT_TRUE(WriteFileBytes(dir / L"out", "keep"));
    EXPECT_EQ(ApplyPatchFile((dir / L"base").c_str(), (dir / L"patch").c_str(),
                             (dir / L"out").c_str(), base.size() + 4, kMaxFile),
              ApplyResult::kFailed);
    EXPECT_EQ(ReadFileBytes(dir / L"out"), "keep");
    EXPECT_EQ(ApplyPatchFile((dir / L"missing").c_str(), (dir / L"patch").c_str(),
                             (dir / L"out2").c_str(), base.size() + 4, kMaxFile),
              ApplyResult::kFailed);
    EXPECT_FALSE(test::FileExists(dir / L"out2"));
}

}  // namespace
}  // namespace qv::delta
