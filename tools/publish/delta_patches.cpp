#include "tools/publish/delta_patches.h"

#include <windows.h>

#include <set>
#include <tuple>

#include "delta/patch_applier.h"
#include "delta/patch_maker.h"
#include "tools/publish/publisher.h"
#include "tools/publish/release.h"
#include "tools/publish/signing.h"
#include "update/file_list.h"
#include "trust/file_hashes.h"
#include "trust/hex.h"
#include "win/file_system.h"
#include "win/path.h"
#include "win/text.h"

namespace qv::publish {

namespace {

std::wstring Quote(const std::wstring& text) {
    return L"\"" + text + L"\"";
}

// The file of `name` in `folder`, hashed; false when there is none (or it cannot be
// read, which for a base only means: no patch from it).
bool HashFileIn(const std::wstring& folder, const std::wstring& name, std::wstring& path,
                Sha256Digest& sha256, uint64_t& size) {
    return JoinPath(path, folder, name) && IsFile(path.c_str()) &&
           Sha256File(path.c_str(), kMaxCrcFileSize, sha256, size);
}

// A file in the temporary folder for a patch's output, removed when done.
class ScratchFile {
public:
    ScratchFile() {
        wchar_t temp[MAX_PATH];
        const DWORD length = GetTempPathW(MAX_PATH, temp);
        if (length > 0 && length < MAX_PATH) {
            path_ = std::wstring(temp) + L"qvpatchcheck" + std::to_wstring(GetCurrentProcessId()) +
                    L".tmp";
            DeleteFileW(path_.c_str());
        }
    }
    ~ScratchFile() {
        if (!path_.empty()) {
            DeleteFileW(path_.c_str());
        }
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    [[nodiscard]] const std::wstring& path() const { return path_; }

private:
    std::wstring path_;
};

const wchar_t* ApplyProblem(delta::ApplyResult result) {
    switch (result) {
        case delta::ApplyResult::kApplied:
            return L"applied";
        case delta::ApplyResult::kStopped:
            return L"stopped";
        case delta::ApplyResult::kCorrupt:
            return L"the decoder refuses it (damaged, or made from another base)";
        case delta::ApplyResult::kWrongSize:
            return L"it makes a file of another size than release.dat lists";
        case delta::ApplyResult::kFailed:
            break;
    }
    return L"a file could not be read or written";
}

}  // namespace

bool MakeReleasePatches(const std::vector<std::wstring>& old_releases, const std::wstring& server,
                        const std::vector<PatchTarget>& targets, DeltaManifest& delta,
                        PatchStats& stats, Log& log) {
    // One patch per base of a file: an old release with the same bytes as an older
    // one adds nothing.
    std::set<std::tuple<std::wstring, Sha256Digest, uint64_t>> done;
    std::set<std::wstring> served;
    for (size_t t = 0; t < targets.size(); ++t) {
        const PatchTarget& target = targets[t];
        const SignedFile& file = target.signed_file;
        for (const std::wstring& old_release : old_releases) {
            std::wstring base_path;
            Sha256Digest base_sha256;
            uint64_t base_size = 0;
            if (!HashFileIn(old_release, target.name, base_path, base_sha256, base_size) ||
                (base_sha256 == file.installed_sha256 && base_size == file.installed_size) ||
                !done.emplace(target.name, base_sha256, base_size).second) {
                continue;
            }
            log.Progress(L"patching " + std::to_wstring(t + 1) + L"/" +
                         std::to_wstring(targets.size()) + L": " + target.name);
            // Kept only when under half the served size: patch * 2 < served.
            std::string patch;
            const delta::MakeResult made =
                delta::MakePatchFromFiles(base_path.c_str(), target.source.c_str(), kMaxCrcFileSize,
                                          (file.served_size + 1) / 2, patch);
            if (made == delta::MakeResult::kTooLarge) {
                ++stats.too_large;
                continue;
            }
            if (made != delta::MakeResult::kMade) {
                log.Error(L"cannot make the patch of " + Quote(target.name) + L" from " +
                          Quote(base_path));
                return false;
            }
            DeltaPatch entry;
            entry.name = target.name;
            entry.base_sha256 = base_sha256;
            entry.base_size = base_size;
            entry.patch_size = patch.size();
            if (!Sha256Bytes(patch.data(), patch.size(), entry.patch_sha256)) {
                log.Error(L"cannot compute the SHA-256 of a patch");
                return false;
            }
            entry.served_name = PatchServedName(entry.patch_sha256);
            std::wstring path;
            if (!JoinPath(path, server, entry.served_name)) {
                log.Error(L"the server folder's path is too long for the patches");
                return false;
            }
            if (!served.insert(entry.served_name).second) {
                ++stats.shared;  // equal patches share one file
            } else if (!CreateParentDirectories(path.c_str()) || !WriteNewFile(path, patch)) {
                log.Error(L"cannot write " + Quote(path));
                return false;
            }
            ++stats.made;
            stats.patch_bytes += entry.patch_size;
            stats.served_bytes += file.served_size;
            delta.patches.push_back(std::move(entry));
        }
    }
    return true;
}

void CheckReleasePatches(const std::wstring& server, const std::wstring& key_file,
                         const ReleaseManifest& release,
                         const std::vector<std::wstring>& base_folders, Log& log) {
    const std::wstring path = server + L"\\" + kDeltaManifestName;
    if (!PathExists(path.c_str())) {
        return;
    }
    std::string bytes;
    bool too_large = false;
    if (!ReadSmallFile(path, kMaxDeltaManifestSize, bytes, &too_large)) {
        log.Error(too_large ? L"delta.dat is larger than installations read (16 MiB)"
                            : L"cannot read delta.dat");
        return;
    }
    DeltaManifest delta;
    std::string problem;
    if (key_file.empty()) {
        log.Info(L"delta.dat: signature not checked (give --key PUBLIC_FILE)");
        if (!ParseDeltaManifest(bytes, delta, &problem)) {
            log.Error(L"delta.dat: " + DecodeText(problem));
            return;
        }
    } else {
        EcdsaPublicKey key;
        std::wstring error;
        if (!LoadPublicKey(key_file, key, error)) {
            log.Error(error);
            return;
        }
        std::vector<EcdsaPublicKey> keys;
        keys.push_back(std::move(key));
        switch (OpenDeltaManifest(bytes, keys, delta)) {
            case ManifestCheck::kValid:
                break;
            case ManifestCheck::kBadSignature:
                log.Error(L"delta.dat is not signed with the key in " + Quote(key_file));
                return;
            case ManifestCheck::kUnavailable:
                log.Error(L"Windows cannot verify ECDSA P-256 signatures here");
                return;
            case ManifestCheck::kMalformed:
                static_cast<void>(ParseDeltaManifest(bytes, delta, &problem));
                log.Error(L"delta.dat: " + DecodeText(problem));
                return;
        }
    }
    if (!DeltaManifestBelongsTo(delta, release, &problem)) {
        log.Error(L"delta.dat does not belong to this release: " + DecodeText(problem));
        return;
    }
    log.Info(L"delta.dat: " + std::to_wstring(delta.patches.size()) + L" patch(es)");
    ScratchFile scratch;
    size_t applied = 0;
    for (size_t i = 0; i < delta.patches.size(); ++i) {
        const DeltaPatch& patch = delta.patches[i];
        log.Progress(L"checking patch " + std::to_wstring(i + 1) + L"/" +
                     std::to_wstring(delta.patches.size()) + L": " + patch.name);
        std::wstring patch_path;
        Sha256Digest sha256;
        uint64_t size = 0;
        if (!HashFileIn(server, patch.served_name, patch_path, sha256, size)) {
            log.Error(L"the patch of " + Quote(patch.name) + L" is missing: " +
                      Quote(patch.served_name));
            continue;
        }
        if (sha256 != patch.patch_sha256 || size != patch.patch_size) {
            log.Error(L"the patch " + Quote(patch.served_name) + L" of " + Quote(patch.name) +
                      L" is not the one delta.dat signs (SHA-256 or size)");
            continue;
        }
        const SignedFile* target = release.Find(patch.name);
        for (const std::wstring& folder : base_folders) {
            std::wstring base_path;
            Sha256Digest base_sha256;
            uint64_t base_size = 0;
            if (scratch.path().empty() || target == nullptr ||
                !HashFileIn(folder, patch.name, base_path, base_sha256, base_size) ||
                base_sha256 != patch.base_sha256 || base_size != patch.base_size) {
                continue;
            }
            const delta::ApplyResult result =
                delta::ApplyPatchFile(base_path.c_str(), patch_path.c_str(), scratch.path().c_str(),
                                      target->installed_size, kMaxCrcFileSize);
            if (result != delta::ApplyResult::kApplied) {
                log.Error(L"the patch of " + Quote(patch.name) + L" from " + Quote(base_path) +
                          L" cannot be applied: " + ApplyProblem(result));
            } else if (!Sha256File(scratch.path().c_str(), kMaxCrcFileSize, sha256, size) ||
                       sha256 != target->installed_sha256 || size != target->installed_size) {
                log.Error(L"the patch of " + Quote(patch.name) + L" from " + Quote(base_path) +
                          L" makes another file than release.dat lists");
            } else {
                ++applied;
            }
            DeleteFileW(scratch.path().c_str());
            break;
        }
    }
    if (!base_folders.empty()) {
        log.Info(L"delta.dat: " + std::to_wstring(applied) +
                 L" patch(es) applied to their bases and checked");
    }
}

}  // namespace qv::publish
