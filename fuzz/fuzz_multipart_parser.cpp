// The reference service's upload parser. Any body, fed whole or cut at any points, gets the
// same verdict, error, file name and file bytes, and an accepted body really holds those bytes
// between its opening delimiter and its closing one. A body laid out as the program sends it,
// with any file content that does not itself hold the delimiter, is accepted with exactly
// that content. Any Content-Type either gives no boundary or a valid one.

#include "FuzzCheck.h"
#include "MultipartParser.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Outcome {
    bool accepted = false;
    MultipartParser::Error error = MultipartParser::Error::none;
    std::string file;
    std::string fileName;
    std::uint64_t fileSize = 0;

    bool operator==(const Outcome &) const = default;
};

// Feeds `body` cut at `cuts` (sorted offsets); the sink refuses once it holds over `sinkLimit`.
Outcome parse(const std::string &boundary, std::string_view body,
              const std::vector<std::size_t> &cuts, std::size_t sinkLimit) {
    Outcome outcome;
    MultipartParser parser(boundary, [&](std::string_view bytes) {
        FUZZ_CHECK(!bytes.empty(), "the sink is handed nothing");
        outcome.file.append(bytes);
        return outcome.file.size() <= sinkLimit;
    });
    std::size_t from = 0;
    for (const std::size_t cut : cuts) {
        parser.feed(body.substr(from, cut - from));
        from = cut;
    }
    parser.feed(body.substr(from));
    outcome.accepted = parser.finish();
    FUZZ_CHECK(parser.finish() == outcome.accepted, "finish changes its mind");
    outcome.error = parser.error();
    outcome.fileName = parser.fileName();
    outcome.fileSize = parser.fileSize();
    FUZZ_CHECK(outcome.accepted == (outcome.error == MultipartParser::Error::none),
               "verdict and error disagree");
    FUZZ_CHECK(outcome.fileSize == outcome.file.size(), "file size is not what the sink got");
    FUZZ_CHECK(!MultipartParser::describe(outcome.error).empty(), "an error without a text");
    return outcome;
}

std::vector<std::size_t> cutsFor(FuzzedDataProvider &input, std::size_t length) {
    std::vector<std::size_t> cuts;
    const int count = input.ConsumeIntegralInRange(0, 12);
    for (int i = 0; i < count && length > 0; ++i)
        cuts.push_back(input.ConsumeIntegralInRange<std::size_t>(0, length));
    if (input.ConsumeBool()) // byte by byte as well
        for (std::size_t at = 1; at < length; ++at)
            cuts.push_back(at);
    std::sort(cuts.begin(), cuts.end());
    return cuts;
}

void checkAccepted(const std::string &boundary, std::string_view body, const Outcome &outcome) {
    const std::string opening = "--" + boundary;
    const std::string closing = "\r\n--" + boundary;
    FUZZ_CHECK(body.substr(0, opening.size()) == opening, "accepted without the opening delimiter");
    FUZZ_CHECK(!outcome.fileName.empty(), "accepted without a file name");
    const std::size_t headersEnd = body.find("\r\n\r\n", opening.size());
    FUZZ_CHECK(headersEnd != std::string_view::npos, "accepted without a header block");
    const std::size_t fileStart = headersEnd + 4;
    FUZZ_CHECK(body.find(closing, fileStart) == fileStart + outcome.file.size(),
               "the file does not end at the first closing delimiter");
    FUZZ_CHECK(body.substr(fileStart, outcome.file.size()) == outcome.file,
               "the file is not the bytes after the headers");
    FUZZ_CHECK(body.substr(fileStart + outcome.file.size() + closing.size(), 2) == "--",
               "accepted a body that is not closed");
}

// Any bytes as the body, any boundary.
void anyBody(FuzzedDataProvider &input) {
    if (const auto boundary = MultipartParser::boundaryOf(input.ConsumeRandomLengthString(200))) {
        FUZZ_CHECK(!boundary->empty() && boundary->size() <= 70 && boundary->back() != ' ',
                   "boundaryOf gave an invalid boundary");
    }
    const std::string boundary = input.ConsumeRandomLengthString(72);
    const auto sinkLimit = input.ConsumeIntegralInRange<std::size_t>(0, 1 << 20);
    const std::string cutSeed = input.ConsumeBytesAsString(32);
    const std::string body = input.ConsumeRemainingBytesAsString();

    FuzzedDataProvider cutInput(reinterpret_cast<const std::uint8_t *>(cutSeed.data()),
                                cutSeed.size());
    const Outcome whole = parse(boundary, body, {}, sinkLimit);
    const Outcome pieces = parse(boundary, body, cutsFor(cutInput, body.size()), sinkLimit);
    if (whole.error == MultipartParser::Error::sinkFailed &&
        pieces.error == MultipartParser::Error::sinkFailed) {
        // The sink refuses at the first piece that crosses its limit, and pieces differ.
        const std::size_t common = std::min(whole.file.size(), pieces.file.size());
        FUZZ_CHECK(whole.file.compare(0, common, pieces.file, 0, common) == 0,
                   "the file's bytes depend on how the body is cut");
    } else {
        FUZZ_CHECK(whole == pieces, "the verdict depends on how the body is cut");
    }
    if (whole.accepted)
        checkAccepted(boundary, body, whole);
}

// The program's own layout around any file content.
void clientBody(FuzzedDataProvider &input) {
    std::string boundary;
    const std::string_view allowed = "0123456789ABCDEFabcdef-'()+_,./:=?";
    const int length = input.ConsumeIntegralInRange(1, 70);
    for (int i = 0; i < length; ++i)
        boundary += allowed[input.ConsumeIntegralInRange<std::size_t>(0, allowed.size() - 1)];
    // The program's boundary is a bare token; others need quotes.
    const bool token = boundary.find_first_of("(),/:=?") == std::string::npos;
    const std::string contentType =
        "multipart/form-data; boundary=" + (token ? boundary : '"' + boundary + '"');
    FUZZ_CHECK(MultipartParser::boundaryOf(contentType) == boundary, "boundaryOf lost it");

    const std::size_t cutBytes = 32;
    const std::string cutSeed = input.ConsumeBytesAsString(cutBytes);
    const std::string file = input.ConsumeRemainingBytesAsString();
    const std::string body =
        "--" + boundary + "\r\n" +
        "Content-Disposition: form-data; name=\"audio\"; filename=\"recording.m4a\"\r\n" +
        "Content-Type: audio/mp4\r\n\r\n" + file + "\r\n--" + boundary + "--\r\n";
    FuzzedDataProvider cutInput(reinterpret_cast<const std::uint8_t *>(cutSeed.data()),
                                cutSeed.size());
    const Outcome outcome = parse(boundary, body, cutsFor(cutInput, body.size()), SIZE_MAX);
    if (file.find("\r\n--" + boundary) != std::string::npos)
        return; // the file ends early there; the other mode covers what follows
    FUZZ_CHECK(outcome.accepted, "the program's own body was refused");
    FUZZ_CHECK(outcome.file == file, "the file's bytes changed");
    FUZZ_CHECK(outcome.fileName == "recording.m4a", "wrong file name");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    if (input.ConsumeBool())
        clientBody(input);
    else
        anyBody(input);
    return 0;
}
