#pragma once
// Delta patches of a signed release: making them against older releases (publish
// --delta-from) and checking served ones (check).

#include <string>
#include <vector>

#include "tools/publish/log.h"
#include "update/delta_manifest.h"
#include "trust/release_manifest.h"

namespace qv::publish {

// What a patch may make: one file of the new release.
struct PatchTarget {
    std::wstring name;       // as listed
    std::wstring source;     // full path in the release
    SignedFile signed_file;  // its served size and installed hash and size
};

// Totals for the log and the benchmarks.
struct PatchStats {
    size_t made = 0;            // patches in delta.dat
    size_t too_large = 0;       // made but dropped: not under half the served size
    size_t shared = 0;          // patches whose bytes another entry already serves
    uint64_t patch_bytes = 0;   // of the patches kept
    uint64_t served_bytes = 0;  // of the full files they stand in for
};

// For every target whose bytes differ from the file of the same name in one of
// `old_releases` (full folder paths), makes a patch and keeps it when it is under
// half the target's served size: written to SERVER\qvpatch\<sha256> unless an equal
// patch is there already, and described in `delta.patches`. False after logging.
[[nodiscard]] bool MakeReleasePatches(const std::vector<std::wstring>& old_releases,
                                      const std::wstring& server,
                                      const std::vector<PatchTarget>& targets, DeltaManifest& delta,
                                      PatchStats& stats, Log& log);

// Checks SERVER's delta.dat when there is one: its signature (with the key in
// `key_file`, when given), that it belongs to `release`, every patch's SHA-256 and
// size, and that each patch whose base is found in one of `base_folders` (by name,
// SHA-256 and size) makes the file release.dat lists. Errors go to the log.
void CheckReleasePatches(const std::wstring& server, const std::wstring& key_file,
                         const ReleaseManifest& release,
                         const std::vector<std::wstring>& base_folders, Log& log);

}  // namespace qv::publish
