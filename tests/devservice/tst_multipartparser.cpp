// The upload body parser: a valid body gives exactly the file's bytes however it is cut into
// pieces; every kind of malformed body is refused, whole or fed byte by byte.

#include "MultipartParser.h"

#include <QRandomGenerator>
#include <QTest>

#include <optional>
#include <string>

Q_DECLARE_METATYPE(MultipartParser::Error)
Q_DECLARE_METATYPE(std::string)
Q_DECLARE_METATYPE(std::optional<std::string>)

namespace {

const std::string kBoundary = "5D2C7F0A-1B3E-4C8D-9A6F-0E1D2C3B4A59";

std::string head(const std::string &disposition, const std::string &boundary = kBoundary) {
    return "--" + boundary + "\r\nContent-Disposition: " + disposition +
           "\r\nContent-Type: audio/mp4\r\n\r\n";
}

// The body exactly as the program sends it.
std::string clientBody(const std::string &file) {
    return head("form-data; name=\"audio\"; filename=\"recording.m4a\"") + file + "\r\n--" +
           kBoundary + "--\r\n";
}

std::string randomBytes(int size) {
    std::string bytes(static_cast<std::size_t>(size), '\0');
    for (char &c : bytes)
        c = static_cast<char>(QRandomGenerator::global()->bounded(256));
    return bytes;
}

struct Outcome {
    bool accepted = false;
    MultipartParser::Error error = MultipartParser::Error::none;
    std::string file;
    std::string fileName;
};

// Feeds the body in pieces of `pieceSize` bytes (the whole body at once for 0).
Outcome parse(const std::string &body, std::size_t pieceSize = 0) {
    Outcome outcome;
    MultipartParser parser(kBoundary, [&outcome](std::string_view bytes) {
        outcome.file.append(bytes);
        return true;
    });
    const std::size_t step = pieceSize == 0 ? std::max<std::size_t>(body.size(), 1) : pieceSize;
    for (std::size_t at = 0; at < body.size(); at += step)
        parser.feed(std::string_view(body).substr(at, step));
    outcome.accepted = parser.finish();
    outcome.error = parser.error();
    outcome.fileName = parser.fileName();
    return outcome;
}

} // namespace

class TestMultipartParser : public QObject {
    Q_OBJECT

private slots:
    void validBodyGivesTheFileAtEverySplit_data() {
        QTest::addColumn<std::string>("file");
        QTest::newRow("empty file") << std::string();
        QTest::newRow("text") << std::string("hello, recording");
        QTest::newRow("line breaks and dashes")
            << std::string("\r\n\r\n--\r\n-\r\r\n--\n--" + kBoundary + "\r\n");
        // Everything of the delimiter but its last character, at the start, middle and end.
        const std::string almost = "\r\n--" + kBoundary.substr(0, kBoundary.size() - 1);
        QTest::newRow("delimiter prefixes") << almost + "x" + almost + "\r\n-" + almost;
        QTest::newRow("random bytes") << randomBytes(3000);
    }
    void validBodyGivesTheFileAtEverySplit() {
        QFETCH(std::string, file);
        const std::string body = clientBody(file);
        for (std::size_t split = 0; split <= body.size(); ++split) {
            Outcome outcome;
            MultipartParser parser(kBoundary, [&outcome](std::string_view bytes) {
                outcome.file.append(bytes);
                return true;
            });
            QVERIFY(parser.feed(std::string_view(body).substr(0, split)));
            QVERIFY(parser.feed(std::string_view(body).substr(split)));
            QVERIFY2(parser.finish(), qPrintable(QString::number(split)));
            QVERIFY2(outcome.file == file, qPrintable(QString::number(split)));
            QCOMPARE(parser.fileSize(), file.size());
        }
        const Outcome byteByByte = parse(body, 1);
        QVERIFY(byteByByte.accepted);
        QVERIFY(byteByByte.file == file);
        QCOMPARE(byteByByte.fileName, std::string("recording.m4a"));
    }

