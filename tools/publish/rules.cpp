#include "tools/publish/rules.h"

#include <windows.h>

#include <memory>

#include "http/url.h"
#include "update/delta_manifest.h"
#include "trust/release_manifest.h"
#include "update/file_list.h"
#include "win/path.h"
#include "win/text.h"

namespace qv::publish {

namespace {

std::wstring Upper(std::wstring text) {
    if (!text.empty()) {
        CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    }
    return text;
}

std::vector<std::wstring> Components(const std::wstring& name) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (;;) {
        const size_t slash = name.find(L'\\', start);
        parts.push_back(name.substr(start, slash == std::wstring::npos ? slash : slash - start));
        if (slash == std::wstring::npos) {
            return parts;
        }
        start = slash + 1;
    }
}

bool IsDeviceName(const std::wstring& component) {
    // Windows maps these to devices whatever the extension: "nul.txt" is NUL.
    const std::wstring stem = Upper(component.substr(0, component.find(L'.')));
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL"}) {
        if (stem == device) {
            return true;
        }
    }
    return stem.size() == 4 &&
           (stem.compare(0, 3, L"COM") == 0 || stem.compare(0, 3, L"LPT") == 0) &&
           stem[3] >= L'1' && stem[3] <= L'9';
}

std::wstring Quoted(wchar_t c) {
    return std::wstring(L"'") + c + L"'";
}

}  // namespace

std::wstring NameProblem(const std::wstring& name) {
    // The list line must come back from the updater's own parser exactly as written,
    // after the trip through UTF-8.
    FileEntry entry;
    entry.crc_installed = entry.crc_download = 1;
    entry.name = name;
    const std::wstring line = FormatFileEntry(entry);
    const std::string bytes = EncodeText(line);
    FileEntry parsed;
    if (DecodeText(bytes) != line || !ParseFileEntry(line, parsed) || parsed.name != name) {
        return L"the updater rejects this name in filelist.dat (absolute, \"..\", \":\", a "
               L"control character or text that is not valid Unicode)";
    }
    for (wchar_t c : name) {
        if (c == L'<' || c == L'>' || c == L'"' || c == L'|' || c == L'?' || c == L'*' ||
            c == L'/') {
            return L"Windows does not allow " + Quoted(c) + L" in file names";
        }
        // The download URL keeps '%' as an escape and cuts at '#'.
        if (c == L'%' || c == L'#') {
            return L"the download URL cannot carry " + Quoted(c);
        }
    }
    const std::vector<std::wstring> parts = Components(name);
    for (const std::wstring& part : parts) {
        if (part.back() == L'.' || part.back() == L' ') {
            return L"Windows drops the trailing dot or space of \"" + part + L"\"";
        }
        if (IsDeviceName(part)) {
            return L"\"" + part + L"\" is a device name on Windows";
        }
    }
    // The one list the updater itself keeps: its working folder, and the folder's own
    // files, over which a top-level file of the same name would be staged.
    if (IsReservedListName(name)) {
        if (NamesInstalledFile(parts[0], kPatchDirName)) {
            return L"the server serves delta patches in the folder \"qvpatch\"";
        }
        if (parts.size() > 1 || EqualsNoCase(name, kUpdateDirName)) {
            return L"the updater keeps its own working files in the folder \"update\" of the "
                   L"installation";
        }
        return L"the updater keeps a working file of this name in its folder \"update\", "
               L"where this file would be staged over it";
    }
    if (parts.size() == 1 && EqualsNoCase(name, kReleaseManifestName)) {
        return L"the server's signed manifest is served under this name";
    }
    if (parts.size() == 1 && EqualsNoCase(name, kDeltaManifestName)) {
        return L"the server's signed description of delta patches is served under this name";
    }
    if (parts.size() == 1 && EqualsNoCase(name, kVersionFileName) && name != kVersionFileName) {
        return L"the version file must be named exactly \"ver.dat\"; the server's copy is "
               L"fetched under that name";
    }
    return {};
}

