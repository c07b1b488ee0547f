// Uploads a 200 MiB file to the loopback test service and prints the peak resident-memory growth,
// beside the growth of holding the same body in memory (the anchor), measured in the same run.
// Target: the upload grows the peak by less than 16 MiB.

#include "AuthBridge.h"
#include "TaskOutcome.h"
#include "TestHttpServer.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

namespace {

constexpr qint64 kFileSize = qint64(200) << 20;
constexpr qint64 kTargetGrowth = qint64(16) << 20;

qint64 statusField(const char *field) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').first().toLongLong() * 1024;
    }
    return -1;
}

// Starts a fresh peak at the current resident size; returns that size.
qint64 resetPeak() {
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (!clear.open(QIODevice::WriteOnly) || clear.write("5") != 1) {
        std::fprintf(stderr, "cannot reset the peak resident size\n");
        std::exit(2);
    }
    clear.close();
    return statusField("VmHWM");
}

double mib(qint64 bytes) {
    return double(bytes) / double(1 << 20);
}

bool writeFile(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (qint64 written = 0; written < kFileSize; written += chunk.size()) {
        for (qsizetype i = 0; i < chunk.size(); ++i)
            chunk[i] = static_cast<char>((written + i) * 2654435761u >> 24);
        if (file.write(chunk) != chunk.size())
            return false;
    }
    return true;
}

// The digest the server must see: prefix, file, suffix, computed while streaming the file.
QByteArray expectedDigest(const QString &path, const QByteArray &boundary) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData("--" + boundary + "\r\n" +
                 "Content-Disposition: form-data; name=\"audio\"; filename=\"recording.m4a\"\r\n" +
                 "Content-Type: audio/mp4\r\n\r\n");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    hash.addData(&file);
    hash.addData("\r\n--" + boundary + "--\r\n");
    return hash.result();
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("recording.m4a"));
    if (!dir.isValid() || !writeFile(path)) {
        std::fprintf(stderr, "cannot write the test file\n");
        return 2;
    }

    TestHttpServer server(TestHttpServer::BodyMode::sizeAndHashOnly);
    server.setHandler([](const RecordedRequest &) { return TestAnswer::json(200, "{}"); });

    // Warm up the network stack so that its one-time setup is not counted.
    {
        QFile small(dir.filePath(QStringLiteral("small.m4a")));
        if (!small.open(QIODevice::WriteOnly) || small.write(QByteArray(4096, 'w')) != 4096)
            return 2;
    }
    if (!runTask(AuthBridge::uploadAudio(server.baseUrl(), QStringLiteral("t"), 1,
                                         dir.filePath(QStringLiteral("small.m4a"))))
             .succeeded()) {
        std::fprintf(stderr, "warm-up upload failed\n");
        return 2;
    }

    const qint64 uploadBase = resetPeak();
    const auto upload =
        runTask(AuthBridge::uploadAudio(server.baseUrl(), QStringLiteral("t"), 2, path));
    const qint64 uploadGrowth = statusField("VmHWM") - uploadBase;
    if (!upload.succeeded()) {
        std::fprintf(stderr, "upload failed\n");
        return 2;
    }
    const RecordedRequest received = server.requests().last();
    const QByteArray boundary =
        received.header("Content-Type").value_or(QByteArray()).split('=').value(1);
    const bool intact = received.bodySize == 183 + kFileSize &&
                        received.bodySha256 == expectedDigest(path, boundary);

    // Anchor: the same body built in memory, as a non-streaming upload would have to.
    const qint64 anchorBase = resetPeak();
    qint64 anchorGrowth = 0;
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return 2;
        const QByteArray prefix = "--" + boundary + "\r\n";
        QByteArray body;
        body.reserve(183 + kFileSize);
        body += prefix;
        body.resize(prefix.size() + kFileSize);
        if (file.read(body.data() + prefix.size(), kFileSize) != kFileSize)
            return 2;
        body += "\r\n--" + boundary + "--\r\n";
        anchorGrowth = statusField("VmHWM") - anchorBase;
        if (body.size() < kFileSize)
            return 2;
    }

    std::printf("file size:                          %8.1f MiB\n", mib(kFileSize));
    std::printf("streamed upload, peak RSS growth:   %8.1f MiB (target < %.0f MiB)\n",
                mib(uploadGrowth), mib(kTargetGrowth));
    std::printf("anchor, body held in memory:        %8.1f MiB\n", mib(anchorGrowth));
    std::printf("body received intact (size, SHA-256): %s\n", intact ? "yes" : "NO");
    return intact && uploadGrowth < kTargetGrowth ? 0 : 1;
}
