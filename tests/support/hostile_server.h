#pragma once
// The test binaries' handle on the hostile HTTP server (tests/support/hostile_server.py)
// that the ctest fixture "hostile_server" starts: its ports, scripting its answers, and
// the exact bytes of the requests it received. Everything goes over 127.0.0.1.

#include <windows.h>

#include <string>
#include <vector>

namespace qv::test {

struct RecordedRequest {
    int seq = 0;
    unsigned short port = 0;  // which of the server's two ports received it
    int connection = 0;       // the server's number for the TCP connection
    std::string raw;          // head and body exactly as received
};

class HostileServer {
public:
    // Reads the ports that the fixture wrote under %QV_BUILD_DIR%\tests\hostile_server.
    HostileServer();

    // False when no server could be found (the fixture did not run); Problem() says why.
    [[nodiscard]] bool Running() const { return port_ != 0; }
    [[nodiscard]] const std::string& Problem() const { return problem_; }
    [[nodiscard]] unsigned short Port() const { return port_; }
    [[nodiscard]] unsigned short Port2() const { return port2_; }

    // "http://127.0.0.1:PORT" + path, on the main or the second port.
    [[nodiscard]] std::wstring Url(const std::string& path, bool second_port = false) const;

    // Adds routes: `routes_json` is the JSON object that maps paths to responses (see the
    // server's documentation). False when the server refuses it.
    bool Script(const std::string& routes_json) const;
    // The requests whose target starts with `prefix`, oldest first.
    [[nodiscard]] std::vector<RecordedRequest> Requests(const std::string& prefix) const;

    // Sends raw bytes to a port and returns everything until the server closes (at
    // most a few seconds); empty on failure.
    [[nodiscard]] std::string Exchange(const std::string& request, unsigned short port) const;

private:
    // A control request; returns the response body, `ok` false unless status 200.
    std::string Control(const std::string& method, const std::string& target,
                        const std::string& body, bool* ok) const;

    unsigned short port_ = 0;
    unsigned short port2_ = 0;
    std::string problem_;
};

}  // namespace qv::test
