#include "tests/update/loopback_server.h"

#include <ws2tcpip.h>

#include <algorithm>

namespace qv::test {

namespace {

// Requests are a few hundred bytes; anything longer is not ours.
constexpr size_t kMaxRequestSize = 64 * 1024;

struct WinsockSession {
    WinsockSession() {
        WSADATA data;
        started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~WinsockSession() {
        if (started) {
            WSACleanup();
        }
    }
    bool started = false;
};

class SocketOwner {
public:
    explicit SocketOwner(SOCKET s) : socket_(s) {}
    ~SocketOwner() {
        if (socket_ != INVALID_SOCKET) {
            closesocket(socket_);
        }
    }
    SocketOwner(const SocketOwner&) = delete;
    SocketOwner& operator=(const SocketOwner&) = delete;
    [[nodiscard]] SOCKET get() const { return socket_; }

private:
    SOCKET socket_;
};

const char* ReasonOf(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 404:
            return "Not Found";
        default:
            return "Status";
    }
}

bool SendAll(SOCKET s, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const int chunk = static_cast<int>(std::min<size_t>(bytes.size() - sent, 1 << 20));
        const int n = send(s, bytes.data() + sent, chunk, 0);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

LoopbackServer::LoopbackServer() {
    static WinsockSession session;
    if (!session.started) {
        return;
    }
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        return;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int length = sizeof address;
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(s, SOMAXCONN) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        closesocket(s);
        return;
    }
    listener_ = s;
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

LoopbackServer::~LoopbackServer() {
    InterlockedExchange(&stopping_, 1);
    if (thread_.joinable()) {
        thread_.join();
    }
    if (listener_ != INVALID_SOCKET) {
        closesocket(listener_);
    }
}

void LoopbackServer::Put(const std::string& path, std::string body) {
    SetHandler(path, [body = std::move(body)](const std::string&, int) {
        return HttpReply{200, body};
    });
}

void LoopbackServer::SetHandler(const std::string& path, Handler handler) {
    const LockGuard guard(lock_);
    handlers_[path] = std::move(handler);
}

std::wstring LoopbackServer::Url(const std::wstring& prefix) const {
    return L"http://127.0.0.1:" + std::to_wstring(port_) + prefix;
}

std::vector<std::string> LoopbackServer::Requests() const {
    const LockGuard guard(lock_);
    return requests_;
}

int LoopbackServer::CountOf(const std::string& path) const {
    const LockGuard guard(lock_);
    return static_cast<int>(std::count(requests_.begin(), requests_.end(), path));
}

void LoopbackServer::Serve() {
    while (!stopping_) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener_, &readable);
        timeval wait = {0, 20000};
        if (select(0, &readable, nullptr, nullptr, &wait) != 1) {
            continue;
        }
        SocketOwner connection(accept(listener_, nullptr, nullptr));
        if (connection.get() != INVALID_SOCKET) {
            Answer(connection.get());
        }
    }
}

void LoopbackServer::Answer(SOCKET connection) {
    // A client that neither sends nor closes must not hang the server.
    const DWORD timeout_ms = 2000;
    setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout_ms),
               sizeof timeout_ms);
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < kMaxRequestSize) {
        const int n = recv(connection, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return;
        }
        request.append(buffer, static_cast<size_t>(n));
    }
    // "GET /path HTTP/1.1"
    const size_t first_space = request.find(' ');
    const size_t second_space = request.find(' ', first_space + 1);
    if (first_space == std::string::npos || second_space == std::string::npos) {
        return;
    }
    const std::string path = request.substr(first_space + 1, second_space - first_space - 1);
    Handler handler;
    int earlier = 0;
    {
        const LockGuard guard(lock_);
        earlier = static_cast<int>(std::count(requests_.begin(), requests_.end(), path));
        requests_.push_back(path);
        const auto found = handlers_.find(path);
        if (found != handlers_.end()) {
            handler = found->second;
        }
    }
    const HttpReply reply = handler ? handler(path, earlier) : HttpReply{404, "not here"};
    std::string response = "HTTP/1.1 " + std::to_string(reply.status) + " " +
                           ReasonOf(reply.status) +
                           "\r\nContent-Length: " + std::to_string(reply.body.size()) +
                           "\r\nConnection: close\r\n\r\n" + reply.body;
    SendAll(connection, response);
    shutdown(connection, SD_SEND);
    // Let the client read everything before the socket goes away.
    while (recv(connection, buffer, sizeof buffer, 0) > 0) {
    }
}

}  // namespace qv::test
