#pragma once
// The connection under the HTTP client: the event-synchronised socket, with TLS
// between it and the response reader for https URLs. The client reads and writes
// plain HTTP bytes either way.

#include <memory>

#include "http/proxy.h"
#include "http/socket.h"
#include "http/tls.h"

namespace qv {

// Recorded when a proxy did not open the tunnel; TunnelStatus() tells its answer.
inline constexpr DWORD kTunnelRefused = ERROR_CONNECTION_REFUSED;

// The longest answer a proxy may give to CONNECT.
inline constexpr DWORD kMaxTunnelAnswerBytes = 8192;

class CTransportSocket : public ZEvtSyncSocket, private TlsTransport {
public:
    CTransportSocket() noexcept;
    ~CTransportSocket() override;
    CTransportSocket(const CTransportSocket&) = delete;
    CTransportSocket& operator=(const CTransportSocket&) = delete;

    // Connects to `host` (every address in turn) and, when `secure`, handshakes TLS
    // with the host's name and checks its certificate. With a `tunnel`, connects to
    // that proxy instead and asks it with CONNECT for `host`:`port` first (a proxy's
    // refusal, 407 included, fails the connect). A TLS that cannot be loaded or fails
    // fails the connect: nothing falls back to plain bytes. Succeeds at once when
    // already connected.
    [[nodiscard]] bool ConnectToHost(const wchar_t* host, unsigned short port, bool secure = false,
                                     const ProxyEndpoint* tunnel = nullptr) noexcept;
    // The status of the proxy's answer to the last CONNECT; 0 when none came.
    [[nodiscard]] int TunnelStatus() const noexcept { return tunnel_status_; }
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
    // Asks the connected proxy for a tunnel to host:port; true once it answered 2xx.
    [[nodiscard]] bool OpenTunnel(const wchar_t* host, unsigned short port) noexcept;

    std::unique_ptr<TlsChannel> tls_;
    const TlsSystem* tls_system_ = nullptr;
    bool use_system_tls_ = true;
    bool secure_ = false;
    DWORD tls_error_ = 0;
    int tunnel_status_ = 0;
};

}  // namespace qv
