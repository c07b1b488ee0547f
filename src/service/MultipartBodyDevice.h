#pragma once
// The upload body read straight from the recording: prefix, file bytes, suffix, with a known size.
//
// The bytes are exactly those of a one-part multipart/form-data body, so the whole recording
// never has to sit in memory. The device is seekable so that the network stack can send the
// body again when it must retry on a fresh connection.

#include <QByteArray>
#include <QFile>
#include <QIODevice>
#include <QString>

class MultipartBodyDevice : public QIODevice {
    Q_OBJECT

public:
    // Opens the file for reading; throws FileReadError if it is missing or unreadable.
    MultipartBodyDevice(const QString &filePath, QByteArray boundary, QObject *parent = nullptr);

    // The bytes before and after the file for a given boundary.
    [[nodiscard]] static QByteArray prefix(const QByteArray &boundary);
    [[nodiscard]] static QByteArray suffix(const QByteArray &boundary);

    [[nodiscard]] bool isSequential() const override { return false; }
    [[nodiscard]] qint64 size() const override;
    bool seek(qint64 pos) override;
    [[nodiscard]] bool atEnd() const override;
    // True once the file could not give the bytes its size promised (it shrank or vanished).
    [[nodiscard]] bool fileFailed() const noexcept { return m_fileFailed; }

signals:
    void fileReadFailed();

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 maxSize) override;

private:
    QByteArray m_prefix;
    QByteArray m_suffix;
    QFile m_file;
    qint64 m_fileSize = 0;
    qint64 m_cursor = 0;
    bool m_fileFailed = false;
};
