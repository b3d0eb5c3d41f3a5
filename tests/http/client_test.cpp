// The client over a scripted socket: exact receive splits, empty and failed receives,
// progress callbacks, send paths, status processing and redirects, without a network.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "http/client_impl.h"
#include "tests/http/scripted_socket.h"

namespace qv {
namespace {

using test::ScriptedSocket;

class TestClient : public CAtlHttpClientT<ScriptedSocket> {
public:
    using CAtlHttpClientT::SetBodyLimit;
    // Qualified: the unqualified name is that of the private base.
    ::qv::test::ScriptedSocket& socket() { return Transport(); }
    void OnCookie(const std::wstring& value) noexcept override {
        try {
            cookies.push_back(value);
        } catch (...) {
        }
    }
    std::string Body() const {
        return std::string(reinterpret_cast<const char*>(BodyData()), BodyLength());
    }
    std::wstring Header(const wchar_t* name) const {
        std::wstring value;
        return ResponseHeader(name, value) ? value : L"<none>";
    }
    std::vector<std::wstring> cookies;
};

constexpr wchar_t kUrl[] = L"http://example.invalid/dir/file.dat";
const std::string kRequest =
    "GET /dir/file.dat HTTP/1.1\r\nHost: example.invalid\r\n"
    "User-Agent: Microsoft-ATL-Native/9.00\r\n\r\n";

// Records the counts handed to a ReadStatusCallback; aborts at call `abort_at` (from 1).
struct Progress {
    std::vector<DWORD> counts;
    size_t abort_at = 0;
    static bool Callback(DWORD count, DWORD_PTR param) {
        auto* self = reinterpret_cast<Progress*>(param);
        self->counts.push_back(count);
        return self->counts.size() != self->abort_at;
    }
    void Install(CFetchOptions& options) {
        options.SetReadStatusCallback(&Callback, reinterpret_cast<DWORD_PTR>(this));
    }
};

std::string Response(const std::string& head, const std::string& body) {
    return "HTTP/1.1 " + head + "\r\n\r\n" + body;
}

// ---------------------------------------------------------------- Reading whole responses

struct Expected {
    int status;
    std::string body;
    std::vector<std::pair<const wchar_t*, std::wstring>> headers;
};

// The receives of `raw` whole, in two receives split at every point, and one byte per
// receive.
std::vector<std::vector<std::string>> EveryWayToReceive(const std::string& raw) {
    std::vector<std::vector<std::string>> ways = {{raw}};
    for (size_t i = 1; i < raw.size(); ++i) {
        ways.push_back({raw.substr(0, i), raw.substr(i)});
    }
    ways.push_back({});
    for (char c : raw) {
        ways.back().emplace_back(1, c);
    }
    return ways;
}

// Every way of receiving `raw` must give the same response.
void ExpectSameResponseAtEverySplit(const std::string& raw, const Expected& expected) {
    for (const auto& receives : EveryWayToReceive(raw)) {
        TestClient client;
        for (const std::string& piece : receives) {
            client.socket().Add(piece);
        }
        ASSERT_TRUE(client.FetchUrl(kUrl)) << "first receive " << receives[0].size();
        ASSERT_EQ(client.StatusCode(), expected.status);
        ASSERT_EQ(client.Body(), expected.body) << "first receive " << receives[0].size();
        for (const auto& [name, value] : expected.headers) {
            ASSERT_EQ(client.Header(name), value) << "first receive " << receives[0].size();
        }
    }
}

// Every way of receiving `raw` must fail its header block and drop the connection.
void ExpectBadHeaderBlockAtEverySplit(const std::string& raw, const char* what) {
    for (const auto& receives : EveryWayToReceive(raw)) {
        TestClient client;
        for (const std::string& piece : receives) {
            client.socket().Add(piece);
        }
        ASSERT_FALSE(client.FetchUrl(kUrl)) << what << ", first receive " << receives[0].size();
        ASSERT_EQ(client.LastReadResult(), HeaderBlockBad) << what;
        ASSERT_FALSE(client.socket().IsConnected()) << what;
    }
}

TEST(ClientReading, ContentLengthBodyAtEverySplit) {
    ExpectSameResponseAtEverySplit(
        std::string("HTTP/1.1 200 OK\r\nContent-Length: 7\r\nX-Folded: a\r\n b\r\n\r\nabc\0def",
                    62),
        {200, std::string("abc\0def", 7), {{L"x-folded", L"a\r\n b"}}});
}

TEST(ClientReading, RepeatedEqualContentLengthsAreOneLengthAtEverySplit) {
    ExpectSameResponseAtEverySplit(
        "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nX: y\r\nContent-Length: 3\r\n\r\nabc",
        {200, "abc", {}});
    ExpectSameResponseAtEverySplit("HTTP/1.1 200 OK\r\nContent-Length: 3, 3\r\n\r\nabc",
                                   {200, "abc", {}});
}

TEST(ClientReading, DifferingContentLengthsFailTheResponseAtEverySplit) {
    // Which length a reader believes decides where the next response starts; a
    // response that names two cannot be read safely by either.
    for (const char* lengths :
         {"Content-Length: 7\r\nContent-Length: 3", "Content-Length: 3\r\nContent-Length: 7",
          "Content-Length: 7, 3", "Content-Length: 3\r\nContent-Length: 3\r\nContent-Length: 4"}) {
        ExpectBadHeaderBlockAtEverySplit(
            std::string("HTTP/1.1 200 OK\r\n") + lengths + "\r\n\r\nabcdefg", lengths);
    }
}

TEST(ClientReading, ChunkedBodyWithTrailersAtEverySplit) {
    const std::string head =
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\nTrailer: X-Sum\r\n\r\n";
    ExpectSameResponseAtEverySplit(
        head + std::string("3\r\n\0a\0\r\n", 8) + "2\r\nbc\r\n0\r\nX-Sum: 5\r\n\r\n",
        {200, std::string("\0a\0bc", 5), {{L"X-Sum", L"5"}, {L"Trailer", L"X-Sum"}}});
}

TEST(ClientReading, ChunkExtensionsAreSkippedAtEverySplit) {
    ExpectSameResponseAtEverySplit(
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
        "a;foo=bar\r\n0123456789\r\n3 ; x=\"a;b\" ;y\r\nabc\r\n0;foo=bar\r\n\r\n",
        {200, "0123456789abc", {}});
}

// The trailer section ends the response only with its blank line: when that comes in a
// later segment, it must not be taken for the start of the next response.
TEST(ClientReading, TheTrailerSectionIsReadWholeBeforeTheConnectionServesAgain) {
    const std::string second = "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nsecond";
    for (const char* trailers : {"", "X-Sum: 5\r\n", "Trailer: X-Sum\r\n|X-Sum: 5\r\n"}) {
        std::string announce, fields = trailers;
        if (fields.find('|') != std::string::npos) {
            announce = fields.substr(0, fields.find('|'));
            fields = fields.substr(fields.find('|') + 1);
        }
        const std::string first = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n" + announce +
                                  "\r\n5;ext=1\r\nfirst\r\n0\r\n" + fields;
        for (const auto& receives : EveryWayToReceive(first)) {
            TestClient client;
            for (const std::string& piece : receives) {
                client.socket().Add(piece);
            }
            client.socket().Add("\r\n");  // the trailer section's end, a segment of its own
            client.socket().Add(second);
            ASSERT_TRUE(client.FetchUrl(kUrl)) << trailers << ", first " << receives[0].size();
            ASSERT_EQ(client.Body(), "first") << trailers;
            ASSERT_TRUE(client.socket().IsConnected()) << trailers;
            ASSERT_TRUE(client.FetchUrl(kUrl)) << trailers << ", first " << receives[0].size();
            ASSERT_EQ(client.Body(), "second") << trailers;
            ASSERT_EQ(client.socket().connects.size(), 1u) << trailers;
        }
    }
    // Bytes after the response's end cannot be told from the next one: the connection
    // is not used again.
    TestClient client;
    client.socket().Add("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\nextra");
    ASSERT_TRUE(client.FetchUrl(kUrl));
    EXPECT_FALSE(client.socket().IsConnected());
}

TEST(ClientReading, ContinueThenResponseAtEverySplit) {
    ExpectSameResponseAtEverySplit(
        "HTTP/1.1 100 Continue\r\nX-Early: 1\r\n\r\n"
        "HTTP/1.1 100 Continue\r\n\r\n"
        "HTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\nok",
        {201, "ok", {{L"X-Early", L"<none>"}, {L"content-length", L"2"}}});
}

TEST(ClientReading, InterimResponsesAreSkippedUpToTheBoundAtEverySplit) {
    const std::string final_response = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    auto interim = [](const char* status, int count) {
        std::string out;
        for (int i = 0; i < count; ++i) {
            out += std::string("HTTP/1.1 ") + status + "\r\nLink: </s.css>; rel=preload\r\n\r\n";
        }
        return out;
    };
    struct Case {
        std::string interim;
        bool ok;
    };
    const std::vector<Case> cases = {
        {interim("100 Continue", 1), true},
        {interim("102 Processing", 1), true},
        {interim("103 Early Hints", 3), true},
        {interim("100 Continue", 1) + interim("103 Early Hints", kMaxInterimResponses - 1), true},
        {interim("103 Early Hints", kMaxInterimResponses + 1), false},
        {interim("101 Switching Protocols", 1), false},
        {interim("103 Early Hints", 1) + interim("101 Switching Protocols", 1), false},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const std::string raw = cases[i].interim + final_response;
        for (const auto& receives : EveryWayToReceive(raw)) {
            TestClient client;
            for (const std::string& piece : receives) {
                client.socket().Add(piece);
            }
            ASSERT_EQ(client.FetchUrl(kUrl), cases[i].ok) << i << ", first " << receives[0].size();
            if (cases[i].ok) {
                ASSERT_EQ(client.StatusCode(), 200) << i;
                ASSERT_EQ(client.Body(), "ok") << i;
                ASSERT_EQ(client.Header(L"Link"), L"<none>") << i;
            } else {
                ASSERT_EQ(client.LastReadResult(), HeaderBlockBad) << i;
                ASSERT_FALSE(client.socket().IsConnected()) << i;
            }
        }
    }
}

TEST(ClientReading, HeaderLengthAndBodyDataCoverTheSecondResponseAfterContinue) {
    TestClient client;
    const std::string second = "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n";
    client.socket().Add("HTTP/1.1 100 Continue\r\n\r\n" + second + "xyz");
    ASSERT_TRUE(client.FetchUrl(kUrl));
    EXPECT_EQ(client.HeaderLength(), second.size());
    EXPECT_EQ(client.Body(), "xyz");
}

TEST(ClientReading, RepeatedHeadersJoinAndCookiesAndOffersAreReported) {
    TestClient client;
    client.socket().Add(Response(
        "200 OK\r\nSet-Cookie: a=1\r\nset-cookie: b=2\r\nWWW-Authenticate: Basic realm=x\r\n"
        "Proxy-Authenticate: NTLM\r\nContent-Length: 0",
        ""));
    ASSERT_TRUE(client.FetchUrl(kUrl));
    EXPECT_EQ(client.Header(L"SET-COOKIE"), L"a=1,b=2");
    EXPECT_EQ(client.cookies, (std::vector<std::wstring>{L"a=1", L"b=2"}));
    EXPECT_EQ(client.AuthenticationOffers(),
              (std::vector<std::wstring>{L"Basic realm=x", L"NTLM"}));
}

TEST(ClientReading, OverlongHeadersAreDroppedAndTheOthersKept) {
    TestClient client;
    client.socket().Add(Response("200 OK\r\nA: 1\r\nBig: " + std::string(1024, 'v') + "\r\n" +
                                     std::string(1024, 'n') + ": x\r\nno colon\r\n" +
                                     "Fits: " + std::string(1023, 'w') + "\r\nContent-Length: 2",
                                 "ok"));
    ASSERT_TRUE(client.FetchUrl(kUrl));
    EXPECT_EQ(client.Header(L"A"), L"1");
    EXPECT_EQ(client.Header(L"Big"), L"<none>");
    EXPECT_EQ(client.Header(L"Fits").size(), 1023u);
    EXPECT_EQ(client.Body(), "ok");
}

TEST(ClientReading, AnyTransferCodingButOneChunkedFailsAtEverySplit) {
    // We ask for no coding and decode none: read as plain or to the close, a coded body
    // would pass for the file itself.
    for (const char* codings :
         {"Transfer-Encoding: chunked, deflate", "Transfer-Encoding: gzip, chunked",
          "Transfer-Encoding: gzip", "Transfer-Encoding: chunked\r\nTransfer-Encoding: identity",
          "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked",
          "Transfer-Encoding: chunkedchunked", "Transfer-Encoding: identity",
          "Transfer-Encoding:", "Transfer-Encoding: gzip\r\nContent-Length: 4"}) {
        ExpectBadHeaderBlockAtEverySplit(
            std::string("HTTP/1.1 200 OK\r\n") + codings + "\r\n\r\n4\r\nbody", codings);
    }
    // One chunked field, in any case and with white space around it, is read.
    for (const char* chunked : {"Transfer-Encoding: Chunked", "transfer-encoding:  chunked \t"}) {
        ExpectSameResponseAtEverySplit(
            std::string("HTTP/1.1 200 OK\r\n") + chunked + "\r\n\r\n4\r\nbody\r\n0\r\n\r\n",
            {200, "body", {}});
    }
    // A response that has no body never minds its framing.
    TestClient client;
    client.socket().Add("HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: gzip\r\n\r\n");
    EXPECT_TRUE(client.FetchUrl(kUrl));
}

TEST(ClientReading, ContentLengthZeroReadsNothingMore) {
    TestClient client;
    client.socket().Add(Response("200 OK\r\nContent-Length: 0", ""));
    client.socket().Add("never read");
    ASSERT_TRUE(client.FetchUrl(kUrl));
    EXPECT_EQ(client.BodyLength(), 0u);
    EXPECT_EQ(client.socket().receives.size(), 1u);
    EXPECT_TRUE(client.socket().IsConnected());  // kept alive
}

TEST(ClientReading, ABodyOfKnownLengthIsReceivedInFullBlocks) {
    TestClient client;
    CFetchOptions options;
    options.read_block_size = 0;  // 2048
    client.socket().Add(Response("200 OK\r\nContent-Length: 5000", std::string(100, 'a')));
    client.socket().Add(std::string(4900, 'b'));
    ASSERT_TRUE(client.FetchUrl(kUrl, &options));
    EXPECT_EQ(client.BodyLength(), 5000u);
    const std::vector<DWORD>& asked = client.socket().capacities;
    ASSERT_EQ(asked.size(), 4u);
    EXPECT_EQ(asked[0], 2048u);  // header phase
    EXPECT_EQ(asked[1], 2048u);
    EXPECT_EQ(asked[3], 2048u);  // a full block even for the last 804 bytes
}

TEST(ClientReading, ExtraBytesAfterTheContentLengthCountAsBody) {
    TestClient client;
    client.socket().Add(Response("200 OK\r\nContent-Length: 2", "abcd"));
    ASSERT_TRUE(client.FetchUrl(kUrl));
    EXPECT_EQ(client.Body(), "abcd");
}

TEST(ClientReading, NoBodyIsReadFor204And304) {
    for (const char* status : {"204 No Content", "304 Not Modified"}) {
        TestClient client;
        client.socket().Add(Response(status, ""));
        client.socket().AddFailure();  // reading a body would reach this
        ASSERT_TRUE(client.FetchUrl(kUrl)) << status;
        EXPECT_EQ(client.BodyLength(), 0u);
        EXPECT_EQ(client.socket().receives.size(), 1u);
    }
}

// ---------------------------------------------------------------- Body until close

// How a close-delimited body ends decides whether it is whole: only a clean close (a
// zero-byte receive) says the server sent all of it.
TEST(ClientReading, AnUntilCloseBodyIsWholeOnlyAfterACleanClose) {
    struct Case {
        const char* name;
        bool clean_close;  // else a failed receive: a reset, a time-out or a stop
        bool ok;
    };
    const std::string raw = Response("200 OK", "line 1\nline 2\n");
    for (const Case& c :
         {Case{"clean close", true, true}, Case{"reset or time-out", false, false}}) {
        for (const auto& receives : EveryWayToReceive(raw)) {
            TestClient client;
            for (const std::string& piece : receives) {
                client.socket().Add(piece);
            }
            if (c.clean_close) {
                client.socket().AddEmpty();
            } else {
                client.socket().AddFailure();
            }
            client.socket().Add("never read");
            ASSERT_EQ(client.FetchUrl(kUrl), c.ok) << c.name << ", first " << receives[0].size();
            ASSERT_EQ(client.LastReadResult(), c.ok ? ResponseOk : BodyReceiveFailed) << c.name;
            ASSERT_FALSE(client.socket().IsConnected()) << c.name;
            if (c.ok) {
                ASSERT_EQ(client.Body(), "line 1\nline 2\n") << c.name;
            }
        }
    }
}

TEST(ClientReading, UntilCloseEndsAtTheFirstEmptyReceiveAndClosesTheConnection) {
    TestClient client;
    Progress progress;
    CFetchOptions options;
    progress.Install(options);
    client.socket().Add(Response("200 OK", "ab"));
    client.socket().Add("cd");
    client.socket().AddEmpty();
    client.socket().Add("never");
    ASSERT_TRUE(client.FetchUrl(kUrl, &options));
    EXPECT_EQ(client.Body(), "abcd");
    EXPECT_EQ(progress.counts, (std::vector<DWORD>{21, 2, 0}));
    EXPECT_FALSE(client.socket().IsConnected());
}

// ---------------------------------------------------------------- Empty receives and failures

TEST(ClientReading, HeaderPhaseToleratesFourEmptyReceivesButNotFive) {
    {
        TestClient client;
        Progress progress;
        CFetchOptions options;
        progress.Install(options);
        client.socket().Add("HTTP/1.1 200 OK\r\n");
        client.socket().AddEmpty(4);
        client.socket().Add("Content-Length: 1\r\n\r\nz");
        ASSERT_TRUE(client.FetchUrl(kUrl, &options));
        EXPECT_EQ(client.Body(), "z");
        EXPECT_EQ(progress.counts, (std::vector<DWORD>{17, 0, 0, 0, 0, 22}));
    }
    {
        TestClient client;
        client.socket().Add("HTTP/1.1 200 OK\r\n");
        client.socket().AddEmpty(5);
        client.socket().Add("Content-Length: 1\r\n\r\nz");
        EXPECT_FALSE(client.FetchUrl(kUrl));
        EXPECT_EQ(client.LastReadResult(), HeaderReceiveFailed);
        EXPECT_EQ(client.StatusCode(), -1);
        EXPECT_FALSE(client.socket().IsConnected());
    }
}

TEST(ClientReading, KnownLengthToleratesFourEmptyReceivesButNotFive) {
    {
        TestClient client;
        client.socket().Add(Response("200 OK\r\nContent-Length: 4", "ab"));
        client.socket().AddEmpty(4);
        client.socket().Add("cd");
        ASSERT_TRUE(client.FetchUrl(kUrl));
        EXPECT_EQ(client.Body(), "abcd");
    }
    {
        TestClient client;
        client.socket().Add(Response("200 OK\r\nContent-Length: 4", "ab"));
        client.socket().AddEmpty(5);
        client.socket().Add("cd");
        EXPECT_FALSE(client.FetchUrl(kUrl));
        EXPECT_EQ(client.LastReadResult(), BodyReceiveFailed);
        EXPECT_EQ(client.StatusCode(), 200);
        EXPECT_FALSE(client.socket().IsConnected());
    }
}

TEST(ClientReading, FailuresMapToTheirReadResults) {
    struct Case {
        std::vector<ScriptedSocket::Receive> receives;
        ReadResult result;
    };
    const std::vector<Case> cases = {
        {{{true, "HTTP/1.1 200 OK\r\nA"}, {false, ""}}, HeaderReceiveFailed},
        {{{true, "garbage\r\n\r\n"}}, StatusLineBad},
        {{{true, "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nabc"}, {false, ""}},
         BodyReceiveFailed},
        {{{true, "HTTP/1.1 200 OK\r\nContent-Length: 1073741825\r\n\r\n"}}, BodyReceiveFailed},
        {{{true, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab"}},
         ChunkedBodyFailed},
        {{{true, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab"}, {false, ""}},
         ChunkedBodyFailed},
        {{{true, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;" +
                     std::string(ChunkDecoder::kMaxChunkExtension, 'x') +
                     "\r\nhello\r\n0\r\n\r\n"}},
         ChunkedBodyFailed},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        TestClient client;
        for (const auto& receive : cases[i].receives) {
            client.socket().receives.push_back(receive);
        }
        EXPECT_FALSE(client.FetchUrl(kUrl)) << i;
        EXPECT_EQ(client.LastReadResult(), cases[i].result) << i;
        EXPECT_FALSE(client.socket().IsConnected()) << i;
    }
}

TEST(ClientReading, BodiesOverTheLimitFailInEveryMode) {
    struct Case {
        std::string response;
        bool ok;
    };
    const std::string at_limit(100, 'a'), over_limit(101, 'o');
    const std::vector<Case> cases = {
        {Response("200 OK\r\nContent-Length: 100", at_limit), true},
        {Response("200 OK\r\nContent-Length: 101", ""), false},  // refused before reading
        {Response("200 OK", at_limit), true},
        {Response("200 OK", over_limit), false},
        {Response("200 OK\r\nTransfer-Encoding: chunked", "64\r\n" + at_limit + "\r\n0\r\n"), true},
        {Response("200 OK\r\nTransfer-Encoding: chunked",
                  "64\r\n" + at_limit + "\r\n1\r\nx\r\n0\r\n"),
         false},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        TestClient client;
        client.SetBodyLimit(100);
        client.socket().Add(cases[i].response, 30);
        EXPECT_EQ(client.FetchUrl(kUrl), cases[i].ok) << i;
        if (cases[i].ok) {
            EXPECT_EQ(client.BodyLength(), 100u) << i;
        } else {
            EXPECT_NE(client.LastReadResult(), ResponseOk) << i;
        }
    }
    // The real limit: one byte over 1 GiB is refused without receiving anything.
    TestClient client;
    client.socket().Add(Response("200 OK\r\nContent-Length: 1073741825", ""));
    client.socket().Add("never read");
    EXPECT_FALSE(client.FetchUrl(kUrl));
    EXPECT_EQ(client.LastReadResult(), BodyReceiveFailed);
    EXPECT_EQ(client.socket().receives.size(), 1u);
}

TEST(ClientReading, AFetchsOwnLimitStopsEndlessDataOneBytePastIt) {
    const std::string head = "HTTP/1.1 200 OK\r\n\r\n";
    const std::string endless(100000, 'e');
    for (uint32_t limit : {1u, 100u, 5000u}) {
        TestClient client;
        client.socket().Add(head + endless);
        CFetchOptions options;
        options.read_block_size = 65536;
        options.max_body_length = limit;
        EXPECT_FALSE(client.FetchUrl(kUrl, &options)) << limit;
        // What the client took from the socket: the head and the limit plus one byte,
        // or the one 2048-byte receive of the headers when that already held more.
        size_t left = 0;
        for (const auto& receive : client.socket().receives) {
            left += receive.bytes.size();
        }
        EXPECT_EQ(head.size() + endless.size() - left,
                  std::max<size_t>(2048, head.size() + limit + 1))
            << limit;
    }
    // At the limit the body arrives; a declared length over it is refused unread; the
    // fetch's limit never raises the client's own.
    TestClient client;
    CFetchOptions options;
    options.max_body_length = 4;
    client.socket().Add(Response("200 OK", "four"));
    EXPECT_TRUE(client.FetchUrl(kUrl, &options));
    EXPECT_EQ(client.Body(), "four");
    TestClient declared;
    declared.socket().Add(Response("200 OK\r\nContent-Length: 5", ""));
    declared.socket().Add("never read");
    EXPECT_FALSE(declared.FetchUrl(kUrl, &options));
    EXPECT_EQ(declared.socket().receives.size(), 1u);
    TestClient lower;
    lower.SetBodyLimit(3);
    lower.socket().Add(Response("200 OK", "four"));
    EXPECT_FALSE(lower.FetchUrl(kUrl, &options));
    TestClient chunked;
    chunked.socket().Add(
        Response("200 OK\r\nTransfer-Encoding: chunked", "5\r\nfive!\r\n0\r\n\r\n"));
    EXPECT_FALSE(chunked.FetchUrl(kUrl, &options));
}

TEST(ClientReading, HeadersThatNeverEndFailWithinTheBound) {
    TestClient client;
    std::string endless = "HTTP/1.1 200 OK\r\n";
    while (endless.size() < 200000) {
        endless += "X-Pad: " + std::string(90, 'p') + "\r\n";
    }
    client.socket().Add(endless);
    EXPECT_FALSE(client.FetchUrl(kUrl));
    EXPECT_EQ(client.LastReadResult(), HeaderReceiveFailed);
    // Receiving stopped soon after the bound: at most one more 2048-byte receive.
    size_t left = 0;
    for (const auto& receive : client.socket().receives) {
        left += receive.bytes.size();
    }
    EXPECT_LE(endless.size() - left, kMaxHeaderBlockBytes + 2048);
}

TEST(ClientReading, AHeaderBlockEndingJustInsideTheBoundIsAccepted) {
    TestClient client;
    std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nX-Pad: ";
    head += std::string(kMaxHeaderBlockBytes - head.size() - 4, 'p') + "\r\n\r\n";
    ASSERT_EQ(head.size(), kMaxHeaderBlockBytes);
    client.socket().Add(head + "ok");
    ASSERT_TRUE(client.FetchUrl(kUrl));
    EXPECT_EQ(client.Body(), "ok");
}

// ---------------------------------------------------------------- ReadStatusCallback

TEST(ReadStatusCallback, OneCallPerReceiveWithThatReceivesCount) {
    TestClient client;
    Progress progress;
    CFetchOptions options;
    progress.Install(options);
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\n";
    client.socket().Add(head + "a", 1);  // one byte per receive
    client.socket().Add("bc");
    client.socket().AddEmpty();
    client.socket().Add("def");
    ASSERT_TRUE(client.FetchUrl(kUrl, &options));
    std::vector<DWORD> expected(head.size() + 1, 1);
    expected.insert(expected.end(), {2, 0, 3});
    EXPECT_EQ(progress.counts, expected);
}

TEST(ReadStatusCallback, IsCalledForEveryReceiveOfAChunkedBodyToo) {
    TestClient client;
    Progress progress;
    CFetchOptions options;
    progress.Install(options);
    client.socket().Add("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n");
    client.socket().Add("ab\r\n");
    client.socket().Add("0\r\n\r\n");
    ASSERT_TRUE(client.FetchUrl(kUrl, &options));
    EXPECT_EQ(client.Body(), "ab");
    EXPECT_EQ(progress.counts, (std::vector<DWORD>{50, 4, 5}));

    // Its false fails the body as anywhere else.
    TestClient aborted;
    progress = Progress{};
    progress.abort_at = 2;
    aborted.socket().Add("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n");
    aborted.socket().Add("ab\r\n0\r\n\r\n");
    EXPECT_FALSE(aborted.FetchUrl(kUrl, &options));
    EXPECT_EQ(aborted.LastReadResult(), ChunkedBodyFailed);
}

// The callback's false ends the fetch at that receive: in the header, in a body of
// known length, in a body read until the close (which a clean close would have made
// whole). The connection goes with it.
TEST(ReadStatusCallback, ItsFalseEndsTheFetchWhereverItComes) {
    struct Case {
        const char* name;
        size_t abort_at;
        std::vector<std::string> receives;  // "" is an empty receive, the peer's close
        ReadResult result;
    };
    const Case cases[] = {
        {"on the first call",
         1,
         {Response("200 OK\r\nContent-Length: 2", "ok")},
         HeaderReceiveFailed},
        {"during a known length",
         2,
         {Response("200 OK\r\nContent-Length: 4", "ab"), "cd"},
         BodyReceiveFailed},
        {"during a body until the close", 2, {Response("200 OK", "x"), "y", ""}, BodyReceiveFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestClient client;
        Progress progress;
        progress.abort_at = c.abort_at;
        CFetchOptions options;
        progress.Install(options);
        for (const std::string& receive : c.receives) {
            if (receive.empty()) {
                client.socket().AddEmpty();
            } else {
                client.socket().Add(receive);
            }
        }
        EXPECT_FALSE(client.FetchUrl(kUrl, &options));
        EXPECT_EQ(client.LastReadResult(), c.result);
        EXPECT_FALSE(client.socket().IsConnected());
        EXPECT_EQ(progress.counts.size(), c.abort_at);
    }
}

// ---------------------------------------------------------------- Requests and send paths

TEST(ClientRequest, EngineRequestOnAnotherPortNamesTheHostWithoutPort) {
    TestClient client;
    client.socket().Add(Response("200 OK\r\nContent-Length: 0", ""));
    ASSERT_TRUE(client.FetchUrl(L"http://Example.invalid:8080/a b/\u00e9.dat?q=a b"));
    EXPECT_EQ(client.socket().sent,
              "GET /a%20b/%c3%a9.dat?q=a b HTTP/1.1\r\nHost: Example.invalid\r\n"
              "User-Agent: Microsoft-ATL-Native/9.00\r\n\r\n");
    ASSERT_EQ(client.socket().connects.size(), 1u);
    EXPECT_EQ(client.socket().connects[0].first, L"Example.invalid");
    EXPECT_EQ(client.socket().connects[0].second, 8080);
    EXPECT_EQ(client.socket().writes.size(), 1u);  // one buffer
    EXPECT_EQ(client.socket().timeout, 10000u);
}

TEST(ClientRequest, PortZeroAndEmptyPathTakeTheDefaults) {
    TestClient client;
    CFetchOptions options;
    options.port = 8081;
    client.socket().Add(Response("200 OK\r\nConnection: close\r\nContent-Length: 0", ""));
    client.socket().Add(Response("200 OK\r\nContent-Length: 0", ""));
    ASSERT_TRUE(client.FetchUrl(L"http://h.invalid:/x", &options));
    EXPECT_EQ(client.socket().connects[0].second, 8081);
    ASSERT_TRUE(client.FetchUrl(L"http://h.invalid"));
    EXPECT_EQ(client.socket().connects[1].second, 80);
    EXPECT_EQ(client.socket().writes[1].substr(0, 16), "GET / HTTP/1.1\r\n");
}

TEST(ClientReading, AFailedChunkedBodyLeavesWhatWasDecoded) {
    TestClient client;
    client.socket().Add(
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nabcd\r\n3\r\nef");
    client.socket().AddFailure();
    EXPECT_FALSE(client.FetchUrl(kUrl));
    EXPECT_EQ(client.LastReadResult(), ChunkedBodyFailed);
    EXPECT_EQ(client.Body(), "abcdef");
    EXPECT_EQ(client.BodyData()[client.BodyLength()], 0);
}

TEST(ClientRequest, UnusableUrlsFailBeforeConnecting) {
    for (const wchar_t* url :
         {L"", L"example.invalid/x", L"ftp://example.invalid/x", L"gopher://example.invalid/x",
          L"http:/x", L"http:///x", L"https:///x"}) {
        TestClient client;
        EXPECT_FALSE(client.FetchUrl(url)) << url;
        EXPECT_TRUE(client.socket().connects.empty()) << url;
    }
    TestClient client;
    EXPECT_FALSE(client.FetchUrl(nullptr));
}

TEST(ClientRequest, ConnectFailureFails) {
    TestClient client;
    client.socket().refuse_connect = true;
    EXPECT_FALSE(client.FetchUrl(kUrl));
    EXPECT_EQ(client.StatusCode(), -1);
    EXPECT_TRUE(client.socket().sent.empty());
}

// A POST of `data` (which must outlive the options) as text/plain with `extra_headers`.
CFetchOptions PostOptions(const std::string& data, const wchar_t* extra_headers) {
    CFetchOptions options;
    options.method = L"POST";
    options.data = reinterpret_cast<const BYTE*>(data.data());
    options.data_length = static_cast<DWORD>(data.size());
    options.content_type = L"text/plain";
    options.extra_headers = extra_headers;
    return options;
}

TEST(ClientRequest, BodyHeadersAndExtraHeadersInOrder) {
    TestClient client;
    const std::string data = "0123456789";
    CFetchOptions options = PostOptions(data, L"X-One: 1\r\nX-Two: 2\r\n");
    options.send_block_size = 4;
    client.socket().Add(Response("200 OK\r\nContent-Length: 0", ""));
    ASSERT_TRUE(client.FetchUrl(kUrl, &options));
    const std::string head =
        "POST /dir/file.dat HTTP/1.1\r\nContent-Length: 10\r\nContent-Type: text/plain\r\n"
        "X-One: 1\r\nX-Two: 2\r\nHost: example.invalid\r\n"
        "User-Agent: Microsoft-ATL-Native/9.00\r\n\r\n";
    EXPECT_EQ(client.socket().sent, head + data);
    // Block sending: the request, then pieces of at most four bytes.
    EXPECT_EQ(client.socket().writes, (std::vector<std::string>{head, "0123", "4567", "89"}));
}

struct SendLog {
    std::vector<DWORD> counts;
    bool result = true;
    static bool Callback(DWORD sent, DWORD_PTR param) {
        auto* self = reinterpret_cast<SendLog*>(param);
        self->counts.push_back(sent);
        return self->result;
    }
};

// Options that send `data` (which must outlive them) and report each send to `log`.
CFetchOptions LoggedSendOptions(const std::string& data, SendLog& log) {
    CFetchOptions options;
    options.data = reinterpret_cast<const BYTE*>(data.data());
    options.data_length = static_cast<DWORD>(data.size());
    options.send_status_callback = &SendLog::Callback;
    options.send_param = reinterpret_cast<DWORD_PTR>(&log);
    return options;
}

TEST(ClientRequest, GatheredSendingIsOneSendOfBothBuffers) {
    TestClient client;
    SendLog log;
    const std::string data = "body";
    CFetchOptions options = LoggedSendOptions(data, log);
    options.flags = FOLLOW_REDIRECTS | CHECK_STATUS;
    options.method = L"PUT";
    client.socket().Add(Response("201 Created\r\nContent-Length: 0", ""));
    ASSERT_TRUE(client.FetchUrl(kUrl, &options));
    ASSERT_EQ(client.socket().writes.size(), 1u);
    EXPECT_EQ(client.socket().writes[0].substr(client.socket().writes[0].size() - 4), "body");
    EXPECT_EQ(log.counts, (std::vector<DWORD>{static_cast<DWORD>(client.socket().sent.size())}));
}

TEST(ClientRequest, BlockSendingStopsWhenTheStatusCallbackSaysSo) {
    TestClient client;
    SendLog log;
    log.result = false;
    const std::string data = "0123456789";
    CFetchOptions options = LoggedSendOptions(data, log);
    options.send_block_size = 4;
    client.socket().Add(Response("200 OK\r\nContent-Length: 0", ""));
    EXPECT_FALSE(client.FetchUrl(kUrl, &options));
    EXPECT_EQ(client.socket().writes.size(), 1u);
    EXPECT_FALSE(client.socket().IsConnected());
}

struct Pieces {
    std::vector<std::string> pieces;
    size_t next = 0;
    static bool Callback(BYTE** buffer, DWORD* length, DWORD_PTR param) {
        auto* self = reinterpret_cast<Pieces*>(param);
        if (self->next == self->pieces.size()) {
            return false;
        }
        std::string& piece = self->pieces[self->next++];
        *buffer = reinterpret_cast<BYTE*>(piece.data());
        *length = static_cast<DWORD>(piece.size());
        return true;
    }
};

TEST(ClientRequest, CallbackSendingSendsEachPieceAndChecksTheTotal) {
    for (DWORD announced : {9u, 8u}) {
        TestClient client;
        CFetchOptions options;
        Pieces pieces{{"abc", "defg", "hi"}};
        options.flags |= SEND_WITH_CALLBACK;
        options.data_length = announced;
        options.send_data_callback = &Pieces::Callback;
        options.data_callback_param = reinterpret_cast<DWORD_PTR>(&pieces);
        client.socket().Add(Response("200 OK\r\nContent-Length: 0", ""));
        EXPECT_EQ(client.FetchUrl(kUrl, &options), announced == 9) << announced;
        ASSERT_EQ(client.socket().writes.size(), 4u);
        EXPECT_EQ(client.socket().writes[3], "hi");
    }
}

TEST(ClientRequest, AnAnnouncedBodyThatIsNotSentFailsBeforeReading) {
    TestClient client;
    CFetchOptions options;
    options.data_length = 5;  // and no data
    client.socket().Add(Response("200 OK\r\nContent-Length: 0", ""));
    EXPECT_FALSE(client.FetchUrl(kUrl, &options));
    EXPECT_EQ(client.LastReadResult(), NoResponseYet);
    EXPECT_FALSE(client.socket().IsConnected());
}

TEST(ClientRequest, APartialSendFails) {
    TestClient client;
    client.socket().write_limit = 10;
    client.socket().Add(Response("200 OK\r\nContent-Length: 0", ""));
    EXPECT_FALSE(client.FetchUrl(kUrl));
    EXPECT_FALSE(client.socket().IsConnected());
}

// ---------------------------------------------------------------- Status processing

TEST(ClientStatus, SuccessAndFailureByStatus) {
    // A whole answer keeps its connection whatever its status, but for those that lead
    // to further exchanges (authentication) and no answer at all.
    struct Case {
        const char* status;
        bool ok;
        bool kept;
    };
    for (const Case& c :
         {Case{"200 OK", true, true}, Case{"203 X", true, true}, Case{"206 Partial", true, true},
          Case{"305 Use Proxy", true, true}, Case{"404 Not Found", false, true},
          Case{"401 Unauthorized", false, false}, Case{"407 Proxy", false, false},
          Case{"307 Temporary", false, true}, Case{"308 Permanent", false, true},
          Case{"500 Error", false, true}, Case{"103 Early Hints", false, false}}) {
        TestClient client;
        client.socket().Add(Response(std::string(c.status) + "\r\nContent-Length: 2", "xy"));
        EXPECT_EQ(client.FetchUrl(kUrl), c.ok) << c.status;
        // An interim 103 is skipped, and what follows it is no response at all.
        EXPECT_EQ(client.StatusCode(), std::atoi(c.status) >= 200 ? std::atoi(c.status) : -1)
            << c.status;
        EXPECT_EQ(client.socket().IsConnected(), c.kept) << c.status;
    }
}

// The flags decide what a complete response means: without CHECK_STATUS any status
// succeeds; with it and without the redirect flag a 302 fails and is not followed.
TEST(ClientStatus, TheFlagsDecideWhichCompleteResponsesSucceed) {
    struct Case {
        const char* name;
        DWORD flags;
        std::string head;
        std::string body;
        bool ok;
        int status;
    };
    const Case cases[] = {
        {"without CHECK_STATUS a 404 succeeds", SEND_IN_BLOCKS,
         "404 Not Found\r\nContent-Length: 4", "gone", true, 404},
        {"without the redirect flag a 302 fails", CHECK_STATUS,
         "302 Found\r\nLocation: /x\r\nContent-Length: 0", "", false, 302},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestClient client;
        CFetchOptions options;
        options.flags = c.flags;
        client.socket().Add(Response(c.head, c.body));
        EXPECT_EQ(client.FetchUrl(kUrl, &options), c.ok);
        EXPECT_EQ(client.StatusCode(), c.status);
        EXPECT_EQ(client.socket().writes.size(), 1u);
        if (c.ok) {
            EXPECT_EQ(client.Body(), c.body);
        }
    }
}

class AcceptBasic : public CHttpAuthHandler {
public:
    bool Authenticate(bool for_proxy, const std::wstring& offer) override {
        proxy = for_proxy;
        seen = offer;
        return true;
    }
    bool proxy = true;
    std::wstring seen;
};

TEST(ClientStatus, AuthenticationSucceedsOnlyThroughARegisteredHandler) {
    AcceptBasic handler;
    TestClient client;
    ASSERT_TRUE(client.AddAuthenticationHandler(L"basic", &handler));
    client.socket().Add(Response(
        "401 Unauthorized\r\nWWW-Authenticate: Digest a=b\r\nWWW-Authenticate: Basic realm=r\r\n"
        "Content-Length: 0",
        ""));
    EXPECT_TRUE(client.FetchUrl(kUrl));
    EXPECT_FALSE(handler.proxy);
    EXPECT_EQ(handler.seen, L"Basic realm=r");
}

// ---------------------------------------------------------------- Redirects

std::string Redirect(const std::string& location, const std::string& extra = "") {
    return Response("302 Found\r\nLocation: " + location + "\r\nContent-Length: 0" + extra, "");
}

const std::string kFinal = Response("200 OK\r\nContent-Length: 5", "final");

TEST(ClientRedirect, AbsolutePathOnTheSameConnection) {
    TestClient client;
    client.socket().Add(Redirect("/other.dat"));
    client.socket().Add(kFinal);
    ASSERT_TRUE(client.FetchUrl(kUrl));
    EXPECT_EQ(client.StatusCode(), 200);
    EXPECT_EQ(client.Body(), "final");
    EXPECT_EQ(client.socket().connects.size(), 1u);
    ASSERT_EQ(client.socket().writes.size(), 2u);
    EXPECT_EQ(client.socket().writes[1],
              "GET /other.dat HTTP/1.1\r\nHost: example.invalid\r\n"
              "User-Agent: Microsoft-ATL-Native/9.00\r\n\r\n");
}

TEST(ClientRedirect, RelativeReferenceKeepsTheDirectoryAndQuery) {
    TestClient client;
    client.socket().Add(Redirect("next.dat"));
    client.socket().Add(kFinal);
    ASSERT_TRUE(client.FetchUrl(L"http://example.invalid/dir/page.htm?s=1"));
    EXPECT_EQ(client.socket().writes[1].substr(0, 29), "GET /dir/next.dat?s=1 HTTP/1.");
}

TEST(ClientRedirect, ConnectionCloseReconnectsToTheSameHost) {
    TestClient client;
    client.socket().Add(Redirect("/other.dat", "\r\nConnection: CLOSE"));
    client.socket().Add(kFinal);
    ASSERT_TRUE(client.FetchUrl(kUrl));
    ASSERT_EQ(client.socket().connects.size(), 2u);
    EXPECT_EQ(client.socket().connects[1].first, L"example.invalid");
    EXPECT_EQ(client.socket().closes, 1);
}

TEST(ClientRedirect, AnotherHostOrPortGetsANewConnection) {
    for (const char* location :
         {"http://other.invalid/x", "http://example.invalid:81/x", "http://EXAMPLE.invalid/x"}) {
        TestClient client;
        client.socket().Add(Redirect(location, "\r\nConnection: keep-alive"));
        client.socket().Add(kFinal);
        ASSERT_TRUE(client.FetchUrl(kUrl)) << location;
        ASSERT_EQ(client.socket().connects.size(), 2u) << location;
        EXPECT_EQ(client.CurrentUrl().HostName(), client.socket().connects[1].first);
        EXPECT_EQ(client.CurrentUrl().PortNumber(), client.socket().connects[1].second);
    }
}

TEST(ClientRedirect, WithoutLocationTheFetchSucceedsWithThe3xxStatus) {
    for (const char* status : {"301 Moved", "302 Found", "303 See Other"}) {
        TestClient client;
        client.socket().Add(Response(std::string(status) + "\r\nContent-Length: 0", ""));
        EXPECT_TRUE(client.FetchUrl(kUrl)) << status;
        EXPECT_EQ(client.StatusCode(), std::atoi(status));
    }
}

TEST(ClientRedirect, ResendsMethodAndExtraHeadersButNoBody) {
    TestClient client;
    const std::string data = "payload";
    CFetchOptions options = PostOptions(data, L"X-Keep: 1\r\n");
    client.socket().Add(Redirect("/second"));
    client.socket().Add(kFinal);
    ASSERT_TRUE(client.FetchUrl(kUrl, &options));
    EXPECT_EQ(client.socket().writes.back(),
              "POST /second HTTP/1.1\r\nX-Keep: 1\r\nHost: example.invalid\r\n"
              "User-Agent: Microsoft-ATL-Native/9.00\r\n\r\n");
}

TEST(ClientRedirect, TheOutcomeIsThatOfTheLastResponse) {
    {
        TestClient client;  // redirected to an error
        client.socket().Add(Redirect("/gone"));
        client.socket().Add(Response("404 Not Found\r\nContent-Length: 0", ""));
        EXPECT_FALSE(client.FetchUrl(kUrl));
        EXPECT_EQ(client.StatusCode(), 404);
        EXPECT_FALSE(client.socket().IsConnected());
    }
    {
        TestClient client;  // the redirected response breaks off
        client.socket().Add(Redirect("/broken"));
        client.socket().Add(Response("200 OK\r\nContent-Length: 10", "part"));
        client.socket().AddFailure();
        EXPECT_FALSE(client.FetchUrl(kUrl));
        EXPECT_EQ(client.LastReadResult(), BodyReceiveFailed);
    }
    {
        TestClient client;  // a target we cannot fetch
        client.socket().Add(Response(
            "302 Found\r\nLocation: ftp://example.invalid/secure\r\nContent-Length: 4", "body"));
        EXPECT_FALSE(client.FetchUrl(kUrl));
        EXPECT_EQ(client.socket().writes.size(), 1u);
        EXPECT_EQ(client.StatusCode(), 302);
        EXPECT_EQ(client.BodyLength(), 0u);  // the 302's body is gone with its buffer
    }
}

TEST(ClientRedirect, AtMostTenAreFollowed) {
    for (int redirects : {10, 11}) {
        TestClient client;
        for (int i = 0; i < redirects; ++i) {
            client.socket().Add(Redirect("/hop" + std::to_string(i)));
        }
        client.socket().Add(kFinal);
        EXPECT_EQ(client.FetchUrl(kUrl), redirects == 10) << redirects;
        // The eleventh redirect is not followed.
        EXPECT_EQ(client.socket().writes.size(), static_cast<size_t>(std::min(redirects, 10) + 1));
        EXPECT_EQ(client.StatusCode(), redirects == 10 ? 200 : 302);
    }
}

TEST(ClientRedirect, ALoopEndsWithFailure) {
    TestClient client;
    for (int i = 0; i < 50; ++i) {
        client.socket().Add(Redirect("/dir/file.dat"));
    }
    EXPECT_FALSE(client.FetchUrl(kUrl));
    EXPECT_EQ(client.socket().writes.size(), 11u);
}

TEST(ClientRedirect, ALocationWithALineBreakIsNotSent) {
    TestClient client;
    client.socket().Add(
        Response("302 Found\r\nLocation: /x\r\n Injected: 1\r\nContent-Length: 0", ""));
    EXPECT_FALSE(client.FetchUrl(kUrl));
    EXPECT_EQ(client.socket().writes.size(), 1u);
}

// ---------------------------------------------------------------- Connection reuse

TEST(ClientConnection, AKeptConnectionServesItsOwnHostAlone) {
    TestClient client;
    for (int i = 0; i < 3; ++i) {
        client.socket().Add(kFinal);
    }
    ASSERT_TRUE(client.FetchUrl(kUrl));
    ASSERT_TRUE(client.FetchUrl(kUrl));
    EXPECT_EQ(client.socket().connects.size(), 1u);
    ASSERT_TRUE(client.FetchUrl(L"http://another.invalid/y"));
    ASSERT_EQ(client.socket().connects.size(), 2u);
    EXPECT_EQ(client.socket().connects[1].first, L"another.invalid");
    EXPECT_EQ(client.socket().closes, 1);
}

TEST(ClientConnection, AKeptConnectionThatAnswersNothingIsTriedOnceMoreOnANewOne) {
    TestClient client;
    client.socket().Add(kFinal);
    ASSERT_TRUE(client.FetchUrl(kUrl));
    client.socket().AddEmpty(5);  // the server closed it while it sat idle
    client.socket().Add(kFinal);
    ASSERT_TRUE(client.FetchUrl(kUrl));
    EXPECT_EQ(client.Body(), "final");
    EXPECT_EQ(client.socket().connects.size(), 2u);
    ASSERT_EQ(client.socket().writes.size(), 3u);
    EXPECT_EQ(client.socket().writes[2], kRequest);

    // Once only, and never after part of an answer: that server did see the request.
    client.socket().AddEmpty(10);
    EXPECT_FALSE(client.FetchUrl(kUrl));
    EXPECT_EQ(client.socket().writes.size(), 5u);
    client.socket().Add(kFinal);
    ASSERT_TRUE(client.FetchUrl(kUrl));
    client.socket().Add("HTTP/1.1 200 OK\r\n");
    client.socket().AddEmpty(5);
    EXPECT_FALSE(client.FetchUrl(kUrl));
    EXPECT_EQ(client.socket().writes.size(), 7u);
}

TEST(ClientConnection, ANewConnectionThatAnswersNothingIsNotRetried) {
    TestClient client;
    client.socket().AddEmpty(5);
    client.socket().Add(kFinal);
    EXPECT_FALSE(client.FetchUrl(kUrl));
    EXPECT_EQ(client.socket().connects.size(), 1u);
    EXPECT_EQ(client.socket().writes.size(), 1u);
}

TEST(ClientConnection, ConnectionCloseEndsTheConnectionAfterTheResponse) {
    TestClient client;
    client.socket().Add(Response("200 OK\r\nConnection: close\r\nContent-Length: 1", "a"));
    client.socket().Add(kFinal);
    ASSERT_TRUE(client.FetchUrl(kUrl));
    EXPECT_FALSE(client.socket().IsConnected());
    ASSERT_TRUE(client.FetchUrl(kUrl));
    EXPECT_EQ(client.socket().connects.size(), 2u);
}

TEST(ClientConnection, EachFetchStartsFromAResetState) {
    TestClient client;
    client.socket().Add(Response("200 OK\r\nX-First: 1\r\nContent-Length: 1", "a"));
    ASSERT_TRUE(client.FetchUrl(kUrl));
    EXPECT_FALSE(client.FetchUrl(L"ftp://example.invalid/"));
    EXPECT_EQ(client.StatusCode(), -1);
    EXPECT_EQ(client.LastReadResult(), NoResponseYet);
    EXPECT_EQ(client.Header(L"X-First"), L"<none>");
    EXPECT_EQ(client.BodyLength(), 0u);
    EXPECT_EQ(client.socket().timeout, 10000u);
}

// ---------------------------------------------------------------- Body sinks

// Keeps what it is handed; refuses at the start or at piece `refuse_at` (from 1).
struct RecordingSink : CHttpBodySink {
    bool OnBodyStart(int status, const HeaderTable&, uint32_t* body_limit) override {
        statuses.push_back(status);
        if (limit != 0) {
            *body_limit = limit;
        }
        return accept;
    }
    bool OnBodyData(const BYTE* data, DWORD length) override {
        pieces.emplace_back(reinterpret_cast<const char*>(data), length);
        return pieces.size() != refuse_at;
    }
    std::string Joined() const {
        std::string all;
        for (const std::string& piece : pieces) {
            all += piece;
        }
        return all;
    }
    std::vector<int> statuses;
    std::vector<std::string> pieces;
    bool accept = true;
    uint32_t limit = 0;
    size_t refuse_at = 0;
};

TEST(ClientSink, TakesTheBodyInPiecesWhateverItsFraming) {
    const std::vector<std::pair<std::string, std::string>> responses = {
        {"200 OK\r\nContent-Length: 11", "hello"},
        {"200 OK\r\nTransfer-Encoding: chunked", "5\r\nhello\r\n"},
        {"200 OK", "hello"},  // until the connection ends
    };
    for (const auto& [head, start] : responses) {
        TestClient client;
        RecordingSink sink;
        CFetchOptions options;
        options.body_sink = &sink;
        client.socket().Add(Response(head, start));
        client.socket().Add(head.find("chunked") != std::string::npos ? "6\r\n world\r\n0\r\n\r\n"
                                                                      : " world");
        client.socket().AddEmpty(6);
        ASSERT_TRUE(client.FetchUrl(kUrl, &options)) << head;
        EXPECT_EQ(sink.Joined(), "hello world") << head;
        EXPECT_GE(sink.pieces.size(), 2u) << head;
        EXPECT_EQ(sink.statuses, std::vector<int>{200}) << head;
        EXPECT_EQ(client.BodyLength(), 0u) << head;
        EXPECT_EQ(client.StreamedLength(), 11u) << head;
    }
}

TEST(ClientSink, GetsOnlyTheAnswerThatCarriesTheResource) {
    TestClient client;
    RecordingSink sink;
    CFetchOptions options;
    options.body_sink = &sink;
    client.socket().Add(Response("302 Found\r\nLocation: /b\r\nContent-Length: 4", "moved"));
    client.socket().Add(Response("206 Partial Content\r\nContent-Length: 4", "rest"));
    ASSERT_TRUE(client.FetchUrl(kUrl, &options));
    EXPECT_EQ(sink.statuses, std::vector<int>{206});
    EXPECT_EQ(sink.Joined(), "rest");

    // An error page is read past and kept nowhere.
    RecordingSink error_sink;
    options.body_sink = &error_sink;
    client.socket().Add(Response("404 Not Found\r\nContent-Length: 9", "not found"));
    EXPECT_FALSE(client.FetchUrl(kUrl, &options));
    EXPECT_EQ(client.StatusCode(), 404);
    EXPECT_TRUE(error_sink.statuses.empty());
    EXPECT_TRUE(error_sink.pieces.empty());
    EXPECT_EQ(client.BodyLength(), 0u);
    EXPECT_EQ(client.StreamedLength(), 9u);
}

TEST(ClientSink, ItsRefusalOrLowerLimitFailsTheFetch) {
    for (int variant = 0; variant < 3; ++variant) {
        TestClient client;
        RecordingSink sink;
        sink.accept = variant != 0;
        sink.limit = variant == 1 ? 10 : 0;
        sink.refuse_at = variant == 2 ? 2 : 0;
        CFetchOptions options;
        options.body_sink = &sink;
        options.read_block_size = 4;
        client.socket().Add(Response("200 OK", "0123"));
        client.socket().Add("456789abcdef");
        client.socket().AddEmpty(6);
        EXPECT_FALSE(client.FetchUrl(kUrl, &options)) << variant;
        EXPECT_FALSE(client.socket().IsConnected()) << variant;
        if (variant == 1) {
            // Never a byte past the limit reaches the sink, and the last receive asks
            // for one byte more than the limit leaves.
            EXPECT_LE(sink.Joined().size(), 10u);
            EXPECT_EQ(std::string("0123456789").substr(0, sink.Joined().size()), sink.Joined());
            EXPECT_EQ(client.socket().capacities.back(), 3u);
        }
    }
}

}  // namespace
}  // namespace qv

namespace qv {
namespace {

// ---------------------------------------------------------------- HTTPS

TEST(ClientHttps, AnHttpsUrlAsksForTlsOnPort443AndSendsTheBytesOfPlainHttp) {
    TestClient secure;
    secure.socket().Add(kFinal);
    ASSERT_TRUE(secure.FetchUrl(L"https://update.example/up1/ver.dat"));
    TestClient plain;
    plain.socket().Add(kFinal);
    ASSERT_TRUE(plain.FetchUrl(L"http://update.example/up1/ver.dat"));
    ASSERT_EQ(secure.socket().connects.size(), 1u);
    EXPECT_EQ(secure.socket().connects[0].second, 443);
    EXPECT_EQ(secure.socket().secure_connects, std::vector<bool>{true});
    EXPECT_EQ(plain.socket().secure_connects, std::vector<bool>{false});
    // The same request either way: no ":443" on the Host line.
    EXPECT_EQ(secure.socket().sent, plain.socket().sent);
    EXPECT_EQ(secure.Body(), "final");
}

TEST(ClientHttps, AKeptConnectionServesOnlyItsOwnScheme) {
    TestClient client;
    client.socket().Add(kFinal);
    client.socket().Add(kFinal);
    client.socket().Add(kFinal);
    ASSERT_TRUE(client.FetchUrl(L"https://update.example:8443/a"));
    ASSERT_TRUE(client.FetchUrl(L"https://update.example:8443/b"));  // kept
    ASSERT_TRUE(client.FetchUrl(L"http://update.example:8443/c"));   // same port, plain
    EXPECT_EQ(client.socket().secure_connects, (std::vector<bool>{true, false}));
    EXPECT_EQ(client.socket().closes, 1);
}

TEST(ClientHttps, RedirectsUpToTlsAreFollowedAndDownToPlainTextFail) {
    {
        TestClient client;  // http to https: a new connection, over TLS
        client.socket().Add(Redirect("https://update.example/up1/ver.dat"));
        client.socket().Add(kFinal);
        ASSERT_TRUE(client.FetchUrl(L"http://update.example/up1/ver.dat"));
        EXPECT_EQ(client.socket().secure_connects, (std::vector<bool>{false, true}));
        EXPECT_EQ(client.socket().connects[1].second, 443);
        EXPECT_EQ(client.Body(), "final");
    }
    for (const char* location :
         {"http://update.example/up1/ver.dat", "http://update.example:443/up1/ver.dat"}) {
        TestClient client;  // https to http: refused before anything is sent
        client.socket().Add(Redirect(location));
        client.socket().Add(kFinal);
        EXPECT_FALSE(client.FetchUrl(L"https://update.example/up1/ver.dat")) << location;
        EXPECT_EQ(client.socket().secure_connects, std::vector<bool>{true}) << location;
        EXPECT_EQ(client.socket().writes.size(), 1u) << location;
        EXPECT_FALSE(client.socket().IsConnected());
    }
    {
        TestClient client;  // a relative redirect stays on TLS
        client.socket().Add(Redirect("/other.dat"));
        client.socket().Add(kFinal);
        ASSERT_TRUE(client.FetchUrl(L"https://update.example/up1/ver.dat"));
        EXPECT_EQ(client.socket().secure_connects, std::vector<bool>{true});
        EXPECT_EQ(client.socket().writes.size(), 2u);
    }
}

}  // namespace
}  // namespace qv
