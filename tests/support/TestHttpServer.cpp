#include "TestHttpServer.h"

#include <QCoreApplication>
#include <QCryptographicHash>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <system_error>

namespace {

constexpr std::int64_t kChunk = 64 * 1024;
constexpr qsizetype kMaxHead = 64 * 1024;

// Waits until fd is ready; false when the server is stopping.
bool waitReady(int fd, short events, int wakeFd) {
    pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    while (::poll(fds, 2, -1) < 0) {
        if (errno != EINTR)
            return false;
    }
    return !(fds[1].revents & POLLIN);
}

// Buffered I/O on one non-blocking client socket that gives up once the server stops. Owns the
// descriptor.
class Wire {
public:
    Wire(int fd, int wakeFd)
        : m_fd(fd)
        , m_wakeFd(wakeFd) {}
    ~Wire() { ::close(m_fd); }
    Wire(const Wire &) = delete;
    Wire &operator=(const Wire &) = delete;

    // One line without its CRLF; nothing when the peer goes away first.
    std::optional<QByteArray> readLine() {
        qsizetype end;
        while ((end = m_buffer.indexOf("\r\n")) < 0) {
            if (m_buffer.size() > kMaxHead || !fill())
                return std::nullopt;
        }
        QByteArray line = m_buffer.left(end);
        m_buffer.remove(0, end + 2);
        return line;
    }

    // Hands exactly `count` bytes to `sink` in pieces; false if the stream ends early.
    template <typename Sink> bool readExactly(std::int64_t count, Sink &&sink) {
        while (count > 0) {
            if (m_buffer.isEmpty() && !fill())
                return false;
            const auto take =
                static_cast<qsizetype>(std::min<std::int64_t>(count, m_buffer.size()));
            sink(QByteArrayView(m_buffer.constData(), take));
            m_buffer.remove(0, take);
            count -= take;
        }
        return true;
    }

    bool send(const char *data, std::size_t size) {
        while (size > 0) {
            const ssize_t sent = ::send(m_fd, data, size, MSG_NOSIGNAL);
            if (sent > 0) {
                data += sent;
                size -= static_cast<std::size_t>(sent);
            } else if ((errno != EINTR && errno != EAGAIN) || !waitReady(m_fd, POLLOUT, m_wakeFd)) {
                return false;
            }
        }
        return true;
    }
    bool send(const QByteArray &bytes) {
        return send(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    }

private:
    bool fill() {
        char chunk[kChunk];
        for (;;) {
            if (!waitReady(m_fd, POLLIN, m_wakeFd))
                return false;
            const ssize_t got = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (got > 0) {
                m_buffer.append(chunk, got);
                return true;
            }
            if (got == 0 || (errno != EINTR && errno != EAGAIN))
                return false;
        }
    }

    int m_fd;
    int m_wakeFd;
    QByteArray m_buffer;
};

} // namespace

std::optional<QByteArray> RecordedRequest::header(const QByteArray &name) const {
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return std::nullopt;
}

TestHttpServer::TestHttpServer(BodyMode mode)
    : m_mode(mode) {
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC);
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    auto *raw = reinterpret_cast<sockaddr *>(&address);
    if (m_wakeFd < 0 || m_listenFd < 0 || ::bind(m_listenFd, raw, sizeof address) != 0 ||
        ::listen(m_listenFd, 64) != 0 || ::getsockname(m_listenFd, raw, &length) != 0) {
        const std::system_error error(errno, std::generic_category(), "test server socket");
        ::close(m_listenFd);
        ::close(m_wakeFd);
        throw error;
    }
    m_port = ntohs(address.sin_port);
    m_acceptThread = std::thread([this] { acceptLoop(); });
}

TestHttpServer::~TestHttpServer() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_stopCv.notify_all();
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(m_wakeFd, &one, sizeof one);
    m_acceptThread.join();
    // No worker is added once the accept thread has ended.
    for (auto &worker : m_workers)
        worker.join();
    ::close(m_listenFd);
    ::close(m_wakeFd);
}

QString TestHttpServer::origin() const {
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}

void TestHttpServer::enqueue(TestAnswer answer) {
    std::lock_guard lock(m_mutex);
    m_queue.push_back(std::move(answer));
}

void TestHttpServer::setHandler(Handler handler) {
    std::lock_guard lock(m_mutex);
    m_handler = std::move(handler);
}

