#pragma once
// The proxy the HTTP client goes through: the user's Internet settings (the values
// Windows' settings page writes under HKCU\...\Internet Settings), or cfg.ini's
// [proxy] server, which overrides them ("direct" for none). Plain HTTP goes to the
// proxy as an absolute URL; HTTPS through a CONNECT tunnel. Automatic configuration
// scripts and discovery are not read.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "http/url.h"

namespace qv {

struct ProxyEndpoint {
    std::wstring host;  // as written; an IPv6 address without its brackets
    uint16_t port = 0;
    bool operator==(const ProxyEndpoint& other) const {
        return port == other.port && host == other.host;
    }
    bool operator!=(const ProxyEndpoint& other) const { return !(*this == other); }
};

// Parses one "host:port" (port 80 when absent; an "http://" in front and a "/" after
// are dropped; "[v6]:port" for IPv6). False for anything else.
[[nodiscard]] bool ParseProxyEndpoint(std::wstring_view text, ProxyEndpoint* endpoint);

class ProxySettings {
public:
    // No proxy at all.
    ProxySettings() = default;

    // From the Internet settings: ProxyEnable, ProxyServer ("host:port" for every
    // scheme, or "http=host:port;https=host:port;..." per scheme, other schemes
    // ignored) and ProxyOverride (";"-separated host patterns with "*", and "<local>"
    // for host names without a dot). Parts that cannot be read are left out.
    [[nodiscard]] static ProxySettings FromInternetSettings(bool enabled, std::wstring_view server,
                                                            std::wstring_view bypass);
    // From cfg.ini's [proxy] server: "direct" (no proxy) or one "host:port" for every
    // scheme. False (and `settings` unchanged) for anything else.
    [[nodiscard]] static bool FromConfigValue(std::wstring_view value, ProxySettings* settings);

    // The proxy for a URL of `scheme` to `host` (port `port`), or null to go direct.
    [[nodiscard]] const ProxyEndpoint* ProxyFor(UrlScheme scheme, std::wstring_view host,
                                                uint16_t port) const;

private:
    [[nodiscard]] bool Bypassed(std::wstring_view host, uint16_t port) const;

    std::optional<ProxyEndpoint> http_;
    std::optional<ProxyEndpoint> https_;
    std::vector<std::wstring> bypass_;
    bool bypass_local_ = false;
};

// Reads the user's Internet settings from the registry; no proxy when they say none
// or cannot be read.
[[nodiscard]] ProxySettings ReadUserProxySettings() noexcept;

// The user's settings, read at the first call and kept for the process: what a client
// given no settings of its own goes through. Safe from any thread.
[[nodiscard]] const ProxySettings& ProcessProxySettings() noexcept;
// The settings a job goes through: cfg.ini's [proxy] server `configured` when it is
// usable ("direct" or "host:port"), else the user's settings.
[[nodiscard]] ProxySettings ResolveProxySettings(std::wstring_view configured) noexcept;

// Matches `text` against `pattern` without regard to ASCII case; "*" stands for any
// run of characters.
[[nodiscard]] bool MatchesHostPattern(std::wstring_view pattern, std::wstring_view text);

}  // namespace qv
