#include "MultipartBodyDevice.h"

#include "FileReadError.h"

#include <QFileInfo>

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

FileReadError::Reason reasonFor(const QFile &file) {
    const QFileInfo info(file.fileName());
    if (!info.exists())
        return FileReadError::Reason::notFound;
    if (file.error() == QFileDevice::PermissionsError || !info.isReadable())
        return FileReadError::Reason::noPermission;
    return FileReadError::Reason::other;
}

} // namespace

MultipartBodyDevice::MultipartBodyDevice(const QString &filePath, QByteArray boundary,
                                         QObject *parent)
    : QIODevice(parent)
    , m_prefix(prefix(boundary))
    , m_suffix(suffix(boundary))
    , m_file(filePath) {
    if (!m_file.open(QIODevice::ReadOnly))
        throw FileReadError(reasonFor(m_file));
    m_fileSize = m_file.size();
    // Unbuffered, so that m_cursor is pos() except while a peek has read ahead.
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

QByteArray MultipartBodyDevice::prefix(const QByteArray &boundary) {
    return "--" + boundary + "\r\n" +
           "Content-Disposition: form-data; name=\"audio\"; filename=\"recording.m4a\"\r\n" +
           "Content-Type: audio/mp4\r\n\r\n";
}

QByteArray MultipartBodyDevice::suffix(const QByteArray &boundary) {
    return "\r\n--" + boundary + "--\r\n";
}

qint64 MultipartBodyDevice::size() const {
    return m_prefix.size() + m_fileSize + m_suffix.size();
}

bool MultipartBodyDevice::seek(qint64 pos) {
    if (pos < 0 || pos > size() || !QIODevice::seek(pos))
        return false;
    m_cursor = pos;
    return true;
}

bool MultipartBodyDevice::atEnd() const {
    // What the reader has taken, not m_cursor: a peek reads ahead without moving pos().
    return pos() >= size();
}

qint64 MultipartBodyDevice::readData(char *data, qint64 maxSize) {
    qint64 written = 0;
    while (written < maxSize && m_cursor < size()) {
        const qint64 room = maxSize - written;
        if (m_cursor < m_prefix.size()) {
            const qint64 take = std::min(room, m_prefix.size() - m_cursor);
            std::memcpy(data + written, m_prefix.constData() + m_cursor, static_cast<size_t>(take));
            written += take;
            m_cursor += take;
            continue;
        }
        const qint64 inFile = m_cursor - m_prefix.size();
        if (inFile < m_fileSize) {
            const qint64 want = std::min(room, m_fileSize - inFile);
            const qint64 got = (m_file.pos() == inFile || m_file.seek(inFile))
                                   ? m_file.read(data + written, want)
                                   : -1;
            // A file that shrank under us cannot give the promised length. Nothing of this
            // call counts as read, so the cursor goes back to where pos() still is.
            if (got <= 0) {
                m_cursor -= written;
                m_fileFailed = true;
                emit fileReadFailed();
                return -1;
            }
            written += got;
            m_cursor += got;
            continue;
        }
        const qint64 inSuffix = inFile - m_fileSize;
        const qint64 take = std::min(room, m_suffix.size() - inSuffix);
        std::memcpy(data + written, m_suffix.constData() + inSuffix, static_cast<size_t>(take));
        written += take;
        m_cursor += take;
    }
    return written;
}

qint64 MultipartBodyDevice::writeData(const char *, qint64) {
    return -1;
}