QList<RecordedRequest> TestHttpServer::requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

int TestHttpServer::connectionCount() const {
    std::lock_guard lock(m_mutex);
    return m_connections;
}

bool TestHttpServer::waitForRequests(int n, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (requests().size() < n) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void TestHttpServer::acceptLoop() {
    while (waitReady(m_listenFd, POLLIN, m_wakeFd)) {
        const int client = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client < 0)
            continue;
        std::lock_guard lock(m_mutex);
        ++m_connections;
        m_workers.emplace_back([this, client] { serve(client); });
    }
}

bool TestHttpServer::waitUntilStopping(std::chrono::milliseconds delay) {
    std::unique_lock lock(m_mutex);
    return m_stopCv.wait_for(lock, delay, [this] { return m_stopping; });
}

TestAnswer TestHttpServer::answerFor(const RecordedRequest &request) {
    Handler handler;
    {
        std::lock_guard lock(m_mutex);
        if (!m_queue.empty()) {
            TestAnswer answer = std::move(m_queue.front());
            m_queue.pop_front();
            return answer;
        }
        handler = m_handler;
    }
    return handler ? handler(request) : TestAnswer{.status = 404};
}

void TestHttpServer::serve(int fd) {
    Wire wire(fd, m_wakeFd);
    for (;;) {
        const auto requestLine = wire.readLine();
        const QList<QByteArray> parts = requestLine.value_or(QByteArray()).split(' ');
        if (parts.size() != 3)
            return;
        RecordedRequest request{.method = parts[0], .target = parts[1]};
        for (;;) {
            const auto line = wire.readLine();
            if (!line)
                return;
            if (line->isEmpty())
                break;
            const qsizetype colon = line->indexOf(':');
            if (colon <= 0)
                return;
            request.headers.append({line->left(colon), line->mid(colon + 1).trimmed()});
        }
        // The clients here always announce a length; a chunked body would go unread.
        if (request.header("Transfer-Encoding"))
            return;

        QCryptographicHash hash(QCryptographicHash::Sha256);
        const std::int64_t length = request.header("Content-Length").value_or("0").toLongLong();
        const bool complete = wire.readExactly(length, [&](QByteArrayView piece) {
            hash.addData(piece);
            request.bodySize += piece.size();
            if (m_mode == BodyMode::keep)
                request.body.append(piece);
        });
        if (!complete)
            return;
        request.bodySha256 = hash.result();
        const bool clientCloses =
            request.header("Connection").value_or("").compare("close", Qt::CaseInsensitive) == 0;

        const TestAnswer answer = answerFor(request);
        {
            std::lock_guard lock(m_mutex);
            m_requests.append(std::move(request));
        }
        if (answer.delay.count() > 0 && waitUntilStopping(answer.delay))
            return;
        if (answer.action == TestAnswer::Action::stall) {
            while (!waitUntilStopping(std::chrono::hours(1))) {
            }
            return;
        }
        if (answer.action == TestAnswer::Action::drop) {
            ::shutdown(fd, SHUT_RDWR);
            return;
        }

        const QByteArray &body = answer.body;
        QByteArray head = "HTTP/1.1 " + QByteArray::number(answer.status) + " Scripted\r\n";
        for (const auto &[name, value] : answer.headers)
            head += name + ": " + value + "\r\n";
        head += "Content-Length: " +
                QByteArray::number(answer.generatedBodySize.value_or(body.size())) + "\r\n\r\n";
        if (!wire.send(head))
            return;
        if (answer.generatedBodySize) {
            const QByteArray filler(kChunk, 'x');
            std::int64_t fill = *answer.generatedBodySize - 10; // {"pad":""}
            bool ok = wire.send("{\"pad\":\"", 8);
            for (; ok && fill > 0; fill -= kChunk)
                ok =
                    wire.send(filler.constData(), static_cast<std::size_t>(std::min(fill, kChunk)));
            if (!ok || !wire.send("\"}", 2))
                return;
        } else {
            const qsizetype piece = answer.pieceSize > 0 ? answer.pieceSize : body.size();
            for (qsizetype at = 0; at < body.size(); at += piece) {
                if ((at > 0 && waitUntilStopping(answer.pause)) || !wire.send(body.mid(at, piece)))
                    return;
            }
        }
        if (clientCloses)
            return;
    }
}
