#include "TestHttpServer.h"

#include <QCoreApplication>
#include <QCryptographicHash>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <system_error>

namespace {

constexpr std::size_t kChunk = 64 * 1024;
constexpr qsizetype kMaxHead = 64 * 1024;

[[noreturn]] void throwErrno(const char *what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Closes the descriptor when the connection thread leaves, whatever the path.
class FdGuard {
public:
    explicit FdGuard(int fd)
        : m_fd(fd) {}
    ~FdGuard() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FdGuard(const FdGuard &) = delete;
    FdGuard &operator=(const FdGuard &) = delete;

private:
    int m_fd;
};

// Buffered, stop-aware I/O on one non-blocking client socket.
class Wire {
public:
    Wire(int fd, int wakeFd)
        : m_fd(fd)
        , m_wakeFd(wakeFd) {}

    // Waits for the socket; false when the server is stopping.
    bool waitFor(short events) {
        pollfd fds[2] = {{m_fd, events, 0}, {m_wakeFd, POLLIN, 0}};
        for (;;) {
            const int n = ::poll(fds, 2, -1);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 || (fds[1].revents & POLLIN))
                return false;
            return true;
        }
    }

    // Reads more bytes into the buffer; false on end of stream, error or stop.
    bool fill() {
        char chunk[kChunk];
        for (;;) {
            const ssize_t got = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (got > 0) {
                m_buffer.append(chunk, got);
                return true;
            }
            if (got == 0)
                return false;
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return false;
            if (!waitFor(POLLIN))
                return false;
        }
    }

    // One line without its CRLF, or nothing if the peer went away first.
    std::optional<QByteArray> readLine() {
        for (;;) {
            const qsizetype end = m_buffer.indexOf("\r\n");
            if (end >= 0) {
                QByteArray line = m_buffer.left(end);
                m_buffer.remove(0, end + 2);
                return line;
            }
            if (m_buffer.size() > kMaxHead || !fill())
                return std::nullopt;
        }
    }

    // Hands exactly `count` bytes to `sink` in pieces; false if the stream ends early.
    template <typename Sink> bool readExactly(std::int64_t count, Sink &&sink) {
        while (count > 0) {
            if (m_buffer.isEmpty() && !fill())
                return false;
            const qsizetype take =
                static_cast<qsizetype>(std::min<std::int64_t>(count, m_buffer.size()));
            sink(QByteArrayView(m_buffer.constData(), take));
            m_buffer.remove(0, take);
            count -= take;
        }
        return true;
    }

    bool sendAll(const char *data, std::size_t size) {
        while (size > 0) {
            const ssize_t sent = ::send(m_fd, data, size, MSG_NOSIGNAL);
            if (sent > 0) {
                data += sent;
                size -= static_cast<std::size_t>(sent);
                continue;
            }
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (!waitFor(POLLOUT))
                    return false;
                continue;
            }
            return false;
        }
        return true;
    }

    bool sendAll(const QByteArray &bytes) {
        return sendAll(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    }

private:
    int m_fd;
    int m_wakeFd;
    QByteArray m_buffer;
};

QByteArray reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 410:
        return "Gone";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

bool hasHeader(const HeaderList &headers, const QByteArray &name) {
    return std::any_of(headers.begin(), headers.end(), [&](const auto &h) {
        return h.first.compare(name, Qt::CaseInsensitive) == 0;
    });
}

bool wantsClose(const HeaderList &headers) {
    return std::any_of(headers.begin(), headers.end(), [](const auto &h) {
        return h.first.compare("Connection", Qt::CaseInsensitive) == 0 &&
               h.second.trimmed().compare("close", Qt::CaseInsensitive) == 0;
    });
}

} // namespace

std::optional<QByteArray> RecordedRequest::header(const QByteArray &name) const {
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return std::nullopt;
}

QList<QByteArray> RecordedRequest::headerNames() const {
    QList<QByteArray> names;
    for (const auto &h : headers)
        names.append(h.first);
    return names;
}

TestAnswer TestAnswer::json(int status, QByteArray body) {
    TestAnswer answer;
    answer.status = status;
    answer.headers = {{"Content-Type", "application/json"}};
    answer.body = std::move(body);
    return answer;
}

TestAnswer TestAnswer::redirect(int status, QByteArray location) {
    TestAnswer answer;
    answer.status = status;
    answer.headers = {{"Location", std::move(location)}};
    return answer;
}

TestAnswer TestAnswer::stall() {
    TestAnswer answer;
    answer.action = Action::stall;
    return answer;
}

TestAnswer TestAnswer::drop() {
    TestAnswer answer;
    answer.action = Action::drop;
    return answer;
}

