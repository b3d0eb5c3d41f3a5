#include "update/release_verifier.h"

#include <windows.h>

#include <cstdio>

#include "update/sha256.h"
#include "win/path.h"
#include "win/unique_handle.h"

namespace qv {

namespace {

// "18446744073709551615\n" and a little room to see that a file is longer.
constexpr DWORD kMaxRecordSize = 32;

}  // namespace

bool FileMatches(const wchar_t* path, const Sha256Digest& sha256, uint64_t size) noexcept {
    Sha256Digest actual;
    uint64_t actual_size = 0;
    return Sha256File(path, size, actual, actual_size) && actual_size == size && actual == sha256;
}

bool ReadReleaseRecord(const wchar_t* path, std::optional<uint64_t>& sequence) noexcept {
    sequence.reset();
    if (path == nullptr || !FitsMaxPath(path)) {
        return false;
    }
    UniqueFileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        // Only a record that is not there at all is "no release installed yet".
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    char buffer[kMaxRecordSize];
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) || read < 2 ||
        read == sizeof(buffer) || buffer[read - 1] != '\n') {
        return false;
    }
    uint64_t value = 0;
    if (!ParseDecimal(std::string_view(buffer, read - 1), value)) {
        return false;
    }
    sequence = value;
    return true;
}

bool WriteReleaseRecord(const wchar_t* path, uint64_t sequence) noexcept {
    if (path == nullptr || !FitsMaxPath(path)) {
        return false;
    }
    char text[kMaxRecordSize];
    const int length =
        std::snprintf(text, sizeof(text), "%llu\n", static_cast<unsigned long long>(sequence));
    UniqueFileHandle file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && length > 0 &&
           WriteFile(file.get(), text, static_cast<DWORD>(length), &written, nullptr) &&
           written == static_cast<DWORD>(length) && FlushFileBuffers(file.get());
}

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

bool ReleaseVerifier::FileListMatches(const wchar_t* path, const FileList& list) const noexcept {
    if (!accepted_ || !FileMatches(path, manifest_.file_list_sha256, manifest_.file_list_size) ||
        list.entries.size() != manifest_.files.size()) {
        return false;
    }
    // As many entries as signed names, each of them signed: then every signed name is
    // listed, and none twice.
    std::vector<bool> seen(manifest_.files.size(), false);
    for (const FileEntry& entry : list.entries) {
        const SignedFile* file = manifest_.Find(entry.name);
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

bool ReleaseVerifier::DownloadMatches(const FileEntry& entry, const wchar_t* path) const noexcept {
    const SignedFile* file = accepted_ ? manifest_.Find(entry.name) : nullptr;
    return file != nullptr && FileMatches(path, file->served_sha256, file->served_size);
}

bool ReleaseVerifier::StagedMatches(const FileEntry& entry, const wchar_t* path) const noexcept {
    const SignedFile* file = accepted_ ? manifest_.Find(entry.name) : nullptr;
    return file != nullptr && FileMatches(path, file->installed_sha256, file->installed_size);
}

uint64_t ReleaseVerifier::ServedSize(const FileEntry& entry) const noexcept {
    const SignedFile* file = accepted_ ? manifest_.Find(entry.name) : nullptr;
    return file != nullptr ? file->served_size : 0;
}

}  // namespace qv