    void acceptedVariations_data() {
        QTest::addColumn<std::string>("body");
        QTest::addColumn<std::string>("fileName");
        QTest::newRow("no line break after the closing delimiter")
            << head("form-data; name=\"audio\"; filename=\"a.m4a\"") + "abc\r\n--" + kBoundary +
                   "--"
            << std::string("a.m4a");
        QTest::newRow("epilogue") << head("form-data; name=\"audio\"; filename=\"a.m4a\"") +
                                         "abc\r\n--" + kBoundary + "--\r\nthis is the epilogue\r\n"
                                  << std::string("a.m4a");
        QTest::newRow("blanks after the opening delimiter")
            << "--" + kBoundary + " \t\r\nContent-Disposition: form-data; name=audio; " +
                   "filename=a.m4a\r\n\r\nabc\r\n--" + kBoundary + "--\r\n"
            << std::string("a.m4a");
        QTest::newRow("header names in any case, escaped quote in the file name")
            << "--" + kBoundary +
                   "\r\ncontent-disposition: FORM-DATA; NAME=\"audio\"; "
                   "filename=\"say \\\"hi\\\".m4a\"\r\n\r\nabc\r\n--" +
                   kBoundary + "--\r\n"
            << std::string("say \"hi\".m4a");
    }
    void acceptedVariations() {
        QFETCH(std::string, body);
        QFETCH(std::string, fileName);
        for (const std::size_t piece : {std::size_t{0}, std::size_t{1}, std::size_t{7}}) {
            const Outcome outcome = parse(body, piece);
            QVERIFY(outcome.accepted);
            QCOMPARE(outcome.file, std::string("abc"));
            QCOMPARE(outcome.fileName, fileName);
        }
    }

    void refusedBodies_data() {
        using E = MultipartParser::Error;
        QTest::addColumn<std::string>("body");
        QTest::addColumn<MultipartParser::Error>("error");
        const std::string audio = "form-data; name=\"audio\"; filename=\"recording.m4a\"";
        const std::string close = "\r\n--" + kBoundary + "--\r\n";

        QTest::newRow("empty body") << std::string() << E::truncated;
        QTest::newRow("not multipart")
            << std::string("{\"audio\": 1}") << E::missingOpeningDelimiter;
        QTest::newRow("preamble") << "preamble\r\n" + clientBody("abc")
                                  << E::missingOpeningDelimiter;
        QTest::newRow("another boundary")
            << head(audio, "OTHER-BOUNDARY") + "abc\r\n--OTHER-BOUNDARY--\r\n"
            << E::missingOpeningDelimiter;
        QTest::newRow("wrong field name")
            << head("form-data; name=\"file\"; filename=\"recording.m4a\"") + "abc" + close
            << E::wrongFieldName;
        QTest::newRow("field name in another case")
            << head("form-data; name=\"Audio\"; filename=\"recording.m4a\"") + "abc" + close
            << E::wrongFieldName;
        QTest::newRow("no field name")
            << head("form-data; filename=\"recording.m4a\"") + "abc" + close << E::wrongFieldName;
        QTest::newRow("not a file")
            << head("form-data; name=\"audio\"") + "abc" + close << E::missingFileName;
        QTest::newRow("empty file name")
            << head("form-data; name=\"audio\"; filename=\"\"") + "abc" + close
            << E::missingFileName;
        QTest::newRow("attachment")
            << head("attachment; name=\"audio\"; filename=\"a.m4a\"") + "abc" + close
            << E::notFormData;
        QTest::newRow("no Content-Disposition")
            << "--" + kBoundary + "\r\nContent-Type: audio/mp4\r\n\r\nabc" + close
            << E::notFormData;
        QTest::newRow("two Content-Disposition headers")
            << "--" + kBoundary + "\r\nContent-Disposition: " + audio +
                   "\r\nContent-Disposition: " + audio + "\r\n\r\nabc" + close
            << E::malformedHeaders;
        QTest::newRow("header line without colon")
            << "--" + kBoundary + "\r\nContent-Disposition " + audio + "\r\n\r\nabc" + close
            << E::malformedHeaders;
        QTest::newRow("unterminated quoted name")
            << head("form-data; name=\"audio; filename=\"a.m4a") + "abc" + close
            << E::malformedHeaders;
        QTest::newRow("bare line feed inside a header")
            << "--" + kBoundary + "\r\nContent-Disposition: " + audio + "\nX: y\r\n\r\nabc" + close
            << E::malformedHeaders;
        QTest::newRow("headers that never end")
            << "--" + kBoundary + "\r\nContent-Disposition: " + audio +
                   "\r\nX-Pad: " + std::string(20000, 'a')
            << E::malformedHeaders;
        QTest::newRow("closing delimiter first") << "--" + kBoundary + "--\r\n" << E::noPart;
        QTest::newRow("second part after the file")
            << head(audio) + "abc\r\n--" + kBoundary +
                   "\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nhi" + close
            << E::extraPart;
        QTest::newRow("boundary run into other text")
            << head(audio) + "abc\r\n--" + kBoundary + "X rest" + close << E::malformedDelimiter;
        QTest::newRow("blanks before the closing dashes")
            << head(audio) + "abc\r\n--" + kBoundary + " --\r\n"
            << E::malformedDelimiter;
        QTest::newRow("cut inside the file") << head(audio) + "abc" << E::truncated;
        QTest::newRow("no closing dashes") << head(audio) + "abc\r\n--" + kBoundary << E::truncated;
        QTest::newRow("cut inside the headers")
            << "--" + kBoundary + "\r\nContent-Disposition: form-data" << E::truncated;
        QTest::newRow("cut after the opening delimiter") << "--" + kBoundary << E::truncated;
    }
    void refusedBodies() {
        QFETCH(std::string, body);
        QFETCH(MultipartParser::Error, error);
        for (const std::size_t piece : {std::size_t{0}, std::size_t{1}}) {
            const Outcome outcome = parse(body, piece);
            QVERIFY(!outcome.accepted);
            QCOMPARE(outcome.error, error);
        }
    }

