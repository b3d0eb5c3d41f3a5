#include "archive/zip_paths.h"

#include <cwchar>

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

}  // namespace qv::zip
