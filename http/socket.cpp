#include "http/socket.h"

#include <cstdio>
#include <string>

#include "win/text.h"

namespace qv {

namespace {

// The process's Winsock start-up. Destroyed at process exit, after every object
// that started it, since it is constructed inside the first start.
struct WinsockState {
    WSADATA data{};
    int result = -1;  // 0 once WSAStartup has succeeded
    ~WinsockState() {
        if (result == 0) {
            WSACleanup();
        }
    }
};

WinsockState& TheWinsockState() noexcept {
    static WinsockState state;
    return state;
}

ExclusiveLock winsock_lock;

bool IsSignalled(WSAEVENT event) noexcept {
    return event != WSA_INVALID_EVENT && WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

enum class WaitOutcome { kSignalled, kTimedOut, kCancelled };

// Waits for `event`, at most `timeout_ms`, and ends early when `cancel` (may be null)
// is set: a stop request must not sit out a whole time-out.
WaitOutcome WaitOrCancel(HANDLE event, HANDLE cancel, DWORD timeout_ms) noexcept {
    const HANDLE events[2] = {event, cancel};
    const DWORD count = cancel != nullptr ? 2 : 1;
    switch (WaitForMultipleObjects(count, events, FALSE, timeout_ms)) {
        case WAIT_OBJECT_0:
            return WaitOutcome::kSignalled;
        case WAIT_OBJECT_0 + 1:
            return WaitOutcome::kCancelled;
        default:
            return WaitOutcome::kTimedOut;
    }
}

// Ends an overlapped transfer whose wait timed out. The operation still owns the
// caller's buffer until it completes, so it is cancelled and its completion awaited;
// a cancelled operation completes at once, and the unbounded wait below is reached
// only if the system fails to finish it, where returning would let bytes move after
// the call. True when the transfer completed after all (it won the race with the
// cancel), with its count.
bool CancelAndFinish(SOCKET socket, WSAOVERLAPPED* overlapped, WSAEVENT event, DWORD timeout_ms,
                     DWORD* transferred) noexcept {
    CancelIoEx(reinterpret_cast<HANDLE>(socket), overlapped);
    if (WaitForSingleObject(event, timeout_ms) != WAIT_OBJECT_0) {
        WaitForSingleObject(event, INFINITE);
    }
    DWORD flags = 0;
    return WSAGetOverlappedResult(socket, overlapped, transferred, FALSE, &flags) != FALSE;
}

}  // namespace

bool WinsockInit::Start() noexcept {
    // Guarded so that two sockets constructed at once on two threads start Winsock once.
    const LockGuard guard(winsock_lock);
    WinsockState& state = TheWinsockState();
    if (state.result != 0) {
        state.result = WSAStartup(MAKEWORD(2, 0), &state.data);
    }
    return state.result == 0;
}

CSocketAddr::~CSocketAddr() {
    Free();
}

void CSocketAddr::Free() noexcept {
    if (addresses_ != nullptr) {
        freeaddrinfo(addresses_);
        addresses_ = nullptr;
    }
}

int CSocketAddr::ResolveAddress(const wchar_t* host, int port, int flags, int family,
                                int socket_type, int protocol) noexcept {
    char port_text[12];  // "-2147483648" and its terminator
    if (std::snprintf(port_text, sizeof port_text, "%d", port) < 0) {
        WSASetLastError(static_cast<int>(kWsaNotEnoughMemory));
        return -1;
    }
    Free();

    ADDRINFOA hints{};
    hints.ai_flags = flags;
    hints.ai_family = family;
    hints.ai_socktype = socket_type;
    hints.ai_protocol = protocol;

    // The lookup takes the host name in the thread's ANSI code page, never cut short.
    std::string host_text;
    try {
        if (host != nullptr && !ToCodePage(host, CP_THREAD_ACP, host_text)) {
            WSASetLastError(static_cast<int>(kWsaNotEnoughMemory));
            return -1;
        }
    } catch (...) {  // out of memory
        WSASetLastError(static_cast<int>(kWsaNotEnoughMemory));
        return -1;
    }
    return getaddrinfo(host != nullptr ? host_text.c_str() : nullptr, port_text, &hints,
                       &addresses_);
}

const ADDRINFOA* CSocketAddr::GetAddressAt(int index) const noexcept {
    if (index < 0) {
        return nullptr;
    }
    const ADDRINFOA* entry = addresses_;
    for (int i = 0; entry != nullptr && i < index; ++i) {
        entry = entry->ai_next;
    }
    return entry;
}

ZEvtSyncSocket::ZEvtSyncSocket() noexcept {
    // A failed start shows up as the failure of the first lookup or socket.
    static_cast<void>(WinsockInit::Start());
}

ZEvtSyncSocket::~ZEvtSyncSocket() {
    CloseSocket();
}

DWORD ZEvtSyncSocket::SetTimeout(DWORD timeout) noexcept {
    return timeout_ms_.exchange(timeout);
}

DWORD ZEvtSyncSocket::GetTimeout() const noexcept {
    return timeout_ms_;
}

DWORD ZEvtSyncSocket::LastError() const noexcept {
    return last_error_;
}

bool ZEvtSyncSocket::IsConnected() const noexcept {
    return connected_;
}

SOCKET ZEvtSyncSocket::Socket() const noexcept {
    return socket_.get();
}

bool ZEvtSyncSocket::ConnectToHost(const wchar_t* host, unsigned short port) noexcept {
    if (connected_) {
        return true;
    }
    CSocketAddr addresses;
    const int result = addresses.ResolveAddress(host, port, 0, AF_UNSPEC, SOCK_STREAM, 0);
    if (result != 0) {
        // -1 means our own conversion failed; its reason is in the thread's error.
        last_error_ =
            result == -1 ? static_cast<DWORD>(WSAGetLastError()) : static_cast<DWORD>(result);
        return false;
    }
    last_error_ = 0;
    return ConnectToAddresses(addresses.GetAddressAt(0));
}

bool ZEvtSyncSocket::ConnectToAddresses(const ADDRINFOA* addresses) noexcept {
    if (connected_) {
        return true;
    }
    if (addresses == nullptr) {
        last_error_ = WSANO_DATA;
        return false;
    }
    // A host often has several addresses and the first may be unreachable (IPv6 on a
    // network without it, a server that listens on IPv4 only): each is tried in the
    // lookup's order, within its own time-out. A socket cannot connect twice, so each
    // later address gets a new one; the last attempt's socket and error stay.
    for (const ADDRINFOA* entry = addresses; entry != nullptr; entry = entry->ai_next) {
        if (entry != addresses) {
            if (last_error_ == kWsaCancelled) {
                return false;  // told to stop: no further address
            }
            CloseSocket();
        }
        if (!socket_ &&
            !CreateSocket(entry->ai_family, entry->ai_socktype, entry->ai_protocol, 0)) {
            continue;
        }
        if (ConnectAddress(entry->ai_addr, static_cast<int>(entry->ai_addrlen))) {
            return true;
        }
    }
    return false;
}

bool ZEvtSyncSocket::CreateSocket(int family, int type, int protocol, DWORD extra_flags) noexcept {
    if (socket_) {
        last_error_ = kWsaAlready;
        return false;
    }
    socket_.reset(WSASocketW(family, type, protocol, nullptr, 0, extra_flags | create_flags_));
    if (!socket_) {
        last_error_ = static_cast<DWORD>(WSAGetLastError());
        return false;
    }
    // Both transfer events start signalled: "no transfer in progress".
    read_event_.reset(WSACreateEvent());
    write_event_.reset(WSACreateEvent());
    connect_event_.reset(WSACreateEvent());
    const bool ok = read_event_ && write_event_ && connect_event_ &&
                    WSASetEvent(write_event_.get()) && WSASetEvent(read_event_.get()) &&
                    // Each association replaces the one before, so only the last,
                    // FD_CONNECT, is reported, and the socket becomes non-blocking. The
                    // first two do nothing lasting; they stay because the shipped updater
                    // makes all three, and a failure of any of them fails the socket as
                    // it always has. The read and write events serve as the completion
                    // events of the overlapped transfers.
                    WSAEventSelect(socket_.get(), read_event_.get(), FD_READ) == 0 &&
                    WSAEventSelect(socket_.get(), write_event_.get(), FD_WRITE) == 0 &&
                    WSAEventSelect(socket_.get(), connect_event_.get(), FD_CONNECT) == 0;
    if (!ok) {
        last_error_ = GetLastError();
        return false;
    }
    return true;
}

bool ZEvtSyncSocket::ConnectAddress(const sockaddr* address, int address_length) noexcept {
    if (connected_) {
        return true;
    }
    if (!socket_ || !connect_event_) {
        return false;
    }
    if (aborted_) {
        last_error_ = kWsaConnAborted;
        return false;
    }
    // A signal left by an earlier failed attempt must not end this attempt's wait.
    WSAResetEvent(connect_event_.get());
    bool connected = false;
    if (WSAConnect(socket_.get(), address, address_length, nullptr, nullptr, nullptr, nullptr) ==
        0) {
        connected = true;
    } else {
        const DWORD error = static_cast<DWORD>(WSAGetLastError());
        if (error != kWsaWouldBlock) {
            last_error_ = error;
        } else if (const WaitOutcome outcome =
                       WaitOrCancel(connect_event_.get(), cancel_event_, timeout_ms_);
                   outcome == WaitOutcome::kCancelled) {
            last_error_ = kWsaCancelled;
        } else if (outcome == WaitOutcome::kSignalled) {
            // No event handle: the connect event stays signalled for the transfers,
            // which wait on it before every send and receive.
            WSANETWORKEVENTS events{};
            if (WSAEnumNetworkEvents(socket_.get(), nullptr, &events) != 0) {
                last_error_ = static_cast<DWORD>(WSAGetLastError());
            } else if (events.iErrorCode[FD_CONNECT_BIT] != 0) {
                last_error_ = static_cast<DWORD>(events.iErrorCode[FD_CONNECT_BIT]);
            } else {
                connected = (events.lNetworkEvents & FD_CONNECT) != 0;
            }
        }
    }
    connected_ = connected;
    return connected;
}

bool ZEvtSyncSocket::Transfer(Direction direction, WSABUF* buffers, DWORD count,
                              DWORD* transferred) noexcept {
    *transferred = 0;
    const DWORD timeout = timeout_ms_;
    // The connect event stays signalled once connected, so this returns at once then.
    // Without a socket there is nothing that could connect, so nothing to wait for.
    if (!connect_event_ || WaitForSingleObject(connect_event_.get(), timeout) != WAIT_OBJECT_0) {
        last_error_ = kWsaNotConnected;
        return false;
    }
    if (aborted_) {
        last_error_ = kWsaConnAborted;
        return false;
    }
    const bool send = direction == Direction::kSend;
    ExclusiveLock& lock = send ? write_lock_ : read_lock_;
    const WSAEVENT event = send ? write_event_.get() : read_event_.get();
    // The event is reset while a transfer is outstanding; the lock is held while one
    // runs. Either means another thread is in the middle of one: refuse, don't queue.
    if (!IsSignalled(event) || !lock.TryAcquire()) {
        last_error_ = kWsaInProgress;
        return false;
    }
    WSAOVERLAPPED overlapped{};
    overlapped.hEvent = event;
    WSAResetEvent(event);

    DWORD immediate = 0;
    DWORD flags = 0;
    const int started =
        send ? WSASend(socket_.get(), buffers, count, &immediate, 0, &overlapped, nullptr)
             : WSARecv(socket_.get(), buffers, count, &immediate, &flags, &overlapped, nullptr);
    bool ok = true;
    if (started != 0) {
        const DWORD error = static_cast<DWORD>(WSAGetLastError());
        if (error != kWsaIoPending) {
            // Nothing was started, so nothing will signal the event: set it again, or
            // every later call would be refused as "in progress".
            WSASetEvent(event);
            last_error_ = error;
            ok = false;
        }
    }
    if (ok) {
        DWORD done = 0;
        const WaitOutcome outcome = WaitOrCancel(event, cancel_event_, timeout);
        if (outcome == WaitOutcome::kSignalled) {
            if (WSAGetOverlappedResult(socket_.get(), &overlapped, &done, FALSE, &flags)) {
                *transferred = done;
            } else {
                last_error_ = GetLastError();
                ok = false;
            }
        } else if (CancelAndFinish(socket_.get(), &overlapped, event, timeout, &done)) {
            *transferred = done;
        } else {
            // Timed out or stopped, and cancelled: how much of the stream moved is unknown.
            aborted_ = true;
            connected_ = false;
            if (outcome == WaitOutcome::kCancelled) {
                last_error_ = kWsaCancelled;
            }
            ok = false;
        }
    }
    lock.Release();
    return ok;
}

bool ZEvtSyncSocket::WriteBuffers(WSABUF* buffers, DWORD count, DWORD* sent) noexcept {
    if (sent == nullptr || (buffers == nullptr && count != 0)) {
        last_error_ = WSAEFAULT;
        return false;
    }
    return Transfer(Direction::kSend, buffers, count, sent);
}

bool ZEvtSyncSocket::Write(const BYTE* bytes, DWORD* length) noexcept {
    if (length == nullptr || (bytes == nullptr && *length != 0)) {
        last_error_ = WSAEFAULT;
        return false;
    }
    // WSASend only reads the bytes; its buffer type is not const.
    WSABUF buffer{*length, reinterpret_cast<char*>(const_cast<BYTE*>(bytes))};
    DWORD sent = 0;
    const bool ok = WriteBuffers(&buffer, 1, &sent);
    *length = sent;
    return ok;
}

bool ZEvtSyncSocket::ReadBytes(BYTE* buffer, DWORD* length) noexcept {
    if (length == nullptr || (buffer == nullptr && *length != 0)) {
        last_error_ = WSAEFAULT;
        return false;
    }
    WSABUF target{*length, reinterpret_cast<char*>(buffer)};
    *length = 0;
    DWORD received = 0;
    const bool ok = Transfer(Direction::kReceive, &target, 1, &received);
    *length = received;
    return ok;
}

void ZEvtSyncSocket::CloseSocket() noexcept {
    if (!socket_) {
        return;
    }
    connected_ = false;
    socket_.reset();
    read_event_.reset();
    write_event_.reset();
    connect_event_.reset();
    aborted_ = false;
}

}  // namespace qv
