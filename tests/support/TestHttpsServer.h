#pragma once
// An HTTPS server on 127.0.0.1 with a self-signed certificate made at start, for TLS failures.
//
// Clients that do not trust the certificate must fail the handshake; handshakes() shows that a
// client came and tried, handledRequests() whether any request ever reached the handler.

#include <QString>
#include <QTemporaryDir>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

namespace httplib {
class SSLServer;
}

class TestHttpsServer {
public:
    TestHttpsServer();
    ~TestHttpsServer();
    TestHttpsServer(const TestHttpsServer &) = delete;
    TestHttpsServer &operator=(const TestHttpsServer &) = delete;

    // "https://127.0.0.1:<port>/api"
    [[nodiscard]] QString baseUrl() const;
    [[nodiscard]] int handledRequests() const noexcept { return m_handled.load(); }
    // TLS handshakes begun, whether or not they completed.
    [[nodiscard]] int handshakes() const noexcept { return m_handshakes.load(); }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<httplib::SSLServer> m_server;
    std::uint16_t m_port = 0;
    std::atomic<int> m_handled{0};
    std::atomic<int> m_handshakes{0};
    std::thread m_thread;
};
