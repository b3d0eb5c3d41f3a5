// The transport under the client with the system's TLS against a loopback peer that
// never answers the handshake: a stop and a time-out end it, and a TLS that cannot be
// had sends nothing at all. Whole sessions are in the end-to-end tests (e2e_tls).

#include "http/transport.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "win/unique_handle.h"

namespace qv {
namespace {

// A listener on 127.0.0.1 that accepts one connection and reads what comes until the
// peer closes or two seconds pass; it answers nothing, or `answer` once the first
// header block has come (a proxy's answer to CONNECT).
class SilentPeer {
public:
    explicit SilentPeer(std::string answer = "") : answer_(std::move(answer)) {
        EXPECT_TRUE(WinsockInit::Start());
        listener_.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        if (bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
            listen(listener_.get(), 1) != 0) {
            ADD_FAILURE() << "listener: " << WSAGetLastError();
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(listener_.get(), &readable);
            timeval wait{2, 0};
            if (select(0, &readable, nullptr, nullptr, &wait) != 1) {
                return;
            }
            UniqueSocket peer(accept(listener_.get(), nullptr, nullptr));
            const DWORD timeout = 2000;
            setsockopt(peer.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                       sizeof timeout);
            char buffer[4096];
            int n = 0;
            bool answered = answer_.empty();
            while ((n = recv(peer.get(), buffer, sizeof buffer, 0)) > 0) {
                bytes_.append(buffer, static_cast<size_t>(n));
                if (!answered && bytes_.find("\r\n\r\n") != std::string::npos) {
                    send(peer.get(), answer_.data(), static_cast<int>(answer_.size()), 0);
                    answered = true;
                }
            }
        });
    }
    ~SilentPeer() { Join(); }
    void Join() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    [[nodiscard]] unsigned short port() const { return port_; }
    [[nodiscard]] int received() const { return static_cast<int>(bytes_.size()); }
    [[nodiscard]] const std::string& bytes() const { return bytes_; }

private:
    std::string answer_;
    UniqueSocket listener_;
    unsigned short port_ = 0;
    std::string bytes_;
    std::thread thread_;
};

TEST(Transport, TheSystemsTlsIsLoadedOnceWithOneSetOfCredentials) {
    const TlsSystem* system = LoadSystemTls();
    ASSERT_NE(system, nullptr);
    EXPECT_EQ(LoadSystemTls(), system);
    ASSERT_NE(system->credentials, nullptr);
    EXPECT_TRUE(system->credentials->Valid());
}

TEST(Transport, AStopOrATimeOutEndsAHandshakeThatGetsNoAnswer) {
    ASSERT_NE(LoadSystemTls(), nullptr);
    for (const bool stop : {true, false}) {
        SCOPED_TRACE(stop ? "stop" : "time-out");
        SilentPeer peer;
        const UniqueKernelHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        CTransportSocket transport;
        transport.SetTimeout(stop ? 20000 : 300);
        transport.SetCancelEvent(event.get());
        std::thread stopper([&] {
            if (stop) {
                Sleep(200);
                SetEvent(event.get());
            }
        });
        const ULONGLONG start = GetTickCount64();
        EXPECT_FALSE(transport.ConnectToHost(L"127.0.0.1", peer.port(), true));
        const ULONGLONG elapsed = GetTickCount64() - start;
        stopper.join();
        EXPECT_LT(elapsed, 5000u);
        EXPECT_FALSE(transport.IsConnected());
        EXPECT_FALSE(transport.IsSecure());
        if (stop) {
            EXPECT_EQ(transport.LastError(), kWsaCancelled);
        }
        transport.CloseSocket();
        peer.Join();
        EXPECT_GT(peer.received(), 0);  // the client's hello went out
    }
}

TEST(Transport, WithoutTlsASecureConnectSendsNothingAndFails) {
    SilentPeer peer;
    CTransportSocket transport;
    transport.SetTlsSystem(nullptr);
    EXPECT_FALSE(transport.ConnectToHost(L"127.0.0.1", peer.port(), true));
    EXPECT_EQ(transport.LastError(), static_cast<DWORD>(SEC_E_SECPKG_NOT_FOUND));
    EXPECT_FALSE(transport.IsConnected());
    peer.Join();
    EXPECT_EQ(peer.received(), 0);
}

TEST(Transport, ATunnelIsAskedForTheOriginAndTheProxysRefusalFailsTheConnect) {
    const std::string connect =
        "CONNECT update.example:8443 HTTP/1.1\r\nHost: update.example:8443\r\n"
        "User-Agent: Microsoft-ATL-Native/9.00\r\n\r\n";
    const struct {
        const char* answer;
        int status;
    } refusals[] = {
        {"HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 0\r\n\r\n", 407},
        {"HTTP/1.1 403 Forbidden\r\n\r\n", 403},
        {"HTTP/1.1 200 OK\r\n\r\nbytes the origin never sent", 200},
        {"nonsense\r\n\r\n", -1},
    };
    for (const auto& refusal : refusals) {
        SCOPED_TRACE(refusal.answer);
        SilentPeer proxy(refusal.answer);
        CTransportSocket transport;
        transport.SetTimeout(2000);
        const ProxyEndpoint endpoint{L"127.0.0.1", proxy.port()};
        EXPECT_FALSE(transport.ConnectToHost(L"update.example", 8443, true, &endpoint));
        EXPECT_EQ(transport.TunnelStatus(), refusal.status);
        EXPECT_EQ(transport.LastError(), kTunnelRefused);
        EXPECT_FALSE(transport.IsConnected());
        proxy.Join();
        EXPECT_EQ(proxy.bytes(), connect);  // and no TLS hello after it
    }
    // Opened: the TLS hello follows through the tunnel (the origin never answers).
    SilentPeer proxy("HTTP/1.1 200 Connection established\r\n\r\n");
    CTransportSocket transport;
    transport.SetTimeout(300);
    const ProxyEndpoint endpoint{L"127.0.0.1", proxy.port()};
    EXPECT_FALSE(transport.ConnectToHost(L"update.example", 8443, true, &endpoint));
    EXPECT_EQ(transport.TunnelStatus(), 200);
    transport.CloseSocket();
    proxy.Join();
    ASSERT_GT(proxy.bytes().size(), connect.size());
    EXPECT_EQ(proxy.bytes().substr(0, connect.size()), connect);
    EXPECT_EQ(proxy.bytes()[connect.size()], '\x16');  // a TLS handshake record
}

}  // namespace
}  // namespace qv
