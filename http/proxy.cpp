#include "http/proxy.h"

#include "win/lock.h"
#include "win/text.h"

namespace qv {

namespace {

constexpr wchar_t kInternetSettingsKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

std::wstring_view Trim(std::wstring_view text) {
    while (!text.empty() && (text.front() == L' ' || text.front() == L'\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == L' ' || text.back() == L'\t')) {
        text.remove_suffix(1);
    }
    return text;
}

bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix) {
    return text.size() >= prefix.size() && EqualsAsciiNoCase(text.substr(0, prefix.size()), prefix);
}

// Calls `item` with each non-empty, trimmed piece of `list` between separators.
template <typename Item>
void ForEachItem(std::wstring_view list, std::wstring_view separators, Item item) {
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find_first_of(separators, start);
        if (end == std::wstring_view::npos) {
            end = list.size();
        }
        const std::wstring_view piece = Trim(list.substr(start, end - start));
        if (!piece.empty()) {
            item(piece);
        }
        start = end + 1;
    }
}

bool ReadRegistryText(HKEY key, const wchar_t* name, std::wstring* value) {
    wchar_t buffer[2048] = {};
    DWORD size = sizeof buffer - sizeof(wchar_t);  // room for a terminator of our own
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return false;
    }
    buffer[size / sizeof(wchar_t)] = L'\0';
    *value = buffer;
    return true;
}

struct ProcessProxy {
    ExclusiveLock lock;
    bool resolved = false;
    ProxySettings settings;
};

ProcessProxy& TheProcessProxy() {
    static ProcessProxy proxy;
    return proxy;
}

}  // namespace

bool ParseProxyEndpoint(std::wstring_view text, ProxyEndpoint* endpoint) {
    text = Trim(text);
    if (StartsWithNoCase(text, L"http://")) {
        text.remove_prefix(7);
    }
    if (!text.empty() && text.back() == L'/') {
        text.remove_suffix(1);
    }
    std::wstring_view host = text;
    std::wstring_view port_text;
    if (!text.empty() && text.front() == L'[') {
        const size_t close = text.find(L']');
        if (close == std::wstring_view::npos) {
            return false;
        }
        host = text.substr(1, close - 1);
        const std::wstring_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != L':') {
                return false;
            }
            port_text = rest.substr(1);
        }
    } else if (const size_t colon = text.rfind(L':'); colon != std::wstring_view::npos) {
        host = text.substr(0, colon);
        port_text = text.substr(colon + 1);
    }
    if (host.empty() || host.size() > kMaxHostNameLength) {
        return false;
    }
    for (const wchar_t c : host) {
        if (c <= L' ' || c == L'/' || c == L'@' || c == L'=' || c == L';' || c == 0x7F ||
            (c == L':' && text.front() != L'[')) {
            return false;
        }
    }
    uint32_t port = 80;
    if (!port_text.empty() || text.back() == L':') {
        if (port_text.empty() || port_text.size() > 5) {
            return false;
        }
        port = 0;
        for (const wchar_t c : port_text) {
            if (c < L'0' || c > L'9') {
                return false;
            }
            port = port * 10 + static_cast<uint32_t>(c - L'0');
        }
        if (port == 0 || port > 65535) {
            return false;
        }
    }
    endpoint->host.assign(host);
    endpoint->port = static_cast<uint16_t>(port);
    return true;
}

ProxySettings ProxySettings::FromInternetSettings(bool enabled, std::wstring_view server,
                                                  std::wstring_view bypass) {
    ProxySettings settings;
    if (!enabled) {
        return settings;
    }
    ForEachItem(server, L"; ", [&](std::wstring_view item) {
        const size_t equals = item.find(L'=');
        ProxyEndpoint endpoint;
        if (equals == std::wstring_view::npos) {
            // One proxy for every scheme.
            if (ParseProxyEndpoint(item, &endpoint)) {
                settings.http_ = endpoint;
                settings.https_ = endpoint;
            }
            return;
        }
        const std::wstring_view scheme = Trim(item.substr(0, equals));
        if (!ParseProxyEndpoint(item.substr(equals + 1), &endpoint)) {
            return;
        }
        if (EqualsAsciiNoCase(std::wstring(scheme), L"http")) {
            settings.http_ = endpoint;
        } else if (EqualsAsciiNoCase(std::wstring(scheme), L"https")) {
            settings.https_ = endpoint;
        }
    });
    ForEachItem(bypass, L"; ,\t\r\n", [&](std::wstring_view item) {
        if (EqualsAsciiNoCase(std::wstring(item), L"<local>")) {
            settings.bypass_local_ = true;
        } else {
            settings.bypass_.emplace_back(item);
        }
    });
    return settings;
}

