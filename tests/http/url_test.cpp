#include "http/url.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace qv {
namespace {

// What a parse should give; nullptr text fields are expected empty.
struct Parsed {
    const wchar_t* input;
    UrlScheme scheme;
    const wchar_t* scheme_name;
    const wchar_t* host;
    uint16_t port;
    const wchar_t* path = nullptr;
    const wchar_t* extra = nullptr;
    const wchar_t* user = nullptr;
    const wchar_t* password = nullptr;
};

std::wstring Or(const wchar_t* text) {
    return text != nullptr ? text : L"";
}

void ExpectComponents(const CParsedUrl& url, const Parsed& want) {
    SCOPED_TRACE(testing::Message()
                 << "input " << testing::PrintToString(std::wstring(want.input)));
    EXPECT_EQ(url.Scheme(), want.scheme);
    EXPECT_EQ(std::wstring(url.SchemeName()), Or(want.scheme_name));
    EXPECT_EQ(std::wstring(url.HostName()), Or(want.host));
    EXPECT_EQ(url.PortNumber(), want.port);
    EXPECT_EQ(std::wstring(url.UrlPath()), Or(want.path));
    EXPECT_EQ(std::wstring(url.ExtraInfo()), Or(want.extra));
    EXPECT_EQ(std::wstring(url.UserName()), Or(want.user));
    EXPECT_EQ(std::wstring(url.Password()), Or(want.password));
    // Each length matches its text.
    EXPECT_EQ(url.SchemeNameLength(), Or(want.scheme_name).size());
    EXPECT_EQ(url.HostNameLength(), Or(want.host).size());
    EXPECT_EQ(url.UrlPathLength(), Or(want.path).size());
    EXPECT_EQ(url.ExtraInfoLength(), Or(want.extra).size());
    EXPECT_EQ(url.UserNameLength(), Or(want.user).size());
    EXPECT_EQ(url.PasswordLength(), Or(want.password).size());
}

void ExpectReset(const CParsedUrl& url) {
    EXPECT_EQ(url.Scheme(), URL_SCHEME_UNKNOWN);
    EXPECT_EQ(url.PortNumber(), 0);
    EXPECT_EQ(url.SchemeNameLength() + url.HostNameLength() + url.UserNameLength() +
                  url.PasswordLength() + url.UrlPathLength() + url.ExtraInfoLength(),
              0u);
    EXPECT_STREQ(url.HostName(), L"");
    EXPECT_STREQ(url.UrlPath(), L"");
}

std::wstring Compose(const CParsedUrl& url) {
    std::vector<wchar_t> buffer(8192);
    uint32_t capacity = static_cast<uint32_t>(buffer.size());
    if (!url.ComposeUrl(buffer.data(), &capacity)) {
        ADD_FAILURE() << "ComposeUrl failed";
        return L"";
    }
    EXPECT_EQ(capacity, std::char_traits<wchar_t>::length(buffer.data()));
    return std::wstring(buffer.data(), capacity);
}

std::wstring Encode(const std::wstring& text) {
    std::wstring out = L"unchanged";
    EXPECT_TRUE(PercentEncodeUrl(text.c_str(), out)) << testing::PrintToString(text);
    return out;
}

TEST(SchemeTable, DefaultPortsAndSettingByIndex) {
    const struct {
        UrlScheme scheme;
        const wchar_t* name;
        uint16_t port;
    } table[] = {
        {URL_SCHEME_FTP, L"ftp", 21},      {URL_SCHEME_GOPHER, L"gopher", 70},
        {URL_SCHEME_HTTP, L"http", 80},    {URL_SCHEME_HTTPS, L"https", 443},
        {URL_SCHEME_FILE, L"file", 0},     {URL_SCHEME_NEWS, L"news", 0},
        {URL_SCHEME_MAILTO, L"mailto", 0}, {URL_SCHEME_SOCKS, L"socks", 1080},
    };
    for (const auto& row : table) {
        EXPECT_EQ(SchemeDefaultPort(row.scheme), row.port) << row.scheme;
        CParsedUrl url;
        url.Reset();
        ASSERT_TRUE(url.SetScheme(row.scheme));
        EXPECT_STREQ(url.SchemeName(), row.name);
        EXPECT_EQ(url.SchemeNameLength(), std::wstring(row.name).size());
        EXPECT_EQ(url.PortNumber(), row.port);
        EXPECT_EQ(url.Scheme(), row.scheme);
    }
    EXPECT_EQ(SchemeDefaultPort(URL_SCHEME_UNKNOWN), 0);
    EXPECT_EQ(SchemeDefaultPort(static_cast<UrlScheme>(8)), 0);

    // Indices outside the table change nothing.
    CParsedUrl url;
    url.SetPortNumber(1234);
    EXPECT_FALSE(url.SetScheme(URL_SCHEME_UNKNOWN));
    EXPECT_FALSE(url.SetScheme(static_cast<UrlScheme>(8)));
    EXPECT_EQ(url.Scheme(), URL_SCHEME_HTTP);
    EXPECT_STREQ(url.SchemeName(), L"http");
    EXPECT_EQ(url.PortNumber(), 1234);
}

TEST(ParsedUrl, ConstructedIsHttpAndResetIsEmpty) {
    CParsedUrl url;
    ExpectComponents(url, {L"(constructed)", URL_SCHEME_HTTP, L"http", nullptr, 80});
    ASSERT_TRUE(url.SetHostName(L"h"));
    ASSERT_TRUE(url.SetUserName(L"u"));
    ASSERT_TRUE(url.SetPassword(L"p"));
    ASSERT_TRUE(url.SetUrlPath(L"/x"));
    ASSERT_TRUE(url.SetExtraInfo(L"?y"));
    url.Reset();
    ExpectReset(url);
}

TEST(ParsedUrl, SchemeByNameKeepsCaseAndLooksUpWithoutCase) {
    CParsedUrl url;
    ASSERT_TRUE(url.SetSchemeName(L"HtTpS"));
    EXPECT_EQ(url.Scheme(), URL_SCHEME_HTTPS);
    EXPECT_STREQ(url.SchemeName(), L"HtTpS");
    EXPECT_EQ(url.PortNumber(), 443);

    // A name that is not in the table, at the exact capacity and one past it.
    const std::wstring name32(32, L'z');
    ASSERT_TRUE(url.SetSchemeName(name32.c_str()));
    EXPECT_EQ(url.Scheme(), URL_SCHEME_UNKNOWN);
    EXPECT_EQ(url.PortNumber(), 0);
    EXPECT_EQ(url.SchemeNameLength(), 32u);
    EXPECT_FALSE(url.SetSchemeName((name32 + L"z").c_str()));
    EXPECT_EQ(std::wstring(url.SchemeName()), name32);
    EXPECT_FALSE(url.SetSchemeName(nullptr));
    // "http" followed by more is not "http".
    ASSERT_TRUE(url.SetSchemeName(L"httpx"));
    EXPECT_EQ(url.Scheme(), URL_SCHEME_UNKNOWN);
}

TEST(ParsedUrl, SettersAcceptTheCapacityAndRefuseOneMore) {
    const struct {
        bool (CParsedUrl::*set)(const wchar_t*);
        const wchar_t* (CParsedUrl::*get)() const;
        uint32_t (CParsedUrl::*length)() const;
        size_t capacity;
    } fields[] = {
        {&CParsedUrl::SetHostName, &CParsedUrl::HostName, &CParsedUrl::HostNameLength, 256},
        {&CParsedUrl::SetUserName, &CParsedUrl::UserName, &CParsedUrl::UserNameLength, 128},
        {&CParsedUrl::SetUrlPath, &CParsedUrl::UrlPath, &CParsedUrl::UrlPathLength, 2048},
        {&CParsedUrl::SetExtraInfo, &CParsedUrl::ExtraInfo, &CParsedUrl::ExtraInfoLength, 2048},
    };
    for (const auto& field : fields) {
        SCOPED_TRACE(field.capacity);
        CParsedUrl url;
        const std::wstring full(field.capacity, L'a');
        ASSERT_TRUE((url.*field.set)(full.c_str()));
        EXPECT_EQ((url.*field.length)(), field.capacity);
        EXPECT_EQ(std::wstring((url.*field.get)()), full);
        EXPECT_FALSE((url.*field.set)(std::wstring(field.capacity + 1, L'b').c_str()));
        EXPECT_FALSE((url.*field.set)(nullptr));
        EXPECT_EQ(std::wstring((url.*field.get)()), full);
        EXPECT_EQ((url.*field.length)(), field.capacity);
        ASSERT_TRUE((url.*field.set)(L""));
        EXPECT_EQ((url.*field.length)(), 0u);
    }

    // The password: 128 characters, and only with a user name.
    CParsedUrl url;
    EXPECT_FALSE(url.SetPassword(L"p"));
    EXPECT_TRUE(url.SetPassword(L""));
    ASSERT_TRUE(url.SetUserName(L"u"));
    ASSERT_TRUE(url.SetPassword(std::wstring(128, L'p').c_str()));
    EXPECT_FALSE(url.SetPassword(std::wstring(129, L'q').c_str()));
    EXPECT_EQ(std::wstring(url.Password()), std::wstring(128, L'p'));
    EXPECT_EQ(url.PasswordLength(), 128u);
}

TEST(ParseUrl, SplitsComponents) {
    const Parsed cases[] = {
        {L"http://host/a/b.dat", URL_SCHEME_HTTP, L"http", L"host", 80, L"/a/b.dat"},
        {L"http://host:8080/x?y=1", URL_SCHEME_HTTP, L"http", L"host", 8080, L"/x", L"?y=1"},
        {L"http://host", URL_SCHEME_HTTP, L"http", L"host", 80},
        {L"http://h", URL_SCHEME_HTTP, L"http", L"h", 80},
        {L"http:/x", URL_SCHEME_HTTP, L"http", nullptr, 80, L"/x"},
        {L"http://", URL_SCHEME_HTTP, L"http", nullptr, 80},
        {L"http:", URL_SCHEME_HTTP, L"http", nullptr, 80},
        {L"http:///x", URL_SCHEME_HTTP, L"http", nullptr, 80, L"/x"},
        {L"HTTP://Host/x", URL_SCHEME_HTTP, L"HTTP", L"Host", 80, L"/x"},
        {L"https://h/", URL_SCHEME_HTTPS, L"https", L"h", 443, L"/"},
        {L"ftp://h/x", URL_SCHEME_FTP, L"ftp", L"h", 21, L"/x"},
        {L"socks://h", URL_SCHEME_SOCKS, L"socks", L"h", 1080},
        {L"foo://h/x", URL_SCHEME_UNKNOWN, L"foo", L"h", 0, L"/x"},
        // Query and fragment: extra info runs from the first '?' or '#' to the end.
        {L"http://host?q=1", URL_SCHEME_HTTP, L"http", L"host", 80, nullptr, L"?q=1"},
        {L"http://h/p#f", URL_SCHEME_HTTP, L"http", L"h", 80, L"/p", L"#f"},
        {L"http://h/a?b#c/d?e", URL_SCHEME_HTTP, L"http", L"h", 80, L"/a", L"?b#c/d?e"},
        // Stored as written: nothing is decoded.
        {L"http://h/a%20b%2Fc", URL_SCHEME_HTTP, L"http", L"h", 80, L"/a%20b%2Fc"},
        // Non-ASCII text is kept as it is.
        {L"http://h\u00e9/\u65e5\u672c/\u00e9.dat?\u00e9", URL_SCHEME_HTTP, L"http", L"h\u00e9", 80,
         L"/\u65e5\u672c/\u00e9.dat", L"?\u00e9"},
        // User and password.
        {L"http://u:p@host/", URL_SCHEME_HTTP, L"http", L"host", 80, L"/", nullptr, L"u", L"p"},
        {L"http://u@host:81/x", URL_SCHEME_HTTP, L"http", L"host", 81, L"/x", nullptr, L"u"},
        {L"http://u:p:q@h:82", URL_SCHEME_HTTP, L"http", L"h", 82, nullptr, nullptr, L"u", L"p:q"},
        {L"http://@h/", URL_SCHEME_HTTP, L"http", L"h", 80, L"/"},
        // Bracketed literals keep their colons and brackets.
        {L"http://[::1]:8080/x", URL_SCHEME_HTTP, L"http", L"[::1]", 8080, L"/x"},
        {L"http://[fe80::1]/", URL_SCHEME_HTTP, L"http", L"[fe80::1]", 80, L"/"},
        {L"http://[::1]", URL_SCHEME_HTTP, L"http", L"[::1]", 80},
        {L"http://u:p@[::1]:99/", URL_SCHEME_HTTP, L"http", L"[::1]", 99, L"/", nullptr, L"u",
         L"p"},
        // Ports: empty or non-numeric gives 0, leading digits count, low 16 bits kept.
        {L"http://host:/x", URL_SCHEME_HTTP, L"http", L"host", 0, L"/x"},
        {L"http://host:", URL_SCHEME_HTTP, L"http", L"host", 0},
        {L"http://host:abc/", URL_SCHEME_HTTP, L"http", L"host", 0, L"/"},
        {L"http://host:12ab/", URL_SCHEME_HTTP, L"http", L"host", 12, L"/"},
        {L"http://host:70000/", URL_SCHEME_HTTP, L"http", L"host", 4464, L"/"},
        {L"http://host:65535/", URL_SCHEME_HTTP, L"http", L"host", 65535, L"/"},
        {L"http://host:65536/", URL_SCHEME_HTTP, L"http", L"host", 0, L"/"},
        {L"http://host:4294967297/", URL_SCHEME_HTTP, L"http", L"host", 1, L"/"},
        {L"http://host:-1/", URL_SCHEME_HTTP, L"http", L"host", 0, L"/"},
        // A query straight after the port is kept, not swallowed by the port.
        {L"http://host:8080?x=1", URL_SCHEME_HTTP, L"http", L"host", 8080, nullptr, L"?x=1"},
        // "file": the rest is path, '?' and '#' included; never a port.
        {L"file://C:/dir/a?b#c", URL_SCHEME_FILE, L"file", nullptr, 0, L"C:/dir/a?b#c"},
        {L"file:///C:/x", URL_SCHEME_FILE, L"file", nullptr, 0, L"/C:/x"},
        {L"FILE:C:x", URL_SCHEME_FILE, L"FILE", nullptr, 0, L"C:x"},
        {L"file://h:8080/x", URL_SCHEME_FILE, L"file", nullptr, 0, L"h:8080/x"},
        // "mailto" and "news" have no port, even an explicit one.
        {L"mailto:someone@example.invalid", URL_SCHEME_MAILTO, L"mailto", L"example.invalid", 0,
         nullptr, nullptr, L"someone"},
        {L"mailto:/x", URL_SCHEME_MAILTO, L"mailto", nullptr, 0, L"/x"},
        {L"news://h:119/g", URL_SCHEME_NEWS, L"news", L"h", 0, L"/g"},
    };
    for (const Parsed& want : cases) {
        CParsedUrl url;
        ASSERT_TRUE(url.ParseUrl(want.input)) << testing::PrintToString(std::wstring(want.input));
        ExpectComponents(url, want);
    }
}

TEST(ParseUrl, FailuresLeaveTheObjectReset) {
    const std::wstring failing[] = {
        L"",
        L"host/path",  // no scheme
        L"host",
        L"mailto://x",
        L"MailTo://x",
        L"http://a@b@c/",  // a second user name
        L"http://a:b@c:d@e/",
        L"http://a@b:c@d/",
        L"http://:p@h/",                    // a password without a user name
        std::wstring(33, L's') + L"://h/",  // scheme name over 32
        L"http://" + std::wstring(257, L'h') + L"/",
        L"http://" + std::wstring(257, L'h'),
        L"http://" + std::wstring(257, L'h') + L":80/",
        L"http://" + std::wstring(129, L'u') + L"@h/",
        L"http://" + std::wstring(129, L'u') + L":p@h/",
        L"http://h" + std::wstring(2049, L'/'),
        L"http://h/" + std::wstring(2048, L'p'),
        L"http://h/?" + std::wstring(2048, L'q'),
        L"file:" + std::wstring(2049, L'f'),
        L"http://h:" + std::wstring(129, L'9') + L"/",  // second token over 128
        L"http://u:" + std::wstring(129, L'p') + L"@h/",
    };
    for (const std::wstring& input : failing) {
        SCOPED_TRACE(testing::PrintToString(input.substr(0, 40)));
        CParsedUrl url;
        ASSERT_TRUE(url.ParseUrl(L"http://u:p@old:81/old?old"));
        EXPECT_FALSE(url.ParseUrl(input.c_str()));
        ExpectReset(url);
    }
    CParsedUrl url;
    EXPECT_FALSE(url.ParseUrl(nullptr));
    ExpectReset(url);
    // Decoding flags are not supported.
    EXPECT_FALSE(url.ParseUrl(L"http://h/", 1));
    ExpectReset(url);
}

TEST(ParseUrl, ComponentsAtTheirExactCapacity) {
    const std::wstring scheme(32, L's');
    const std::wstring user(128, L'u');
    const std::wstring password(128, L'p');
    const std::wstring host(256, L'h');
    const std::wstring path = L"/" + std::wstring(2047, L'a');
    const std::wstring extra = L"?" + std::wstring(2047, L'q');
    const std::wstring text =
        scheme + L"://" + user + L":" + password + L"@" + host + L":8080" + path + extra;
    CParsedUrl url;
    ASSERT_TRUE(url.ParseUrl(text.c_str()));
    EXPECT_EQ(std::wstring(url.SchemeName()), scheme);
    EXPECT_EQ(std::wstring(url.UserName()), user);
    EXPECT_EQ(std::wstring(url.Password()), password);
    EXPECT_EQ(std::wstring(url.HostName()), host);
    EXPECT_EQ(std::wstring(url.UrlPath()), path);
    EXPECT_EQ(std::wstring(url.ExtraInfo()), extra);
    EXPECT_EQ(url.PortNumber(), 8080);
    EXPECT_EQ(Compose(url), text);

    // The second token at 128 characters is a port when it ends the authority.
    const std::wstring port_token = L"8080" + std::wstring(124, L'x');
    ASSERT_TRUE(url.ParseUrl((L"http://h:" + port_token + L"/p").c_str()));
    EXPECT_EQ(url.PortNumber(), 8080);
    EXPECT_STREQ(url.UrlPath(), L"/p");
    ASSERT_TRUE(url.ParseUrl((L"http://h:" + port_token).c_str()));
    EXPECT_EQ(url.PortNumber(), 8080);
    EXPECT_FALSE(url.ParseUrl((L"http://h:" + port_token + L"x").c_str()));

    // A file URL takes 2048 characters of path, '?' and '#' included.
    const std::wstring file_path = L"C:/" + std::wstring(2040, L'f') + L"?a#b=c";
    ASSERT_EQ(file_path.size(), 2049u);
    EXPECT_FALSE(url.ParseUrl((L"file:" + file_path).c_str()));
    ASSERT_TRUE(url.ParseUrl((L"file:" + file_path.substr(1)).c_str()));
    EXPECT_EQ(std::wstring(url.UrlPath()), file_path.substr(1));
}

TEST(ParseUrl, RoundTripsThroughCompose) {
    const wchar_t* canonical[] = {
        L"http://host/a/b.dat",
        L"http://host:8080/x?y=1",
        L"http://host",
        L"http://u:p@h:81/x?q#f",
        L"http://u@h/",
        L"http://[::1]:8080/x",
        L"https://h:80/",
        L"ftp://h/x",
        L"foo://h:5/x",
        L"HTTP://Host/x",
        L"http://h/\u65e5\u672c\u8a9e/\u00e9.dat?\u00e9=1",
        L"http://h:0/x",
        L"mailto:someone@example.invalid",
        L"file:///C:/dir/a?b#c",
    };
    for (const wchar_t* text : canonical) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(text)));
        CParsedUrl first;
        ASSERT_TRUE(first.ParseUrl(text));
        const std::wstring composed = Compose(first);
        EXPECT_EQ(composed, text);
        CParsedUrl second;
        ASSERT_TRUE(second.ParseUrl(composed.c_str()));
        ExpectComponents(
            second, {text, first.Scheme(), first.SchemeName(), first.HostName(), first.PortNumber(),
                     first.UrlPath(), first.ExtraInfo(), first.UserName(), first.Password()});
    }

    // Texts that compose differently but mean the same.
    const struct {
        const wchar_t* input;
        const wchar_t* composed;
    } normalised[] = {
        {L"http://h:80/x", L"http://h/x"},
        {L"HTTPS://h:443", L"HTTPS://h"},
        {L"http://host:70000/", L"http://host:4464/"},
        {L"http://h:0080/", L"http://h/"},
    };
    for (const auto& row : normalised) {
        CParsedUrl url;
        ASSERT_TRUE(url.ParseUrl(row.input));
        EXPECT_EQ(Compose(url), row.composed);
        CParsedUrl again;
        ASSERT_TRUE(again.ParseUrl(row.composed));
        EXPECT_EQ(again.PortNumber(), url.PortNumber());
        EXPECT_STREQ(again.HostName(), url.HostName());
        EXPECT_STREQ(again.UrlPath(), url.UrlPath());
    }
}

