// The client over its real socket against the hostile test server on 127.0.0.1: the
// exact request bytes, every body mode and failure mode, redirects across connections
// and ports.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/client.h"
#include "tests/support/hostile_server.h"
#include "tests/support/test_support.h"

namespace qv {
namespace {

using test::HostileServer;

// Short enough to keep the suite fast, long enough for a loaded machine's loopback.
constexpr DWORD kShortTimeoutMs = 400;

class Loopback : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Running()) << server.Problem();
        const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
        prefix = std::string("/client/") + info->name();
    }
    // Scripts one route under this test's prefix; returns its path.
    std::string Route(const std::string& name, const std::string& response_json) {
        const std::string path = prefix + name;
        EXPECT_TRUE(server.Script("{\"" + path + "\": " + response_json + "}")) << path;
        return path;
    }
    static std::string Body(const CAtlHttpClient& client) {
        return std::string(reinterpret_cast<const char*>(client.BodyData()), client.BodyLength());
    }

    HostileServer server;
    std::string prefix;
};

std::string EngineRequest(const std::string& target) {
    return "GET " + target +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
           "User-Agent: Microsoft-ATL-Native/9.00\r\n\r\n";
}

// ---------------------------------------------------------------- Request bytes

TEST_F(Loopback, EngineRequestBytesForAPlainUrlAndAUrlWithAQuery) {
    const std::string path = Route("/plain.dat", R"({"body": "p"})");
    CAtlHttpClient client;
    ASSERT_TRUE(client.FetchUrl(server.Url(path).c_str()));
    ASSERT_TRUE(client.FetchUrl(server.Url(path + "?v=1&w=%41").c_str()));
    const auto requests = server.Requests(path);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].raw, EngineRequest(path));
    EXPECT_EQ(requests[1].raw, EngineRequest(path + "?v=1&w=%41"));
}

TEST_F(Loopback, EngineRequestOnAnotherPortHasTheHostWithoutPort) {
    const std::string path = Route("/port.dat", R"({"body": "p"})");
    CAtlHttpClient client;
    ASSERT_TRUE(client.FetchUrl(server.Url(path, true).c_str()));
    const auto requests = server.Requests(path);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].port, server.Port2());
    EXPECT_EQ(requests[0].raw, EngineRequest(path));
}

TEST_F(Loopback, EngineRequestEscapesSpacesAndNonAsciiBeforeTheQuery) {
    const std::string escaped = prefix + "/a%20b/%c3%a9%e9%98%85.dat";
    Route("/a%20b/%c3%a9%e9%98%85.dat", R"({"body": "u"})");
    CAtlHttpClient client;
    const std::wstring url = L"http://127.0.0.1:" + std::to_wstring(server.Port()) +
                             test::Widen(prefix) + L"/a b/\u00e9\u9605.dat?q=x y";
    ASSERT_TRUE(client.FetchUrl(url.c_str()));
    EXPECT_EQ(Body(client), "u");
    const auto requests = server.Requests(escaped);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].raw, EngineRequest(escaped + "?q=x y"));
}

// ---------------------------------------------------------------- Body modes

// Answers whose framing or interim responses the client reads through to the body.
TEST_F(Loopback, EveryFramingGivesTheWholeBody) {
    struct Case {
        const char* route;
        const char* script;
        std::string body;
    };
    const Case cases[] = {
        {"/bytes", R"({"body": "one byte at a time\u0000!", "piece": 1})",
         std::string("one byte at a time\0!", 20)},
        {"/continue", R"({"continues": 2, "body": "after"})", "after"},
        {"/extension", R"({"body": "hello", "framing": "chunked", "chunk_ext": ";a=b"})", "hello"},
        {"/hints", R"({"body": "after", "interim": [[103, 2]]})", "after"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.route);
        const std::string path = Route(c.route, c.script);
        CAtlHttpClient client;
        ASSERT_TRUE(client.FetchUrl(server.Url(path).c_str()));
        EXPECT_EQ(client.StatusCode(), 200);
        EXPECT_EQ(Body(client), c.body);
        EXPECT_EQ(client.LastReadResult(), ResponseOk);
    }
}

TEST_F(Loopback, ChunkedWithZeroBytesAndTrailers) {
    const std::string path =
        Route("/chunked", R"({"body": "\u0000ab\u0000cdefgh\u0000", "framing": "chunked",
                        "chunks": [1, 0, 4, 5], "trailers": [["X-Check", "ok"]], "piece": 3})");
    CAtlHttpClient client;
    ASSERT_TRUE(client.FetchUrl(server.Url(path).c_str()));
    EXPECT_EQ(Body(client), std::string("\0ab\0cdefgh\0", 11));
    std::wstring check;
    EXPECT_TRUE(client.ResponseHeader(L"x-check", check));
    EXPECT_EQ(check, L"ok");
}

