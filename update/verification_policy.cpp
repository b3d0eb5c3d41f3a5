// The two verification policies of the update pass. CRC-32 only takes the list's values
// as they are; signed mode checks everything against a release.dat that a trusted key
// signed and stages the rollback record that the installation moves last.

#include "update/verification_policy.h"

#include "trust/file_hashes.h"
#include "trust/release_record.h"
#include "trust/release_verifier.h"
#include "update/delta_manifest.h"
#include "update/download.h"
#include "update/downloader.h"
#include "update/file_names.h"
#include "update/update_logic.h"
#include "win/path.h"
#include "win/unique_handle.h"

namespace qv {

namespace {

// Creates or replaces the file with `bytes`, on the disk before it returns.
bool WriteFileDurably(const wchar_t* path, const std::string& bytes) noexcept {
    if (bytes.size() > MAXDWORD) {
        return false;
    }
    UniqueFileHandle file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr));
    DWORD written = 0;
    return file &&
           (bytes.empty() || WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                       &written, nullptr)) &&
           written == bytes.size() && FlushFileBuffers(file.get());
}

// The list's values only.
class CrcPolicy final : public VerificationPolicy {
public:
    bool BeforeFileList(const PassContext&, CDownloader&, std::string&) override { return true; }
    uint32_t FileListLimit() const noexcept override { return 0; }
    bool FileListRight(const std::wstring&, const FileList&) override { return true; }
    uint32_t BodyLimit(const FileEntry&) const noexcept override { return 0; }
    std::optional<uint64_t> ExpectedDownloadSize(const FileEntry&) const noexcept override {
        return std::nullopt;  // the list has no sizes
    }
    bool DownloadRight(const FileEntry& entry, const std::wstring& path) const override {
        return FileCrc32(path.c_str()) == entry.crc_download;
    }
    StagedCheck CheckStaged(const FileEntry& entry, const std::wstring& path) const override {
        return FileCrc32(path.c_str()) == entry.crc_installed ? StagedCheck::kRight
                                                              : StagedCheck::kDamaged;
    }
    void DiscardFailed(const std::wstring&) const override {}
    UpdateResult Refused(UpdateResult plain) const noexcept override { return plain; }
    bool StageLast(const std::wstring&, const std::string&) override { return true; }
    std::optional<PatchOffer> PatchFor(const FileEntry&, const std::wstring&) const override {
        return std::nullopt;
    }
    bool PatchRight(const PatchOffer&, const std::wstring&) const override { return false; }
    bool UpdaterMayStart(const std::wstring&) const override { return true; }
};

// The list's values and the signed release's, each file read once for both.
class SignedPolicy final : public VerificationPolicy {
public:
    [[nodiscard]] bool SetTrustedKeys(const std::wstring& keys) noexcept {
        return verifier_.SetTrustedKeys(keys);
    }

    bool BeforeFileList(const PassContext& pass, CDownloader& fetcher,
                        std::string& server_version) override {
        if (server_version.empty()) {
            // No installed version was known, so ver.dat was not asked for; what
            // release.dat signs must still be what the server announces.
            CHttpReceiveDataBytes version;
            if (!fetcher.ToSink(pass.base_url + L"/" + kVersionFileName, &version,
                                pass.version_timeout_ms, kMaxSignedVersionSize)) {
                return false;
            }
            server_version = std::move(version.bytes);
        }
        std::optional<uint64_t> installed_sequence;
        std::wstring record_path;
        if (!UpdateDirPath(pass.app_dir, kReleaseRecordName, record_path) ||
            !ReadReleaseRecord(record_path.c_str(), installed_sequence)) {
            return false;  // a record that does not read allows no rollback check
        }
        CHttpReceiveDataBytes manifest;
        return fetcher.ToSink(pass.base_url + L"/" + kReleaseManifestName, &manifest,
                              pass.version_timeout_ms,
                              static_cast<uint32_t>(kMaxReleaseManifestSize)) &&
               verifier_.AcceptManifest(manifest.bytes, server_version, installed_sequence,
                                        CurrentUtcTime()) &&
               AcceptDeltaManifest(pass, fetcher);
    }

    uint32_t FileListLimit() const noexcept override {
        return static_cast<uint32_t>(verifier_.manifest().file_list_size);
    }

    bool FileListRight(const std::wstring& path, const FileList& list) override {
        FileHashes hashes;
        std::vector<std::wstring> names;
        names.reserve(list.entries.size());
        for (const FileEntry& entry : list.entries) {
            names.push_back(entry.name);
        }
        if (HashFile(path.c_str(), kMaxSignedFileSize, true, hashes) &&
            verifier_.FileListMatches(hashes, names)) {
            return true;
        }
        // Not the signed list: nothing may be taken from it later.
        DeleteFileW(path.c_str());
        return false;
    }

    uint32_t BodyLimit(const FileEntry& entry) const noexcept override {
        return static_cast<uint32_t>(verifier_.ServedSize(entry.name));
    }