TEST(ComposeUrl, WritesComponentsInOrder) {
    CParsedUrl url;
    ASSERT_TRUE(url.SetHostName(L"h"));
    url.SetPortNumber(8080);
    ASSERT_TRUE(url.SetUrlPath(L"x"));
    EXPECT_EQ(Compose(url), L"http://h:8080/x");

    ASSERT_TRUE(url.SetUrlPath(L"\\x"));  // a backslash counts as a leading separator
    EXPECT_EQ(Compose(url), L"http://h:8080\\x");

    ASSERT_TRUE(url.SetUserName(L"u"));
    ASSERT_TRUE(url.SetPassword(L"p"));
    ASSERT_TRUE(url.SetUrlPath(L"/a"));
    ASSERT_TRUE(url.SetExtraInfo(L"?q"));
    url.SetPortNumber(80);
    EXPECT_EQ(Compose(url), L"http://u:p@h/a?q");

    // Without a host there is neither a port nor an added slash.
    ASSERT_TRUE(url.SetHostName(L""));
    url.SetPortNumber(9);
    ASSERT_TRUE(url.SetUrlPath(L"x"));
    EXPECT_EQ(Compose(url), L"http://u:p@x?q");

    // Without a scheme name nothing of the scheme is written.
    CParsedUrl bare;
    bare.Reset();
    ASSERT_TRUE(bare.SetHostName(L"h"));
    ASSERT_TRUE(bare.SetUrlPath(L"/p"));
    EXPECT_EQ(Compose(bare), L"h/p");
}

