#pragma once
// The HTTP/1.1 client: one fetch per call over its own event-synchronised socket,
// with status processing, redirects and connection reuse. A client kept across
// fetches keeps its connection while the server does; the update engine keeps one
// per transfer for a whole pass.

#include <windows.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "http/proxy.h"
#include "http/response.h"
#include "http/socket.h"
#include "http/transport.h"
#include "http/url.h"

namespace qv {

// Redirects followed in one fetch; the response that would need one more fails it.
inline constexpr int kMaxRedirects = 10;
// Interim (1xx) responses skipped before the real one; one more fails the fetch.
inline constexpr int kMaxInterimResponses = 8;

// Called after sends with the count just sent; false aborts block and callback sending.
using SendStatusCallback = bool (*)(DWORD bytes_sent, DWORD_PTR param);
// Called with the count of each single receive of a response, headers and every kind
// of body (0 for the clean close that ends one); false aborts the fetch.
using ReadStatusCallback = bool (*)(DWORD bytes_received, DWORD_PTR param);
// Supplies the next piece of the request body; false, a length of 0 or no buffer ends
// the body.
using SendDataCallback = bool (*)(BYTE** buffer, DWORD* length, DWORD_PTR param);

// Takes the body of a 200 or 206 response piece by piece as it arrives, so that a
// large body never sits in memory whole. With a sink, the bodies of other responses
// (redirects, error pages) are read and dropped.
class CHttpBodySink {
public:
    virtual ~CHttpBodySink() = default;
    // The response's headers are read and its body follows. `body_limit` holds the
    // fetch's limit and may be lowered (a resumed file has less room left). False
    // refuses the body and fails the fetch. May throw std::bad_alloc, which fails it too.
    [[nodiscard]] virtual bool OnBodyStart(int status, const HeaderTable& headers,
                                           uint32_t* body_limit) = 0;
    // The next bytes of the body; false fails the fetch.
    [[nodiscard]] virtual bool OnBodyData(const BYTE* data, DWORD length) = 0;
};

// Flags of CFetchOptions, one bit each.
enum FetchFlag : uint32_t {
    FOLLOW_REDIRECTS = 1,
    CHECK_STATUS = 2,
    SEND_WITH_CALLBACK = 4,
    SEND_IN_BLOCKS = 8,
};

// The caller's per-request record. Texts and data are borrowed, not copied: they must
// outlive the fetch.
struct CFetchOptions {
    const wchar_t* extra_headers = nullptr;  // lines added verbatim, each ending in CR LF
    const wchar_t* method = L"GET";
    const wchar_t* content_type = nullptr;
    DWORD data_length = 0;  // request body length in bytes
    DWORD flags = FOLLOW_REDIRECTS | CHECK_STATUS | SEND_IN_BLOCKS;
    DWORD timeout = 10000;  // socket time-out of this fetch, ms
    DWORD send_block_size = 4096;
    DWORD read_block_size = 4096;  // receive size for the body; 0 means 2048
    // The largest body this fetch takes (0: the client's own limit). A longer body fails
    // the fetch, and receiving stops one byte past the limit.
    uint32_t max_body_length = 0;
    CHttpBodySink* body_sink = nullptr;  // borrowed; null keeps the body in the client
    DWORD_PTR send_param = 0;
    DWORD_PTR read_param = 0;
    DWORD_PTR data_callback_param = 0;
    unsigned short port = 80;  // used when the URL has port 0
    const BYTE* data = nullptr;
    SendDataCallback send_data_callback = nullptr;
    SendStatusCallback send_status_callback = nullptr;
    ReadStatusCallback read_status_callback = nullptr;

    // Stores the callback with its parameter; returns the previous callback.
    ReadStatusCallback SetReadStatusCallback(ReadStatusCallback callback,
                                             DWORD_PTR param) noexcept {
        const ReadStatusCallback previous = read_status_callback;
        read_status_callback = callback;
        read_param = param;
        return previous;
    }
};

// Answers an authentication challenge for one scheme ("Basic", "NTLM", ...).
class CHttpAuthHandler {
public:
    virtual ~CHttpAuthHandler() = default;
    // `offer` is the whole challenge value; true when the challenge was answered.
    [[nodiscard]] virtual bool Authenticate(bool for_proxy, const std::wstring& offer) = 0;
};

struct AuthSchemeLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const noexcept;
};

