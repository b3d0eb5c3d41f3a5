#include "tools/publish/checker.h"

#include <windows.h>

#include <map>
#include <vector>

#include "tools/publish/delta_patches.h"
#include "tools/publish/publisher.h"
#include "tools/publish/release.h"
#include "tools/publish/signing.h"
#include "tools/publish/zip_archive.h"
#include "trust/file_hashes.h"
#include "trust/hex.h"
#include "trust/release_manifest.h"
#include "update/file_list.h"
#include "update/text_line_file.h"
#include "update/version_check.h"
#include "win/file_system.h"
#include "win/path.h"
#include "win/text.h"
#include "win/unique_handle.h"

namespace qv::publish {

namespace {

std::wstring Quote(const std::wstring& text) {
    return L"\"" + text + L"\"";
}

// Size of an existing plain file; false for a folder or a missing file.
bool PlainFileSize(const std::wstring& path, uint64_t& out) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return false;
    }
    out = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

// A scratch folder for extracted items, removed with its files.
class ScratchFolder {
public:
    ScratchFolder() {
        wchar_t temp[MAX_PATH];
        const DWORD length = GetTempPathW(MAX_PATH, temp);
        if (length == 0 || length >= MAX_PATH) {
            return;
        }
        for (unsigned attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            std::wstring candidate = std::wstring(temp) + L"qvcheck" +
                                     std::to_wstring(GetCurrentProcessId()) + L"_" +
                                     std::to_wstring(attempt);
            if (CreateDirectoryW(candidate.c_str(), nullptr)) {
                path_ = std::move(candidate);
            }
        }
    }
    ~ScratchFolder() {
        if (!path_.empty()) {
            DeleteFileW(File().c_str());
            RemoveDirectoryW(path_.c_str());
        }
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    [[nodiscard]] bool valid() const { return !path_.empty(); }
    [[nodiscard]] std::wstring File() const { return path_ + L"\\item"; }

private:
    std::wstring path_;
};

// What the updater takes from the server's ver.dat: the body as its version sink
// decodes it.
std::wstring ServerVersionText(const std::string& body) {
    return VersionTextOfBody(body);
}

bool CheckVersionFile(const std::wstring& server, std::wstring& version, std::string& body,
                      Log& log) {
    bool too_large = false;
    if (!ReadSmallFile(server + L"\\" + kVersionFileName, kMaxVersionFileSize, body, &too_large)) {
        log.Error(too_large ? L"ver.dat is larger than " + std::to_wstring(kMaxVersionFileSize) +
                                  L" bytes; it should hold a short version text"
                            : L"ver.dat is missing: the updater takes a failed fetch of it for "
                              L"\"no update\", so installations would never update");
        return false;
    }
    version = ServerVersionText(body);
    log.Info(L"version: " + Quote(version) + L" (ver.dat, " + std::to_wstring(body.size()) +
             L" bytes)");
    if (version.find(L'\n') != std::wstring::npos) {
        log.Error(
            L"ver.dat holds a line feed: no installed version (one line) can equal it, so "
            L"every run would fetch the file list");
    }
    if (body.find('\0') != std::string::npos) {
        log.Warning(L"ver.dat holds a zero byte; the updater ignores it and everything after it");
    }
    if (version.empty()) {
        log.Warning(L"ver.dat gives an empty version text");
    }
    return true;
}

// Reads the list line by line as the updater does, reporting lines it would skip or
// misread; fills `list` with what the updater's own reader takes from the file.
bool CheckListLines(const std::wstring& list_path, const CheckOptions& options, FileList& list,
                    Log& log) {
    TextLineFile file;
    if (!file.Open(list_path.c_str(), L"rb", CP_UTF8)) {
        log.Error(
            L"filelist.dat is missing: the updater would read the server's error page "
            L"as an empty list");
        return false;
    }
    std::wstring line;
    size_t number = 0, accepted = 0;
    std::map<std::wstring, std::wstring> names;  // upper-case form -> first spelling
    while (file.ReadLine(line)) {
        ++number;
        const std::wstring where = L"filelist.dat line " + std::to_wstring(number) + L": ";
        if (number == 1 && !line.empty() && line.front() == 0xFEFF) {
            log.Error(where +
                      L"starts with a byte order mark, which the updater reads as part "
                      L"of the first number");
        }
        if (line.empty()) {
            continue;  // skipped by the updater, and harmless
        }
        FileEntry entry;
        if (!ParseFileEntry(line, entry)) {
            log.Error(where + L"the updater skips this line: " + Quote(line));
            continue;
        }
        ++accepted;
        if (FormatFileEntry(entry) != line) {
            log.Warning(where + L"the updater reads " + Quote(line) + L" as " +
                        Quote(FormatFileEntry(entry)));
        }
        std::wstring problem = NameProblem(entry.name);
        if (problem.empty()) {
            problem = UrlProblem(options.base_url, entry.name);
        }
        if (!problem.empty()) {
            log.Error(where + Quote(entry.name) + L": " + problem);
        }
        if (!FitsUnderInstallDir(options.install_dir, entry.name, entry.zipped != 0)) {
            log.Error(where + Quote(entry.name) + L": the updater's path for it under " +
                      Quote(options.install_dir) + L"\\update would not fit in " +
                      std::to_wstring(MAX_PATH - 1) + L" characters");
        }
        std::wstring key = entry.name;
        CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
        const auto [it, inserted] = names.emplace(key, entry.name);
        if (!inserted) {
            log.Error(where + Quote(entry.name) + L" is listed again (as " + Quote(it->second) +
                      L" before); the updater would fetch and install it twice");
        }
    }
    if (!list.ReadFileList(list_path.c_str()) || list.entries.size() != accepted) {
        log.Error(L"filelist.dat changed while it was checked");
        return false;
    }
    log.Info(L"file list: " + std::to_wstring(list.entries.size()) + L" entries");
    return true;
}

std::wstring HashText(const Sha256Digest& digest) {
    const std::string text = ToHex(digest.data(), digest.size());
    return DecodeText(text);
}

// Compares a file's SHA-256 and size with what release.dat says of it.
void CheckSignedHash(const std::wstring& shown, const wchar_t* what, const std::wstring& path,
                     const Sha256Digest& sha256, uint64_t size, Log& log) {
    Sha256Digest actual;
    uint64_t actual_size = 0;
    if (!Sha256File(path.c_str(), kMaxCrcFileSize, actual, actual_size)) {
        log.Error(shown + L": cannot compute the SHA-256 of the " + what + L" file");
    } else if (actual_size != size) {
        log.Error(shown + L": the " + what + L" file has " + std::to_wstring(actual_size) +
                  L" bytes, release.dat says " + std::to_wstring(size));
    } else if (actual != sha256) {
        log.Error(shown + L": the " + what + L" file's SHA-256 is " + HashText(actual) +
                  L", release.dat says " + HashText(sha256));
    }
}

// Checks one entry's served file, and its hashes when release.dat names them; returns
// its size through `served_size` (0 when it is missing).
void CheckEntry(const std::wstring& server, const FileEntry& entry, const SignedFile* signed_file,
                ScratchFolder& scratch, uint64_t& served_size, Log& log) {
    served_size = 0;
    const std::wstring shown = Quote(entry.name) + (entry.zipped ? L" (zipped)" : L"");
    std::wstring path;
    if (!JoinPath(path, server, entry.name)) {
        log.Error(shown + L": the server folder's path is too long for this tool");
        return;
    }
    if (!PlainFileSize(path, served_size)) {
        log.Error(shown + L" is missing on the server");
        return;
    }
    if (entry.crc_installed == 0) {
        log.Warning(shown +
                    L": crc_installed is 0, which the updater cannot tell from a "
                    L"missing file; installations that lack it will not get it");
    }
    if (served_size > kMaxCrcFileSize) {
        log.Error(shown + L" is " + FormatSize(served_size) +
                  L" on the server; the updater verifies downloads of at most 1 GiB");
        return;
    }
    if (signed_file != nullptr) {
        CheckSignedHash(shown, L"served", path, signed_file->served_sha256,
                        signed_file->served_size, log);
        if (!entry.zipped && (signed_file->installed_sha256 != signed_file->served_sha256 ||
                              signed_file->installed_size != signed_file->served_size)) {
            log.Error(shown +
                      L": release.dat gives a plain file another installed hash or size "
                      L"than served");
        }
    }
    const uint32_t crc = FileCrc32(path.c_str());
    if (crc != entry.crc_download) {
        log.Error(shown + L": the served file's CRC-32 is " + std::to_wstring(crc) +
                  L", the list says crc_download " + std::to_wstring(entry.crc_download));
    }
    if (!entry.zipped) {
        if (entry.crc_installed != entry.crc_download) {
            log.Error(shown + L": crc_installed " + std::to_wstring(entry.crc_installed) +
                      L" differs from crc_download " + std::to_wstring(entry.crc_download) +
                      L", but a plain download is installed as it is: installations would "
                      L"fetch it on every run");
        }
        return;
    }
    if (entry.name == kVersionFileName) {
        log.Error(shown +
                  L": ver.dat is also the server's version file and must be served "
                  L"plain");
        return;
    }
    FirstItemInfo info;
    if (!ReadFirstItemInfo(path, info)) {
        log.Error(shown + L": the served file is no zip archive with an item");
        return;
    }
    if (info.crc != entry.crc_installed) {
        log.Error(shown + L": the archive's first item has CRC-32 " + std::to_wstring(info.crc) +
                  L", the list says crc_installed " + std::to_wstring(entry.crc_installed));
        return;
    }
    // The recorded CRC is not enough: the item must really extract to the file.
    const std::wstring extracted = scratch.File();
    const bool ok = scratch.valid() && ExtractFirstItem(path, extracted);
    const uint32_t extracted_crc = ok ? FileCrc32(extracted.c_str()) : 0;
    if (ok && signed_file != nullptr) {
        CheckSignedHash(shown, L"extracted", extracted, signed_file->installed_sha256,
                        signed_file->installed_size, log);
    }
    DeleteFileW(extracted.c_str());
    if (!ok || extracted_crc != entry.crc_installed) {
        log.Error(shown +
                  L": the archive's first item does not extract to a file with "
                  L"crc_installed " +
                  std::to_wstring(entry.crc_installed));
    }
}

// Reads release.dat, verified with the vendor's public key when one is given, and
// checks it against ver.dat and the list; false when it is absent or unusable.
bool CheckManifest(const std::wstring& server, const CheckOptions& options,
                   const std::string& version_body, const FileList& list, ReleaseManifest& manifest,
                   Log& log) {
    const std::wstring path = server + L"\\" + kReleaseManifestName;
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (!options.key_file.empty()) {
            log.Error(
                L"release.dat is missing: installations that check signatures install "
                L"nothing from this folder");
        }
        return false;
    }
    std::string bytes;
    bool too_large = false;
    if (!ReadSmallFile(path, kMaxReleaseManifestSize, bytes, &too_large)) {
        log.Error(too_large ? L"release.dat is larger than installations read (16 MiB)"
                            : L"cannot read release.dat");
        return false;
    }
    // As the updater does: the signature first, then the content it vouches for.
    ManifestCheck opened = ManifestCheck::kMalformed;
    if (options.key_file.empty()) {
        log.Info(L"release.dat: signature not checked (give --key PUBLIC_FILE)");
    } else {
        EcdsaPublicKey key;
        std::wstring error;
        if (!LoadPublicKey(options.key_file, key, error)) {
            log.Error(error);
            return false;
        }
        std::vector<EcdsaPublicKey> keys;
        keys.push_back(std::move(key));
        opened = OpenReleaseManifest(bytes, keys, manifest);
        if (opened == ManifestCheck::kBadSignature) {
            log.Error(L"release.dat is not signed with the key in " + Quote(options.key_file));
            return false;
        }
        if (opened == ManifestCheck::kUnavailable) {
            log.Error(L"Windows cannot verify ECDSA P-256 signatures here");
            return false;
        }
        if (opened == ManifestCheck::kValid) {
            log.Info(L"release.dat: signed with the key in " + Quote(options.key_file));
        }
    }
    std::string problem;
    if (opened != ManifestCheck::kValid && !ParseReleaseManifest(bytes, manifest, &problem)) {
        log.Error(L"release.dat: " + DecodeText(problem));
        return false;
    }
    const std::string expires = manifest.expires ? FormatUtcTime(*manifest.expires) : "";
    log.Info(
        L"release.dat: sequence " + std::to_wstring(manifest.sequence) +
        (manifest.expires ? L", expires " + DecodeText(expires) : std::wstring(L", no expiry")) +
        L", " + std::to_wstring(manifest.files.size()) + L" file(s)");
    if (manifest.ExpiredAt(CurrentUtcTime())) {
        log.Error(L"release.dat has expired: installations refuse it");
    }
    if (manifest.version_bytes != version_body) {
        log.Error(L"release.dat signs other bytes than the served ver.dat");
    }
    Sha256Digest list_sha256;
    uint64_t list_size = 0;
    if (!Sha256File((server + L"\\" + kFileListName).c_str(), kMaxReleaseManifestSize, list_sha256,
                    list_size) ||
        list_sha256 != manifest.file_list_sha256 || list_size != manifest.file_list_size) {
        log.Error(L"filelist.dat is not the file list release.dat signs");
    }
    size_t matched = 0;
    for (const FileEntry& entry : list.entries) {
        if (manifest.Find(entry.name) == nullptr) {
            log.Error(Quote(entry.name) + L" is listed in filelist.dat but not in release.dat");
        } else {
            ++matched;
        }
    }
    if (matched != manifest.files.size() || matched != list.entries.size()) {
        log.Error(
            L"release.dat names files that filelist.dat does not list, or lists them "
            L"differently");
    }
    return true;
}

void ReportDownloads(const std::wstring& installed, const std::wstring& version,
                     const FileList& list, const std::map<std::wstring, uint64_t>& sizes,
                     Log& log) {
    FileList downloads;
    if (installed.empty()) {
        // A missing file has CRC 0: an empty installation lacks every file.
        for (const FileEntry& entry : list.entries) {
            if (entry.crc_installed != 0) {
                downloads.entries.push_back(entry);
            }
        }
        log.Info(L"a new installation would download:");
    } else {
        std::wstring installed_version;
        const VersionSource source = ReadInstalledVersion(installed, installed_version);
        downloads = BuildDownloadList(list, installed);
        if (source == VersionSource::kNone) {
            log.Info(
                L"installation: no ver.dat and no version in qvreader.exe; the updater "
                L"fetches the file list without asking for ver.dat");
        } else {
            const std::wstring from =
                source == VersionSource::kVersionFile ? kVersionFileName : kReaderFileName;
            if (installed_version == version) {
                log.Info(L"installation: version " + Quote(installed_version) + L" (from " + from +
                         L") equals the server's: the updater stops there");
                if (!downloads.entries.empty()) {
                    log.Warning(L"the installation differs from the server in " +
                                std::to_wstring(downloads.entries.size()) +
                                L" file(s) although its version is current; the updater will "
                                L"not repair them");
                }
                return;
            }
            log.Info(L"installation: version " + Quote(installed_version) + L" (from " + from +
                     L") differs from the server's: the updater fetches the file list");
        }
        log.Info(L"the installation would download:");
    }
    uint64_t total = 0;
    for (const FileEntry& entry : downloads.entries) {
        const auto found = sizes.find(entry.name);
        const uint64_t size = found == sizes.end() ? 0 : found->second;
        total += size;
        log.Info(L"  " + entry.name + (entry.zipped ? L" (zipped)" : L"") + L"  " +
                 std::to_wstring(size) + L" bytes");
    }
    log.Info(L"  " + std::to_wstring(downloads.entries.size()) + L" file(s), " +
             std::to_wstring(total) + L" bytes (" + FormatSize(total) + L")");
}

}  // namespace