TEST(ComposeUrl, CapacityIsInAndOut) {
    CParsedUrl url;
    ASSERT_TRUE(url.ParseUrl(L"http://h:8080/x?y"));
    const std::wstring expected = L"http://h:8080/x?y";
    const uint32_t needed = static_cast<uint32_t>(expected.size()) + 1;

    // One short: fails, says what is needed, writes nothing.
    std::vector<wchar_t> buffer(needed + 4, L'#');
    uint32_t capacity = needed - 1;
    EXPECT_FALSE(url.ComposeUrl(buffer.data(), &capacity));
    EXPECT_EQ(capacity, needed);
    EXPECT_EQ(std::wstring(buffer.begin(), buffer.end()), std::wstring(needed + 4, L'#'));

    // Exactly enough: the written length comes back, and nothing past the terminator
    // is touched.
    capacity = needed;
    ASSERT_TRUE(url.ComposeUrl(buffer.data(), &capacity));
    EXPECT_EQ(capacity, expected.size());
    EXPECT_EQ(std::wstring(buffer.data()), expected);
    EXPECT_EQ(buffer[needed], L'#');

    // No buffer: a size query.
    capacity = 1000;
    EXPECT_FALSE(url.ComposeUrl(nullptr, &capacity));
    EXPECT_EQ(capacity, needed);
    EXPECT_FALSE(url.ComposeUrl(buffer.data(), nullptr));
    capacity = 1000;
    EXPECT_FALSE(url.ComposeUrl(buffer.data(), &capacity, 1));
    EXPECT_EQ(capacity, 1000u);

    // "mailto" writes no "//" but is counted as if it did, plus one.
    CParsedUrl mail;
    ASSERT_TRUE(mail.ParseUrl(L"mailto:x@y"));
    capacity = 11;
    EXPECT_FALSE(mail.ComposeUrl(buffer.data(), &capacity));
    EXPECT_EQ(capacity, 14u);
    ASSERT_TRUE(mail.ComposeUrl(buffer.data(), &capacity));
    EXPECT_EQ(capacity, 10u);
    EXPECT_STREQ(buffer.data(), L"mailto:x@y");
}

