#pragma once
// A programmable HTTP/1.1 server on 127.0.0.1 that records raw requests and plays scripted answers.
//
// It listens on a free port from construction to destruction and serves every connection on its
// own thread, so overlapping requests and keep-alive work as with a real service. Answers come
// from a queue first, then from a handler, then a default answer (404, empty body).

#include <QByteArray>
#include <QList>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

using HeaderList = QList<std::pair<QByteArray, QByteArray>>;

// One request exactly as it arrived on the wire.
struct RecordedRequest {
    QByteArray method;
    QByteArray target;  // the request target, byte for byte
    HeaderList headers; // in the order sent; names as sent, values without surrounding blanks
    QByteArray body;    // empty when the server keeps only the size and hash
    std::int64_t bodySize = 0;
    QByteArray bodySha256; // raw digest of the body
    int connection = 0;    // ordinal of the connection it came on, from 1

    // The value of the first header with this name (case-insensitive), if any.
    [[nodiscard]] std::optional<QByteArray> header(const QByteArray &name) const;
    [[nodiscard]] QList<QByteArray> headerNames() const;
};

// What the server does with one request.
struct TestAnswer {
    enum class Action {
        respond, // send status, headers and body after the delay
        stall,   // read the request, never answer, keep the connection open
        drop,    // close the connection without answering
    };

    Action action = Action::respond;
    int status = 200;
    HeaderList headers; // sent in order; Content-Length is added unless present
    QByteArray body;
    // When set, a body of this many filler bytes is generated while sending instead of `body`.
    std::optional<std::int64_t> generatedBodySize;
    std::chrono::milliseconds delay{0};
    // When both are set, `body` goes out in pieces of this size with this pause between them.
    qsizetype pieceSize = 0;
    std::chrono::milliseconds pause{0};

    static TestAnswer json(int status, QByteArray body);
    static TestAnswer redirect(int status, QByteArray location);
    static TestAnswer stall();
    static TestAnswer drop();
};

class TestHttpServer {
public:
    enum class BodyMode { keep, sizeAndHashOnly };
    using Handler = std::function<TestAnswer(const RecordedRequest &)>;

    explicit TestHttpServer(BodyMode mode = BodyMode::keep);
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer &) = delete;
    TestHttpServer &operator=(const TestHttpServer &) = delete;

    [[nodiscard]] std::uint16_t port() const noexcept { return m_port; }
    // "http://127.0.0.1:<port>/api"
    [[nodiscard]] QString baseUrl() const;
    // "http://127.0.0.1:<port>"
    [[nodiscard]] QString origin() const;

    void enqueue(TestAnswer answer);
    void setHandler(Handler handler);

    [[nodiscard]] QList<RecordedRequest> requests() const;
    [[nodiscard]] int connectionCount() const;
    // Waits until at least n requests have arrived, pumping the Qt event loop meanwhile so that
    // clients living on this thread make progress.
    bool waitForRequests(int n, std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    void acceptLoop();
    void serve(int fd, int ordinal);
    TestAnswer answerFor(const RecordedRequest &request);
    bool waitUntilStopping(std::chrono::milliseconds delay);
    void record(RecordedRequest request);

    BodyMode m_mode;
    int m_listenFd = -1;
    int m_wakeFd = -1; // eventfd that wakes every poll() when the server stops
    std::uint16_t m_port = 0;

    mutable std::mutex m_mutex;
    std::condition_variable m_stopCv;
    bool m_stopping = false;
    std::deque<TestAnswer> m_queue;
    Handler m_handler;
    QList<RecordedRequest> m_requests;
    int m_connections = 0;
    std::vector<std::thread> m_workers;
    std::thread m_acceptThread;
};
