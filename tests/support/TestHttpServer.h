#pragma once
// A programmable HTTP/1.1 server on 127.0.0.1 that records raw requests and plays scripted
// answers.
//
// Every connection is served on its own thread, so overlapping requests and keep-alive work as
// with a real service. Answers come from the handler, or 404 without one.

#include <QByteArray>
#include <QList>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

using HeaderList = QList<std::pair<QByteArray, QByteArray>>;

// One request exactly as it arrived on the wire.
struct RecordedRequest {
    QByteArray method;
    QByteArray target;    // byte for byte
    HeaderList headers{}; // in the order sent; values without surrounding blanks
    QByteArray body{};    // empty when the server keeps only the size and hash
    std::int64_t bodySize = 0;
    QByteArray bodySha256{};

    // The first header with this name (case-insensitive).
    [[nodiscard]] std::optional<QByteArray> header(const QByteArray &name) const;
    // The bytes of the one file part of a multipart upload; empty when there is none.
    [[nodiscard]] QByteArray filePart() const;
};

struct TestAnswer {
    enum class Action {
        respond,
        stall, // never answer, keep the connection open
        drop,  // close the connection without answering
    };

    Action action = Action::respond;
    int status = 200;
    HeaderList headers{}; // Content-Length is added
    QByteArray body{};
    std::chrono::milliseconds delay{0};
    // When set, `body` goes out in pieces of this size with `pause` between them.
    qsizetype pieceSize = 0;
    std::chrono::milliseconds pause{0};

    static TestAnswer json(int status, QByteArray body) {
        return {.status = status,
                .headers = {{"Content-Type", "application/json"}},
                .body = std::move(body)};
    }
    static TestAnswer redirect(int status, QByteArray location) {
        return {.status = status, .headers = {{"Location", std::move(location)}}};
    }
    static TestAnswer stall() { return {.action = Action::stall}; }
    static TestAnswer drop() { return {.action = Action::drop}; }
};

class TestHttpServer {
public:
    // sizeAndHashOnly keeps huge uploads out of memory.
    enum class BodyMode { keep, sizeAndHashOnly };
    using Handler = std::function<TestAnswer(const RecordedRequest &)>;

    explicit TestHttpServer(BodyMode mode = BodyMode::keep);
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer &) = delete;
    TestHttpServer &operator=(const TestHttpServer &) = delete;

    // "http://127.0.0.1:<port>"
    [[nodiscard]] QString origin() const;
    // origin() + "/api"
    [[nodiscard]] QString baseUrl() const { return origin() + QStringLiteral("/api"); }

    void setHandler(Handler handler);

    // The service goes away: new connections are refused and open ones are closed. It comes
    // back on the same port.
    void goAway();
    void comeBack();
    // While set, a request body is read up to this many bytes and then the connection is closed
    // without an answer, as when the network drops mid-upload. Such requests are not recorded.
    void cutBodiesAfter(std::optional<std::int64_t> bytes);

    [[nodiscard]] QList<RecordedRequest> requests() const;
    [[nodiscard]] int connectionCount() const;

private:
    void listen(std::uint16_t port);
    void stopListening();
    void acceptLoop(int listenFd);
    void serve(int fd, std::FILE *in);
    bool waitUntilStopping(std::chrono::milliseconds delay);

    BodyMode m_mode;
    int m_listenFd = -1;
    std::uint16_t m_port = 0;

    mutable std::mutex m_mutex;
    std::condition_variable m_stopCv;
    bool m_stopping = false;
    bool m_listening = false;
    std::optional<std::int64_t> m_cutBodiesAfter;
    Handler m_handler;
    QList<RecordedRequest> m_requests;
    int m_connections = 0;
    QList<int> m_openFds;
    std::vector<std::thread> m_workers;
    std::thread m_acceptThread;
};
