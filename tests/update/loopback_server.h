#pragma once
// A small HTTP server on 127.0.0.1 for the engine's tests: one response per
// connection, answered by a handler that sees the path and how often it was asked.

#include <winsock2.h>
#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "win/lock.h"

namespace qv::test {

struct HttpReply {
    int status = 200;
    std::string body;
};

class LoopbackServer {
public:
    // Called on the server thread with the request path and the number of earlier
    // requests for that path.
    using Handler = std::function<HttpReply(const std::string& path, int earlier)>;

    LoopbackServer();
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // Serves `body` with status 200 at `path` ("/up1/ver.dat").
    void Put(const std::string& path, std::string body);
    // Every path without a Put and without its own handler answers 404.
    void SetHandler(const std::string& path, Handler handler);

    // False when the socket could not be set up.
    [[nodiscard]] bool ok() const { return listener_ != INVALID_SOCKET; }
    // "http://127.0.0.1:port" + prefix
    [[nodiscard]] std::wstring Url(const std::wstring& prefix = L"/up1") const;
    // Paths in the order they were asked for.
    [[nodiscard]] std::vector<std::string> Requests() const;
    [[nodiscard]] int CountOf(const std::string& path) const;

private:
    void Serve();
    void Answer(SOCKET connection);

    SOCKET listener_ = INVALID_SOCKET;
    unsigned short port_ = 0;
    mutable ExclusiveLock lock_;
    std::map<std::string, Handler> handlers_;
    std::vector<std::string> requests_;
    volatile LONG stopping_ = 0;
    std::thread thread_;
};

}  // namespace qv::test
