// The streamed upload body against the multipart layout written out here byte by byte: for
// any file size, any boundary and any sequence of reads, peeks, skips and seeks, every byte the
// device gives is the byte at that offset of the layout, and its size and position agree.
// The file may also grow after opening (the body keeps the size it had) or shrink (a read then
// either gives the right bytes or fails and says so; it never gives other bytes).

#include "FileReadError.h"
#include "FuzzCheck.h"
#include "MultipartBodyDevice.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include <unistd.h>

namespace {

std::string g_dir;
std::string g_path;

void removeScratch() {
    std::remove(g_path.c_str());
    rmdir(g_dir.c_str());
}

// The body as the upload sends it, from the table of its nine pieces.
std::string layout(const std::string &boundary, const std::string &file) {
    const std::string body =
        "--" + boundary +
        "\r\nContent-Disposition: form-data; name=\"audio\"; filename=\"recording.m4a\"\r\n"
        "Content-Type: audio/mp4\r\n\r\n" +
        file + "\r\n--" + boundary + "--\r\n";
    // 2 + 2 + 72 + 27 + 4 + 4 bytes around two boundaries and the file: 183 + N for a UUID.
    FUZZ_CHECK(body.size() == 111 + 2 * boundary.size() + file.size(), "layout miscounted");
    return body;
}

std::string makeBoundary(FuzzedDataProvider &input) {
    if (!input.ConsumeBool())
        return input.ConsumeRandomLengthString(80);
    // What the upload uses: a UUID in upper-case hexadecimal, 8-4-4-4-12.
    std::string uuid;
    for (int i = 0; i < 32; ++i) {
        if (i == 8 || i == 12 || i == 16 || i == 20)
            uuid += '-';
        uuid += "0123456789ABCDEF"[input.ConsumeIntegralInRange(0, 15)];
    }
    return uuid;
}

std::size_t makeFileSize(FuzzedDataProvider &input) {
    switch (input.ConsumeIntegralInRange(0, 3)) {
    case 0:
        return input.ConsumeIntegralInRange<std::size_t>(0, 16);
    case 1:
        return input.ConsumeIntegralInRange<std::size_t>(0, 600);
    case 2: // around the file's own read buffer
        return input.ConsumeIntegralInRange<std::size_t>(16'370, 16'400);
    default:
        return input.ConsumeIntegralInRange<std::size_t>(0, 70'000);
    }
}

std::string randomBytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char &c : bytes)
        c = static_cast<char>(random() & 0xff);
    return bytes;
}

void writeFile(const std::string &bytes, std::ios::openmode mode) {
    std::ofstream out(g_path, std::ios::binary | mode);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    FUZZ_CHECK(out.good(), "cannot write the scratch file");
}