TEST_F(Loopback, BodyUntilTheServerCloses) {
    const std::string path =
        Route("/close", R"({"body_size": 100000, "framing": "close", "piece": 7000})");
    CAtlHttpClient client;
    ASSERT_TRUE(client.FetchUrl(server.Url(path).c_str()));
    ASSERT_EQ(client.BodyLength(), 100000u);
    // The generated pattern of the server: byte i is (i*131 + (i>>8)*7 + 3) mod 256.
    for (uint32_t i = 0; i < client.BodyLength(); i += 997) {
        ASSERT_EQ(client.BodyData()[i], static_cast<BYTE>(i * 131 + (i >> 8) * 7 + 3)) << i;
    }
}

TEST_F(Loopback, AnUntilCloseBodyCutByATimeOutOrAResetFails) {
    // Only the server's clean close ends such a body; anything else may have cut it.
    const std::string stalled =
        Route("/stall", R"({"body": "so far", "framing": "close", "hold_ms": 3000})");
    const std::string reset =
        Route("/reset", R"({"body": "line 1\nline 2\n", "framing": "close", "drop_at": 60})");
    CAtlHttpClient client;
    CFetchOptions options;
    options.timeout = kShortTimeoutMs;
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(client.FetchUrl(server.Url(stalled).c_str(), &options));
    EXPECT_LT(GetTickCount64() - start, 2500u);
    EXPECT_EQ(client.LastReadResult(), BodyReceiveFailed);
    EXPECT_FALSE(client.FetchUrl(server.Url(reset).c_str()));
    EXPECT_EQ(client.LastReadResult(), BodyReceiveFailed);
    EXPECT_EQ(client.StatusCode(), 200);
}

TEST_F(Loopback, AStallInsideTheHeadersFails) {
    const std::string path = Route("/stall-head", R"({"body": "x", "stall_at": 10,
                                                      "stall_ms": 3000})");
    CAtlHttpClient client;
    CFetchOptions options;
    options.timeout = kShortTimeoutMs;
    EXPECT_FALSE(client.FetchUrl(server.Url(path).c_str(), &options));
    EXPECT_EQ(client.LastReadResult(), HeaderReceiveFailed);
    EXPECT_EQ(client.StatusCode(), -1);
}

TEST_F(Loopback, KeepAliveAndCloseDecideConnectionReuse) {
    const std::string kept = Route("/kept", R"({"body": "k", "connection": "keep-alive"})");
    const std::string closing = Route("/closing", R"({"body": "c", "connection": "close"})");
    CAtlHttpClient client;
    ASSERT_TRUE(client.FetchUrl(server.Url(kept).c_str()));
    ASSERT_TRUE(client.FetchUrl(server.Url(kept).c_str()));
    ASSERT_TRUE(client.FetchUrl(server.Url(closing).c_str()));
    ASSERT_TRUE(client.FetchUrl(server.Url(kept).c_str()));
    // A whole error answer keeps the connection as a whole 200 does.
    const std::string missing = Route("/missing", R"({"status": 404, "body": "no"})");
    ASSERT_FALSE(client.FetchUrl(server.Url(missing).c_str()));
    ASSERT_TRUE(client.FetchUrl(server.Url(kept).c_str()));
    const auto requests = server.Requests(prefix);
    ASSERT_EQ(requests.size(), 6u);
    EXPECT_EQ(requests[0].connection, requests[1].connection);
    EXPECT_EQ(requests[1].connection, requests[2].connection);
    EXPECT_NE(requests[2].connection, requests[3].connection);
    EXPECT_EQ(requests[3].connection, requests[4].connection);
    EXPECT_EQ(requests[4].connection, requests[5].connection);
}

// ---------------------------------------------------------------- Failure modes

TEST_F(Loopback, ADropInTheMiddleOfTheBodyFails) {
    const std::string length = Route("/drop", R"({"body_size": 300000, "drop_at": 100000})");
    const std::string chunked =
        Route("/drop-chunked", R"({"body_size": 300000, "framing": "chunked", "drop_at": 100000})");
    CAtlHttpClient client;
    EXPECT_FALSE(client.FetchUrl(server.Url(length).c_str()));
    EXPECT_EQ(client.LastReadResult(), BodyReceiveFailed);
    EXPECT_EQ(client.StatusCode(), 200);
    EXPECT_FALSE(client.FetchUrl(server.Url(chunked).c_str()));
    EXPECT_EQ(client.LastReadResult(), ChunkedBodyFailed);
}

TEST_F(Loopback, ShortBodyThenCloseFails) {
    const std::string path =
        Route("/short", R"({"body": "only this", "content_length": 100, "connection": "close"})");
    CAtlHttpClient client;
    EXPECT_FALSE(client.FetchUrl(server.Url(path).c_str()));
    EXPECT_EQ(client.LastReadResult(), BodyReceiveFailed);
}