// The client over a socket type; the system uses CAtlHttpClient (over ZEvtSyncSocket),
// tests use scripted sockets. Not for use by two threads at once.
template <typename TSocket>
class CAtlHttpClientT : private TSocket {
public:
    CAtlHttpClientT() noexcept;
    virtual ~CAtlHttpClientT();
    CAtlHttpClientT(const CAtlHttpClientT&) = delete;
    CAtlHttpClientT& operator=(const CAtlHttpClientT&) = delete;

    // Answers a 401 (false) or 407 (true) response: true only when a registered handler
    // answers one of the offered schemes.
    [[nodiscard]] virtual bool TryAuthentication(bool for_proxy) noexcept;
    // Called with the value of each "set-cookie" header; does nothing here.
    virtual void OnCookie(const std::wstring& value) noexcept;

    using TSocket::GetTimeout;
    using TSocket::SetCancelEvent;
    using TSocket::SetTimeout;

    // Escapes and parses `url`, then fetches it. False when the URL is absent, empty or
    // unusable, when connecting, sending or reading fails, or when the status fails
    // (with CHECK_STATUS). `options` may be null for a default record.
    [[nodiscard]] bool FetchUrl(const wchar_t* url, CFetchOptions* options = nullptr) noexcept;
    [[nodiscard]] bool FetchParsedUrl(const CParsedUrl& url,
                                      CFetchOptions* options = nullptr) noexcept;

    // Status of the last response read; -1 when none.
    [[nodiscard]] int StatusCode() const noexcept { return status_code_; }
    // The body of the last response; valid until the next fetch or destruction.
    [[nodiscard]] const BYTE* BodyData() const noexcept {
        const uint64_t offset = uint64_t{header_start_} + header_length_;
        return receive_buffer_.Data() +
               (offset <= receive_buffer_.Length() ? offset : receive_buffer_.Length());
    }
    // 0 when the body went to a sink: see StreamedLength.
    [[nodiscard]] uint32_t BodyLength() const noexcept { return body_length_; }
    // The body bytes handed to the sink (or dropped) in the last response.
    [[nodiscard]] uint32_t StreamedLength() const noexcept { return streamed_length_; }
    [[nodiscard]] uint32_t HeaderLength() const noexcept { return header_length_; }
    [[nodiscard]] ReadResult LastReadResult() const noexcept { return last_read_result_; }
    // Looks a response header up without regard to case.
    [[nodiscard]] bool ResponseHeader(const wchar_t* name, std::wstring& value) const noexcept;
    [[nodiscard]] const std::vector<std::wstring>& AuthenticationOffers() const noexcept {
        return auth_offers_;
    }
    [[nodiscard]] const CParsedUrl& CurrentUrl() const noexcept { return current_url_; }
    // The proxy settings this client follows (borrowed; null, the default, for those
    // of the process: cfg.ini's or the user's).
    void SetProxySettings(const ProxySettings* settings) noexcept { proxy_settings_ = settings; }
    // Registers a handler for a scheme (compared without regard to case); not owned.
    [[nodiscard]] bool AddAuthenticationHandler(const wchar_t* scheme,
                                                CHttpAuthHandler* handler) noexcept;

protected:
    // The socket under the client, for derived clients and tests.
    TSocket& Transport() noexcept { return *this; }
    // The largest body accepted, kMaxBodyBytes unless lowered (to test the limit).
    void SetBodyLimit(uint32_t limit) noexcept { body_limit_ = limit; }
    // The limit of the fetch under way: the client's, or the fetch's own when lower.
    [[nodiscard]] uint32_t BodyLimit() const noexcept;

private:
    // The steps of a fetch, in the order FetchParsedUrl takes them. Those that build
    // strings or tables may throw std::bad_alloc: FetchParsedUrl catches it, once for
    // every step, and nothing below it catches.
    void ResetRequestState() noexcept;
    [[nodiscard]] bool SetCurrentUrl(const CParsedUrl& url, unsigned short default_port) noexcept;
    [[nodiscard]] bool SetCurrentUrl(const wchar_t* url, unsigned short default_port) noexcept;
    // The request text for the current URL and options; false without options.
    [[nodiscard]] bool BuildRequest(const wchar_t* method, const wchar_t* extra_headers,
                                    std::wstring& request, bool with_body = true) const;
    // The Content-Length, Content-Type and extra header lines of a request.
    void AppendBodyAndExtraHeaders(std::wstring& text, const wchar_t* extra_headers,
                                   bool with_body) const;
    // Reads one response (interim 1xx responses skipped) into the buffer and header table.
    [[nodiscard]] ReadResult ReadResponse();
    // Decides success from the status code, following redirects on the way.
    [[nodiscard]] bool ProcessStatus(DWORD flags);

