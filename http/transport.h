#pragma once
// The connection under the HTTP client: the event-synchronised socket, with TLS
// between it and the response reader for https URLs. The client reads and writes
// plain HTTP bytes either way.

#include <memory>

#include "http/socket.h"
#include "http/tls.h"

namespace qv {

class CTransportSocket : public ZEvtSyncSocket, private TlsTransport {
public:
    CTransportSocket() noexcept;
    ~CTransportSocket() override;
    CTransportSocket(const CTransportSocket&) = delete;
    CTransportSocket& operator=(const CTransportSocket&) = delete;

    // Connects to `host` (every address in turn) and, when `secure`, handshakes TLS
    // with the host's name and checks its certificate. A TLS that cannot be loaded or
    // fails fails the connect: nothing falls back to plain bytes. Succeeds at once when
    // already connected.
    [[nodiscard]] bool ConnectToHost(const wchar_t* host, unsigned short port,
                                     bool secure = false) noexcept;
    // As the socket's, through TLS on a secure connection.
    [[nodiscard]] bool WriteBuffers(WSABUF* buffers, DWORD count, DWORD* sent) noexcept;
    [[nodiscard]] bool Write(const BYTE* bytes, DWORD* length) noexcept;
    [[nodiscard]] bool ReadBytes(BYTE* buffer, DWORD* length) noexcept;
    void CloseSocket() noexcept;
    // The socket's error, or the TLS status (a SECURITY_STATUS) when TLS failed.
    [[nodiscard]] DWORD LastError() const noexcept;
    // True while a TLS session runs over the connection.
    [[nodiscard]] bool IsSecure() const noexcept { return secure_; }
    // The system TLS the next secure connect uses; tests point it elsewhere (null:
    // no TLS can be had).
    void SetTlsSystem(const TlsSystem* system) noexcept {
        tls_system_ = system;
        use_system_tls_ = false;
    }

private:
    [[nodiscard]] bool SendAll(const BYTE* bytes, DWORD length) noexcept override;
    [[nodiscard]] bool ReceiveSome(BYTE* buffer, DWORD* length) noexcept override;

    std::unique_ptr<TlsChannel> tls_;
    const TlsSystem* tls_system_ = nullptr;
    bool use_system_tls_ = true;
    bool secure_ = false;
    DWORD tls_error_ = 0;
};

}  // namespace qv
