#include "tools/publish/release.h"

#include <algorithm>

#include "tools/publish/rules.h"
#include "win/text.h"
#include "win/unique_handle.h"

namespace qv::publish {

namespace {

// Walks one folder level; `prefix` is the folder's relative name plus "\" (or empty).
bool ScanFolder(const std::wstring& folder, const std::wstring& prefix,
                std::vector<ReleaseFile>& files, Log& log) {
    const std::wstring shown = prefix.empty() ? L"the release folder" : L"\"" + prefix + L"\"";
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) {
        log.Error(L"cannot list " + shown + L" (Windows error " + std::to_wstring(GetLastError()) +
                  L")");
        return false;
    }
    bool ok = true;
    bool empty = true;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        empty = false;
        const std::wstring relative = prefix + name;
        const std::wstring path = folder + L"\\" + name;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                log.Error(L"\"" + relative + L"\" is a link to a folder; copy the files into " +
                          L"the release instead");
                ok = false;
                continue;
            }
            ok = ScanFolder(path, relative + L"\\", files, log) && ok;
            continue;
        }
        ReleaseFile file;
        file.name = relative;
        file.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        file.write_time = data.ftLastWriteTime;
        files.push_back(std::move(file));
    } while (FindNextFileW(find.get(), &data));
    if (GetLastError() != ERROR_NO_MORE_FILES) {
        log.Error(L"cannot list " + shown + L" to its end (Windows error " +
                  std::to_wstring(GetLastError()) + L")");
        ok = false;
    }
    if (empty && !prefix.empty()) {
        log.Warning(L"the empty folder \"" + prefix.substr(0, prefix.size() - 1) +
                    L"\" is not published: the updater installs files, not folders");
    }
    return ok;
}

}  // namespace

bool ScanRelease(const std::wstring& folder, std::vector<ReleaseFile>& files, Log& log) {
    files.clear();
    const bool ok = ScanFolder(folder, L"", files, log);
    std::sort(files.begin(), files.end(),
              [](const ReleaseFile& a, const ReleaseFile& b) { return NameLess(a.name, b.name); });
    return ok;
}

bool ReadSmallFile(const std::wstring& path, uint64_t limit, std::string& out, bool* too_large) {
    out.clear();
    if (too_large != nullptr) {
        *too_large = false;
    }
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size;
    if (!file || !GetFileSizeEx(file.get(), &size)) {
        return false;
    }
    if (static_cast<uint64_t>(size.QuadPart) > limit) {
        if (too_large != nullptr) {
            *too_large = true;
        }
        return false;
    }
    out.assign(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    return out.empty() ||
           (ReadFile(file.get(), out.data(), static_cast<DWORD>(out.size()), &read, nullptr) &&
            read == out.size());
}

bool WriteNewFile(const std::wstring& path, const std::string& bytes) {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file &&
           (bytes.empty() || (WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                        &written, nullptr) &&
                              written == bytes.size())) &&
           FlushFileBuffers(file.get());
}

bool FullFolderPath(const std::wstring& path, std::wstring& out) {
    if (path.empty()) {
        return false;
    }
    DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) {
        return false;
    }
    std::wstring full(size, L'\0');
    size = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    if (size == 0 || size >= full.size()) {
        return false;
    }
    full.resize(size);
    // "C:\" keeps its separator; any other folder loses a trailing one.
    while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) {
        full.pop_back();
    }
    out = std::move(full);
    return true;
}

bool IsSameOrInside(const std::wstring& inner, const std::wstring& outer) {
    if (inner.size() < outer.size() ||
        !EqualsNoCase(std::wstring_view(inner).substr(0, outer.size()), outer)) {
        return false;
    }
    return inner.size() == outer.size() || outer.back() == L'\\' || inner[outer.size()] == L'\\';
}

}  // namespace qv::publish
