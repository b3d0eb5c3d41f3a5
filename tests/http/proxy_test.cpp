// The proxy settings: the forms of the Internet settings and of cfg.ini, the bypass
// list, and the requests the client makes through a proxy.

#include "http/proxy.h"

#include <gtest/gtest.h>

#include <string>

#include "http/client_impl.h"
#include "scripted_socket.h"

namespace qv {
namespace {

std::wstring Describe(const ProxyEndpoint* proxy) {
    return proxy == nullptr ? L"direct" : proxy->host + L":" + std::to_wstring(proxy->port);
}

TEST(ProxyEndpoint, HostAndPortForms) {
    const struct {
        const wchar_t* text;
        const wchar_t* expected;  // null: refused
    } cases[] = {
        {L"proxy.corp:3128", L"proxy.corp:3128"},
        {L"  proxy.corp:8080  ", L"proxy.corp:8080"},
        {L"proxy.corp", L"proxy.corp:80"},
        {L"http://proxy.corp:3128/", L"proxy.corp:3128"},
        {L"10.0.0.1:8080", L"10.0.0.1:8080"},
        {L"[fd00::1]:3128", L"fd00::1:3128"},
        {L"[fd00::1]", L"fd00::1:80"},
        {L"proxy.corp:", nullptr},
        {L"proxy.corp:0", nullptr},
        {L"proxy.corp:65536", nullptr},
        {L"proxy.corp:80a", nullptr},
        {L":8080", nullptr},
        {L"", nullptr},
        {L"user@proxy.corp:8080", nullptr},
        {L"a b:8080", nullptr},
        {L"[fd00::1", nullptr},
        {L"fd00::1:3128", nullptr},
    };
    for (const auto& c : cases) {
        ProxyEndpoint endpoint;
        const bool ok = ParseProxyEndpoint(c.text, &endpoint);
        EXPECT_EQ(ok, c.expected != nullptr) << c.text;
        if (ok && c.expected != nullptr) {
            EXPECT_EQ(Describe(&endpoint), c.expected) << c.text;
        }
    }
}

TEST(ProxySettings, InternetSettingsChooseAProxyPerSchemeAndHost) {
    const struct {
        bool enabled;
        const wchar_t* server;
        const wchar_t* bypass;
        UrlScheme scheme;
        const wchar_t* host;
        const wchar_t* expected;
    } cases[] = {
        {true, L"proxy:3128", L"", URL_SCHEME_HTTP, L"update.example", L"proxy:3128"},
        {true, L"proxy:3128", L"", URL_SCHEME_HTTPS, L"update.example", L"proxy:3128"},
        {false, L"proxy:3128", L"", URL_SCHEME_HTTP, L"update.example", L"direct"},
        {true, L"http=web:80;https=secure:8443", L"", URL_SCHEME_HTTP, L"a.example", L"web:80"},
        {true, L"http=web:80;https=secure:8443", L"", URL_SCHEME_HTTPS, L"a.example",
         L"secure:8443"},
        {true, L"http=web:80;ftp=f:21;socks=s:1080", L"", URL_SCHEME_HTTPS, L"a.example",
         L"direct"},
        {true, L"HTTPS=secure:8443", L"", URL_SCHEME_HTTPS, L"a.example", L"secure:8443"},
        {true, L"http=bad:port;https=secure:8443", L"", URL_SCHEME_HTTP, L"a.example", L"direct"},
        {true, L"", L"", URL_SCHEME_HTTP, L"a.example", L"direct"},
        {true, L"proxy:3128", L"<local>", URL_SCHEME_HTTP, L"intranet", L"direct"},
        {true, L"proxy:3128", L"<local>", URL_SCHEME_HTTP, L"a.example", L"proxy:3128"},
        {true, L"proxy:3128", L"*.corp.example;<local>", URL_SCHEME_HTTPS, L"cdn.corp.example",
         L"direct"},
        {true, L"proxy:3128", L"*.corp.example", URL_SCHEME_HTTPS, L"corp.example", L"proxy:3128"},
        {true, L"proxy:3128", L"10.*; 127.0.0.1", URL_SCHEME_HTTP, L"10.1.2.3", L"direct"},
        {true, L"proxy:3128", L"10.*; 127.0.0.1", URL_SCHEME_HTTP, L"127.0.0.1", L"direct"},
        {true, L"proxy:3128", L"10.*; 127.0.0.1", URL_SCHEME_HTTP, L"110.1.2.3", L"proxy:3128"},
        {true, L"proxy:3128", L"UPDATE.example", URL_SCHEME_HTTP, L"update.EXAMPLE", L"direct"},
        {true, L"proxy:3128", L"https://update.example", URL_SCHEME_HTTPS, L"update.example",
         L"direct"},
        {true, L"proxy:3128", L"update.example:8080", URL_SCHEME_HTTP, L"update.example",
         L"proxy:3128"},
        {true, L"proxy:3128", L"update.example:80", URL_SCHEME_HTTP, L"update.example", L"direct"},
    };
    for (const auto& c : cases) {
        const ProxySettings settings =
            ProxySettings::FromInternetSettings(c.enabled, c.server, c.bypass);
        const uint16_t port = c.scheme == URL_SCHEME_HTTPS ? 443 : 80;
        EXPECT_EQ(Describe(settings.ProxyFor(c.scheme, c.host, port)), c.expected)
            << c.server << " | " << c.bypass << " | " << c.host;
    }
}

TEST(ProxySettings, ConfigValueIsOneProxyOrDirect) {
    ProxySettings settings = ProxySettings::FromInternetSettings(true, L"user:1", L"");
    ASSERT_TRUE(ProxySettings::FromConfigValue(L"cfg.proxy:8080", &settings));
    EXPECT_EQ(Describe(settings.ProxyFor(URL_SCHEME_HTTP, L"a.example", 80)), L"cfg.proxy:8080");
    EXPECT_EQ(Describe(settings.ProxyFor(URL_SCHEME_HTTPS, L"a.example", 443)), L"cfg.proxy:8080");
    ASSERT_TRUE(ProxySettings::FromConfigValue(L" Direct ", &settings));
    EXPECT_EQ(Describe(settings.ProxyFor(URL_SCHEME_HTTPS, L"a.example", 443)), L"direct");
    for (const wchar_t* bad : {L"", L"http=a:1", L"a:1;b:2", L"a:x"}) {
        ProxySettings kept = ProxySettings::FromInternetSettings(true, L"user:1", L"");
        EXPECT_FALSE(ProxySettings::FromConfigValue(bad, &kept)) << bad;
        EXPECT_EQ(Describe(kept.ProxyFor(URL_SCHEME_HTTP, L"a.example", 80)), L"user:1") << bad;
    }
}

TEST(ProxySettings, HostPatterns) {
    const struct {
        const wchar_t* pattern;
        const wchar_t* text;
        bool matches;
    } cases[] = {
        {L"*", L"anything", true},
        {L"*.example", L"a.b.example", true},
        {L"*.example", L"example", false},
        {L"a*c", L"abbbc", true},
        {L"a*c", L"abbbd", false},
        {L"*a*a*", L"banana", true},
        {L"", L"", true},
        {L"", L"a", false},
        {L"ABC", L"abc", true},
        {L"a**", L"a", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MatchesHostPattern(c.pattern, c.text), c.matches) << c.pattern << " " << c.text;
    }
}

class ProxiedClient : public CAtlHttpClientT<test::ScriptedSocket> {
public:
    ::qv::test::ScriptedSocket& socket() { return Transport(); }
};

const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

TEST(ProxyClient, PlainHttpGoesToTheProxyAsAnAbsoluteUrl) {
    const ProxySettings settings =
        ProxySettings::FromInternetSettings(true, L"proxy.corp:3128", L"*.local.example");
    for (const auto& [url, request] : std::vector<std::pair<const wchar_t*, std::string>>{
             {L"http://update.example/up1/ver.dat?x=1",
              "GET http://update.example/up1/ver.dat?x=1 HTTP/1.1\r\nHost: update.example\r\n"
              "User-Agent: Microsoft-ATL-Native/9.00\r\n\r\n"},
             {L"http://update.example:8080/up1/ver.dat",
              "GET http://update.example:8080/up1/ver.dat HTTP/1.1\r\n"
              "Host: update.example:8080\r\nUser-Agent: Microsoft-ATL-Native/9.00\r\n\r\n"}}) {
        ProxiedClient client;
        client.SetProxySettings(&settings);
        client.socket().Add(kOk);
        ASSERT_TRUE(client.FetchUrl(url));
        ASSERT_EQ(client.socket().connects.size(), 1u);
        EXPECT_EQ(client.socket().connects[0].first, L"proxy.corp");
        EXPECT_EQ(client.socket().connects[0].second, 3128);
        EXPECT_EQ(client.socket().sent, request);
    }
}

TEST(ProxyClient, HttpsTunnelsToTheOriginAndBypassedHostsGoDirect) {
    const ProxySettings settings =
        ProxySettings::FromInternetSettings(true, L"proxy.corp:3128", L"*.local.example");
    ProxiedClient client;
    client.SetProxySettings(&settings);
    for (int i = 0; i < 3; ++i) {
        client.socket().Add(kOk);
    }
    ASSERT_TRUE(client.FetchUrl(L"https://update.example/up1/ver.dat"));
    ASSERT_TRUE(client.FetchUrl(L"https://update.example/up1/filelist.dat"));  // kept
    ASSERT_TRUE(client.FetchUrl(L"https://mirror.local.example/up1/ver.dat"));
    ASSERT_EQ(client.socket().connects.size(), 2u);
    // The tunnel's target is the origin: the transport asks the proxy for it.
    EXPECT_EQ(client.socket().connects[0].first, L"update.example");
    EXPECT_EQ(client.socket().connects[0].second, 443);
    EXPECT_EQ(client.socket().tunneled, (std::vector<bool>{true, false}));
    EXPECT_EQ(client.socket().connects[1].first, L"mirror.local.example");
    // Inside the tunnel, the request is that of a direct connection.
    EXPECT_EQ(client.socket().writes[0],
              "GET /up1/ver.dat HTTP/1.1\r\nHost: update.example\r\n"
              "User-Agent: Microsoft-ATL-Native/9.00\r\n\r\n");
}

TEST(ProxyClient, A407FromTheProxyFailsTheFetch) {
    const ProxySettings settings = ProxySettings::FromInternetSettings(true, L"proxy:3128", L"");
    ProxiedClient client;
    client.SetProxySettings(&settings);
    client.socket().Add(
        "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"x\"\r\n"
        "Content-Length: 0\r\n\r\n");
    EXPECT_FALSE(client.FetchUrl(L"http://update.example/up1/ver.dat"));
    EXPECT_EQ(client.StatusCode(), 407);
    EXPECT_FALSE(client.socket().IsConnected());
}

}  // namespace
}  // namespace qv