namespace {

// Escapes and splits a URL as the updater's client does before a fetch.
bool ParseLikeAFetch(const std::wstring& url, CParsedUrl& parsed) {
    std::wstring escaped;
    return PercentEncodeUrl(url.c_str(), escaped) && parsed.ParseUrl(escaped.c_str());
}

}  // namespace

std::wstring BaseUrlProblem(const std::wstring& base_url) {
    auto parsed = std::make_unique<CParsedUrl>();
    if (!ParseLikeAFetch(base_url, *parsed) || parsed->Scheme() != URL_SCHEME_HTTP ||
        parsed->HostNameLength() == 0) {
        return L"the updater fetches http URLs with a host only, such as "
               L"http://update.example.com/up1";
    }
    if (parsed->ExtraInfoLength() != 0) {
        return L"file names are appended to the base URL, so it cannot hold '?' or '#'";
    }
    if (!base_url.empty() && base_url.back() == L'/') {
        return L"the updater adds \"/\" and the file name itself; leave off the trailing slash";
    }
    return {};
}

std::wstring UrlProblem(const std::wstring& base_url, const std::wstring& name) {
    std::wstring url = base_url + L"/" + name;
    for (wchar_t& c : url) {
        c = c == L'\\' ? L'/' : c;
    }
    auto parsed = std::make_unique<CParsedUrl>();
    if (!ParseLikeAFetch(url, *parsed)) {
        return L"its escaped download URL would be longer than the updater takes (" +
               std::to_wstring(kMaxEncodedUrlCapacity - 1) + L" characters, " +
               std::to_wstring(kMaxUrlPathLength) + L" in the path)";
    }
    return {};
}

bool FitsUnderInstallDir(const std::wstring& install_dir, const std::wstring& name, bool zipped) {
    std::wstring update_dir, download_path;
    return JoinPath(update_dir, install_dir, kUpdateDirName) &&
           JoinPath(download_path, update_dir, name) &&
           FitsMaxPath(zipped ? download_path + L".zip" : download_path);
}

bool MatchesPattern(const std::wstring& pattern, const std::wstring& name) {
    const std::wstring upper_pattern = Upper(pattern);
    std::wstring subject = name;
    if (pattern.find(L'\\') == std::wstring::npos) {
        const size_t slash = name.find_last_of(L'\\');
        if (slash != std::wstring::npos) {
            subject = name.substr(slash + 1);
        }
    }
    // A release's file names hold no '*' or '?': each of those in the pattern is a wildcard.
    return MatchesWildcard(upper_pattern, Upper(subject),
                           [](wchar_t p, wchar_t t) { return p == L'?' || p == t; });
}

bool ZipChoice::Chooses(const std::wstring& name, uint64_t size) const {
    if (size > above_size) {
        return true;
    }
    for (const std::wstring& pattern : patterns) {
        if (MatchesPattern(pattern, name)) {
            return true;
        }
    }
    return false;
}

bool ParseSize(const std::wstring& text, uint64_t& out) {
    size_t i = 0;
    uint64_t value = 0;
    while (i < text.size() && text[i] >= L'0' && text[i] <= L'9') {
        const uint64_t digit = static_cast<uint64_t>(text[i] - L'0');
        if (value > (UINT64_MAX - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
        ++i;
    }
    if (i == 0) {
        return false;
    }
    int shift = 0;
    if (i + 1 == text.size()) {
        switch (text[i]) {
            case L'k':
            case L'K':
                shift = 10;
                break;
            case L'm':
            case L'M':
                shift = 20;
                break;
            case L'g':
            case L'G':
                shift = 30;
                break;
            default:
                return false;
        }
    } else if (i != text.size()) {
        return false;
    }
    if (shift != 0 && value > (UINT64_MAX >> shift)) {
        return false;
    }
    out = value << shift;
    return true;
}

bool NameLess(const std::wstring& a, const std::wstring& b) {
    if (!EqualsNoCase(a, b)) {
        return LessNoCase(a, b);
    }
    return a < b;
}

}  // namespace qv::publish