int Check(const CheckOptions& options, Log& log) {
    std::wstring server, installed;
    if (!FullFolderPath(options.server_dir, server) || !IsDirectory(server.c_str())) {
        log.Error(L"the server folder " + Quote(options.server_dir) + L" does not exist");
        return kExitUsage;
    }
    if (!options.installed_dir.empty() &&
        (!FullFolderPath(options.installed_dir, installed) || !IsDirectory(installed.c_str()))) {
        log.Error(L"the installation folder " + Quote(options.installed_dir) + L" does not exist");
        return kExitUsage;
    }
    const std::wstring url_problem = BaseUrlProblem(options.base_url);
    if (!url_problem.empty()) {
        log.Error(L"base URL " + Quote(options.base_url) + L": " + url_problem);
        return kExitUsage;
    }
    log.Info(L"server folder: " + server);
    std::wstring version;
    std::string version_body;
    const bool have_version = CheckVersionFile(server, version, version_body, log);
    FileList list;
    if (CheckListLines(server + L"\\" + kFileListName, options, list, log)) {
        ReleaseManifest manifest;
        const bool signed_release =
            CheckManifest(server, options, version_body, list, manifest, log);
        ScratchFolder scratch;
        std::map<std::wstring, uint64_t> sizes;
        for (size_t i = 0; i < list.entries.size(); ++i) {
            const FileEntry& entry = list.entries[i];
            log.Progress(L"checking " + std::to_wstring(i + 1) + L"/" +
                         std::to_wstring(list.entries.size()) + L": " + entry.name);
            uint64_t served_size = 0;
            CheckEntry(server, entry, signed_release ? manifest.Find(entry.name) : nullptr, scratch,
                       served_size, log);
            sizes[entry.name] = served_size;
        }
        if (signed_release) {
            std::vector<std::wstring> bases = options.delta_from;
            if (!installed.empty()) {
                bases.insert(bases.begin(), installed);
            }
            CheckReleasePatches(server, options.key_file, manifest, bases, log);
        }
        if (have_version) {
            ReportDownloads(installed, version, list, sizes, log);
        }
    }
    if (log.ErrorCount() > 0) {
        log.Info(std::to_wstring(log.ErrorCount()) + L" problem(s) found");
        return kExitProblems;
    }
    log.Info(L"no problems found");
    return kExitOk;
}

}  // namespace qv::publish