TEST_F(Loopback, HeadersThatNeverEndFail) {
    const std::string path = Route("/endless", R"({"endless_headers": true})");
    CAtlHttpClient client;
    EXPECT_FALSE(client.FetchUrl(server.Url(path).c_str()));
    EXPECT_EQ(client.LastReadResult(), HeaderReceiveFailed);
}

TEST_F(Loopback, ErrorStatusesFailAndNotModifiedSucceeds) {
    const std::string missing = Route("/missing", R"({"status": 404, "body": "no"})");
    const std::string denied = Route(
        "/denied", R"({"status": 401, "headers": [["WWW-Authenticate", "Basic realm=\"r\""]]})");
    const std::string same = Route("/same", R"({"status": 304, "framing": "none"})");
    CAtlHttpClient client;
    EXPECT_FALSE(client.FetchUrl(server.Url(missing).c_str()));
    EXPECT_EQ(client.StatusCode(), 404);
    EXPECT_EQ(Body(client), "no");
    EXPECT_FALSE(client.FetchUrl(server.Url(denied).c_str()));
    EXPECT_EQ(client.StatusCode(), 401);
    EXPECT_EQ(client.AuthenticationOffers(), std::vector<std::wstring>{L"Basic realm=\"r\""});
    // No length and a kept-alive connection: 304 has no body, so nothing waits.
    CFetchOptions options;
    options.timeout = 5000;
    const ULONGLONG start = GetTickCount64();
    EXPECT_TRUE(client.FetchUrl(server.Url(same).c_str(), &options));
    EXPECT_LT(GetTickCount64() - start, 2500u);
    EXPECT_EQ(client.StatusCode(), 304);
}

TEST_F(Loopback, NoServerOnThePortFails) {
    // The server's second port after a restart is unlikely to be taken: use a port that
    // was free a moment ago instead.
    SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length), 0);
    closesocket(probe);
    CAtlHttpClient client;
    const std::wstring url =
        L"http://127.0.0.1:" + std::to_wstring(ntohs(address.sin_port)) + L"/x";
    EXPECT_FALSE(client.FetchUrl(url.c_str()));
    EXPECT_EQ(client.StatusCode(), -1);
    EXPECT_FALSE(client.FetchUrl(L"http://no-such-host.invalid/x"));
}

// ---------------------------------------------------------------- Redirects

TEST_F(Loopback, RedirectChainRelativeAbsolutePathAndAnotherPort) {
    const std::string final_path = Route("/final.dat", R"({"body": "arrived"})");
    Route("/third", R"({"status": 303, "location": "http://{host}:{port2})" + final_path + R"("})");
    Route("/dir/second", R"({"status": 301, "location": ")" + prefix + R"(/third"})");
    const std::string first = Route("/dir/first", R"({"location": "second"})");
    CAtlHttpClient client;
    ASSERT_TRUE(client.FetchUrl(server.Url(first).c_str()));
    EXPECT_EQ(client.StatusCode(), 200);
    EXPECT_EQ(Body(client), "arrived");
    const auto requests = server.Requests(prefix);
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[1].raw, EngineRequest(prefix + "/dir/second"));
    EXPECT_EQ(requests[2].raw, EngineRequest(prefix + "/third"));
    EXPECT_EQ(requests[3].raw, EngineRequest(final_path));
    // The same connection until the port changes.
    EXPECT_EQ(requests[0].connection, requests[2].connection);
    EXPECT_EQ(requests[3].port, server.Port2());
    EXPECT_NE(requests[3].connection, requests[2].connection);
}

TEST_F(Loopback, RedirectWithConnectionCloseUsesANewConnection) {
    const std::string target = Route("/target", R"({"body": "t"})");
    const std::string first =
        Route("/first", R"({"location": ")" + target + R"(", "connection": "close"})");
    CAtlHttpClient client;
    ASSERT_TRUE(client.FetchUrl(server.Url(first).c_str()));
    const auto requests = server.Requests(prefix);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[0].connection, requests[1].connection);
}

TEST_F(Loopback, RedirectWithoutLocationSucceedsWith302) {
    const std::string path = Route("/nowhere", R"({"status": 302, "body": "moved"})");
    CAtlHttpClient client;
    ASSERT_TRUE(client.FetchUrl(server.Url(path).c_str()));
    EXPECT_EQ(client.StatusCode(), 302);
    EXPECT_EQ(Body(client), "moved");
}

TEST_F(Loopback, RedirectLoopEndsQuicklyWithFailure) {
    const std::string a = prefix + "/a";
    const std::string b = prefix + "/b";
    Route("/a", R"({"location": ")" + b + R"("})");
    Route("/b", R"({"location": "http://{host}:{port})" + a + R"("})");
    CAtlHttpClient client;
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(client.FetchUrl(server.Url(a).c_str()));
    EXPECT_LT(GetTickCount64() - start, 5000u);
    EXPECT_EQ(client.StatusCode(), 302);
    EXPECT_EQ(server.Requests(prefix).size(), 11u);  // the first request and ten redirects
}

}  // namespace
}  // namespace qv
