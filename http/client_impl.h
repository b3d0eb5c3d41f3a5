#pragma once
// Definitions of CAtlHttpClientT. client.cpp instantiates them over ZEvtSyncSocket;
// include this header only to instantiate the client over another socket type.

#include <algorithm>
#include <cstring>
#include <string>

#include "http/client.h"
#include "win/text.h"
#include "win/unique_handle.h"

namespace qv {

namespace client_detail {

// Receive size of the header phase.
inline constexpr DWORD kHeaderReceiveSize = 2048;
// Empty receives in a row that fail a read: the header phase and a body of known
// length fail after five. A body read until close ends at the first: a zero-byte
// receive is the peer's clean close.
inline constexpr int kEmptyReceivesHeader = 5;
inline constexpr int kEmptyReceivesKnownLength = 5;

// Statuses whose processing may exchange more on the connection: the redirects that
// are followed and the authentication challenges.
constexpr bool LeadsToAnotherExchange(int status) noexcept {
    return status == 301 || status == 302 || status == 303 || status == 401 || status == 407;
}

}  // namespace client_detail

template <typename TSocket>
CAtlHttpClientT<TSocket>::CAtlHttpClientT() noexcept {
    ResetRequestState();
}

template <typename TSocket>
CAtlHttpClientT<TSocket>::~CAtlHttpClientT() {
    this->CloseSocket();
}

template <typename TSocket>
bool CAtlHttpClientT<TSocket>::TryAuthentication(bool for_proxy) noexcept {
    try {
        for (const std::wstring& offer : auth_offers_) {
            const auto it = auth_handlers_.find(offer.substr(0, offer.find(L' ')));
            if (it != auth_handlers_.end() && it->second->Authenticate(for_proxy, offer)) {
                return true;
            }
        }
    } catch (...) {
    }
    return false;
}

template <typename TSocket>
void CAtlHttpClientT<TSocket>::OnCookie(const std::wstring&) noexcept {}

template <typename TSocket>
bool CAtlHttpClientT<TSocket>::AddAuthenticationHandler(const wchar_t* scheme,
                                                        CHttpAuthHandler* handler) noexcept {
    if (scheme == nullptr || *scheme == 0 || handler == nullptr) {
        return false;
    }
    try {
        auth_handlers_[scheme] = handler;
        return true;
    } catch (...) {
        return false;
    }
}

template <typename TSocket>
bool CAtlHttpClientT<TSocket>::ResponseHeader(const wchar_t* name,
                                              std::wstring& value) const noexcept {
    if (name == nullptr) {
        return false;
    }
    try {
        const std::wstring* found = headers_.Find(name);
        if (found == nullptr) {
            return false;
        }
        value = *found;
        return true;
    } catch (...) {
        return false;
    }
}

template <typename TSocket>
void CAtlHttpClientT<TSocket>::ResetRequestState() noexcept {
    headers_.Clear();
    auth_offers_.clear();
    receive_buffer_.Clear();
    current_url_.Reset();
    method_.clear();
    status_code_ = -1;
    body_length_ = 0;
    header_length_ = 0;
    header_start_ = 0;
    parse_position_ = 0;
    options_ = nullptr;
    last_read_result_ = NoResponseYet;
    redirects_followed_ = 0;
    sink_ = nullptr;
    drop_body_ = false;
    sink_limit_ = kMaxBodyBytes;
    streamed_length_ = 0;
}

// ---------------------------------------------------------------- Fetch

template <typename TSocket>
bool CAtlHttpClientT<TSocket>::FetchUrl(const wchar_t* url, CFetchOptions* options) noexcept {
    if (url == nullptr || *url == 0) {
        return false;
    }
    // Nothing here throws: the escaping catches its own allocation failures.
    std::wstring escaped;
    if (!PercentEncodeUrl(url, escaped)) {
        return false;
    }
    CParsedUrl parsed;
    if (!parsed.ParseUrl(escaped.c_str(), 0)) {
        return false;
    }
    return FetchParsedUrl(parsed, options);
}

template <typename TSocket>
bool CAtlHttpClientT<TSocket>::FetchParsedUrl(const CParsedUrl& url,
                                              CFetchOptions* options) noexcept {
    CFetchOptions defaults;
    bool ok = false;
    // The one place a fetch catches: the steps build strings, header tables and
    // requests, and an allocation failure anywhere in them fails the fetch.
    try {
        ok = FetchParsedUrlSteps(url, options != nullptr ? options : &defaults);
    } catch (...) {
        this->CloseSocket();
        ok = false;
    }
    options_ = nullptr;
    return ok;
}

template <typename TSocket>
bool CAtlHttpClientT<TSocket>::FetchParsedUrlSteps(const CParsedUrl& url, CFetchOptions* options) {
    ResetRequestState();
    options_ = options;
    if (options->method == nullptr || *options->method == 0) {
        return false;
    }
    method_ = options->method;
    this->SetTimeout(options->timeout);
    if (!SetCurrentUrl(url, options->port)) {
        return false;
    }
    std::wstring request;
    if (!BuildRequest(method_.c_str(), options->extra_headers, request)) {
        return false;
    }
    std::string bytes;
    bool ok = ToCodePage(request, CP_THREAD_ACP, bytes);
    if (ok) {
        const bool kept = this->IsConnected();
        bool silent = false;
        ok = ConnectToCurrentUrl() && Exchange(bytes, &silent);
        // A kept connection that the server closed while it sat idle takes the request
        // and answers nothing at all. The server never saw it, so it goes once more on
        // a new connection. Not after a time-out or a stop (the server may be working
        // on it, or we were told to go), nor when the body came from a callback that
        // cannot give it again.
        // A wait that ran out or was cancelled leaves the socket unconnected.
        const DWORD error = this->LastError();
        if (!ok && kept && silent && this->IsConnected() && error != kWsaConnAborted &&
            error != kWsaCancelled && (options->flags & SEND_WITH_CALLBACK) == 0) {
            this->CloseSocket();
            ok = ConnectToCurrentUrl() && Exchange(bytes, &silent);
        }
    }
    // A whole answer whose status fails the fetch (a 404, say) leaves the connection
    // between two answers, as a 200 does: the next request may go on it. One whose
    // processing exchanged more is not judged here.
    bool whole_answer = false;
    if (ok) {
        whole_answer = !client_detail::LeadsToAnotherExchange(status_code_);
        ok = (options->flags & CHECK_STATUS) == 0 || ProcessStatus(options->flags);
    }
    if (!ok && !whole_answer) {
        this->CloseSocket();  // the next fetch starts on a new connection
    }
    return ok;
}

template <typename TSocket>
bool CAtlHttpClientT<TSocket>::ConnectToCurrentUrl() {
    const bool secure = current_url_.Scheme() == URL_SCHEME_HTTPS;
    if (this->IsConnected() && (connected_host_ != current_url_.HostName() ||
                                connected_port_ != current_url_.PortNumber() ||
                                connected_secure_ != secure || connected_proxy_ != proxy_)) {
        this->CloseSocket();
    }
    // Plain HTTP through a proxy talks to the proxy itself; HTTPS tunnels through it.
    const bool connected =
        proxy_ && !secure ? this->ConnectToHost(proxy_->host.c_str(), proxy_->port, false)
                          : this->ConnectToHost(current_url_.HostName(), current_url_.PortNumber(),
                                                secure, proxy_ ? &*proxy_ : nullptr);
    if (!connected) {
        return false;
    }
    connected_host_ = current_url_.HostName();
    connected_port_ = current_url_.PortNumber();
    connected_secure_ = secure;
    connected_proxy_ = proxy_;
    return true;
}

template <typename TSocket>
bool CAtlHttpClientT<TSocket>::Exchange(const std::string& request_bytes, bool* silent) {
    last_read_result_ = NoResponseYet;
    receive_buffer_.Clear();
    const uint64_t expected = uint64_t{request_bytes.size()} + options_->data_length;
    uint64_t sent = 0;
    if (!SendRequest(request_bytes, &sent) || sent != expected) {
        *silent = true;  // as good as a connection that answered nothing
        return false;
    }
    const bool ok = ReadResponse() == ResponseOk;
    *silent = !ok && last_read_result_ == HeaderReceiveFailed && receive_buffer_.Length() == 0;
    return ok;
}

template <typename TSocket>
bool CAtlHttpClientT<TSocket>::SetCurrentUrl(const wchar_t* url,
                                             unsigned short default_port) noexcept {
    CParsedUrl parsed;
    if (url == nullptr || !parsed.ParseUrl(url, 0)) {
        current_url_.Reset();
        return false;
    }
    return SetCurrentUrl(parsed, default_port);
}

template <typename TSocket>
bool CAtlHttpClientT<TSocket>::SetCurrentUrl(const CParsedUrl& url,
                                             unsigned short default_port) noexcept {
    current_url_ = url;
    // Plain HTTP, or HTTP over TLS.
    bool ok = current_url_.Scheme() == URL_SCHEME_HTTP || current_url_.Scheme() == URL_SCHEME_HTTPS;
    if (ok && current_url_.UrlPathLength() == 0) {
        ok = current_url_.SetUrlPath(L"/");
    }
    ok = ok && current_url_.HostNameLength() != 0;
    if (!ok) {
        current_url_.Reset();
        return false;
    }
    if (current_url_.PortNumber() == 0) {
        current_url_.SetPortNumber(default_port);
    }
    try {
        const ProxySettings& settings =
            proxy_settings_ != nullptr ? *proxy_settings_ : ProcessProxySettings();
        const ProxyEndpoint* proxy = settings.ProxyFor(
            current_url_.Scheme(), current_url_.HostName(), current_url_.PortNumber());
        proxy_.reset();
        if (proxy != nullptr) {
            proxy_ = *proxy;
        }
    } catch (...) {  // out of memory
        current_url_.Reset();
        return false;
    }
    return true;
}

template <typename TSocket>
bool CAtlHttpClientT<TSocket>::BuildRequest(const wchar_t* method, const wchar_t* extra_headers,
                                            std::wstring& request, bool with_body) const {
    if (options_ == nullptr || method == nullptr) {
        return false;
    }
    // A redirect target comes from the server unescaped; a line break in it would
    // split our request.
    if (HasControlCharacter(method) || HasControlCharacter(current_url_.UrlPath()) ||
        HasControlCharacter(current_url_.ExtraInfo()) ||
        HasControlCharacter(current_url_.HostName())) {
        return false;
    }
    std::wstring text;
    if (proxy_ && current_url_.Scheme() == URL_SCHEME_HTTP) {
        // To a proxy: the whole URL, and the Host line with any port but 80; the Host
        // and User-Agent lines around the others.
        wchar_t url[kMaxEncodedUrlCapacity + 1];
        uint32_t capacity = kMaxEncodedUrlCapacity + 1;
        if (!current_url_.ComposeUrl(url, &capacity)) {
            return false;
        }
        text.append(method).append(L" ").append(url, capacity).append(L" HTTP/1.1\r\n");
        text.append(L"Host: ").append(current_url_.HostName());
        if (current_url_.PortNumber() != 80) {
            text.append(L":").append(std::to_wstring(current_url_.PortNumber()));
        }
        text.append(L"\r\n");
        AppendBodyAndExtraHeaders(text, extra_headers, with_body);
        text.append(L"User-Agent: Microsoft-ATL-Native/9.00\r\n\r\n");
        request = std::move(text);
        return true;
    }
    text.append(method).append(L" ").append(current_url_.UrlPath());
    text.append(current_url_.ExtraInfo()).append(L" HTTP/1.1\r\n");
    AppendBodyAndExtraHeaders(text, extra_headers, with_body);
    text.append(L"Host: ").append(current_url_.HostName()).append(L"\r\n");
    text.append(L"User-Agent: Microsoft-ATL-Native/9.00\r\n");
    text.append(L"\r\n");
    request = std::move(text);
    return true;
}

template <typename TSocket>
void CAtlHttpClientT<TSocket>::AppendBodyAndExtraHeaders(std::wstring& text,
                                                         const wchar_t* extra_headers,
                                                         bool with_body) const {
    if (with_body && options_->data_length != 0) {
        text.append(L"Content-Length: ")
            .append(std::to_wstring(options_->data_length))
            .append(L"\r\n");
    }
    if (with_body && options_->content_type != nullptr && *options_->content_type != 0) {
        text.append(L"Content-Type: ").append(options_->content_type).append(L"\r\n");
    }
    if (extra_headers != nullptr) {
        text.append(extra_headers);
    }
}

template <typename TSocket>
bool CAtlHttpClientT<TSocket>::SendRequest(const std::string& request_bytes, uint64_t* sent) {
    const CFetchOptions& options = *options_;
    BYTE* request = reinterpret_cast<BYTE*>(const_cast<char*>(request_bytes.data()));
    const DWORD request_length = static_cast<DWORD>(request_bytes.size());
    auto status = [&](DWORD count) {
        return options.send_status_callback == nullptr ||
               options.send_status_callback(count, options.send_param);
    };
    auto send_whole = [&](BYTE* bytes, DWORD length) {
        DWORD count = length;
        if (!this->Write(bytes, &count) || count != length) {
            return false;
        }
        *sent += count;
        return status(count);
    };
    auto send_request_first = [&]() {
        DWORD count = request_length;
        if (!this->Write(request, &count) || count > request_length) {
            return false;
        }
        *sent += count;
        return status(count) && count != 0;
    };
    *sent = 0;

    if (options.flags & SEND_WITH_CALLBACK) {
        if (options.send_data_callback == nullptr) {
            return true;  // sends nothing; the count check fails the fetch
        }
        if (!send_request_first()) {
            return false;
        }
        for (;;) {
            BYTE* piece = nullptr;
            DWORD length = 0;
            if (!options.send_data_callback(&piece, &length, options.data_callback_param) ||
                piece == nullptr || length == 0) {
                return true;
            }
            if (!send_whole(piece, length)) {
                return false;
            }
        }
    }
    if (options.data == nullptr) {
        DWORD count = request_length;
        if (!this->Write(request, &count)) {
            return false;
        }
        *sent = count;
        status(count);  // informational only on this path
        return true;
    }
    if (options.flags & SEND_IN_BLOCKS) {
        if (options.send_block_size == 0) {
            return true;  // sends nothing; the count check fails the fetch
        }
        if (!send_request_first()) {
            return false;
        }
        BYTE* data = const_cast<BYTE*>(options.data);
        for (DWORD offset = 0; offset < options.data_length;) {
            const DWORD piece = std::min(options.send_block_size, options.data_length - offset);
            if (!send_whole(data + offset, piece)) {
                return false;
            }
            offset += piece;
        }
        return true;
    }
    WSABUF buffers[2];
    buffers[0].buf = reinterpret_cast<CHAR*>(request);
    buffers[0].len = request_length;
    buffers[1].buf = reinterpret_cast<CHAR*>(const_cast<BYTE*>(options.data));
    buffers[1].len = options.data_length;
    DWORD count = 0;
    if (!this->WriteBuffers(buffers, 2, &count)) {
        return false;
    }
    *sent = count;
    status(count);
    return true;
}

// ---------------------------------------------------------------- Status and redirects

template <typename TSocket>
bool CAtlHttpClientT<TSocket>::ProcessStatus(DWORD flags) {
    switch (status_code_) {
        case 200:
        case 201:
        case 202:
        case 203:
        case 204:
        case 205:
        case 206:
        case 304:
        case 305:
            return true;
        case 301:
        case 302:
        case 303:
            if ((flags & FOLLOW_REDIRECTS) == 0) {
                return false;
            }
            return FollowRedirect();
        case 401:
            return TryAuthentication(false);
        case 407:
            return TryAuthentication(true);
        default:
            return false;
    }
}

template <typename TSocket>
bool CAtlHttpClientT<TSocket>::FollowRedirect() {
    std::wstring location;
    if (!ResponseHeader(L"Location", location)) {
        return true;  // nothing to follow: the fetch ends with the 3xx status
    }
    if (redirects_followed_ >= kMaxRedirects) {
        return false;
    }
    ++redirects_followed_;
    const bool have_extra = options_ != nullptr && options_->extra_headers != nullptr;
    const std::wstring extra_headers = have_extra ? options_->extra_headers : L"";
    std::wstring connection;
    if (ResponseHeader(L"Connection", connection) && EqualsAsciiNoCase(connection, L"close")) {
        this->CloseSocket();
    }
    // The redirecting response is gone: nothing may point into it any more.
    headers_.Clear();
    receive_buffer_.Clear();
    header_start_ = header_length_ = body_length_ = parse_position_ = 0;
    if (!CompleteRedirectUrl(current_url_, location)) {
        return false;
    }
    const bool was_secure = current_url_.Scheme() == URL_SCHEME_HTTPS;
    if (!SetCurrentUrl(location.c_str(), current_url_.PortNumber())) {
        return false;
    }
    // Once on TLS, never back to plain text: whoever can rewrite an answer could
    // otherwise take the rest of the fetch.
    if (was_secure && current_url_.Scheme() != URL_SCHEME_HTTPS) {
        return false;
    }
    // Connects anew after the close above or to another host; keeps the connection
    // otherwise.
    if (!ConnectToCurrentUrl()) {
        return false;
    }
    // The redirected request carries no body, so it announces none.
    std::wstring request;
    std::string bytes;
    if (!BuildRequest(method_.c_str(), have_extra ? extra_headers.c_str() : nullptr, request,
                      false) ||
        !ToCodePage(request, CP_THREAD_ACP, bytes)) {
        return false;
    }
    const DWORD length = static_cast<DWORD>(bytes.size());
    DWORD count = length;
    if (!this->Write(reinterpret_cast<const BYTE*>(bytes.data()), &count) || count != length) {
        return false;
    }
    // The outcome is that of the response we were sent to, as for a direct fetch.
    if (ReadResponse() != ResponseOk) {
        return false;
    }
    return options_ == nullptr || ProcessStatus(options_->flags);
}

// ---------------------------------------------------------------- Response reading

template <typename TSocket>
bool CAtlHttpClientT<TSocket>::CallReadStatus(DWORD count) noexcept {
    if (options_ == nullptr || options_->read_status_callback == nullptr) {
        return true;
    }
    return options_->read_status_callback(count, options_->read_param);
}

template <typename TSocket>
bool CAtlHttpClientT<TSocket>::ReceiveMore() {
    BYTE block[client_detail::kHeaderReceiveSize];
    for (int empty = 0; empty < client_detail::kEmptyReceivesHeader;) {
        DWORD count = sizeof block;
        if (!this->ReadBytes(block, &count) || count > sizeof block) {
            return false;
        }
        if (!CallReadStatus(count)) {
            return false;
        }
        if (count == 0) {
            ++empty;
            continue;
        }
        return receive_buffer_.Append(block, count);
    }
    return false;
}

template <typename TSocket>
ReadResult CAtlHttpClientT<TSocket>::ReadResponse() {
    last_read_result_ = ReadResponseSteps();
    return last_read_result_;
}

template <typename TSocket>
ReadResult CAtlHttpClientT<TSocket>::ReadResponseSteps() {
    receive_buffer_.Clear();
    parse_position_ = 0;
    last_read_result_ = ResponseOk;
    uint32_t response_start = 0;
    size_t block_end = 0;
    int interim_responses = 0;
    for (;;) {
        // Response start, again after every interim (1xx) response.
        headers_.Clear();
        auth_offers_.clear();
        status_code_ = -1;
        header_start_ = response_start;
        header_length_ = 0;
        body_length_ = 0;
        size_t search_from = response_start;
        for (;;) {
            block_end =
                FindHeaderBlockEnd(receive_buffer_.Data(), receive_buffer_.Length(), search_from);
            if (block_end != 0) {
                break;
            }
            if (receive_buffer_.Length() >= kMaxHeaderBlockBytes) {
                return HeaderReceiveFailed;
            }
            // Only the last three bytes can begin an end that new bytes complete.
            const size_t length = receive_buffer_.Length();
            search_from = std::max<size_t>(response_start, length >= 3 ? length - 3 : 0);
            if (!ReceiveMore()) {
                return HeaderReceiveFailed;
            }
        }
        if (block_end > kMaxHeaderBlockBytes) {
            return HeaderReceiveFailed;
        }
        header_length_ = static_cast<uint32_t>(block_end - response_start);
        parse_position_ = static_cast<uint32_t>(block_end);
        size_t lines_start = 0;
        status_code_ =
            ParseStatusLine(receive_buffer_.Data() + response_start, header_length_, &lines_start);
        if (status_code_ == -1) {
            return StatusLineBad;
        }
        if (status_code_ >= 100 && status_code_ < 200) {
            // Interim answers (100 Continue, 103 Early Hints, ...) come before the real
            // one and are skipped, a bounded number of them. 101 would switch the
            // connection to another protocol: nothing we can read.
            if (!SkipInterimResponse(&interim_responses)) {
                return HeaderBlockBad;
            }
            response_start = static_cast<uint32_t>(block_end);
            continue;
        }
        if (!ParseHeaderLines(response_start + lines_start, block_end)) {
            return HeaderBlockBad;
        }
        break;
    }

    ReadResult result = ResponseOk;
    bool chunked = false;
    if (!ResponseHasNoBody() && !BodyFraming(&chunked)) {
        return HeaderBlockBad;  // a coding we never asked for and cannot decode
    }
    if (!ResponseHasNoBody() && options_ != nullptr && options_->body_sink != nullptr) {
        // Only the answer that carries the resource goes to the sink; anything else
        // is read past, so that it cannot fill memory either.
        if (status_code_ == 200 || status_code_ == 206) {
            sink_ = options_->body_sink;
            sink_limit_ = BodyLimit();
            if (!sink_->OnBodyStart(status_code_, headers_, &sink_limit_)) {
                return BodyReceiveFailed;
            }
        } else {
            drop_body_ = true;
        }
    }
    if (ResponseHasNoBody()) {
        body_length_ = 0;
    } else if (chunked) {
        if (!ReadChunkedBody()) {
            return ChunkedBodyFailed;
        }
    } else {
        const std::wstring* content_length = headers_.Find(L"Content-Length");
        int64_t length = -1;
        if (content_length != nullptr && !ParseContentLengthField(*content_length, &length)) {
            return HeaderBlockBad;  // two lengths: no telling where this body ends
        }
        const uint32_t already = receive_buffer_.Length() - parse_position_;
        if (!ReadBody(length, already)) {
            result = BodyReceiveFailed;
        } else if (length == -1) {
            // The body ended with the connection; it cannot carry another.
            this->CloseSocket();
        }
    }
    const std::wstring* connection = headers_.Find(L"Connection");
    if (connection != nullptr && EqualsAsciiNoCase(*connection, L"close")) {
        this->CloseSocket();
    }
    return result;
}

template <typename TSocket>
bool CAtlHttpClientT<TSocket>::SkipInterimResponse(int* count) const noexcept {
    return status_code_ != 101 && ++*count <= kMaxInterimResponses;
}

template <typename TSocket>
bool CAtlHttpClientT<TSocket>::BodyFraming(bool* chunked) const {
    const std::wstring* value = headers_.Find(L"Transfer-Encoding");
    *chunked = value != nullptr;
    // Repeated fields reach us joined by ",": only one field, naming "chunked" alone, is
    // a framing we read. We ask for no coding, so any other would leave the file still
    // encoded, or framed in a way we would misread.
    return value == nullptr || EqualsAsciiNoCase(TrimHeaderValue(*value), L"chunked");
}

template <typename TSocket>
bool CAtlHttpClientT<TSocket>::ResponseHasNoBody() const noexcept {
    // These never have a body, whatever their headers say; reading one "until close"
    // would only wait out the time-out on a kept-alive connection.
    return (status_code_ >= 100 && status_code_ < 200) || status_code_ == 204 ||
           status_code_ == 304 || method_ == L"HEAD";
}

template <typename TSocket>
bool CAtlHttpClientT<TSocket>::ParseHeaderLines(size_t lines_start, size_t block_end) {
    const BYTE* data = receive_buffer_.Data();
    if (lines_start > block_end) {
        return false;
    }
    ForEachHeaderLine(data + lines_start, data + block_end,
                      [this](const BYTE* begin, const BYTE* end) { DecodeHeaderLine(begin, end); });
    return true;
}

template <typename TSocket>
void CAtlHttpClientT<TSocket>::DecodeHeaderLine(const BYTE* begin, const BYTE* end) {
    std::string_view name_bytes, value_bytes;
    if (!SplitHeaderLine(begin, end, &name_bytes, &value_bytes)) {
        return;  // no colon, or too long: dropped
    }
    const std::wstring name = DecodeText(name_bytes, CP_THREAD_ACP);
    const std::wstring value = DecodeText(value_bytes, CP_THREAD_ACP);
    if (EqualsAsciiNoCase(name, L"www-authenticate") ||
        EqualsAsciiNoCase(name, L"proxy-authenticate")) {
        auth_offers_.push_back(value);
    }
    headers_.Add(name, value);
    if (EqualsAsciiNoCase(name, L"set-cookie")) {
        OnCookie(value);
    }
}

template <typename TSocket>
uint32_t CAtlHttpClientT<TSocket>::BodyLimit() const noexcept {
    const uint32_t own = options_ != nullptr ? options_->max_body_length : 0;
    const uint32_t limit = own != 0 && own < body_limit_ ? own : body_limit_;
    return sink_ != nullptr && sink_limit_ < limit ? sink_limit_ : limit;
}

template <typename TSocket>
DWORD CAtlHttpClientT<TSocket>::ReadBlockSize() const noexcept {
    return options_ != nullptr && options_->read_block_size != 0 ? options_->read_block_size : 2048;
}

template <typename TSocket>
bool CAtlHttpClientT<TSocket>::PassBodyOn(ReceiveBuffer& buffer, uint32_t keep) {
    if (!Streaming() || buffer.Length() <= keep) {
        return true;
    }
    const uint32_t count = buffer.Length() - keep;
    streamed_length_ += count;
    const bool taken = sink_ == nullptr || sink_->OnBodyData(buffer.Data() + keep, count);
    buffer.Truncate(keep);
    return taken;
}

template <typename TSocket>
bool CAtlHttpClientT<TSocket>::ReadBody(int64_t length, uint32_t already) {
    const DWORD block_size = ReadBlockSize();
    const uint32_t body_limit = BodyLimit();
    uint64_t received = already;
    bool fatal = false;  // out of memory, over the limit, or refused by the sink
    // Each receive asks for a whole block and lands right after the data, so the body
    // is never copied on its way in; when streaming, each piece goes on at once. It
    // never asks past one byte over the limit: a server sending endless data gets no
    // further than that.
    auto receive = [&](DWORD* count) {
        const uint64_t room = uint64_t{body_limit} + 1 - std::min<uint64_t>(received, body_limit);
        const DWORD wanted = static_cast<DWORD>(std::min<uint64_t>(block_size, room));
        BYTE* space = receive_buffer_.AppendSpace(wanted);
        if (space == nullptr) {
            fatal = true;
            return false;
        }
        *count = wanted;
        const bool ok = this->ReadBytes(space, count) && *count <= wanted;
        receive_buffer_.Commit(ok ? *count : 0);
        if (!ok) {
            return false;
        }
        received += *count;
        fatal = received > body_limit || !PassBodyOn(receive_buffer_, parse_position_);
        return !fatal;
    };
    if (received > body_limit || !PassBodyOn(receive_buffer_, parse_position_)) {
        return false;  // the receive of the headers brought more than the limit
    }

    if (length == -1) {
        // Until the connection ends, and only a clean close (a zero-byte receive) ends
        // it: after a reset, a time-out or a stop, more of the body may have been on its
        // way, and a cut file must never pass for a whole one.
        for (;;) {
            DWORD count = 0;
            if (!receive(&count) || !CallReadStatus(count)) {
                return false;
            }
            if (count == 0) {
                break;
            }
        }
    } else if (length > 0 && static_cast<int64_t>(received) < length) {
        if (length > body_limit) {
            return false;
        }
        // Room for the whole body in one step: growing as it arrives would copy it over
        // and over. Without the memory, receiving fails. A streamed body needs a block.
        if (!Streaming()) {
            static_cast<void>(receive_buffer_.Reserve(static_cast<uint32_t>(std::min<uint64_t>(
                uint64_t{parse_position_} + static_cast<uint64_t>(length) + block_size + 1,
                UINT32_MAX))));
        }
        while (static_cast<int64_t>(received) < length) {
            for (int empty = 0;; ++empty) {
                if (empty == client_detail::kEmptyReceivesKnownLength) {
                    return false;
                }
                DWORD count = 0;
                if (!receive(&count) || !CallReadStatus(count)) {
                    return false;
                }
                if (count != 0) {
                    break;
                }
            }
        }
    }
    if (length >= 0 && received > static_cast<uint64_t>(length)) {
        // More came than announced: the bytes count as body, but whatever else the
        // server may send on this connection cannot be told from it.
        this->CloseSocket();
    }
    body_length_ = Streaming() ? 0 : static_cast<uint32_t>(received);
    return true;
}

template <typename TSocket>
bool CAtlHttpClientT<TSocket>::ReadChunkedBody() {
    ReceiveBuffer output;  // the header block, then the decoded body
    ChunkDecoder decoder(headers_.Find(L"Trailer") != nullptr, BodyLimit());
    const uint32_t header_length = header_length_;
    bool ok = output.Append(receive_buffer_.Data() + header_start_, header_length);

    // Feeds bytes until the decoder wants more, ends or fails; trailer fields land in
    // the header table.
    bool bytes_after_body = false;
    auto feed = [&](const BYTE* bytes, size_t length) {
        size_t offset = 0;
        for (;;) {
            size_t used = 0;
            const ChunkDecoder::Status status =
                decoder.Feed(bytes + offset, length - offset, output, &used);
            offset += used;
            if (status != ChunkDecoder::Status::TrailerLine) {
                bytes_after_body = status == ChunkDecoder::Status::Done && offset < length;
                return status;
            }
            const std::string_view line = decoder.TrailerLine();
            const BYTE* line_bytes = reinterpret_cast<const BYTE*>(line.data());
            DecodeHeaderLine(line_bytes, line_bytes + line.size());
        }
    };

    // A streamed body leaves only the header block in `output` after each piece.
    auto feed_and_pass = [&](const BYTE* bytes, size_t length) {
        ChunkDecoder::Status fed = feed(bytes, length);
        if (fed != ChunkDecoder::Status::Failed && !PassBodyOn(output, header_length)) {
            fed = ChunkDecoder::Status::Failed;
        }
        return fed;
    };
    ChunkDecoder::Status status = ChunkDecoder::Status::Failed;
    if (ok) {
        status = feed_and_pass(receive_buffer_.Data() + parse_position_,
                               receive_buffer_.Length() - parse_position_);
    }
    receive_buffer_.Clear();
    body_length_ = 0;
    header_start_ = 0;
    parse_position_ = 0;
    const DWORD block_size = ReadBlockSize();
    UniqueHeapBlock block;
    if (status == ChunkDecoder::Status::NeedMore) {
        block.reset(HeapAlloc(GetProcessHeap(), 0, block_size));
        if (!block) {
            status = ChunkDecoder::Status::Failed;
        }
    }
    BYTE* bytes = static_cast<BYTE*>(block.get());
    while (status == ChunkDecoder::Status::NeedMore) {
        DWORD count = block_size;
        if (!this->ReadBytes(bytes, &count) || count > block_size || !CallReadStatus(count)) {
            status = ChunkDecoder::Status::Failed;
        } else if (count == 0) {
            status = decoder.Finish();  // closed: complete only right after the last chunk
        } else {
            status = feed_and_pass(bytes, count);
        }
    }
    if (bytes_after_body) {
        // Nothing was asked for after this response: bytes past its end cannot be told
        // from the next one, so the connection is not used again.
        this->CloseSocket();
    }
    // Whatever was decoded becomes the buffer's content, so BodyData stays inside it.
    receive_buffer_.TakeFrom(output);
    header_start_ = 0;
    header_length_ = std::min(header_length, receive_buffer_.Length());
    body_length_ = receive_buffer_.Length() - header_length_;
    return status == ChunkDecoder::Status::Done;
}

}  // namespace qv