    void refusedBodyIgnoresWhatFollows() {
        MultipartParser parser(kBoundary, [](std::string_view) { return true; });
        QVERIFY(!parser.feed("garbage"));
        QVERIFY(!parser.feed(clientBody("abc")));
        QVERIFY(!parser.finish());
        QCOMPARE(parser.error(), MultipartParser::Error::missingOpeningDelimiter);
    }

    void failingSinkRefusesTheBody() {
        MultipartParser parser(kBoundary, [](std::string_view) { return false; });
        parser.feed(clientBody(randomBytes(500)));
        QVERIFY(!parser.finish());
        QCOMPARE(parser.error(), MultipartParser::Error::sinkFailed);
    }

    void boundaryOf_data() {
        QTest::addColumn<std::string>("contentType");
        QTest::addColumn<std::optional<std::string>>("boundary");
        const std::optional<std::string> none;
        QTest::newRow("as the program sends it")
            << "multipart/form-data; boundary=" + kBoundary << std::optional(kBoundary);
        QTest::newRow("names in any case") << std::string("Multipart/Form-Data; BOUNDARY=abc")
                                           << std::optional<std::string>("abc");
        QTest::newRow("quoted with blanks and colons")
            << std::string("multipart/form-data; boundary=\"a b:c\"")
            << std::optional<std::string>("a b:c");
        QTest::newRow("other parameters")
            << std::string("multipart/form-data; charset=utf-8; boundary=xyz")
            << std::optional<std::string>("xyz");
        QTest::newRow("70 characters") << "multipart/form-data; boundary=" + std::string(70, 'b')
                                       << std::optional(std::string(70, 'b'));
        QTest::newRow("71 characters")
            << "multipart/form-data; boundary=" + std::string(71, 'b') << none;
        QTest::newRow("ends in a blank")
            << std::string("multipart/form-data; boundary=\"abc \"") << none;
        QTest::newRow("character outside the set")
            << std::string("multipart/form-data; boundary=\"a*c\"") << none;
        QTest::newRow("no boundary") << std::string("multipart/form-data") << none;
        QTest::newRow("empty boundary") << std::string("multipart/form-data; boundary=") << none;
        QTest::newRow("two boundaries")
            << std::string("multipart/form-data; boundary=a; boundary=b") << none;
        QTest::newRow("another multipart type")
            << std::string("multipart/mixed; boundary=abc") << none;
        QTest::newRow("json") << std::string("application/json") << none;
        QTest::newRow("empty") << std::string() << none;
    }
    void boundaryOf() {
        QFETCH(std::string, contentType);
        QFETCH(std::optional<std::string>, boundary);
        QCOMPARE(MultipartParser::boundaryOf(contentType), boundary);
    }
};

QTEST_GUILESS_MAIN(TestMultipartParser)
#include "tst_multipartparser.moc"
