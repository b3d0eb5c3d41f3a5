#include "http/transport.h"

#include <new>
#include <string>

#include "http/response.h"
#include "win/text.h"

namespace qv {

CTransportSocket::CTransportSocket() noexcept = default;

CTransportSocket::~CTransportSocket() {
    CloseSocket();
}

bool CTransportSocket::ConnectToHost(const wchar_t* host, unsigned short port, bool secure,
                                     const ProxyEndpoint* tunnel) noexcept {
    if (IsConnected()) {
        return true;
    }
    tls_error_ = 0;
    tunnel_status_ = 0;
    secure_ = false;
    tls_.reset();
    // Without the system's TLS there is nothing to connect for.
    const TlsSystem* system = nullptr;
    if (secure) {
        system = use_system_tls_ ? LoadSystemTls() : tls_system_;
        if (system == nullptr) {
            tls_error_ = static_cast<DWORD>(SEC_E_SECPKG_NOT_FOUND);
            return false;
        }
    }
    if (tunnel != nullptr) {
        if (!ZEvtSyncSocket::ConnectToHost(tunnel->host.c_str(), tunnel->port)) {
            return false;
        }
        if (!OpenTunnel(host, port)) {
            ZEvtSyncSocket::CloseSocket();
            return false;
        }
    } else if (!ZEvtSyncSocket::ConnectToHost(host, port)) {
        return false;
    }
    if (!secure) {
        return true;
    }
    tls_.reset(new (std::nothrow) TlsChannel(*system));
    if (!tls_ || !tls_->Handshake(*this, host)) {
        tls_error_ = static_cast<DWORD>(tls_ ? tls_->Status() : SEC_E_INSUFFICIENT_MEMORY);
        tls_.reset();
        ZEvtSyncSocket::CloseSocket();
        return false;
    }
    secure_ = true;
    return true;
}

bool CTransportSocket::OpenTunnel(const wchar_t* host, unsigned short port) noexcept {
    std::string request;
    try {
        std::string name;
        if (!ToCodePage(host, CP_THREAD_ACP, name) || HasControlCharacter(host)) {
            tls_error_ = kTunnelRefused;
            return false;
        }
        const std::string target = name + ":" + std::to_string(port);
        request = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target +
                  "\r\nUser-Agent: Microsoft-ATL-Native/9.00\r\n\r\n";
    } catch (...) {  // out of memory
        tls_error_ = kTunnelRefused;
        return false;
    }
    if (!SendAll(reinterpret_cast<const BYTE*>(request.data()),
                 static_cast<DWORD>(request.size()))) {
        return false;
    }
    // The answer ends with its header block; what follows is the server's, and the
    // server says nothing before our TLS hello, so nothing may follow yet.
    BYTE answer[kMaxTunnelAnswerBytes];
    size_t length = 0;
    size_t end = 0;
    while (end == 0) {
        if (length == sizeof answer) {
            tls_error_ = kTunnelRefused;
            return false;
        }
        DWORD count = static_cast<DWORD>(sizeof answer - length);
        const DWORD asked = count;
        if (!ReceiveSome(answer + length, &count) || count > asked) {
            return false;
        }
        if (count == 0) {
            tls_error_ = kTunnelRefused;
            return false;
        }
        const size_t from = length >= 3 ? length - 3 : 0;
        length += count;
        end = FindHeaderBlockEnd(answer, length, from);
    }
    size_t lines_start = 0;
    tunnel_status_ = ParseStatusLine(answer, end, &lines_start);
    if (tunnel_status_ < 200 || tunnel_status_ > 299 || end != length) {
        tls_error_ = kTunnelRefused;
        return false;
    }
    return true;
}

bool CTransportSocket::SendAll(const BYTE* bytes, DWORD length) noexcept {
    while (length > 0) {
        DWORD count = length;
        if (!ZEvtSyncSocket::Write(bytes, &count) || count == 0 || count > length) {
            return false;
        }
        bytes += count;
        length -= count;
    }
    return true;
}

bool CTransportSocket::ReceiveSome(BYTE* buffer, DWORD* length) noexcept {
    return ZEvtSyncSocket::ReadBytes(buffer, length);
}

bool CTransportSocket::WriteBuffers(WSABUF* buffers, DWORD count, DWORD* sent) noexcept {
    if (!secure_) {
        return ZEvtSyncSocket::WriteBuffers(buffers, count, sent);
    }
    if (sent == nullptr || (buffers == nullptr && count != 0)) {
        return false;
    }
    *sent = 0;
    for (DWORD i = 0; i < count; ++i) {
        if (!tls_->Write(*this, reinterpret_cast<const BYTE*>(buffers[i].buf), buffers[i].len)) {
            tls_error_ = static_cast<DWORD>(tls_->Status());
            return false;
        }
        *sent += buffers[i].len;
    }
    return true;
}

bool CTransportSocket::Write(const BYTE* bytes, DWORD* length) noexcept {
    if (!secure_) {
        return ZEvtSyncSocket::Write(bytes, length);
    }
    if (length == nullptr || (bytes == nullptr && *length != 0)) {
        return false;
    }
    if (!tls_->Write(*this, bytes, *length)) {
        tls_error_ = static_cast<DWORD>(tls_->Status());
        *length = 0;
        return false;
    }
    return true;
}

bool CTransportSocket::ReadBytes(BYTE* buffer, DWORD* length) noexcept {
    if (!secure_) {
        return ZEvtSyncSocket::ReadBytes(buffer, length);
    }
    if (length == nullptr || (buffer == nullptr && *length != 0)) {
        return false;
    }
    if (!tls_->Read(*this, buffer, length)) {
        tls_error_ = static_cast<DWORD>(tls_->Status());
        return false;
    }
    return true;
}

void CTransportSocket::CloseSocket() noexcept {
    tls_.reset();
    secure_ = false;
    ZEvtSyncSocket::CloseSocket();
}

DWORD CTransportSocket::LastError() const noexcept {
    // A failure of the socket under TLS is told by the socket.
    if (tls_error_ != 0 && tls_error_ != static_cast<DWORD>(kTlsTransportFailed)) {
        return tls_error_;
    }
    return ZEvtSyncSocket::LastError();
}

}  // namespace qv
