#include "StalledUploadService.h"

#include <QHostAddress>
#include <QList>

namespace {

QByteArray answer(const QByteArray &status, const QByteArray &body) {
    return "HTTP/1.1 " + status + "\r\nContent-Type: application/json\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

qint64 contentLength(const QByteArray &head) {
    for (const QByteArray &line : head.split('\n')) {
        if (line.toLower().startsWith("content-length:"))
            return line.mid(15).trimmed().toLongLong();
    }
    return 0;
}

} // namespace

StalledUploadService::StalledUploadService(QObject *parent)
    : QObject(parent) {
    connect(&m_server, &QTcpServer::newConnection, this, &StalledUploadService::accept);
    m_server.listen(QHostAddress::LocalHost);
}

StalledUploadService::~StalledUploadService() {
    // The sockets go first, while the table their handlers update is still there.
    const QList<QTcpSocket *> sockets = m_connections.keys();
    for (QTcpSocket *socket : sockets) {
        socket->disconnect(this);
        delete socket;
    }
}

QString StalledUploadService::baseUrl() const {
    return QStringLiteral("http://127.0.0.1:%1/api").arg(m_server.serverPort());
}

void StalledUploadService::release() {
    m_released = true;
    const QList<QTcpSocket *> sockets = m_connections.keys();
    for (QTcpSocket *socket : sockets) {
        // No limit any more: the socket reads from the network again.
        socket->setReadBufferSize(0);
        serve(socket);
    }
}

void StalledUploadService::accept() {
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        // A small read buffer, so that a body left unread fills the socket's buffers and the
        // client's writes stop.
        socket->setReadBufferSize(64 * 1024);
        m_connections.insert(socket, std::make_shared<Connection>());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_connections.remove(socket);
            socket->deleteLater();
        });
    }
}

void StalledUploadService::serve(QTcpSocket *socket) {
    const std::shared_ptr<Connection> held = m_connections.value(socket);
    if (!held)
        return;
    Connection &connection = *held;
    if (connection.uploadLeft >= 0) {
        if (!m_released)
            return;
        connection.pending += socket->readAll();
        const qint64 taken = std::min<qint64>(connection.uploadLeft, connection.pending.size());
        connection.pending.remove(0, taken);
        connection.uploadLeft -= taken;
        if (connection.uploadLeft > 0)
            return;
        connection.uploadLeft = -1;
        m_holding = false;
        socket->write(answer("201 Created", R"({"status":"uploaded"})"));
    }
    connection.pending += socket->readAll();
    for (;;) {
        const qsizetype headEnd = connection.pending.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return;
        const QByteArray head = connection.pending.left(headEnd);
        const QByteArray target = head.left(head.indexOf("\r\n")).split(' ').value(1);
        const qint64 length = contentLength(head);
        if (target.endsWith("/audio")) {
            // The body stays in the socket until release().
            connection.pending.remove(0, headEnd + 4);
            connection.uploadLeft = length;
            m_holding = true;
            if (m_released)
                serve(socket);
            return;
        }
        if (connection.pending.size() < headEnd + 4 + length)
            return;
        connection.pending.remove(0, headEnd + 4 + length);
        if (target.endsWith("/auth/me"))
            socket->write(answer("200 OK", R"({"user_id":7,"first_name":"Анна"})"));
        else if (target.endsWith("/meetings"))
            socket->write(answer("200 OK", R"({"id":1,"status":"created"})"));
        else
            socket->write(answer("404 Not Found", "{}"));
    }
}
