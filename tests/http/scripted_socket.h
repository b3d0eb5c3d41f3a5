#pragma once
// A socket stand-in for client tests: receives come from a script, one entry per
// receive, so tests decide exactly how a response is split and where it fails.

#include <windows.h>
#include <winsock2.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace qv::test {

class ScriptedSocket {
public:
    struct Receive {
        bool ok = true;     // false: the receive fails (time-out, reset)
        std::string bytes;  // empty: a 0-byte receive (peer closed)
    };

    virtual ~ScriptedSocket() = default;

    // Queues receives; `piece` > 0 splits the bytes into receives of that size.
    void Add(const std::string& bytes, size_t piece = 0) {
        if (piece == 0) {
            receives.push_back({true, bytes});
            return;
        }
        for (size_t i = 0; i < bytes.size(); i += piece) {
            receives.push_back({true, bytes.substr(i, piece)});
        }
    }
    void AddEmpty(int count = 1) {
        for (int i = 0; i < count; ++i) {
            receives.push_back({true, std::string()});
        }
    }
    void AddFailure() { receives.push_back({false, std::string()}); }

    // The socket interface the client uses.
    DWORD SetTimeout(DWORD value) noexcept { return std::exchange(timeout, value); }
    DWORD GetTimeout() const noexcept { return timeout; }
    template <typename Proxy = void>
    bool ConnectToHost(const wchar_t* host, unsigned short port, bool secure = false,
                       const Proxy* tunnel = nullptr) noexcept {
        if (connected) {
            return true;
        }
        if (refuse_connect) {
            return false;
        }
        connects.emplace_back(host, port);
        secure_connects.push_back(secure);
        tunneled.push_back(tunnel != nullptr);
        connected = true;
        return true;
    }
    bool Write(const BYTE* bytes, DWORD* length) noexcept {
        WSABUF buffer{*length, reinterpret_cast<CHAR*>(const_cast<BYTE*>(bytes))};
        return WriteBuffers(&buffer, 1, length);
    }
    bool WriteBuffers(WSABUF* buffers, DWORD count, DWORD* sent_count) noexcept {
        *sent_count = 0;
        if (!connected) {
            return false;
        }
        std::string piece;
        for (DWORD i = 0; i < count; ++i) {
            piece.append(buffers[i].buf, buffers[i].len);
        }
        piece.resize(std::min<size_t>(piece.size(), write_limit));
        writes.push_back(piece);
        sent.append(piece);
        *sent_count = static_cast<DWORD>(piece.size());
        return true;
    }
    bool ReadBytes(BYTE* buffer, DWORD* length) noexcept {
        capacities.push_back(*length);
        const DWORD capacity = *length;
        *length = 0;
        if (!connected) {
            return false;
        }
        if (receives.empty()) {
            return true;  // the peer has closed
        }
        Receive& next = receives.front();
        if (!next.ok) {
            receives.pop_front();
            return false;
        }
        const size_t count = std::min<size_t>(capacity, next.bytes.size());
        std::memcpy(buffer, next.bytes.data(), count);
        next.bytes.erase(0, count);
        if (next.bytes.empty()) {
            receives.pop_front();
        }
        *length = static_cast<DWORD>(count);
        return true;
    }
    void CloseSocket() noexcept {
        if (connected) {
            ++closes;
        }
        connected = false;
    }
    bool IsConnected() const noexcept { return connected; }
    DWORD LastError() const noexcept { return 0; }
    void SetCancelEvent(HANDLE) noexcept {}

    std::deque<Receive> receives;
    std::string sent;                 // every byte written
    std::vector<std::string> writes;  // one entry per write call
    std::vector<DWORD> capacities;    // the size asked for by each receive
    std::vector<std::pair<std::wstring, unsigned short>> connects;
    std::vector<bool> secure_connects;  // one per connect: TLS asked for
    std::vector<bool> tunneled;         // one per connect: through a proxy's tunnel
    int closes = 0;
    bool connected = false;
    bool refuse_connect = false;
    size_t write_limit = static_cast<size_t>(-1);  // bytes accepted per write
    DWORD timeout = 10000;
};

}  // namespace qv::test
