#include "app/config.h"

#include "win/path.h"
#include "win/text.h"

namespace qv {

namespace {

std::wstring IniPathBesideExecutable() {
    std::wstring path;
    if (!GetExecutableDirectory(path) || !JoinPath(path, path, L"cfg.ini")) {
        return {};  // no usable path: every key takes its default
    }
    return path;
}

}  // namespace

CConfigFile& CConfigFile::Instance() {
    static CConfigFile& instance = []() -> CConfigFile& {
        static CConfigFile file(IniPathBesideExecutable());
        return file;
    }();
    return instance;
}

std::wstring CConfigFile::GetProxyServer() const {
    wchar_t value[1024] = {};
    if (!ini_path_.empty()) {
        GetPrivateProfileStringW(L"proxy", L"server", L"", value, 1024, ini_path_.c_str());
    }
    return value;
}

CConfigFile::CConfigFile(std::wstring path) : ini_path_(std::move(path)) {}

const wchar_t* CConfigFile::GetUrl(const wchar_t* key, const wchar_t* default_value) {
    const LockGuard guard(cache_lock_);
    auto found = cache_.find(key);
    if (found == cache_.end()) {
        // The platform copies the default when the file, section or key is missing,
        // and cuts a longer value to 1023 characters.
        wchar_t value[1024] = {};
        if (ini_path_.empty()) {
            lstrcpynW(value, default_value, 1024);
        } else {
            GetPrivateProfileStringW(L"urls", key, default_value, value, 1024, ini_path_.c_str());
        }
        found = cache_.emplace(key, value).first;
    }
    // Entries are never changed or removed, so the text outlives the lock.
    return found->second.c_str();
}

std::optional<std::wstring> CConfigFile::GetReleaseKeys() {
    const LockGuard guard(cache_lock_);
    if (!release_keys_read_ && !ini_path_.empty()) {
        // The key names of the section, each ending in a zero: a missing key and an
        // empty value must not be taken for each other.
        wchar_t names[4096] = {};
        const DWORD length = GetPrivateProfileStringW(L"security", nullptr, L"", names,
                                                      ARRAYSIZE(names), ini_path_.c_str());
        for (const wchar_t* name = names; name < names + length && *name != L'\0';
             name += lstrlenW(name) + 1) {
            if (EqualsNoCase(name, L"release_keys")) {
                wchar_t value[1024] = {};
                GetPrivateProfileStringW(L"security", L"release_keys", L"", value, 1024,
                                         ini_path_.c_str());
                release_keys_ = value;
                break;
            }
        }
    }
    release_keys_read_ = true;
    return release_keys_;
}

}  // namespace qv