TEST(PercentEncodeUrl, EscapesBeforeTheQueryOnly) {
    EXPECT_EQ(Encode(L"http://h/a b?q=a b"), L"http://h/a%20b?q=a b");
    EXPECT_EQ(Encode(L"http://h/a b#c d?e f"), L"http://h/a%20b#c d?e f");
    EXPECT_EQ(Encode(L"http://h/\n"), L"http://h/%0a");
    EXPECT_EQ(Encode(L"http://h/\u00e9"), L"http://h/%c3%a9");
    EXPECT_EQ(Encode(L"/\u65e5"), L"/%e6%97%a5");
    EXPECT_EQ(Encode(L"/\U0001F600"), L"/%f0%9f%98%80");
    // Kept as they are, '%' included (nothing is decoded or escaped twice).
    EXPECT_EQ(Encode(L"aZ09!'()*-./:_~%%41"), L"aZ09!'()*-./:_~%%41");
    // Everything else before the query is escaped, in lowercase hex.
    EXPECT_EQ(Encode(L"@&=;[]\\+,$\"<>^`{|}\x7f"),
              L"%40%26%3d%3b%5b%5d%5c%2b%2c%24%22%3c%3e%5e%60%7b%7c%7d%7f");
    EXPECT_EQ(Encode(L""), L"");

    // A user and password lose their meaning: '@' is escaped, so the parse sees the
    // host "u" and a non-numeric port.
    const std::wstring escaped = Encode(L"http://u:p@host/");
    EXPECT_EQ(escaped, L"http://u:p%40host/");
    CParsedUrl url;
    ASSERT_TRUE(url.ParseUrl(escaped.c_str()));
    ExpectComponents(url, {L"", URL_SCHEME_HTTP, L"http", L"u", 0, L"/"});
}

