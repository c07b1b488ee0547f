#include "TestHttpServer.h"

#include <QCryptographicHash>

#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <system_error>

namespace {

constexpr std::int64_t kChunk = 64 * 1024;
constexpr qsizetype kMaxLine = 64 * 1024;

// One line without its CRLF; nothing when the peer goes away first. The server's destructor
// shuts the socket down, which ends any read blocked here.
std::optional<QByteArray> readLine(std::FILE *in) {
    QByteArray line;
    for (int c; line.size() < kMaxLine && (c = std::getc(in)) != EOF;) {
        if (c == '\n')
            return line.endsWith('\r') ? line.chopped(1) : line;
        line.append(static_cast<char>(c));
    }
    return std::nullopt;
}

bool send(int fd, QByteArrayView bytes) {
    while (!bytes.isEmpty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent <= 0 && errno != EINTR)
            return false;
        bytes = bytes.sliced(std::max<ssize_t>(sent, 0));
    }
    return true;
}

} // namespace

std::optional<QByteArray> RecordedRequest::header(const QByteArray &name) const {
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return std::nullopt;
}

QByteArray RecordedRequest::filePart() const {
    const QByteArray contentType = header("Content-Type").value_or("");
    const QByteArray boundary = contentType.mid(contentType.indexOf("boundary=") + 9);
    const qsizetype start = body.indexOf("\r\n\r\n") + 4;
    const qsizetype end = body.lastIndexOf("\r\n--" + boundary + "--");
    return start >= 4 && end > start ? body.mid(start, end - start) : QByteArray();
}

TestHttpServer::TestHttpServer(BodyMode mode)
    : m_mode(mode) {
    listen(0);
}

TestHttpServer::~TestHttpServer() {
    goAway(); // ends every blocked read or write
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
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
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
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
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
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
            // Buffered reads; answers go straight to the socket. Closed once off the list.
            const std::unique_ptr<std::FILE, int (*)(std::FILE *)> in(::fdopen(client, "r"),
                                                                      &std::fclose);
            if (in)
                serve(client, in.get());
            std::lock_guard lock(m_mutex);
            m_openFds.removeOne(client);
            if (!in)
                ::close(client);
        });
    }
}

bool TestHttpServer::waitUntilStopping(std::chrono::milliseconds delay) {
    std::unique_lock lock(m_mutex);
    return m_stopCv.wait_for(lock, delay, [this] { return m_stopping; });
}

void TestHttpServer::serve(int fd, std::FILE *in) {
    for (;;) {
        const QList<QByteArray> parts = readLine(in).value_or(QByteArray()).split(' ');
        if (parts.size() != 3)
            return;
        RecordedRequest request{.method = parts[0], .target = parts[1]};
        for (;;) {
            const auto line = readLine(in);
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
        const std::int64_t length = request.header("Content-Length").value_or("0").toLongLong();
        std::int64_t toRead = length;
        Handler handler;
        {
            std::lock_guard lock(m_mutex);
            toRead = std::min(length, m_cutBodiesAfter.value_or(length));
            handler = m_handler;
        }
        QCryptographicHash hash(QCryptographicHash::Sha256);
        std::vector<char> chunk(kChunk);
        for (std::int64_t left = toRead; left > 0;) {
            const size_t got = std::fread(chunk.data(), 1, std::min(left, kChunk), in);
            if (got == 0)
                return;
            hash.addData(QByteArrayView(chunk.data(), qsizetype(got)));
            request.bodySize += qsizetype(got);
            if (m_mode == BodyMode::keep)
                request.body.append(chunk.data(), qsizetype(got));
            left -= std::int64_t(got);
        }
        if (toRead < length) {
            ::shutdown(fd, SHUT_RDWR);
            return;
        }
        request.bodySha256 = hash.result();
        const bool clientCloses =
            request.header("Connection").value_or("").compare("close", Qt::CaseInsensitive) == 0;

        const TestAnswer answer = handler ? handler(request) : TestAnswer{.status = 404};
        {
            std::lock_guard lock(m_mutex);
            m_requests.append(std::move(request));
        }
        if (answer.delay.count() > 0 && waitUntilStopping(answer.delay))
            return;
        if (answer.action == TestAnswer::Action::stall) {
            waitUntilStopping(std::chrono::hours(24));
            return;
        }
        if (answer.action == TestAnswer::Action::drop) {
            ::shutdown(fd, SHUT_RDWR);
            return;
        }
        QByteArray head = "HTTP/1.1 " + QByteArray::number(answer.status) + " Scripted\r\n";
        for (const auto &[name, value] : answer.headers)
            head += name + ": " + value + "\r\n";
        head += "Content-Length: " + QByteArray::number(answer.body.size()) + "\r\n\r\n";
        if (!send(fd, head))
            return;
        const QByteArray &body = answer.body;
        const qsizetype piece = answer.pieceSize > 0 ? answer.pieceSize : body.size();
        for (qsizetype at = 0; at < body.size(); at += piece) {
            if ((at > 0 && waitUntilStopping(answer.pause)) || !send(fd, body.mid(at, piece)))
                return;
        }
        if (clientCloses)
            return;
    }
}