bool ProxySettings::FromConfigValue(std::wstring_view value, ProxySettings* settings) {
    value = Trim(value);
    if (EqualsAsciiNoCase(std::wstring(value), L"direct")) {
        *settings = ProxySettings();
        return true;
    }
    ProxyEndpoint endpoint;
    if (value.find(L'=') != std::wstring_view::npos ||
        value.find(L';') != std::wstring_view::npos || !ParseProxyEndpoint(value, &endpoint)) {
        return false;
    }
    *settings = ProxySettings();
    settings->http_ = endpoint;
    settings->https_ = endpoint;
    return true;
}

bool MatchesHostPattern(std::wstring_view pattern, std::wstring_view text) {
    return MatchesWildcard(pattern, text,
                           [](wchar_t p, wchar_t t) { return AsciiLower(p) == AsciiLower(t); });
}

bool ProxySettings::Bypassed(std::wstring_view host, uint16_t port) const {
    if (bypass_local_ && host.find(L'.') == std::wstring_view::npos &&
        host.find(L':') == std::wstring_view::npos) {
        return true;
    }
    const std::wstring with_port = std::wstring(host) + L":" + std::to_wstring(port);
    for (std::wstring_view pattern : bypass_) {
        for (const wchar_t* scheme : {L"http://", L"https://"}) {
            if (StartsWithNoCase(pattern, scheme)) {
                pattern.remove_prefix(std::wcslen(scheme));
            }
        }
        // A pattern with a port is matched against "host:port".
        const bool has_port = pattern.find(L':') != std::wstring_view::npos &&
                              pattern.find(L'[') == std::wstring_view::npos;
        if (MatchesHostPattern(pattern, has_port ? std::wstring_view(with_port) : host)) {
            return true;
        }
    }
    return false;
}

const ProxyEndpoint* ProxySettings::ProxyFor(UrlScheme scheme, std::wstring_view host,
                                             uint16_t port) const {
    const std::optional<ProxyEndpoint>* proxy = scheme == URL_SCHEME_HTTPS  ? &https_
                                                : scheme == URL_SCHEME_HTTP ? &http_
                                                                            : nullptr;
    if (proxy == nullptr || !*proxy || Bypassed(host, port)) {
        return nullptr;
    }
    return &**proxy;
}

ProxySettings ReadUserProxySettings() noexcept {
    try {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, kInternetSettingsKey, 0, KEY_QUERY_VALUE, &key) !=
            ERROR_SUCCESS) {
            return ProxySettings();
        }
        DWORD enabled = 0;
        DWORD size = sizeof enabled;
        DWORD type = 0;
        const bool have_enable =
            RegQueryValueExW(key, L"ProxyEnable", nullptr, &type, reinterpret_cast<BYTE*>(&enabled),
                             &size) == ERROR_SUCCESS &&
            type == REG_DWORD;
        std::wstring server, bypass;
        const bool have_server = ReadRegistryText(key, L"ProxyServer", &server);
        static_cast<void>(ReadRegistryText(key, L"ProxyOverride", &bypass));
        RegCloseKey(key);
        return ProxySettings::FromInternetSettings(have_enable && enabled != 0 && have_server,
                                                   server, bypass);
    } catch (...) {  // out of memory: no proxy rather than none of the fetch
        return ProxySettings();
    }
}

ProxySettings ResolveProxySettings(std::wstring_view configured) noexcept {
    try {
        ProxySettings settings;
        if (!Trim(configured).empty() && ProxySettings::FromConfigValue(configured, &settings)) {
            return settings;
        }
        return ProcessProxySettings();
    } catch (...) {  // out of memory: no proxy rather than none of the fetch
        return ProxySettings();
    }
}

const ProxySettings& ProcessProxySettings() noexcept {
    ProcessProxy& proxy = TheProcessProxy();
    const LockGuard guard(proxy.lock);
    if (!proxy.resolved) {
        proxy.settings = ReadUserProxySettings();
        proxy.resolved = true;
    }
    return proxy.settings;
}

}  // namespace qv