    std::optional<uint64_t> ExpectedDownloadSize(const FileEntry& entry) const noexcept override {
        return verifier_.ServedSize(entry.name);
    }

    bool DownloadRight(const FileEntry& entry, const std::wstring& path) const override {
        FileHashes hashes;
        const bool read = HashFile(path.c_str(), kMaxCrcFileSize, true, hashes);
        return (read ? hashes.crc32 : 0) == entry.crc_download && read &&
               verifier_.DownloadMatches(entry.name, hashes);
    }

    StagedCheck CheckStaged(const FileEntry& entry, const std::wstring& path) const override {
        FileHashes hashes;
        const bool read = HashFile(path.c_str(), kMaxCrcFileSize, true, hashes);
        // An unreadable file has CRC 0, as FileCrc32 tells it.
        if ((read ? hashes.crc32 : 0) != entry.crc_installed) {
            return StagedCheck::kDamaged;
        }
        return read && verifier_.StagedMatches(entry.name, hashes) ? StagedCheck::kRight
                                                                   : StagedCheck::kNotSigned;
    }

    void DiscardFailed(const std::wstring& path) const override { DeleteFileW(path.c_str()); }
    UpdateResult Refused(UpdateResult) const noexcept override { return UPDATE_E_SIGNATURE; }

    bool StageLast(const std::wstring& app_dir, const std::string& server_version) override {
        // The companion first: a staged record is only ever found with the version it
        // belongs to.
        std::wstring staged;
        std::wstring version;
        return UpdateDirPath(app_dir, kStagedRecordVersionName, version) &&
               WriteFileDurably(version.c_str(), server_version) &&
               UpdateDirPath(app_dir, kStagedReleaseRecordName, staged) &&
               WriteReleaseRecord(staged.c_str(), verifier_.manifest().sequence);
    }

    std::optional<PatchOffer> PatchFor(const FileEntry& entry,
                                       const std::wstring& installed_path) const override {
        const SignedFile* file =
            verifier_.HasManifest() ? verifier_.manifest().Find(entry.name) : nullptr;
        const DeltaPatch* patch = file != nullptr
                                      ? FindPatchForBase(delta_, entry.name, installed_path.c_str())
                                      : nullptr;
        if (patch == nullptr) {
            return std::nullopt;
        }
        return PatchOffer{patch->served_name, patch->patch_sha256, patch->patch_size,
                          file->installed_size};
    }

    bool PatchRight(const PatchOffer& offer, const std::wstring& path) const override {
        Sha256Digest sha256 = {};
        uint64_t size = 0;
        return Sha256File(path.c_str(), offer.size, sha256, size) && size == offer.size &&
               sha256 == offer.sha256;
    }

    bool UpdaterMayStart(const std::wstring& path) const override {
        FileHashes hashes;
        return HashFile(path.c_str(), kMaxCrcFileSize, true, hashes) &&
               verifier_.StagedMatches(kUpdaterFileName, hashes);
    }

private:
    // delta.dat, right after release.dat was accepted. None served (or none that came
    // whole) leaves no patches: the release comes in full files. One that came but is
    // not signed by a trusted key for exactly this release is tampering.
    bool AcceptDeltaManifest(const PassContext& pass, CDownloader& fetcher) {
        delta_ = DeltaManifest{};
        CHttpReceiveDataBytes body;
        if (!fetcher.ToSink(pass.base_url + L"/" + kDeltaManifestName, &body,
                            pass.version_timeout_ms,
                            static_cast<uint32_t>(kMaxDeltaManifestSize))) {
            return true;
        }
        DeltaManifest delta;
        if (OpenDeltaManifest(body.bytes, verifier_.trusted_keys(), delta) !=
                ManifestCheck::kValid ||
            !DeltaManifestBelongsTo(delta, verifier_.manifest())) {
            return false;
        }
        delta_ = std::move(delta);
        return true;
    }

    ReleaseVerifier verifier_;
    DeltaManifest delta_;  // the accepted release's patches; none without delta.dat
};

}  // namespace

EntryTransfer PlanEntryTransfer(const FileEntry& entry, const PassContext& pass,
                                const VerificationPolicy& policy) {
    EntryTransfer transfer;
    std::wstring installed;
    if (JoinPath(installed, pass.app_dir, entry.name)) {
        transfer.patch = policy.PatchFor(entry, installed);
    }
    transfer.bytes =
        transfer.patch ? transfer.patch->size : policy.ExpectedDownloadSize(entry).value_or(0);
    return transfer;
}

std::unique_ptr<VerificationPolicy> MakeVerificationPolicy(
    const std::optional<std::wstring>& release_keys) {
    if (!release_keys) {
        return std::make_unique<CrcPolicy>();
    }
    // A key that is there but unusable (malformed, or a CNG without ECDSA) is no reason
    // to fall back to unchecked releases.
    auto policy = std::make_unique<SignedPolicy>();
    if (!policy->SetTrustedKeys(*release_keys)) {
        return nullptr;
    }
    return policy;
}

}  // namespace qv
