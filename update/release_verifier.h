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

#include "update/ecdsa.h"
#include "update/file_list.h"
#include "update/file_names.h"
#include "update/release_manifest.h"

namespace qv {

// True when the file exists, is `size` bytes long and has the SHA-256 `sha256`.
[[nodiscard]] bool FileMatches(const wchar_t* path, const Sha256Digest& sha256,
                               uint64_t size) noexcept;

// Reads a rollback record: "N\n". `sequence` stays empty when there is no record; false
// when one exists but cannot be read or is not exactly that form (refused rather than
// taken as "none", which would allow any rollback).
[[nodiscard]] bool ReadReleaseRecord(const wchar_t* path,
                                     std::optional<uint64_t>& sequence) noexcept;
// Writes a record durably (flushed before it is closed); replaces an existing file.
[[nodiscard]] bool WriteReleaseRecord(const wchar_t* path, uint64_t sequence) noexcept;

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
    [[nodiscard]] const ReleaseManifest& manifest() const noexcept { return manifest_; }

    // filelist.dat on disk and as read: the signed bytes, and the same names as the
    // manifest, each once.
    [[nodiscard]] bool FileListMatches(const wchar_t* path, const FileList& list) const noexcept;
    // A download (the archive when zipped) against its served hash and size.
    [[nodiscard]] bool DownloadMatches(const FileEntry& entry, const wchar_t* path) const noexcept;
    // A staged file against its installed hash and size.
    [[nodiscard]] bool StagedMatches(const FileEntry& entry, const wchar_t* path) const noexcept;
    // The most a download of the entry may be: its served size (0 when not signed).
    [[nodiscard]] uint64_t ServedSize(const FileEntry& entry) const noexcept;

private:
    std::vector<EcdsaPublicKey> keys_;
    ReleaseManifest manifest_;
    bool accepted_ = false;
};

}  // namespace qv
