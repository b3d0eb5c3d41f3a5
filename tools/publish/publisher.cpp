#include "tools/publish/publisher.h"

#include <windows.h>

#include <zlib.h>

#include <map>
#include <set>
#include <vector>

#include "tools/publish/delta_patches.h"
#include "tools/publish/release.h"
#include "update/delta_manifest.h"
#include "trust/file_hashes.h"
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

bool IsEmptyFolder(const std::wstring& path) {
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW((path + L"\\*").c_str(), &data));
    if (!find) {
        return false;
    }
    do {
        if (wcscmp(data.cFileName, L".") != 0 && wcscmp(data.cFileName, L"..") != 0) {
            return false;
        }
    } while (FindNextFileW(find.get(), &data));
    return true;
}

std::wstring Quote(const std::wstring& text) {
    return L"\"" + text + L"\"";
}

std::wstring WindowsError(DWORD code) {
    return L" (Windows error " + std::to_wstring(code) + L")";
}

bool FileSize(const std::wstring& path, uint64_t& out) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return false;
    }
    out = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

// Why a version text cannot be served; empty when it can.
std::wstring VersionTextProblem(const std::wstring& text) {
    if (text.empty()) {
        return L"the version text is empty";
    }
    if (HasControlCharacter(text)) {
        return L"the version text holds a control character or line end; an installed "
               L"version is one line";
    }
    return {};
}

struct Planned {
    ReleaseFile file;
    std::wstring source;  // full path in the release
    std::wstring target;  // full path in the server folder
    bool zipped = false;
};

// Names that Windows would take for one file or folder must be spelled alike: a
// case-sensitive web server would serve them apart.
void CheckSpellings(const std::vector<Planned>& plan, Log& log) {
    std::map<std::wstring, std::wstring> seen;  // upper-case form -> first spelling
    std::set<std::wstring> reported;
    for (const Planned& item : plan) {
        const std::wstring& name = item.file.name;
        size_t end = 0;
        do {
            end = name.find(L'\\', end + 1);
            const std::wstring prefix = name.substr(0, end);
            std::wstring key = prefix;
            CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
            const auto [it, inserted] = seen.emplace(key, prefix);
            if (!inserted && it->second != prefix && reported.insert(prefix).second) {
                log.Error(Quote(prefix) + L" and " + Quote(it->second) +
                          L" differ only in letter case: Windows takes them for one name");
            }
        } while (end != std::wstring::npos);
    }
}

// Works out the version text and whether the release's own ver.dat is the server's.
bool DecideVersion(const PublishOptions& options, const std::wstring& release,
                   const std::vector<Planned>& plan, std::wstring& version,
                   bool& release_has_version_file, Log& log) {
    release_has_version_file = false;
    for (const Planned& item : plan) {
        release_has_version_file = release_has_version_file || item.file.name == kVersionFileName;
    }
    std::wstring installed;
    const VersionSource source = ReadInstalledVersion(release, installed);
    if (release_has_version_file) {
        // Installations read their version from this file, and the server's ver.dat is
        // fetched from the same URL as the listed file: both must be the same bytes.
        std::string bytes;
        if (!ReadSmallFile(release + L"\\" + kVersionFileName, kMaxVersionFileSize, bytes,
                           nullptr)) {
            log.Error(L"cannot read ver.dat of the release, or it is longer than " +
                      std::to_wstring(kMaxVersionFileSize) + L" bytes");
            return false;
        }
        if (!options.version.empty() && options.version != installed) {
            log.Error(L"--version " + Quote(options.version) + L" differs from the first line " +
                      Quote(installed) +
                      L" of the release's ver.dat, which installations will read as their "
                      L"version: they would fetch the file list on every run");
            return false;
        }
        const std::wstring problem = VersionTextProblem(installed);
        if (!problem.empty()) {
            log.Error(L"ver.dat of the release: " + problem);
            return false;
        }
        if (bytes != EncodeText(installed)) {
            log.Error(
                L"ver.dat of the release must hold the version text only, without a line "
                L"end: the server serves this file as its version file, and the updater "
                L"compares its whole content with an installation's first line");
            return false;
        }
        version = installed;
        return true;
    }
    if (options.version.empty()) {
        if (source != VersionSource::kExecutable) {
            log.Error(
                L"no version text: the release has neither ver.dat nor a qvreader.exe "
                L"with a file version; give one with --version");
            return false;
        }
        version = installed;
        return true;
    }
    const std::wstring problem = VersionTextProblem(options.version);
    if (!problem.empty()) {
        log.Error(L"--version: " + problem);
        return false;
    }
    if (source == VersionSource::kExecutable && installed != options.version) {
        log.Error(L"--version " + Quote(options.version) + L" differs from the file version " +
                  Quote(installed) +
                  L" of the release's qvreader.exe, which installations will read as their "
                  L"version: they would fetch the file list on every run. Put a ver.dat with "
                  L"the text into the release to use a text of your own");
        return false;
    }
    if (source == VersionSource::kNone) {
        log.Warning(
            L"the release has neither ver.dat nor a qvreader.exe with a file version: "
            L"installations of it cannot tell their version and will fetch the file "
            L"list on every run");
    }
    version = options.version;
    return true;
}