TestHttpServer::TestHttpServer(BodyMode mode)
    : m_mode(mode) {
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0)
        throwErrno("eventfd");
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listenFd < 0) {
        ::close(m_wakeFd);
        throwErrno("socket");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(m_listenFd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(m_listenFd, 64) != 0 ||
        ::getsockname(m_listenFd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        const int saved = errno;
        ::close(m_listenFd);
        ::close(m_wakeFd);
        errno = saved;
        throwErrno("bind/listen");
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

QString TestHttpServer::baseUrl() const {
    return origin() + QStringLiteral("/api");
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
    for (;;) {
        {
            std::lock_guard lock(m_mutex);
            if (m_requests.size() >= n)
                return true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        if (QCoreApplication::instance())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void TestHttpServer::acceptLoop() {
    pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
    for (;;) {
        const int n = ::poll(fds, 2, -1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || (fds[1].revents & POLLIN))
            return;
        const int client = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client < 0)
            continue;
        std::lock_guard lock(m_mutex);
        const int ordinal = ++m_connections;
        m_workers.emplace_back([this, client, ordinal] { serve(client, ordinal); });
    }
}

bool TestHttpServer::waitUntilStopping(std::chrono::milliseconds delay) {
    std::unique_lock lock(m_mutex);
    return m_stopCv.wait_for(lock, delay, [this] { return m_stopping; });
}

void TestHttpServer::record(RecordedRequest request) {
    std::lock_guard lock(m_mutex);
    m_requests.append(std::move(request));
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
    if (handler)
        return handler(request);
    TestAnswer fallback;
    fallback.status = 404;
    return fallback;
}

void TestHttpServer::serve(int fd, int ordinal) {
    FdGuard guard(fd);
    Wire wire(fd, m_wakeFd);
    for (;;) {
        auto requestLine = wire.readLine();
        if (!requestLine)
            return;
        if (requestLine->isEmpty())
            continue; // stray CRLF between requests is allowed
        const QList<QByteArray> parts = requestLine->split(' ');
        if (parts.size() != 3)
            return;

        RecordedRequest request;
        request.method = parts[0];
        request.target = parts[1];
        request.connection = ordinal;
        for (;;) {
            auto line = wire.readLine();
            if (!line)
                return;
            if (line->isEmpty())
                break;
            const qsizetype colon = line->indexOf(':');
            if (colon <= 0)
                return;
            request.headers.append({line->left(colon), line->mid(colon + 1).trimmed()});
        }

        QCryptographicHash hash(QCryptographicHash::Sha256);
        auto sink = [&](QByteArrayView piece) {
            hash.addData(piece);
            request.bodySize += piece.size();
            if (m_mode == BodyMode::keep)
                request.body.append(piece);
        };
        const auto transferEncoding = request.header("Transfer-Encoding");
        if (transferEncoding && transferEncoding->toLower().contains("chunked")) {
            for (;;) {
                auto sizeLine = wire.readLine();
                if (!sizeLine)
                    return;
                bool ok = false;
                const std::int64_t chunkSize =
                    sizeLine->split(';').first().trimmed().toLongLong(&ok, 16);
                if (!ok || chunkSize < 0)
                    return;
                if (chunkSize == 0) {
                    // Trailer fields up to the empty line; they are not recorded.
                    for (;;) {
                        auto trailer = wire.readLine();
                        if (!trailer)
                            return;
                        if (trailer->isEmpty())
                            break;
                    }
                    break;
                }
                if (!wire.readExactly(chunkSize, sink) || !wire.readLine())
                    return;
            }
        } else if (const auto length = request.header("Content-Length")) {
            bool ok = false;
            const std::int64_t bodyLength = length->toLongLong(&ok);
            if (!ok || bodyLength < 0 || !wire.readExactly(bodyLength, sink))
                return;
        }
        request.bodySha256 = hash.result();
        const bool clientCloses = wantsClose(request.headers);

        TestAnswer answer = answerFor(request);
        record(std::move(request));

        if (answer.delay.count() > 0 && waitUntilStopping(answer.delay))
            return;
        switch (answer.action) {
        case TestAnswer::Action::stall:
            while (!waitUntilStopping(std::chrono::hours(1))) {
            }
            return;
        case TestAnswer::Action::drop:
            ::shutdown(fd, SHUT_RDWR);
            return;
        case TestAnswer::Action::respond:
            break;
        }

        const std::int64_t bodySize =
            answer.generatedBodySize ? *answer.generatedBodySize : answer.body.size();
        QByteArray head = "HTTP/1.1 " + QByteArray::number(answer.status) + ' ' +
                          reasonPhrase(answer.status) + "\r\n";
        for (const auto &[name, value] : answer.headers)
            head += name + ": " + value + "\r\n";
        if (!hasHeader(answer.headers, "Content-Length"))
            head += "Content-Length: " + QByteArray::number(bodySize) + "\r\n";
        head += "\r\n";
        if (!wire.sendAll(head))
            return;
        if (answer.generatedBodySize) {
            // A valid JSON object padded to the size, produced piece by piece.
            const QByteArray prefix = "{\"pad\":\"";
            const QByteArray suffix = "\"}";
            const QByteArray filler(kChunk, 'x');
            std::int64_t fill = bodySize - prefix.size() - suffix.size();
            if (fill < 0)
                return;
            if (!wire.sendAll(prefix))
                return;
            while (fill > 0) {
                const auto piece = static_cast<std::size_t>(std::min<std::int64_t>(fill, kChunk));
                if (!wire.sendAll(filler.constData(), piece))
                    return;
                fill -= static_cast<std::int64_t>(piece);
            }
            if (!wire.sendAll(suffix))
                return;
        } else if (answer.pieceSize > 0 && answer.pause.count() > 0) {
            for (qsizetype at = 0; at < answer.body.size(); at += answer.pieceSize) {
                if (at > 0 && waitUntilStopping(answer.pause))
                    return;
                const QByteArray piece = answer.body.mid(at, answer.pieceSize);
                if (!wire.sendAll(piece))
                    return;
            }
        } else if (!wire.sendAll(answer.body)) {
            return;
        }
        if (clientCloses || wantsClose(answer.headers))
            return;
    }
}
