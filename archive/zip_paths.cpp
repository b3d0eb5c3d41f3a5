#include "archive/zip_paths.h"

#include <cwchar>

#include "win/file_system.h"
#include "win/path.h"

namespace qv::zip {
bool IsAbsolutePath(const wchar_t* path) noexcept {
    return IsPathSeparator(path[0]) || (path[0] != L'\0' && path[1] == L':');
}

bool JoinInto(PathBuffer& out, std::initializer_list<std::wstring_view> parts) noexcept {
    size_t total = 0;
    for (std::wstring_view part : parts) {
        total += part.size();
    }
    out[0] = L'\0';
    if (total >= MAX_PATH) {
        return false;
    }
    size_t at = 0;
    for (std::wstring_view part : parts) {
        std::wmemcpy(out + at, part.data(), part.size());
        at += part.size();
    }
    out[at] = L'\0';
    return true;
}

bool EnsureDirectoryPath(const wchar_t* base, const wchar_t* directory) noexcept {
    const std::wstring_view base_view = base != nullptr ? base : L"";
    const std::wstring_view whole = directory;
    PathBuffer path;
    if (!JoinInto(path, {base_view, whole})) {
        return false;
    }
    if (!base_view.empty() && !PathExists(base)) {
        CreateDirectoryW(base, nullptr);
    }
    if (whole.empty()) {
        return true;
    }
    // Every ancestor ends where a separator (other than a leading one) begins; make
    // them from the top down, then the directory itself.
    for (size_t i = 1; i < whole.size(); ++i) {
        if (!IsPathSeparator(whole[i])) {
            continue;
        }
        PathBuffer ancestor;
        if (JoinInto(ancestor, {base_view, whole.substr(0, i)}) && !PathExists(ancestor)) {
            CreateDirectoryW(ancestor, nullptr);
        }
    }
    if (!PathExists(path)) {
        CreateDirectoryW(path, nullptr);
    }
    return true;
}

}  // namespace qv::zip