// Writes one file into the server folder and fills its list entry; false after
// logging an error.
bool PublishFile(const Planned& item, int level, const ByteProgress& progress, FileEntry& entry,
                 uint64_t& served_size, Log& log) {
    const std::wstring& name = item.file.name;
    entry = FileEntry{};
    entry.name = name;
    entry.zipped = item.zipped ? 1 : 0;
    entry.crc_installed = FileCrc32(item.source.c_str());
    if (entry.crc_installed == 0 && item.file.size > 0) {
        log.Error(L"cannot read " + Quote(name) +
                  L", or its CRC-32 is 0, which the updater cannot tell from a missing file");
        return false;
    }
    if (item.file.size == 0) {
        log.Warning(Quote(name) +
                    L" is empty: the updater takes a missing file for an empty "
                    L"one, so installations that lack it will not get it");
    }
    if (!CreateParentDirectories(item.target.c_str())) {
        log.Error(L"cannot create the folder for " + Quote(name) + WindowsError(GetLastError()));
        return false;
    }
    if (item.zipped) {
        std::wstring error;
        const size_t slash = name.find_last_of(L'\\');
        const std::wstring item_name = slash == std::wstring::npos ? name : name.substr(slash + 1);
        if (!WriteSingleItemArchive(item.source, item_name, item.file.write_time, level,
                                    item.target, error, progress)) {
            log.Error(L"cannot zip " + Quote(name) + L": " + error);
            return false;
        }
        FirstItemInfo info;
        if (!ReadFirstItemInfo(item.target, info) || info.crc != entry.crc_installed ||
            info.size != item.file.size) {
            log.Error(Quote(name) + L" changed while it was being published");
            return false;
        }
    } else {
        if (!CopyFileW(item.source.c_str(), item.target.c_str(), TRUE)) {
            log.Error(L"cannot copy " + Quote(name) + WindowsError(GetLastError()));
            return false;
        }
        // The server's copy need not be read-only because the release's is.
        SetFileAttributesW(item.target.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    if (!FileSize(item.target, served_size)) {
        log.Error(L"cannot read the size of the served " + Quote(name));
        return false;
    }
    if (served_size > kMaxCrcFileSize) {
        log.Error(Quote(name) + L" zipped is " + FormatSize(served_size) +
                  L", more than the 1 GiB the updater can verify; serve it plain");
        return false;
    }
    entry.crc_download = FileCrc32(item.target.c_str());
    if (item.zipped ? entry.crc_download == 0 : entry.crc_download != entry.crc_installed) {
        log.Error(Quote(name) +
                  L" changed while it was being published, or its server copy "
                  L"cannot be read");
        return false;
    }
    return true;
}

// The hashes release.dat records for one file: of the copy that is served and of the
// release's file, which is what installations end up with. ver.dat is served as the
// release has it (and copied last); a plain file is installed as it is served.
bool HashPublished(const Planned& item, bool is_version_file, SignedFile& out, Log& log) {
    out.name = item.file.name;
    const std::wstring& served = is_version_file ? item.source : item.target;
    if (!Sha256File(served.c_str(), kMaxCrcFileSize, out.served_sha256, out.served_size)) {
        log.Error(L"cannot compute the SHA-256 of " + Quote(item.file.name));
        return false;
    }
    if (!item.zipped) {
        out.installed_sha256 = out.served_sha256;
        out.installed_size = out.served_size;
    } else if (!Sha256File(item.source.c_str(), kMaxCrcFileSize, out.installed_sha256,
                           out.installed_size)) {
        log.Error(L"cannot compute the SHA-256 of " + Quote(item.file.name));
        return false;
    }
    if (out.installed_size != item.file.size) {
        log.Error(Quote(item.file.name) + L" changed while it was being published");
        return false;
    }
    return true;
}

// Signs `manifest` and writes it as `name` into the server folder, once the signed bytes
// read back through installations' own reader: at most `max_size` bytes, and as many
// entries (`entries` counts them) as were meant. False after logging an error.
template <typename Manifest, typename Entries>
bool WriteSignedText(const std::wstring& server, const std::wstring& name, size_t max_size,
                     const Manifest& manifest, const EcdsaKeyPair& key,
                     bool (*sign)(const Manifest&, const EcdsaKeyPair&, std::string&) noexcept,
                     bool (*parse)(std::string_view, Manifest&, std::string*) noexcept,
                     Entries entries, Log& log) {
    std::string bytes;
    if (!sign(manifest, key, bytes)) {
        log.Error(L"Windows could not sign " + name);
        return false;
    }
    Manifest read_back;
    if (bytes.size() > max_size || !parse(bytes, read_back, nullptr) ||
        entries(read_back) != entries(manifest)) {
        log.Error(name + L" would be larger than installations read, or does not read back");
        return false;
    }
    const std::wstring path = server + L"\\" + name;
    if (!WriteNewFile(path, bytes)) {
        log.Error(L"cannot write " + Quote(path) + WindowsError(GetLastError()));
        return false;
    }
    return true;
}

// Signs the manifest of what was published and writes release.dat; false after
// logging an error.
bool WriteSignedManifest(const std::wstring& server, const std::string& version_bytes,
                         const EcdsaKeyPair& key, ReleaseManifest& manifest, Log& log) {
    const std::wstring list_path = server + L"\\" + kFileListName;
    manifest.version_bytes = version_bytes;
    if (!Sha256File(list_path.c_str(), kMaxReleaseManifestSize, manifest.file_list_sha256,
                    manifest.file_list_size)) {
        log.Error(L"cannot compute the SHA-256 of filelist.dat");
        return false;
    }
    return WriteSignedText(
        server, kReleaseManifestName, kMaxReleaseManifestSize, manifest, key, SignReleaseManifest,
        ParseReleaseManifest, [](const ReleaseManifest& read) { return read.files.size(); }, log);
}

// Makes the patches against the old releases and writes delta.dat, signed and bound
// to this release; false after logging an error.
bool WritePatches(const std::vector<std::wstring>& old_releases, const std::wstring& server,
                  const std::vector<Planned>& plan, const ReleaseManifest& manifest,
                  const std::string& version_bytes, const EcdsaKeyPair& key, PatchStats& stats,
                  Log& log) {
    std::vector<PatchTarget> targets;
    for (size_t i = 0; i < plan.size() && i < manifest.files.size(); ++i) {
        // ver.dat is served as is and is tiny: never patched.
        if (plan[i].file.name != kVersionFileName) {
            targets.push_back({plan[i].file.name, plan[i].source, manifest.files[i]});
        }
    }
    DeltaManifest delta;
    delta.sequence = manifest.sequence;
    delta.version_bytes = version_bytes;
    if (!MakeReleasePatches(old_releases, server, targets, delta, stats, log)) {
        return false;
    }
    return WriteSignedText(
        server, kDeltaManifestName, kMaxDeltaManifestSize, delta, key, SignDeltaManifest,
        ParseDeltaManifest, [](const DeltaManifest& read) { return read.patches.size(); }, log);
}

}  // namespace

std::wstring FormatSize(uint64_t bytes) {
    wchar_t text[64];
    if (bytes < 1024) {
        std::swprintf(text, 64, L"%llu bytes", static_cast<unsigned long long>(bytes));
    } else if (bytes < (1ull << 20)) {
        std::swprintf(text, 64, L"%.1f KiB", static_cast<double>(bytes) / 1024.0);
    } else if (bytes < (1ull << 30)) {
        std::swprintf(text, 64, L"%.1f MiB", static_cast<double>(bytes) / 1048576.0);
    } else {
        std::swprintf(text, 64, L"%.2f GiB", static_cast<double>(bytes) / 1073741824.0);
    }
    return text;
}

int Publish(const PublishOptions& options, Log& log) {
    std::wstring release, server;
    if (!FullFolderPath(options.release_dir, release) || !IsDirectory(release.c_str())) {
        log.Error(L"the release folder " + Quote(options.release_dir) + L" does not exist");
        return kExitUsage;
    }
    if (!FullFolderPath(options.server_dir, server)) {
        log.Error(L"the server folder " + Quote(options.server_dir) + L" is no valid path");
        return kExitUsage;
    }
    if (IsSameOrInside(server, release) || IsSameOrInside(release, server)) {
        log.Error(
            L"the server folder must lie outside the release folder, and the release "
            L"outside the server folder");
        return kExitUsage;
    }
    if (PathExists(server.c_str()) && !(IsDirectory(server.c_str()) && IsEmptyFolder(server))) {
        log.Error(L"the server folder " + Quote(server) +
                  L" exists and is not empty; publish into a new folder");
        return kExitUsage;
    }
    const std::wstring url_problem = BaseUrlProblem(options.base_url);
    if (!url_problem.empty()) {
        log.Error(L"base URL " + Quote(options.base_url) + L": " + url_problem);
        return kExitUsage;
    }
    if (options.level < 0 || options.level > 9) {
        log.Error(L"the compression level must be 0 to 9");
        return kExitUsage;
    }

    const bool signing = !options.signing.private_file.empty();
    if (!options.delta_from.empty() && !signing) {
        log.Error(
            L"--delta-from needs --sign: installations pick a patch's base by the signed "
            L"hashes");
        return kExitUsage;
    }
    std::vector<std::wstring> old_releases;
    for (const std::wstring& folder : options.delta_from) {
        std::wstring full;
        if (!FullFolderPath(folder, full) || !IsDirectory(full.c_str())) {
            log.Error(L"the old release folder " + Quote(folder) + L" does not exist");
            return kExitUsage;
        }
        if (IsSameOrInside(server, full) || IsSameOrInside(full, server)) {
            log.Error(L"the server folder must lie outside the old release " + Quote(full) +
                      L", and it outside the server folder");
            return kExitUsage;
        }
        old_releases.push_back(std::move(full));
    }
    EcdsaKeyPair key;
    std::wstring key_error;
    if (signing && !LoadPrivateKey(options.signing.private_file, key, key_error)) {
        log.Error(key_error);
        return kExitUsage;
    }
    if (options.signing.expires && *options.signing.expires <= CurrentUtcTime()) {
        log.Error(L"--expires lies in the past: installations would refuse the release");
        return kExitUsage;
    }

    std::vector<ReleaseFile> files;
    static_cast<void>(ScanRelease(release, files, log));  // its problems are in the log
    std::vector<Planned> plan;
    for (ReleaseFile& file : files) {
        Planned item;
        item.file = std::move(file);
        const std::wstring& name = item.file.name;
        std::wstring problem = NameProblem(name);
        if (problem.empty()) {
            problem = UrlProblem(options.base_url, name);
        }
        if (!problem.empty()) {
            log.Error(Quote(name) + L": " + problem);
            continue;
        }
        if (item.file.size > kMaxCrcFileSize) {
            log.Error(Quote(name) + L" is " + FormatSize(item.file.size) +
                      L"; the updater verifies files of at most 1 GiB");
            continue;
        }
        // The version file is served as is: it is also the server's version text.
        item.zipped = name != kVersionFileName && options.zip.Chooses(name, item.file.size);
        if (!FitsUnderInstallDir(options.install_dir, name, item.zipped)) {
            log.Error(Quote(name) + L": the updater's path for it under " +
                      Quote(options.install_dir) + L"\\update would not fit in " +
                      std::to_wstring(MAX_PATH - 1) + L" characters" +
                      (item.zipped ? L" (with \".zip\" while it is downloaded)" : L""));
            continue;
        }
        if (!JoinPath(item.source, release, name) || !JoinPath(item.target, server, name) ||
            !FitsMaxPath(item.target + L".zip")) {
            log.Error(Quote(name) + L": the path in the release or server folder is too long " +
                      L"for this tool; use folders with shorter paths");
            continue;
        }
        plan.push_back(std::move(item));
    }
    CheckSpellings(plan, log);
    std::wstring version;
    bool release_has_version_file = false;
    DecideVersion(options, release, plan, version, release_has_version_file, log);
    if (log.ErrorCount() > 0) {
        log.Info(L"nothing was published: " + std::to_wstring(log.ErrorCount()) +
                 L" problem(s) in the release");
        return kExitRefused;
    }
    if (plan.empty()) {
        log.Warning(L"the release folder holds no files; the file list will be empty");
    }

    if (!CreateDirectoryTree(server.c_str())) {
        log.Error(L"cannot create the server folder " + Quote(server) +
                  WindowsError(GetLastError()));
        return kExitFailed;
    }
    uint64_t total = 0, done = 0, served_total = 0;
    for (const Planned& item : plan) {
        total += item.file.size;
    }
    FileList list;
    ReleaseManifest manifest;
    manifest.sequence = options.signing.sequence.value_or(CurrentUtcTime());
    manifest.expires = options.signing.expires;
    size_t zipped_count = 0;
    const Planned* version_file = nullptr;
    for (size_t i = 0; i < plan.size(); ++i) {
        const Planned& item = plan[i];
        // Also called while a large file is zipped, with the bytes read so far.
        const ByteProgress progress = [&](uint64_t file_done) {
            log.Progress(L"publishing " + std::to_wstring(i + 1) + L"/" +
                         std::to_wstring(plan.size()) + L" files, " + FormatSize(done + file_done) +
                         L" of " + FormatSize(total) + L": " + item.file.name);
        };
        progress(0);
        FileEntry entry;
        uint64_t served_size = 0;
        if (item.file.name == kVersionFileName) {
            // Written last, with the list, so that a half-written folder has no version.
            version_file = &item;
            entry.crc_installed = entry.crc_download = FileCrc32(item.source.c_str());
            entry.name = item.file.name;
            served_size = item.file.size;
        } else if (!PublishFile(item, options.level, progress, entry, served_size, log)) {
            return kExitFailed;
        }
        if (signing) {
            SignedFile signed_file;
            if (!HashPublished(item, version_file == &item, signed_file, log)) {
                return kExitFailed;
            }
            manifest.files.push_back(std::move(signed_file));
        }
        zipped_count += entry.zipped ? 1 : 0;
        served_total += served_size;
        done += item.file.size;
        list.entries.push_back(std::move(entry));
    }

    const std::wstring list_path = server + L"\\" + kFileListName;
    const std::wstring version_path = server + L"\\" + kVersionFileName;
    if (!list.WriteFileList(list_path.c_str())) {
        log.Error(L"cannot write " + Quote(list_path) + WindowsError(GetLastError()));
        return kExitFailed;
    }
    // The list must read back, through the updater's own reader, as written.
    FileList read_back;
    bool same = read_back.ReadFileList(list_path.c_str()) &&
                read_back.entries.size() == list.entries.size();
    for (size_t i = 0; same && i < list.entries.size(); ++i) {
        same = FormatFileEntry(read_back.entries[i]) == FormatFileEntry(list.entries[i]);
    }
    if (!same) {
        log.Error(L"filelist.dat does not read back as written");
        return kExitFailed;
    }
    const std::string version_bytes = EncodeText(version);
    // Patches and their description come before release.dat, and all of it before
    // ver.dat appears: a folder that announces a version is complete.
    PatchStats patch_stats;
    if (!old_releases.empty() &&
        !WritePatches(old_releases, server, plan, manifest, version_bytes, key, patch_stats, log)) {
        return kExitFailed;
    }
    if (signing && !WriteSignedManifest(server, version_bytes, key, manifest, log)) {
        return kExitFailed;
    }
    if (version_file != nullptr) {
        if (!CopyFileW(version_file->source.c_str(), version_path.c_str(), TRUE) ||
            FileCrc32(version_path.c_str()) != FileCrc32(version_file->source.c_str()) ||
            FileCrc32(version_path.c_str()) !=
                crc32(0L, reinterpret_cast<const Bytef*>(version_bytes.data()),
                      static_cast<uInt>(version_bytes.size()))) {
            log.Error(L"cannot copy ver.dat, or it changed while the release was published");
            return kExitFailed;
        }
        SetFileAttributesW(version_path.c_str(), FILE_ATTRIBUTE_NORMAL);
    } else if (!WriteNewFile(version_path, version_bytes)) {
        log.Error(L"cannot write " + Quote(version_path) + WindowsError(GetLastError()));
        return kExitFailed;
    }
    log.Info(L"published " + std::to_wstring(plan.size()) + L" file(s), " +
             std::to_wstring(zipped_count) + L" zipped, " + FormatSize(served_total) +
             L" to serve, version " + Quote(version) + L", into " + Quote(server));
    if (signing) {
        const std::string expires = manifest.expires ? FormatUtcTime(*manifest.expires) : "";
        log.Info(L"signed release.dat: sequence " + std::to_wstring(manifest.sequence) +
                 (manifest.expires ? L", expires " + DecodeText(expires)
                                   : std::wstring(L", no expiry")));
    }
    if (!old_releases.empty()) {
        log.Info(L"delta.dat: " + std::to_wstring(patch_stats.made) + L" patch(es), " +
                 FormatSize(patch_stats.patch_bytes) + L" in place of " +
                 FormatSize(patch_stats.served_bytes) + L"; " +
                 std::to_wstring(patch_stats.too_large) +
                 L" dropped as not under half the served size");
    }
    return kExitOk;
}

}  // namespace qv::publish
