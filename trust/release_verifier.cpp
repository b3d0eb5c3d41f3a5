#include "trust/release_verifier.h"

#include <windows.h>

namespace qv {

bool ReleaseVerifier::SetTrustedKeys(std::wstring_view text) noexcept {
    keys_.clear();
    std::vector<EcdsaPublicPoint> points;
    if (!ParsePublicKeyList(text, points)) {
        return false;
    }
    try {
        keys_.resize(points.size());
    } catch (...) {
        return false;
    }
    for (size_t i = 0; i < points.size(); ++i) {
        if (!keys_[i].Import(points[i])) {
            keys_.clear();
            return false;
        }
    }
    return true;
}

bool ReleaseVerifier::AcceptManifest(std::string_view bytes, std::string_view version_bytes,
                                     std::optional<uint64_t> installed_sequence,
                                     uint64_t now) noexcept {
    accepted_ = false;
    if (keys_.empty() || OpenReleaseManifest(bytes, keys_, manifest_) != ManifestCheck::kValid) {
        return false;
    }
    accepted_ = !manifest_.ExpiredAt(now) && manifest_.version_bytes == version_bytes &&
                (!installed_sequence || manifest_.sequence > *installed_sequence);
    return accepted_;
}

bool ReleaseVerifier::FileListMatches(const FileHashes& list_file,
                                      const std::vector<std::wstring>& names) const noexcept {
    if (!accepted_ || list_file.size != manifest_.file_list_size ||
        list_file.sha256 != manifest_.file_list_sha256 || names.size() != manifest_.files.size()) {
        return false;
    }
    // As many entries as signed names, each of them signed: then every signed name is
    // listed, and none twice.
    std::vector<bool> seen(manifest_.files.size(), false);
    for (const std::wstring& name : names) {
        const SignedFile* file = manifest_.Find(name);
        if (file == nullptr) {
            return false;
        }
        const size_t index = static_cast<size_t>(file - manifest_.files.data());
        if (seen[index]) {
            return false;
        }
        seen[index] = true;
    }
    return true;
}

bool ReleaseVerifier::DownloadMatches(const std::wstring& name,
                                      const FileHashes& download) const noexcept {
    const SignedFile* file = accepted_ ? manifest_.Find(name) : nullptr;
    return file != nullptr && download.size == file->served_size &&
           download.sha256 == file->served_sha256;
}

bool ReleaseVerifier::StagedMatches(const std::wstring& name,
                                    const FileHashes& staged) const noexcept {
    const SignedFile* file = accepted_ ? manifest_.Find(name) : nullptr;
    return file != nullptr && staged.size == file->installed_size &&
           staged.sha256 == file->installed_sha256;
}

uint64_t ReleaseVerifier::ServedSize(const std::wstring& name) const noexcept {
    const SignedFile* file = accepted_ ? manifest_.Find(name) : nullptr;
    return file != nullptr ? file->served_size : 0;
}

}  // namespace qv
