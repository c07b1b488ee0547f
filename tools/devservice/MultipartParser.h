#pragma once
// Incremental parser of a one-file multipart/form-data upload body.
//
// The body is fed in pieces as it arrives and the file's bytes go straight to a sink, so an
// upload never sits in memory whole. Only a body made of exactly one part, the form field
// "audio" with a file name, closed by the final delimiter, is accepted.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

class MultipartParser {
public:
    enum class Error {
        none,
        missingOpeningDelimiter, // the body does not start with "--" and the boundary
        malformedHeaders,        // a part's header block is not a set of header lines, or too long
        notFormData,             // no Content-Disposition, or not "form-data"
        wrongFieldName,          // the part is not the field "audio"
        missingFileName,         // the field "audio" is not a file
        noPart,                  // the closing delimiter comes first
        extraPart,               // a second part follows the file
        malformedDelimiter,      // a delimiter followed by neither "--" nor a line break
        truncated,               // the body ends before the closing delimiter
        sinkFailed,              // the file's bytes could not be stored
    };

    // Receives the file's bytes in order; returns false when they could not be stored.
    using Sink = std::function<bool(std::string_view)>;

    MultipartParser(std::string boundary, Sink sink);

    // The boundary of a "multipart/form-data" Content-Type value; nothing for another media
    // type or a missing or invalid boundary.
    [[nodiscard]] static std::optional<std::string> boundaryOf(std::string_view contentType);

    // Takes the next piece of the body. Returns false once the body has been refused; after
    // that further pieces are ignored.
    bool feed(std::string_view piece);
    // Marks the end of the body. True when the whole body was valid.
    bool finish();

    [[nodiscard]] Error error() const noexcept { return m_error; }
    [[nodiscard]] const std::string &fileName() const noexcept { return m_fileName; }
    [[nodiscard]] std::uint64_t fileSize() const noexcept { return m_fileSize; }

    // A short Russian description of a refusal, for the error answer.
    [[nodiscard]] static std::string_view describe(Error error);

private:
    enum class State { opening, afterDelimiter, headers, body, epilogue, failed };

    bool fail(Error error);
    // Each step consumes what it can from m_pending; false means it needs more bytes.
    bool stepOpening();
    bool stepAfterDelimiter();
    bool stepHeaders();
    bool stepBody();
    bool acceptHeaders();
    bool emit(std::string_view bytes);

    std::string m_delimiter;     // "--" + boundary
    std::string m_bodyDelimiter; // "\r\n--" + boundary
    Sink m_sink;
    State m_state = State::opening;
    Error m_error = Error::none;
    std::string m_pending;
    std::size_t m_headerBytes = 0;
    std::string m_contentDisposition;
    bool m_seenContentDisposition = false;
    bool m_partDone = false;
    std::string m_fileName;
    std::uint64_t m_fileSize = 0;
};