TEST(PercentEncodeUrl, ReadsQueryBytesInTheThreadCodePage) {
    // After '?' the UTF-8 bytes of "é" pass unescaped and are read in the thread's
    // ANSI code page.
    const char bytes[] = "http://h/%c3%a9?\xc3\xa9";
    wchar_t wide[64];
    const int count = MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, -1, wide, 64);
    ASSERT_GT(count, 0);
    EXPECT_EQ(Encode(L"http://h/\u00e9?\u00e9"), std::wstring(wide));
    CPINFOEXW info{};
    if (GetCPInfoExW(CP_THREAD_ACP, 0, &info) && info.CodePage == 1252) {
        EXPECT_EQ(Encode(L"?\u00e9"), L"?\u00c3\u00a9");
    }
}

TEST(PercentEncodeUrl, RefusesTooLongAndIllFormedText) {
    // The output with its terminator may take 2083 characters, no more.
    const std::wstring prefix = L"http://h/";
    EXPECT_EQ(Encode(prefix + std::wstring(2073, L'a')).size(), 2082u);
    std::wstring out = L"old";
    EXPECT_FALSE(PercentEncodeUrl((prefix + std::wstring(2074, L'a')).c_str(), out));
    EXPECT_TRUE(out.empty());
    // An escape that would cross the limit.
    EXPECT_EQ(Encode(prefix + std::wstring(2070, L'a') + L" ").size(), 2082u);
    EXPECT_FALSE(PercentEncodeUrl((prefix + std::wstring(2071, L'a') + L" ").c_str(), out));
    EXPECT_FALSE(PercentEncodeUrl((prefix + std::wstring(1000, L'\u00e9')).c_str(), out));
    // Far longer input is refused without trouble.
    EXPECT_FALSE(PercentEncodeUrl(std::wstring(1 << 20, L'a').c_str(), out));

    // A lone surrogate has no UTF-8 form.
    EXPECT_FALSE(PercentEncodeUrl(L"http://h/\xd800x", out));
    EXPECT_FALSE(PercentEncodeUrl(L"http://h/\xdc00", out));
    EXPECT_FALSE(PercentEncodeUrl(nullptr, out));
    EXPECT_TRUE(out.empty());
}

