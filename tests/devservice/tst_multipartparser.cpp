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
    bool fed = true; // every piece was taken
    bool accepted = false;
    MultipartParser::Error error = MultipartParser::Error::none;
    std::string file;
    std::size_t fileSize = 0;
    std::string fileName;
};

// Feeds the first `firstPiece` bytes, then the rest in pieces of `pieceSize` bytes (all at once
// for 0).
Outcome parse(std::string_view body, std::size_t pieceSize = 0, std::size_t firstPiece = 0) {
    Outcome outcome;
    MultipartParser parser(kBoundary, [&outcome](std::string_view bytes) {
        outcome.file.append(bytes);
        return true;
    });
    outcome.fed = parser.feed(body.substr(0, firstPiece));
    const std::size_t step = pieceSize == 0 ? std::max<std::size_t>(body.size(), 1) : pieceSize;
    for (std::size_t at = firstPiece; at < body.size(); at += step)
        outcome.fed = parser.feed(body.substr(at, step)) && outcome.fed;
    outcome.accepted = parser.finish();
    outcome.error = parser.error();
    outcome.fileSize = parser.fileSize();
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
            const Outcome outcome = parse(body, 0, split);
            QVERIFY2(outcome.fed && outcome.accepted, qPrintable(QString::number(split)));
            QVERIFY2(outcome.file == file, qPrintable(QString::number(split)));
            QCOMPARE(outcome.fileSize, file.size());
        }
        const Outcome byteByByte = parse(body, 1);
        QVERIFY(byteByByte.accepted);
        QVERIFY(byteByByte.file == file);
        QCOMPARE(byteByByte.fileName, std::string("recording.m4a"));
    }

    void acceptedVariations_data() {
        QTest::addColumn<std::string>("body");
        QTest::addColumn<std::string>("fileName");
        // The part "a.m4a" holding "abc", up to where its closing delimiter goes.
        const std::string partAbc = head("form-data; name=\"audio\"; filename=\"a.m4a\"") + "abc";
        QTest::newRow("no line break after the closing delimiter")
            << partAbc + "\r\n--" + kBoundary + "--" << std::string("a.m4a");
        QTest::newRow("epilogue") << partAbc + "\r\n--" + kBoundary +
                                         "--\r\nthis is the epilogue\r\n"
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
        const auto row = [](const char *tag, const std::string &body, E error) {
            QTest::newRow(tag) << body << error;
        };
        row("empty body", "", E::truncated);
        row("not multipart", "{\"audio\": 1}", E::missingOpeningDelimiter);
        row("preamble", "preamble\r\n" + clientBody("abc"), E::missingOpeningDelimiter);
        row("another boundary", head(audio, "OTHER-BOUNDARY") + "abc\r\n--OTHER-BOUNDARY--\r\n",
            E::missingOpeningDelimiter);
        row("wrong field name",
            head("form-data; name=\"file\"; filename=\"recording.m4a\"") + "abc" + close,
            E::wrongFieldName);
        row("field name in another case",
            head("form-data; name=\"Audio\"; filename=\"recording.m4a\"") + "abc" + close,
            E::wrongFieldName);
        row("no field name", head("form-data; filename=\"recording.m4a\"") + "abc" + close,
            E::wrongFieldName);
        row("not a file", head("form-data; name=\"audio\"") + "abc" + close, E::missingFileName);
        row("empty file name", head("form-data; name=\"audio\"; filename=\"\"") + "abc" + close,
            E::missingFileName);
        row("attachment", head("attachment; name=\"audio\"; filename=\"a.m4a\"") + "abc" + close,
            E::notFormData);
        row("no Content-Disposition",
            "--" + kBoundary + "\r\nContent-Type: audio/mp4\r\n\r\nabc" + close, E::notFormData);
        row("two Content-Disposition headers",
            "--" + kBoundary + "\r\nContent-Disposition: " + audio +
                "\r\nContent-Disposition: " + audio + "\r\n\r\nabc" + close,
            E::malformedHeaders);
        row("header line without colon",
            "--" + kBoundary + "\r\nContent-Disposition " + audio + "\r\n\r\nabc" + close,
            E::malformedHeaders);
        row("unterminated quoted name",
            head("form-data; name=\"audio; filename=\"a.m4a") + "abc" + close, E::malformedHeaders);
        row("bare line feed inside a header",
            "--" + kBoundary + "\r\nContent-Disposition: " + audio + "\nX: y\r\n\r\nabc" + close,
            E::malformedHeaders);
        row("headers that never end",
            "--" + kBoundary + "\r\nContent-Disposition: " + audio +
                "\r\nX-Pad: " + std::string(20000, 'a'),
            E::malformedHeaders);
        row("closing delimiter first", "--" + kBoundary + "--\r\n", E::noPart);
        row("second part after the file",
            head(audio) + "abc\r\n--" + kBoundary +
                "\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nhi" + close,
            E::extraPart);
        row("boundary run into other text",
            head(audio) + "abc\r\n--" + kBoundary + "X rest" + close, E::malformedDelimiter);
        row("blanks before the closing dashes", head(audio) + "abc\r\n--" + kBoundary + " --\r\n",
            E::malformedDelimiter);
        row("cut inside the file", head(audio) + "abc", E::truncated);
        row("no closing dashes", head(audio) + "abc\r\n--" + kBoundary, E::truncated);
        row("cut inside the headers", "--" + kBoundary + "\r\nContent-Disposition: form-data",
            E::truncated);
        row("cut after the opening delimiter", "--" + kBoundary, E::truncated);
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
        const auto row = [](const char *tag, const std::string &contentType,
                            std::optional<std::string> boundary = std::nullopt) {
            QTest::newRow(tag) << contentType << boundary;
        };
        row("as the program sends it", "multipart/form-data; boundary=" + kBoundary, kBoundary);
        row("names in any case", "Multipart/Form-Data; BOUNDARY=abc", "abc");
        row("quoted with blanks and colons", "multipart/form-data; boundary=\"a b:c\"", "a b:c");
        row("other parameters", "multipart/form-data; charset=utf-8; boundary=xyz", "xyz");
        row("70 characters", "multipart/form-data; boundary=" + std::string(70, 'b'),
            std::string(70, 'b'));
        // None the parser may use:
        row("71 characters", "multipart/form-data; boundary=" + std::string(71, 'b'));
        row("ends in a blank", "multipart/form-data; boundary=\"abc \"");
        row("character outside the set", "multipart/form-data; boundary=\"a*c\"");
        row("no boundary", "multipart/form-data");
        row("empty boundary", "multipart/form-data; boundary=");
        row("two boundaries", "multipart/form-data; boundary=a; boundary=b");
        row("another multipart type", "multipart/mixed; boundary=abc");
        row("json", "application/json");
        row("empty", "");
    }
    void boundaryOf() {
        QFETCH(std::string, contentType);
        QFETCH(std::optional<std::string>, boundary);
        QCOMPARE(MultipartParser::boundaryOf(contentType), boundary);
    }
};

QTEST_GUILESS_MAIN(TestMultipartParser)
#include "tst_multipartparser.moc"
