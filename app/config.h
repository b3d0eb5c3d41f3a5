#pragma once
// The updater's two configurable URLs, read from cfg.ini beside the executable.

#include <windows.h>

#include <map>
#include <optional>
#include <string>

#include "win/lock.h"

namespace qv {

// The vendor's placeholders; a real installation names its hosts in cfg.ini.
inline constexpr wchar_t kDefaultHomeUrl[] = L"http://www.qvreader.example";
inline constexpr wchar_t kDefaultUpdateUrl[] = L"http://update.qvreader.example/up1";

class CConfigFile {
public:
    // The process's instance, created on first use (safe from any thread).
    static CConfigFile& Instance();

    // A configuration for an explicit INI file (the instance uses cfg.ini beside the
    // executable).
    explicit CConfigFile(std::wstring ini_path);
    CConfigFile(const CConfigFile&) = delete;
    CConfigFile& operator=(const CConfigFile&) = delete;

    // The value of `key` in section "urls", or `default_value` when the file, section
    // or key is missing. The first lookup of a key settles it for the process; the
    // returned text stays valid as long as this object.
    const wchar_t* GetUrl(const wchar_t* key, const wchar_t* default_value);

    // Section "security", key "release_keys": the public keys that releases must be
    // signed with. Empty when the key is missing (then releases are not checked); an
    // empty value is a value. Read once, like the URLs.
    [[nodiscard]] std::optional<std::wstring> GetReleaseKeys();

    // Section "proxy", key "server": "host:port", "direct", or empty for the user's
    // Internet settings.
    [[nodiscard]] std::wstring GetProxyServer() const;

    [[nodiscard]] const std::wstring& IniPath() const noexcept { return ini_path_; }

private:
    const std::wstring ini_path_;
    ExclusiveLock cache_lock_;  // the UI thread and the worker may look up at once
    std::map<std::wstring, std::wstring> cache_;
    bool release_keys_read_ = false;
    std::optional<std::wstring> release_keys_;
};

}  // namespace qv
