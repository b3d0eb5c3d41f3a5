#include "update/delta_manifest.h"

#include <windows.h>

#include <set>
#include <tuple>

#include "update/file_list.h"
#include "update/file_names.h"
#include "trust/file_hashes.h"
#include "trust/hex.h"
#include "win/file_system.h"
#include "win/text.h"

namespace qv {

namespace {

constexpr std::string_view kFormatLine = "qvupdate-delta 1";
constexpr size_t kPatchFields = 7;

bool Fail(std::string* problem, const std::string& text, size_t line = 0) {
    if (problem != nullptr) {
        *problem = line == 0 ? text : "line " + std::to_string(line) + ": " + text;
    }
    return false;
}

bool ParseSize(std::string_view text, uint64_t& out) noexcept {
    return ParseManifestNumber(text, out) && out <= kMaxCrcFileSize;
}

// One patch per base of a file: the same name (as Windows compares names) with the
// same base twice is refused.
struct PatchKeyLess {
    using Key = std::tuple<std::wstring, Sha256Digest, uint64_t>;
    bool operator()(const Key& a, const Key& b) const noexcept {
        if (LessNoCase(std::get<0>(a), std::get<0>(b))) {
            return true;
        }
        if (LessNoCase(std::get<0>(b), std::get<0>(a))) {
            return false;
        }
        return std::tie(std::get<1>(a), std::get<2>(a)) < std::tie(std::get<1>(b), std::get<2>(b));
    }
};

bool ParseBody(std::string_view body, DeltaManifest& out, std::string* problem) {
    if (HasControlBytes(body)) {
        return Fail(problem, "a control character, CR or zero byte");
    }
    size_t number = 0;
    std::string_view line;
    auto next_line = [&]() { return NextBodyLine(body, line, number); };
    std::string_view fields[kPatchFields];
    if (!next_line() || line != kFormatLine) {
        return Fail(problem, "not a delta description of format 1", 1);
    }
    if (!next_line() || !SplitFields(line, 2, fields) || fields[0] != "sequence" ||
        !ParseManifestNumber(fields[1], out.sequence)) {
        return Fail(problem, "expected \"sequence\" and a number", number);
    }
    if (!next_line() || !SplitFields(line, 2, fields) || fields[0] != "version" ||
        fields[1].size() > 2 * kMaxSignedVersionSize || fields[1].size() % 2 != 0) {
        return Fail(problem, "expected \"version\" and the bytes of ver.dat in hex", number);
    }
    out.version_bytes.assign(fields[1].size() / 2, '\0');
    if (!ParseHex(fields[1], reinterpret_cast<uint8_t*>(out.version_bytes.data()),
                  out.version_bytes.size())) {
        return Fail(problem, "the version is not lowercase hex", number);
    }
    std::set<PatchKeyLess::Key, PatchKeyLess> seen;
    while (next_line()) {
        if (!SplitFields(line, kPatchFields, fields) || fields[0] != "patch") {
            return Fail(problem, "expected a \"patch\" line", number);
        }
        DeltaPatch patch;
        if (!ParseDigest(fields[1], patch.base_sha256) ||
            !ParseDigest(fields[3], patch.patch_sha256)) {
            return Fail(problem, "a SHA-256 that is not 64 lowercase hex digits", number);
        }
        if (!ParseSize(fields[2], patch.base_size) || !ParseSize(fields[4], patch.patch_size)) {
            return Fail(problem, "a size that is no number of at most 1 GiB", number);
        }
        if (!FromCodePage(fields[5], CP_UTF8, patch.served_name, MB_ERR_INVALID_CHARS) ||
            patch.served_name != PatchServedName(patch.patch_sha256)) {
            return Fail(problem, "the served name is not the patch's content name", number);
        }
        if (!FromCodePage(fields[6], CP_UTF8, patch.name, MB_ERR_INVALID_CHARS) ||
            patch.name.empty() || patch.name.size() >= MAX_PATH ||
            !IsSafeRelativeName(patch.name) || IsReservedListName(patch.name)) {
            return Fail(problem, "a name the updater cannot install", number);
        }
        if (!seen.emplace(patch.name, patch.base_sha256, patch.base_size).second) {
            return Fail(problem, "a base listed twice for one name", number);
        }
        out.patches.push_back(std::move(patch));
    }
    if (!body.empty()) {
        return Fail(problem, "truncated: the last line has no line end");
    }
    return true;
}

}  // namespace

std::wstring PatchServedName(const Sha256Digest& patch_sha256) {
    return std::wstring(kPatchDirName) + L"\\" + DecodeText(DigestText(patch_sha256));
}

std::string FormatDeltaManifestBody(const DeltaManifest& manifest) {
    std::string text(kFormatLine);
    text += "\nsequence " + std::to_string(manifest.sequence) + "\n";
    text += "version " +
            ToHex(reinterpret_cast<const uint8_t*>(manifest.version_bytes.data()),
                  manifest.version_bytes.size()) +
            "\n";
    for (const DeltaPatch& patch : manifest.patches) {
        text += "patch " + DigestText(patch.base_sha256) + " " + std::to_string(patch.base_size) +
                " " + DigestText(patch.patch_sha256) + " " + std::to_string(patch.patch_size) +
                " " + EncodeText(patch.served_name) + " " + EncodeText(patch.name) + "\n";
    }
    return text;
}

bool ParseDeltaManifest(std::string_view bytes, DeltaManifest& out, std::string* problem) noexcept {
    try {
        out = DeltaManifest{};
        if (bytes.size() > kMaxDeltaManifestSize) {
            return Fail(problem, "larger than 16 MiB");
        }
        if (!SplitSignatureLine(bytes, out.signed_length, out.signature)) {
            return Fail(problem, "the last line is not a signature line ending the file");
        }
        if (!ParseBody(bytes.substr(0, out.signed_length), out, problem)) {
            out = DeltaManifest{};
            return false;
        }
        return true;
    } catch (...) {
        out = DeltaManifest{};
        return false;
    }
}

ManifestCheck OpenDeltaManifest(std::string_view bytes, const std::vector<EcdsaPublicKey>& keys,
                                DeltaManifest& out) noexcept {
    return OpenSignedText(bytes, kMaxDeltaManifestSize, keys, ParseDeltaManifest, out);
}

bool DeltaManifestBelongsTo(const DeltaManifest& delta, const ReleaseManifest& release,
                            std::string* problem) {
    if (delta.sequence != release.sequence || delta.version_bytes != release.version_bytes) {
        return Fail(problem, "it names another release's sequence or version");
    }
    for (const DeltaPatch& patch : delta.patches) {
        if (release.Find(patch.name) == nullptr) {
            return Fail(problem, "a patch for " + EncodeText(patch.name) +
                                     ", which release.dat does not list");
        }
    }
    return true;
}

const DeltaPatch* FindPatchForBase(const DeltaManifest& delta, const std::wstring& name,
                                   const wchar_t* installed_path) noexcept {
    uint64_t size = 0;
    {
        const UniqueFileHandle file = OpenFileAtMost(installed_path, kMaxCrcFileSize, size);
        if (!file) {
            return nullptr;
        }
    }
    bool hashed = false;
    Sha256Digest sha256 = {};
    for (const DeltaPatch& patch : delta.patches) {
        if (patch.name != name || patch.base_size != size) {
            continue;
        }
        if (!hashed) {
            uint64_t hashed_size = 0;
            // The size read again with the hash: a file that changed in between is no base.
            if (!Sha256File(installed_path, kMaxCrcFileSize, sha256, hashed_size) ||
                hashed_size != size) {
                return nullptr;
            }
            hashed = true;
        }
        if (patch.base_sha256 == sha256) {
            return &patch;
        }
    }
    return nullptr;
}

}  // namespace qv
