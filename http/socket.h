#pragma once
// One TCP connection over overlapped Winsock 2 I/O whose connect, send and receive
// each block the caller for at most `timeout_ms`.

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdint>

namespace qv {

// Winsock error numbers the socket records or tests.
inline constexpr DWORD kWsaNotEnoughMemory = 8;   // WSA_NOT_ENOUGH_MEMORY
inline constexpr DWORD kWsaIoPending = 997;       // WSA_IO_PENDING
inline constexpr DWORD kWsaWouldBlock = 10035;    // WSAEWOULDBLOCK
inline constexpr DWORD kWsaInProgress = 10036;    // WSAEINPROGRESS
inline constexpr DWORD kWsaAlready = 10037;       // WSAEALREADY
inline constexpr DWORD kWsaNotConnected = 10057;  // WSAENOTCONN

// Starts Winsock once per process (version 2.0) and cleans up at exit.
class WinsockInit {
public:
    // True when Winsock is started (starting it on the first call).
    static bool Start() noexcept;
};

// The result list of one address lookup.
class CSocketAddr {
public:
    CSocketAddr() = default;
    virtual ~CSocketAddr();
    CSocketAddr(const CSocketAddr&) = delete;
    CSocketAddr& operator=(const CSocketAddr&) = delete;

    // 0 on success, else the lookup's error code (or -1 with WSA error 8 when the
    // port or host text cannot be converted).
    int ResolveAddress(const wchar_t* host, int port, int flags = 0, int family = AF_UNSPEC,
                       int socket_type = SOCK_STREAM, int protocol = 0) noexcept;
    // The n-th entry from 0, or null.
    [[nodiscard]] const ADDRINFOA* GetAddressAt(int index) const noexcept;

private:
    ADDRINFOA* addresses_ = nullptr;
};

class ZEvtSyncSocket {
public:
    ZEvtSyncSocket() noexcept;
    virtual ~ZEvtSyncSocket();
    ZEvtSyncSocket(const ZEvtSyncSocket&) = delete;
    ZEvtSyncSocket& operator=(const ZEvtSyncSocket&) = delete;

    // Sets the time-out of every wait; returns the previous value.
    DWORD SetTimeout(DWORD timeout_ms) noexcept;
    [[nodiscard]] DWORD GetTimeout() const noexcept;

    // Resolves, creates and connects (only the first address is tried). Succeeds at
    // once when already connected.
    bool ConnectToHost(const wchar_t* host, unsigned short port) noexcept;
    bool CreateSocket(int family, int type, int protocol, DWORD extra_flags = 0) noexcept;
    bool ConnectAddress(const sockaddr* address, int address_length) noexcept;

    // One overlapped send; `sent` receives the count (possibly fewer than offered).
    bool WriteBuffers(WSABUF* buffers, DWORD count, DWORD* sent) noexcept;
    // Sends one buffer; `length` is the count offered on entry and sent on return.
    bool Write(const BYTE* bytes, DWORD* length) noexcept;
    // One overlapped receive; `length` is the capacity on entry and the count received
    // on return (0 when the peer has closed the connection).
    bool ReadBytes(BYTE* buffer, DWORD* length) noexcept;
    void CloseSocket() noexcept;

    [[nodiscard]] DWORD LastError() const noexcept;
    [[nodiscard]] bool IsConnected() const noexcept;
    [[nodiscard]] SOCKET Socket() const noexcept;

private:
    DWORD create_flags_ = WSA_FLAG_OVERLAPPED;
    WSAEVENT read_event_ = WSA_INVALID_EVENT;
    WSAEVENT write_event_ = WSA_INVALID_EVENT;
    WSAEVENT connect_event_ = WSA_INVALID_EVENT;
    CRITICAL_SECTION read_lock_;
    CRITICAL_SECTION write_lock_;
    SOCKET socket_ = INVALID_SOCKET;
    bool connected_ = false;
    DWORD last_error = 0;
    DWORD timeout_ms = 10000;
};

}  // namespace qv