QByteArray slice(const std::string &body, qint64 at, qint64 length) {
    return QByteArray::fromStdString(
        body.substr(static_cast<std::size_t>(at), static_cast<std::size_t>(length)));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const char *tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/tolvex-fuzz-body.XXXXXX";
    FUZZ_CHECK(mkdtemp(templ.data()) != nullptr, "cannot make a scratch folder");
    g_dir = templ;
    g_path = g_dir + "/recording.m4a";
    std::atexit(removeScratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string boundary = makeBoundary(input);
    const std::size_t fileSize = makeFileSize(input);
    const std::string file = randomBytes(fileSize, input.ConsumeIntegral<std::uint32_t>());
    const std::string body = layout(boundary, file);
    const auto total = static_cast<qint64>(body.size());

    if (input.ConsumeIntegralInRange(0, 31) == 0) {
        std::remove(g_path.c_str());
        try {
            MultipartBodyDevice device(QString::fromStdString(g_path),
                                       QByteArray::fromStdString(boundary));
            FUZZ_CHECK(false, "a missing file opened");
        } catch (const FileReadError &error) {
            FUZZ_CHECK(error.reason() == FileReadError::Reason::notFound, "wrong reason");
        }
        return 0;
    }
    writeFile(file, std::ios::trunc);

    MultipartBodyDevice device(QString::fromStdString(g_path), QByteArray::fromStdString(boundary));
    FUZZ_CHECK(device.size() == total, "size differs from the layout");
    FUZZ_CHECK(device.pos() == 0 && !device.isSequential(), "does not start at 0, seekable");

    qint64 pos = 0;
    bool shrunk = false;
    std::size_t onDisk = file.size();
    const auto fileStart = static_cast<qint64>(body.size() - file.size() - 8 - boundary.size());
    // Whether the file still holds every byte of [at, at + length) that comes from it.
    const auto onDiskStill = [&](qint64 at, qint64 length) {
        const qint64 from = std::max<qint64>(at - fileStart, 0);
        const qint64 to = std::min<qint64>(at + length - fileStart, file.size());
        return to <= from || to <= static_cast<qint64>(onDisk);
    };
    // A read may fail only when the file lost bytes it needs; what it gives is the layout's.
    const auto checkRead = [&](const QByteArray &got, qint64 at, qint64 wanted, const char *what) {
        const qint64 expected = std::min(wanted, total - at);
        if (got.isEmpty() && expected > 0 && !onDiskStill(at, expected)) {
            FUZZ_CHECK(device.fileFailed(), what);
            return false;
        }
        FUZZ_CHECK(got == slice(body, at, expected), what);
        return true;
    };

    for (int step = 0; step < 200 && input.remaining_bytes() > 0; ++step) {
        switch (input.ConsumeIntegralInRange(0, 9)) {
        case 0: { // seek anywhere, also outside
            const auto to = input.ConsumeIntegralInRange<qint64>(-2, total + 2);
            const bool ok = device.seek(to);
            FUZZ_CHECK(ok == (to >= 0 && to <= total), "seek accepted or refused wrongly");
            if (ok)
                pos = to;
            break;
        }
        case 1: { // read
            const auto n =
                input.ConsumeIntegralInRange<qint64>(0, std::min<qint64>(total + 8, 40'000));
            const QByteArray got = device.read(n);
            if (checkRead(got, pos, n, "read gave other bytes"))
                pos += got.size();
            break;
        }
        case 2: { // small reads, as a line reader or a byte-wise copy does
            char c = 0;
            const bool ok = device.getChar(&c);
            if (ok) {
                FUZZ_CHECK(pos < total && c == body[static_cast<std::size_t>(pos)], "getChar");
                ++pos;
            } else {
                FUZZ_CHECK(pos == total || (!onDiskStill(pos, 1) && device.fileFailed()),
                           "getChar failed");
            }
            break;
        }
        case 3: { // peek leaves the position
            const auto n =
                input.ConsumeIntegralInRange<qint64>(0, std::min<qint64>(total + 8, 40'000));
            checkRead(device.peek(n), pos, n, "peek gave other bytes");
            break;
        }
        case 4: { // skip
            const auto n = input.ConsumeIntegralInRange<qint64>(0, total + 8);
            const qint64 skipped = device.skip(n);
            FUZZ_CHECK(skipped == std::min(n, total - pos), "skip moved by another amount");
            pos += skipped;
            break;
        }
        case 5: { // the rest
            const QByteArray got = device.readAll();
            if (checkRead(got, pos, total - pos, "readAll gave other bytes"))
                pos += got.size();
            break;
        }
        case 6: // a resend starts over
            FUZZ_CHECK(device.reset(), "reset refused");
            pos = 0;
            break;
        case 7: // the file grows after opening: the body keeps its length and bytes
            if (!shrunk) {
                const auto more = input.ConsumeIntegralInRange<std::size_t>(1, 5000);
                writeFile(randomBytes(more, 7), std::ios::app);
                onDisk += more;
            }
            break;
        case 8: { // the file shrinks after opening (never grows back with other bytes)
            const auto keep = input.ConsumeIntegralInRange<std::size_t>(0, onDisk);
            FUZZ_CHECK(truncate(g_path.c_str(), static_cast<off_t>(keep)) == 0, "truncate");
            onDisk = keep;
            shrunk = true;
            break;
        }
        default: // nothing moves on its own
            break;
        }
        FUZZ_CHECK(device.pos() == pos, "position differs from the reads and seeks");
        FUZZ_CHECK(device.size() == total, "size changed");
        FUZZ_CHECK(device.atEnd() == (pos == total), "atEnd wrong");
        FUZZ_CHECK(device.bytesAvailable() == total - pos, "bytesAvailable wrong");
    }
    return 0;
}
