#include "TestHttpsServer.h"

#include <QProcess>

#include <httplib.h>

#include <stdexcept>

TestHttpsServer::TestHttpsServer() {
    if (!m_dir.isValid())
        throw std::runtime_error("no temporary folder for the certificate");
    const QString key = m_dir.filePath(QStringLiteral("key.pem"));
    const QString cert = m_dir.filePath(QStringLiteral("cert.pem"));
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"),
                  QStringLiteral("req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
                                 "-addext subjectAltName=IP:127.0.0.1")
                          .split(QLatin1Char(' '))
                      << QStringLiteral("-keyout") << key << QStringLiteral("-out") << cert);
    if (!openssl.waitForFinished(60000) || openssl.exitStatus() != QProcess::NormalExit ||
        openssl.exitCode() != 0)
        throw std::runtime_error("openssl could not make a certificate: " +
                                 openssl.readAll().toStdString());

    m_server = std::make_unique<httplib::SSLServer>(cert.toLocal8Bit().constData(),
                                                    key.toLocal8Bit().constData());
    if (!m_server->is_valid())
        throw std::runtime_error("the HTTPS server rejected its certificate");
    // A refused handshake never reaches a handler: count the attempts where OpenSSL sees them.
    SSL_CTX *const context = m_server->ssl_context();
    SSL_CTX_set_app_data(context, this);
    SSL_CTX_set_info_callback(context, [](const SSL *ssl, int where, int) {
        if ((where & SSL_CB_HANDSHAKE_START) != 0)
            ++static_cast<TestHttpsServer *>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)))
                  ->m_handshakes;
    });
    m_server->set_default_headers({}); // nothing beyond what each answer sets
    auto any = [this](const httplib::Request &, httplib::Response &response) {
        ++m_handled;
        response.set_content(R"({"user_id":1,"first_name":"x"})", "application/json");
    };
    m_server->Get(".*", any);
    m_server->Post(".*", any);
    const int port = m_server->bind_to_any_port("127.0.0.1");
    if (port <= 0)
        throw std::runtime_error("the HTTPS server could not bind");
    m_port = static_cast<std::uint16_t>(port);
    m_thread = std::thread([this] { m_server->listen_after_bind(); });
}

TestHttpsServer::~TestHttpsServer() {
    m_server->stop();
    m_thread.join();
}

QString TestHttpsServer::baseUrl() const {
    return QStringLiteral("https://127.0.0.1:%1/api").arg(m_port);
}
