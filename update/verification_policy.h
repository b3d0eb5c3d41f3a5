#pragma once
// What the update pass asks at each step about the files it fetches and stages. The
// pass holds one policy: CRC-32 only (the list's values), or signed (the list's values
// and a release.dat that one of the trusted keys signed). A new kind of check is one
// more method here, answered by each policy, never a branch in the pass.

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "trust/sha256.h"
#include "update/file_list.h"
#include "update/update_result.h"
#include "update/update_settings.h"

namespace qv {

class CDownloader;

// How a staged file compares with what the release says it must be.
enum class StagedCheck {
    kRight,
    kDamaged,    // not the list's CRC-32: a broken file
    kNotSigned,  // the list's CRC-32, but not the signed file
};

// A patch that makes a listed file out of the installed one, as the signed description
// of the release's patches gives it.
struct PatchOffer {
    std::wstring served_name;     // relative to the base URL, backslash-separated
    Sha256Digest sha256 = {};     // of the patch as served
    uint64_t size = 0;            // of the patch as served: no body may be longer
    uint64_t installed_size = 0;  // of the file it makes
};

class VerificationPolicy {
public:
    virtual ~VerificationPolicy() = default;

    // Once ver.dat differs, before filelist.dat: what the rest of the pass is checked
    // against. `server_version` is ver.dat as fetched (empty when it was not asked
    // for). False refuses the release.
    [[nodiscard]] virtual bool BeforeFileList(const PassContext& pass, CDownloader& fetcher,
                                              std::string& server_version) = 0;
    // The most filelist.dat may be; 0 for the client's own bound.
    [[nodiscard]] virtual uint32_t FileListLimit() const noexcept = 0;
    // filelist.dat as stored at `path` and as read; false refuses the release.
    [[nodiscard]] virtual bool FileListRight(const std::wstring& path, const FileList& list) = 0;
    // The most a download of the entry may be; 0 for the client's own bound.
    [[nodiscard]] virtual uint32_t BodyLimit(const FileEntry& entry) const noexcept = 0;
    // The bytes a download of the entry will bring (the archive when zipped), known
    // before it starts; nullopt when only the answer will tell.
    [[nodiscard]] virtual std::optional<uint64_t> ExpectedDownloadSize(
        const FileEntry& entry) const noexcept = 0;
    // A download (the archive when zipped) as it is on disk.
    [[nodiscard]] virtual bool DownloadRight(const FileEntry& entry,
                                             const std::wstring& path) const = 0;
    // A staged file, left by an earlier run or just extracted.
    [[nodiscard]] virtual StagedCheck CheckStaged(const FileEntry& entry,
                                                  const std::wstring& path) const = 0;
    // What becomes of a file that failed its check, or of the part of one: kept for a
    // look (CRC-32 only), or removed at once so that nothing unverified stays staged.
    virtual void DiscardFailed(const std::wstring& path) const = 0;
    // The result of a step that failed with `plain` although an answer came (a bad
    // list body, downloads that were all refused).
    [[nodiscard]] virtual UpdateResult Refused(UpdateResult plain) const noexcept = 0;
    // After every listed file is staged: what must move after them all.
    [[nodiscard]] virtual bool StageLast(const std::wstring& app_dir,
                                         const std::string& server_version) = 0;
    // The patch whose base is the installed file at `installed_path` (its size, then its
    // SHA-256), or none. Only signed hashes may pick a base: CRC-32 only offers none.
    [[nodiscard]] virtual std::optional<PatchOffer> PatchFor(
        const FileEntry& entry, const std::wstring& installed_path) const = 0;
    // A fetched patch as it is on disk, against the offer's signed SHA-256 and size.
    [[nodiscard]] virtual bool PatchRight(const PatchOffer& offer,
                                          const std::wstring& path) const = 0;
    // The staged updater right before it starts.
    [[nodiscard]] virtual bool UpdaterMayStart(const std::wstring& path) const = 0;
};

// How a listed file comes: through a patch of the installed file when the policy offers
// one, else in full. The one place that decides; `bytes` is what the entry costs on the
// wire (the patch's signed size, or the file's signed served size; 0 when unknown).
struct EntryTransfer {
    std::optional<PatchOffer> patch;
    uint64_t bytes = 0;
};
[[nodiscard]] EntryTransfer PlanEntryTransfer(const FileEntry& entry, const PassContext& pass,
                                              const VerificationPolicy& policy);

// The policy of cfg.ini's release_keys: CRC-32 only without keys, signed with them.
// Null when keys are configured but unusable: such a configuration fetches nothing.
[[nodiscard]] std::unique_ptr<VerificationPolicy> MakeVerificationPolicy(
    const std::optional<std::wstring>& release_keys);

}  // namespace qv
