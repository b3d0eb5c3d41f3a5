#include "tests/support/hostile_server.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/support/test_support.h"
#include "win/unique_handle.h"

namespace qv::test {
namespace {

using TestSocket = UniqueHandle<SOCKET, INVALID_SOCKET, ::closesocket>;

constexpr DWORD kExchangeTimeoutMs = 5000;

// The build tree as a Windows path: Wine maps the Unix root to drive Z:.
std::wstring BuildDirectory() {
    wchar_t value[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"QV_BUILD_DIR", value, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return {};
    }
    std::wstring path(value, length);
    for (wchar_t& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return path[0] == L'\\' ? L"Z:" + path : path;
}

unsigned short ReadPort(const std::wstring& path) {
    bool ok = false;
    const std::string text = ReadFileBytes(path, &ok);
    const long port = ok ? std::strtol(text.c_str(), nullptr, 10) : 0;
    return port > 0 && port < 65536 ? static_cast<unsigned short>(port) : 0;
}

}  // namespace

HostileServer::HostileServer() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        problem_ = "WSAStartup failed";
        return;
    }
    const std::wstring build = BuildDirectory();
    if (build.empty()) {
        problem_ = "QV_BUILD_DIR is not set (run the tests through ctest)";
        return;
    }
    const std::wstring state = build + L"\\tests\\hostile_server\\";
    port_ = ReadPort(state + L"port");
    port2_ = ReadPort(state + L"port2");
    if (port_ == 0 || port2_ == 0) {
        port_ = 0;
        problem_ = "no hostile server: the fixture test hostile_server_start did not run";
    }
}

std::wstring HostileServer::Url(const std::string& path, bool second_port) const {
    return L"http://127.0.0.1:" + std::to_wstring(second_port ? port2_ : port_) + Widen(path);
}

std::string HostileServer::Exchange(const std::string& request, unsigned short port) const {
    TestSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!s) {
        return {};
    }
    const DWORD timeout = kExchangeTimeoutMs;
    setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof timeout);
    setsockopt(s.get(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (connect(s.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return {};
    }
    for (size_t offset = 0; offset < request.size();) {
        const int sent =
            send(s.get(), request.data() + offset, static_cast<int>(request.size() - offset), 0);
        if (sent <= 0) {
            return {};
        }
        offset += static_cast<size_t>(sent);
    }
    std::string reply;
    char buffer[16384];
    for (;;) {
        const int received = recv(s.get(), buffer, sizeof buffer, 0);
        if (received <= 0) {
            break;
        }
        reply.append(buffer, static_cast<size_t>(received));
    }
    return reply;
}

std::string HostileServer::Control(const std::string& method, const std::string& target,
                                   const std::string& body, bool* ok) const {
    *ok = false;
    if (!Running()) {
        return {};
    }
    const std::string reply =
        Exchange(method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                     std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body,
                 port_);
    const size_t head_end = reply.find("\r\n\r\n");
    if (head_end == std::string::npos) {
        return {};
    }
    *ok = reply.compare(0, 13, "HTTP/1.1 200 ") == 0;
    return reply.substr(head_end + 4);
}

bool HostileServer::Script(const std::string& routes_json) const {
    bool ok = false;
    Control("POST", "/__script", "{\"routes\": " + routes_json + "}", &ok);
    return ok;
}

std::vector<RecordedRequest> HostileServer::Requests(const std::string& prefix) const {
    std::string encoded;  // the prefix is a query value: every byte but the plainest escaped
    for (unsigned char c : prefix) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '.' || c == '_') {
            encoded += static_cast<char>(c);
        } else {
            char escape[4];
            std::snprintf(escape, sizeof escape, "%%%02X", c);
            encoded += escape;
        }
    }
    std::vector<RecordedRequest> out;
    bool ok = false;
    const std::string body =
        Control("GET", "/__requests?format=raw&prefix=" + encoded, std::string(), &ok);
    size_t pos = 0;
    while (ok && pos < body.size()) {
        const size_t line_end = body.find('\n', pos);
        if (line_end == std::string::npos) {
            break;
        }
        RecordedRequest request;
        unsigned port = 0;
        unsigned long long length = 0;
        if (std::sscanf(body.c_str() + pos, "%d %u %d %llu", &request.seq, &port,
                        &request.connection, &length) != 4 ||
            line_end + 1 + length > body.size()) {
            break;
        }
        request.port = static_cast<unsigned short>(port);
        request.raw = body.substr(line_end + 1, length);
        out.push_back(std::move(request));
        pos = line_end + 1 + length + 1;
    }
    return out;
}

}  // namespace qv::test