class CompleteRedirect : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(current_.ParseUrl(L"http://h/dir/page.htm?s=1")); }

    // The completed text, or "FAILED".
    std::wstring Complete(const std::wstring& location) {
        std::wstring reference = location;
        return CompleteRedirectUrl(current_, reference) ? reference : L"FAILED";
    }

    CParsedUrl current_;
};

TEST_F(CompleteRedirect, ResolvesAgainstTheCurrentUrl) {
    EXPECT_EQ(Complete(L"new.dat"), L"http://h/dir/new.dat?s=1");
    EXPECT_EQ(Complete(L"/root.dat"), L"http://h/root.dat?s=1");
    EXPECT_EQ(Complete(L"sub/x.dat"), L"http://h/dir/sub/x.dat?s=1");
    // Absolute URLs stay as they are.
    EXPECT_EQ(Complete(L"http://other:81/x"), L"http://other:81/x");
    EXPECT_EQ(Complete(L"ftp://f/x"), L"ftp://f/x");
    // Surrounding white space goes, whatever the kind of reference.
    EXPECT_EQ(Complete(L"  http://o/x \t"), L"http://o/x");
    EXPECT_EQ(Complete(L"new.dat "), L"http://h/dir/new.dat?s=1");
    EXPECT_EQ(Complete(L" /root.dat\t"), L"http://h/root.dat?s=1");

    // User, password and port of the current URL stay.
    ASSERT_TRUE(current_.ParseUrl(L"http://u:p@h:8080/d/f"));
    EXPECT_EQ(Complete(L"g"), L"http://u:p@h:8080/d/g");
    // An empty current path counts as "/".
    ASSERT_TRUE(current_.ParseUrl(L"http://h"));
    EXPECT_EQ(Complete(L"a.dat"), L"http://h/a.dat");
}

