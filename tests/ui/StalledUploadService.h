#pragma once
// A loopback service that signs the user in and creates meetings, then takes the first part of
// an upload and stops reading it, as a stalled network would: the upload stays partway until
// the test lets it go on.

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

class StalledUploadService : public QObject {
    Q_OBJECT

public:
    explicit StalledUploadService(QObject *parent = nullptr);
    ~StalledUploadService() override;

    // "http://127.0.0.1:<port>/api"
    [[nodiscard]] QString baseUrl() const;
    // Whether an upload has begun and is being held.
    [[nodiscard]] bool holdingUpload() const { return m_holding; }
    // Reads the held upload to its end and accepts it.
    void release();

private:
    struct Connection {
        QByteArray pending;
        // Bytes of a held upload's body still to come.
        qint64 uploadLeft = -1;
    };

    void accept();
    void serve(QTcpSocket *socket);

    QTcpServer m_server;
    // Shared, so that a connection a handler is serving outlives its socket's disconnection.
    QHash<QTcpSocket *, std::shared_ptr<Connection>> m_connections;
    bool m_holding = false;
    bool m_released = false;
};
