#pragma once
// Signed mode of the update pass: the trusted keys from cfg.ini, the release.dat that
// one of them signed, and the checks of everything the pass fetches or stages against
// it. Each check is one small function so that the pass calls it where the file is
// at hand. Any failure means the release is refused as a whole.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "trust/ecdsa.h"
#include "trust/file_hashes.h"
#include "trust/release_manifest.h"

namespace qv {

class ReleaseVerifier {
public:
    ReleaseVerifier() = default;
    ReleaseVerifier(const ReleaseVerifier&) = delete;
    ReleaseVerifier& operator=(const ReleaseVerifier&) = delete;

    // cfg.ini's release_keys; false when malformed or when CNG cannot take the keys.
    [[nodiscard]] bool SetTrustedKeys(std::wstring_view text) noexcept;

    // release.dat as fetched: signed by a trusted key, readable, not expired at `now`,
    // for exactly the ver.dat that was fetched, and newer than the release last
    // installed. Only then are the other checks possible.
    [[nodiscard]] bool AcceptManifest(std::string_view bytes, std::string_view version_bytes,
                                      std::optional<uint64_t> installed_sequence,
                                      uint64_t now) noexcept;
    [[nodiscard]] bool HasManifest() const noexcept { return accepted_; }
    // The keys of SetTrustedKeys, for the release's other signed texts.
    [[nodiscard]] const std::vector<EcdsaPublicKey>& trusted_keys() const noexcept { return keys_; }
    [[nodiscard]] const ReleaseManifest& manifest() const noexcept { return manifest_; }

    // filelist.dat as hashed and as read: the signed bytes, and the same names as the
    // manifest, each once.
    [[nodiscard]] bool FileListMatches(const FileHashes& list_file,
                                       const std::vector<std::wstring>& names) const noexcept;
    // A download (the archive when zipped) of the listed `name`, as hashed, against its
    // served hash and size.
    [[nodiscard]] bool DownloadMatches(const std::wstring& name,
                                       const FileHashes& download) const noexcept;
    // A staged file against its installed hash and size.
    [[nodiscard]] bool StagedMatches(const std::wstring& name,
                                     const FileHashes& staged) const noexcept;
    // The most a download of `name` may be: its served size (0 when not signed).
    [[nodiscard]] uint64_t ServedSize(const std::wstring& name) const noexcept;

private:
    std::vector<EcdsaPublicKey> keys_;
    ReleaseManifest manifest_;
    bool accepted_ = false;
};

}  // namespace qv