    [[nodiscard]] bool FetchParsedUrlSteps(const CParsedUrl& url, CFetchOptions* options);
    // Connects to the current URL's host, closing a kept connection to another one.
    [[nodiscard]] bool ConnectToCurrentUrl();
    // Sends the request and reads the answer; false when either fails, with `silent`
    // set when not one byte of an answer came.
    [[nodiscard]] bool Exchange(const std::string& request_bytes, bool* silent);
    [[nodiscard]] bool SendRequest(const std::string& request_bytes, uint64_t* sent);
    [[nodiscard]] bool FollowRedirect();
    [[nodiscard]] bool ReceiveMore();
    [[nodiscard]] ReadResult ReadResponseSteps();
    [[nodiscard]] bool ParseHeaderLines(size_t lines_start, size_t block_end);
    void DecodeHeaderLine(const BYTE* begin, const BYTE* end);
    [[nodiscard]] bool ReadBody(int64_t length, uint32_t already);
    [[nodiscard]] bool ReadChunkedBody();
    [[nodiscard]] bool CallReadStatus(DWORD count) noexcept;
    [[nodiscard]] bool ResponseHasNoBody() const noexcept;
    // Counts an interim response just read; false for a 101 or one too many.
    [[nodiscard]] bool SkipInterimResponse(int* count) const noexcept;
    // How the body is framed: chunked, or by length or close. False for any other
    // Transfer-Encoding.
    [[nodiscard]] bool BodyFraming(bool* chunked) const;
    [[nodiscard]] bool Streaming() const noexcept { return sink_ != nullptr || drop_body_; }
    [[nodiscard]] DWORD ReadBlockSize() const noexcept;
    // When streaming, hands the bytes of `buffer` past `keep` to the sink (or drops
    // them) and leaves only the first `keep`; false when the sink refuses them.
    [[nodiscard]] bool PassBodyOn(ReceiveBuffer& buffer, uint32_t keep);

    HeaderTable headers_;
    std::map<std::wstring, CHttpAuthHandler*, AuthSchemeLess> auth_handlers_;
    std::vector<std::wstring> auth_offers_;
    ReceiveBuffer receive_buffer_;
    CParsedUrl current_url_;
    std::wstring method_;
    int status_code_ = -1;
    uint32_t body_length_ = 0;
    uint32_t header_length_ = 0;
    uint32_t header_start_ = 0;
    // Where the body starts in the receive buffer: an offset, since the buffer may move
    // as it grows.
    uint32_t parse_position_ = 0;
    CFetchOptions* options_ = nullptr;
    ReadResult last_read_result_ = NoResponseYet;
    int redirects_followed_ = 0;
    uint32_t body_limit_ = kMaxBodyBytes;
    // The response under way streams its body: to sink_, or nowhere (drop_body_).
    CHttpBodySink* sink_ = nullptr;
    bool drop_body_ = false;
    uint32_t sink_limit_ = kMaxBodyBytes;
    uint32_t streamed_length_ = 0;
    // Where the open connection leads: a kept connection serves that host alone.
    std::wstring connected_host_;
    unsigned short connected_port_ = 0;
    bool connected_secure_ = false;
    // The proxy of the current URL, if it has one (an absolute URL goes to it for
    // http; a tunnel through it for https), and that of the open connection.
    const ProxySettings* proxy_settings_ = nullptr;
    std::optional<ProxyEndpoint> proxy_;
    std::optional<ProxyEndpoint> connected_proxy_;
};

using CAtlHttpClient = CAtlHttpClientT<CTransportSocket>;
extern template class CAtlHttpClientT<CTransportSocket>;

}  // namespace qv
