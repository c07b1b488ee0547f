#include "TestHttpServer.h"

#include <QCoreApplication>
#include <QCryptographicHash>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <system_error>

namespace {

constexpr std::int64_t kChunk = 64 * 1024;
constexpr qsizetype kMaxHead = 64 * 1024;

// Buffered reads and writes on one client socket. The server's destructor shuts the socket
// down, which ends any read or write blocked here.
class Wire {
public:
    explicit Wire(int fd)
        : m_fd(fd) {}

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

    bool send(QByteArrayView bytes) {
        while (!bytes.isEmpty()) {
            const ssize_t sent = ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent <= 0 && errno != EINTR)
                return false;
            bytes = bytes.sliced(std::max<ssize_t>(sent, 0));
        }
        return true;
    }

private:
    bool fill() {
        char chunk[kChunk];
        ssize_t got;
        do {
            got = ::recv(m_fd, chunk, sizeof chunk, 0);
        } while (got < 0 && errno == EINTR);
        if (got > 0)
            m_buffer.append(chunk, got);
        return got > 0;
    }

    int m_fd;
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

TestHttpServer::TestHttpServer(BodyMode mode, const QString &ipv4)
    : m_mode(mode)
    , m_host(ipv4) {
    listen(0);
}

TestHttpServer::~TestHttpServer() {
    stopListening();
    {
        // Ends every blocked read or write.
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        for (const int fd : m_openFds)
            ::shutdown(fd, SHUT_RDWR);
    }
    m_stopCv.notify_all();
    // No worker is added once the accept thread has ended.
    for (auto &worker : m_workers)
        worker.join();
}

// Port 0 picks a free one.
void TestHttpServer::listen(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, m_host.toLatin1().constData(), &address.sin_addr) != 1)
        throw std::invalid_argument("test server address: " + m_host.toStdString());
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int reuse = 1;
    socklen_t length = sizeof address;
    auto *raw = reinterpret_cast<sockaddr *>(&address);
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0 ||
        ::bind(fd, raw, sizeof address) != 0 || ::listen(fd, 64) != 0 ||
        ::getsockname(fd, raw, &length) != 0) {
        const std::system_error error(errno, std::generic_category(), "test server socket");
        ::close(fd);
        throw error;
    }
    m_port = ntohs(address.sin_port);
    std::lock_guard lock(m_mutex);
    m_listenFd = fd;
    m_listening = true;
    m_acceptThread = std::thread([this, fd] { acceptLoop(fd); });
}

void TestHttpServer::stopListening() {
    {
        // Ends a blocked accept().
        std::lock_guard lock(m_mutex);
        if (!m_listening)
            return;
        m_listening = false;
        ::shutdown(m_listenFd, SHUT_RDWR);
    }
    m_acceptThread.join();
    ::close(m_listenFd);
}

void TestHttpServer::goAway() {
    stopListening();
    std::lock_guard lock(m_mutex);
    for (const int fd : m_openFds)
        ::shutdown(fd, SHUT_RDWR);
}

void TestHttpServer::comeBack() {
    listen(m_port);
}

void TestHttpServer::cutBodiesAfter(std::optional<std::int64_t> bytes) {
    std::lock_guard lock(m_mutex);
    m_cutBodiesAfter = bytes;
}

QString TestHttpServer::origin() const {
    return QStringLiteral("http://%1:%2").arg(m_host).arg(m_port);
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

void TestHttpServer::acceptLoop(int listenFd) {
    for (;;) {
        const int client = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        std::lock_guard lock(m_mutex);
        if (m_stopping || !m_listening) {
            if (client >= 0)
                ::close(client);
            return;
        }
        if (client < 0)
            continue;
        ++m_connections;
        m_openFds.push_back(client);
        m_workers.emplace_back([this, client] {
            serve(client);
            std::lock_guard lock(m_mutex);
            m_openFds.removeOne(client);
            ::close(client);
        });
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
    Wire wire(fd);
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
        std::optional<std::int64_t> cutAfter;
        {
            std::lock_guard lock(m_mutex);
            cutAfter = m_cutBodiesAfter;
        }
        if (cutAfter && *cutAfter < length) {
            wire.readExactly(*cutAfter, [](QByteArrayView) {});
            ::shutdown(fd, SHUT_RDWR);
            return;
        }
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
            bool ok = wire.send("{\"pad\":\"");
            for (; ok && fill > 0; fill -= kChunk)
                ok = wire.send(QByteArrayView(filler).first(std::min(fill, kChunk)));
            if (!ok || !wire.send("\"}"))
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
