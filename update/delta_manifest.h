#pragma once
// delta.dat: the signed description of a release's delta patches. Served beside
// release.dat, which it leaves as it is: an updater that knows no patches never reads
// it. It is bound to one release by that release's sequence and ver.dat bytes, so no
// patch can be moved to another release. UTF-8 text, LF line ends, in this order:
//
//   qvupdate-delta 1
//   sequence 1718000000
//   version 312e302e302e32                            (ver.dat's bytes, hex)
//   patch <base sha256> <base size> <patch sha256> <patch size> <served name> <name>
//   ...
//   signature ecdsa-p256 <r || s, hex>
//
// A patch turns the installed file whose SHA-256 and size are the base's into the
// listed file <name> as release.dat gives it installed. <served name> is
// "qvpatch\<patch sha256>": patches are named by content. The signature covers every
// byte before its line; nothing may follow that line.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "trust/ecdsa.h"
#include "trust/release_manifest.h"
#include "trust/sha256.h"

namespace qv {

inline constexpr wchar_t kDeltaManifestName[] = L"delta.dat";
inline constexpr size_t kMaxDeltaManifestSize = 16u << 20;

struct DeltaPatch {
    std::wstring name;  // the listed file it makes, as in release.dat
    Sha256Digest base_sha256 = {};
    uint64_t base_size = 0;
    Sha256Digest patch_sha256 = {};
    uint64_t patch_size = 0;
    std::wstring served_name;  // relative to the server's base URL
};

struct DeltaManifest {
    uint64_t sequence = 0;
    std::string version_bytes;  // exactly the server's ver.dat
    std::vector<DeltaPatch> patches;

    // Filled by the reader: the signed prefix and its signature.
    size_t signed_length = 0;
    EcdsaSignature signature = {};
};

// Where the patch of this SHA-256 is served: "qvpatch\<hex>".
[[nodiscard]] std::wstring PatchServedName(const Sha256Digest& patch_sha256);

// The text up to its signature line.
[[nodiscard]] std::string FormatDeltaManifestBody(const DeltaManifest& manifest);

// Reads the form of a whole file without checking the signature. False for anything
// that is not exactly the form above (a base listed twice for one name included), with
// a short reason in `problem` when given.
[[nodiscard]] bool ParseDeltaManifest(std::string_view bytes, DeltaManifest& out,
                                      std::string* problem = nullptr) noexcept;

// The signature must come from one of `keys`; only then is the rest read. `out` is
// filled only when the result is kValid.
[[nodiscard]] ManifestCheck OpenDeltaManifest(std::string_view bytes,
                                              const std::vector<EcdsaPublicKey>& keys,
                                              DeltaManifest& out) noexcept;

// True when the description belongs to `release`: the same sequence and ver.dat bytes,
// and every patch's name a file that release.dat lists.
[[nodiscard]] bool DeltaManifestBelongsTo(const DeltaManifest& delta,
                                          const ReleaseManifest& release,
                                          std::string* problem = nullptr);

// The patch of the listed file `name` whose base is the file at `installed_path`, or
// null: the file's size is compared first, and only when a base has that size is the
// file read for its SHA-256 (once, whatever the number of bases). A file that cannot
// be read, or is larger than any listed file may be, matches no base.
[[nodiscard]] const DeltaPatch* FindPatchForBase(const DeltaManifest& delta,
                                                 const std::wstring& name,
                                                 const wchar_t* installed_path) noexcept;

}  // namespace qv
