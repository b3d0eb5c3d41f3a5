#pragma once
// One TCP connection over overlapped Winsock 2 I/O whose connect, send and receive
// each block the caller for at most `timeout_ms`.

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "win/lock.h"
#include "win/unique_handle.h"

namespace qv {

// Winsock error numbers the socket records or tests.
inline constexpr DWORD kWsaNotEnoughMemory = 8;   // WSA_NOT_ENOUGH_MEMORY
inline constexpr DWORD kWsaIoPending = 997;       // WSA_IO_PENDING
inline constexpr DWORD kWsaWouldBlock = 10035;    // WSAEWOULDBLOCK
inline constexpr DWORD kWsaInProgress = 10036;    // WSAEINPROGRESS
inline constexpr DWORD kWsaAlready = 10037;       // WSAEALREADY
inline constexpr DWORD kWsaNotConnected = 10057;  // WSAENOTCONN
// Recorded by every call on a connection whose send or receive timed out and was
// cancelled: the stream position is unknown, so the connection cannot be used again.
inline constexpr DWORD kWsaConnAborted = 10053;  // WSAECONNABORTED
// Recorded when the cancel event ended a wait.
inline constexpr DWORD kWsaCancelled = 10103;  // WSAECANCELLED

using UniqueSocket = UniqueHandle<SOCKET, INVALID_SOCKET, ::closesocket>;
using UniqueWsaEvent = UniqueHandle<WSAEVENT, WSA_INVALID_EVENT, ::WSACloseEvent>;

// Starts Winsock once per process (version 2.0) and cleans up at exit.
class WinsockInit {
public:
    // True when Winsock is started (starting it on the first call).
    [[nodiscard]] static bool Start() noexcept;
};

// The result list of one address lookup.
class CSocketAddr {
public:
    CSocketAddr() = default;
    virtual ~CSocketAddr();
    CSocketAddr(const CSocketAddr&) = delete;
    CSocketAddr& operator=(const CSocketAddr&) = delete;

    // 0 on success, else the lookup's error code (or -1 with WSA error 8 when the
    // port or host text cannot be converted). A null host asks for the local addresses.
    [[nodiscard]] int ResolveAddress(const wchar_t* host, int port, int flags = 0,
                                     int family = AF_UNSPEC, int socket_type = SOCK_STREAM,
                                     int protocol = 0) noexcept;
    // The n-th entry from 0, or null.
    [[nodiscard]] const ADDRINFOA* GetAddressAt(int index) const noexcept;

private:
    void Free() noexcept;

    ADDRINFOA* addresses_ = nullptr;
};

// A send, a receive and a connect each wait at most `timeout_ms`. One receive and one
// send may run at the same time on two threads; a second concurrent receive or send
// is refused with 10036. CloseSocket and the connect operations must not run while
// another thread sends or receives. A send or receive that times out is cancelled
// before it returns, so no byte moves to or from the caller's buffer afterwards; the
// connection then refuses every call with 10053 until CloseSocket.
class ZEvtSyncSocket {
public:
    ZEvtSyncSocket() noexcept;
    virtual ~ZEvtSyncSocket();
    ZEvtSyncSocket(const ZEvtSyncSocket&) = delete;
    ZEvtSyncSocket& operator=(const ZEvtSyncSocket&) = delete;

    // Sets the time-out of every wait; returns the previous value.
    DWORD SetTimeout(DWORD timeout_ms) noexcept;
    [[nodiscard]] DWORD GetTimeout() const noexcept;
    // An event (not owned; null for none) that, once set, ends every wait of a connect,
    // send or receive at once: the transfer is cancelled as on a time-out, and the
    // error is 10103. Set it before connecting; it must outlive the socket's use.
    void SetCancelEvent(HANDLE event) noexcept { cancel_event_ = event; }

    // Resolves, creates and connects, trying every address the lookup gives in its
    // order until one connects. Succeeds at once when already connected.
    [[nodiscard]] bool ConnectToHost(const wchar_t* host, unsigned short port) noexcept;
    // Connects to the first address of the list (its `ai_next` chain) that accepts,
    // each within the time-out; a stop ends the walk. The socket of the last attempt
    // and its error stay when none connects; WSANO_DATA for an empty list.
    [[nodiscard]] bool ConnectToAddresses(const ADDRINFOA* addresses) noexcept;
    [[nodiscard]] bool CreateSocket(int family, int type, int protocol,
                                    DWORD extra_flags = 0) noexcept;
    [[nodiscard]] bool ConnectAddress(const sockaddr* address, int address_length) noexcept;

    // One overlapped send; `sent` receives the count (possibly fewer than offered).
    [[nodiscard]] bool WriteBuffers(WSABUF* buffers, DWORD count, DWORD* sent) noexcept;
    // Sends one buffer; `length` is the count offered on entry and sent on return.
    [[nodiscard]] bool Write(const BYTE* bytes, DWORD* length) noexcept;
    // One overlapped receive; `length` is the capacity on entry and the count received
    // on return (0 when the peer has closed the connection).
    [[nodiscard]] bool ReadBytes(BYTE* buffer, DWORD* length) noexcept;
    void CloseSocket() noexcept;

    [[nodiscard]] DWORD LastError() const noexcept;
    [[nodiscard]] bool IsConnected() const noexcept;
    [[nodiscard]] SOCKET Socket() const noexcept;

private:
    enum class Direction { kReceive, kSend };

    // The common path of WriteBuffers and ReadBytes.
    [[nodiscard]] bool Transfer(Direction direction, WSABUF* buffers, DWORD count,
                                DWORD* transferred) noexcept;

    DWORD create_flags_ = WSA_FLAG_OVERLAPPED;
    UniqueWsaEvent read_event_;
    UniqueWsaEvent write_event_;
    UniqueWsaEvent connect_event_;
    ExclusiveLock read_lock_;
    ExclusiveLock write_lock_;
    UniqueSocket socket_;
    HANDLE cancel_event_ = nullptr;
    // Written by the receiving and the sending thread alike, hence atomic.
    std::atomic<bool> connected_{false};
    std::atomic<bool> aborted_{false};  // a timed-out transfer was cancelled
    std::atomic<DWORD> last_error_{0};
    std::atomic<DWORD> timeout_ms_{10000};
};

}  // namespace qv