TEST_F(CompleteRedirect, RefusesWhatCannotBeCompleted) {
    // Control characters would end up in the request text.
    EXPECT_EQ(Complete(L"a.dat\r\nX-Injected: 1"), L"FAILED");
    EXPECT_EQ(Complete(L"http://h/a\r\n b"), L"FAILED");
    EXPECT_EQ(Complete(std::wstring(L"a\0b", 3)), L"FAILED");

    // The composed URL must fit 2048 characters with its terminator:
    // "http://h/" plus the name.
    ASSERT_TRUE(current_.ParseUrl(L"http://h/"));
    EXPECT_EQ(Complete(std::wstring(2038, L'n')).size(), 2047u);
    EXPECT_EQ(Complete(std::wstring(2039, L'n')), L"FAILED");
    EXPECT_EQ(Complete(L"/" + std::wstring(2048, L'n')), L"FAILED");

    // A current path without any '/' has no folder to resolve against.
    ASSERT_TRUE(current_.ParseUrl(L"file:C:x"));
    EXPECT_EQ(Complete(L"y"), L"FAILED");

    // A failure leaves nothing behind that could be fetched.
    std::wstring reference = L"a\nb";
    EXPECT_FALSE(CompleteRedirectUrl(current_, reference));
    EXPECT_TRUE(reference.empty());
}

}  // namespace
}  // namespace qv
