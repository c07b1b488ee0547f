#include "MultipartParser.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace {

// Generous for one part's headers; a body that goes on without a blank line is not a form.
constexpr std::size_t kMaxHeaderBytes = 16 * 1024;
// Blanks allowed between a delimiter and its line break.
constexpr std::size_t kMaxPadding = 256;
constexpr std::size_t kMaxBoundaryLength = 70;

bool isTokenChar(char c) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
        return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isBoundaryChar(char c) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
        return true;
    return std::string_view("'()+_,-./:=? ").find(c) != std::string_view::npos;
}

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return out;
}

// A header value of the form `type *( ";" name "=" ( token / quoted-string ) )`, as used by
// Content-Type and Content-Disposition. Type and parameter names are lower-cased.
struct HeaderValue {
    std::string type;
    std::vector<std::pair<std::string, std::string>> params;

    [[nodiscard]] const std::string *param(std::string_view name) const {
        for (const auto &[key, value] : params) {
            if (key == name)
                return &value;
        }
        return nullptr;
    }
};

std::optional<HeaderValue> parseHeaderValue(std::string_view text) {
    std::size_t i = 0;
    const auto skipBlanks = [&] {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
            ++i;
    };
    const auto readToken = [&](bool allowSlash) {
        const std::size_t start = i;
        while (i < text.size() && (isTokenChar(text[i]) || (allowSlash && text[i] == '/')))
            ++i;
        return text.substr(start, i - start);
    };

    HeaderValue value;
    skipBlanks();
    const std::string_view type = readToken(true);
    if (type.empty())
        return std::nullopt;
    value.type = lower(type);
    skipBlanks();
    while (i < text.size()) {
        if (text[i] != ';')
            return std::nullopt;
        ++i;
        skipBlanks();
        if (i == text.size())
            break;
        const std::string_view name = readToken(false);
        if (name.empty())
            return std::nullopt;
        skipBlanks();
        if (i == text.size() || text[i] != '=')
            return std::nullopt;
        ++i;
        skipBlanks();
        std::string paramValue;
        if (i < text.size() && text[i] == '"') {
            ++i;
            bool closed = false;
            while (i < text.size()) {
                char c = text[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\') {
                    if (i == text.size())
                        return std::nullopt;
                    c = text[i++];
                }
                paramValue += c;
            }
            if (!closed)
                return std::nullopt;
        } else {
            const std::string_view token = readToken(false);
            if (token.empty())
                return std::nullopt;
            paramValue = token;
        }
        std::string key = lower(name);
        if (value.param(key))
            return std::nullopt;
        value.params.emplace_back(std::move(key), std::move(paramValue));
        skipBlanks();
    }
    return value;
}

bool isValidBoundary(std::string_view boundary) {
    return !boundary.empty() && boundary.size() <= kMaxBoundaryLength && boundary.back() != ' ' &&
           std::all_of(boundary.begin(), boundary.end(), isBoundaryChar);
}

} // namespace

MultipartParser::MultipartParser(std::string boundary, Sink sink)
    : m_delimiter("--" + boundary)
    , m_bodyDelimiter("\r\n--" + boundary)
    , m_sink(std::move(sink)) {}

std::optional<std::string> MultipartParser::boundaryOf(std::string_view contentType) {
    const std::optional<HeaderValue> value = parseHeaderValue(contentType);
    if (!value || value->type != "multipart/form-data")
        return std::nullopt;
    const std::string *boundary = value->param("boundary");
    if (!boundary || !isValidBoundary(*boundary))
        return std::nullopt;
    return *boundary;
}

bool MultipartParser::feed(std::string_view piece) {
    if (m_state == State::failed)
        return false;
    if (m_state == State::epilogue)
        return true;
    m_pending.append(piece);
    for (;;) {
        bool progressed = false;
        switch (m_state) {
        case State::opening:
            progressed = stepOpening();
            break;
        case State::afterDelimiter:
            progressed = stepAfterDelimiter();
            break;
        case State::headers:
            progressed = stepHeaders();
            break;
        case State::body:
            progressed = stepBody();
            break;
        case State::epilogue:
            // Whatever follows the closing delimiter is not part of the form.
            m_pending.clear();
            return true;
        case State::failed:
            return false;
        }
        if (!progressed)
            return m_state != State::failed;
    }
}

bool MultipartParser::finish() {
    switch (m_state) {
    case State::epilogue:
        return true;
    case State::failed:
        return false;
    case State::opening:
    case State::afterDelimiter:
    case State::headers:
    case State::body:
        return fail(Error::truncated);
    }
    return false;
}

bool MultipartParser::fail(Error error) {
    m_state = State::failed;
    m_error = error;
    m_pending.clear();
    return false;
}

bool MultipartParser::stepOpening() {
    const std::size_t n = std::min(m_pending.size(), m_delimiter.size());
    if (m_pending.compare(0, n, m_delimiter, 0, n) != 0)
        return fail(Error::missingOpeningDelimiter);
    if (m_pending.size() < m_delimiter.size())
        return false;
    m_pending.erase(0, m_delimiter.size());
    m_state = State::afterDelimiter;
    return true;
}

bool MultipartParser::stepAfterDelimiter() {
    std::size_t i = 0;
    while (i < m_pending.size() && (m_pending[i] == ' ' || m_pending[i] == '\t'))
        ++i;
    if (i > kMaxPadding)
        return fail(Error::malformedDelimiter);
    if (i == m_pending.size())
        return false;
    const char first = m_pending[i];
    if (first == '-' && i == 0) {
        if (m_pending.size() < 2)
            return false;
        if (m_pending[1] != '-')
            return fail(Error::malformedDelimiter);
        if (!m_partDone)
            return fail(Error::noPart);
        m_pending.clear();
        m_state = State::epilogue;
        return true;
    }
    if (first == '\r') {
        if (m_pending.size() < i + 2)
            return false;
        if (m_pending[i + 1] != '\n')
            return fail(Error::malformedDelimiter);
        if (m_partDone)
            return fail(Error::extraPart);
        m_pending.erase(0, i + 2);
        m_headerBytes = 0;
        m_seenContentDisposition = false;
        m_contentDisposition.clear();
        m_state = State::headers;
        return true;
    }
    return fail(Error::malformedDelimiter);
}

bool MultipartParser::stepHeaders() {
    const std::size_t end = m_pending.find("\r\n");
    if (end == std::string::npos) {
        if (m_headerBytes + m_pending.size() > kMaxHeaderBytes)
            return fail(Error::malformedHeaders);
        return false;
    }
    m_headerBytes += end + 2;
    if (m_headerBytes > kMaxHeaderBytes)
        return fail(Error::malformedHeaders);
    const std::string line = m_pending.substr(0, end);
    m_pending.erase(0, end + 2);
    if (line.empty())
        return acceptHeaders();

    // No folded lines, no bare line feeds or other control bytes inside a header.
    if (line.front() == ' ' || line.front() == '\t')
        return fail(Error::malformedHeaders);
    const bool hasControl = std::any_of(line.begin(), line.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && c != '\t') || byte == 0x7f;
    });
    if (hasControl)
        return fail(Error::malformedHeaders);
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0)
        return fail(Error::malformedHeaders);
    const std::string_view name = std::string_view(line).substr(0, colon);
    if (!std::all_of(name.begin(), name.end(), isTokenChar))
        return fail(Error::malformedHeaders);
    if (lower(name) == "content-disposition") {
        if (m_seenContentDisposition)
            return fail(Error::malformedHeaders);
        m_seenContentDisposition = true;
        m_contentDisposition = line.substr(colon + 1);
    }
    return true;
}

bool MultipartParser::acceptHeaders() {
    if (!m_seenContentDisposition)
        return fail(Error::notFormData);
    const std::optional<HeaderValue> disposition = parseHeaderValue(m_contentDisposition);
    if (!disposition)
        return fail(Error::malformedHeaders);
    if (disposition->type != "form-data")
        return fail(Error::notFormData);
    const std::string *name = disposition->param("name");
    if (!name || *name != "audio")
        return fail(Error::wrongFieldName);
    const std::string *fileName = disposition->param("filename");
    if (!fileName || fileName->empty())
        return fail(Error::missingFileName);
    m_fileName = *fileName;
    m_state = State::body;
    return true;
}

bool MultipartParser::stepBody() {
    const std::size_t at = m_pending.find(m_bodyDelimiter);
    if (at != std::string::npos) {
        if (!emit(std::string_view(m_pending).substr(0, at)))
            return fail(Error::sinkFailed);
        m_pending.erase(0, at + m_bodyDelimiter.size());
        m_partDone = true;
        m_state = State::afterDelimiter;
        return true;
    }
    // The last bytes may be the start of a delimiter that the next piece completes.
    const std::size_t keep = m_bodyDelimiter.size() - 1;
    if (m_pending.size() > keep) {
        const std::size_t ready = m_pending.size() - keep;
        if (!emit(std::string_view(m_pending).substr(0, ready)))
            return fail(Error::sinkFailed);
        m_pending.erase(0, ready);
    }
    return false;
}

bool MultipartParser::emit(std::string_view bytes) {
    if (bytes.empty())
        return true;
    m_fileSize += bytes.size();
    return m_sink(bytes);
}

std::string_view MultipartParser::describe(Error error) {
    switch (error) {
    case Error::none:
        return "ошибок нет";
    case Error::missingOpeningDelimiter:
        return "тело запроса не начинается с границы multipart";
    case Error::malformedHeaders:
        return "заголовки части тела повреждены";
    case Error::notFormData:
        return "у части нет заголовка Content-Disposition: form-data";
    case Error::wrongFieldName:
        return "ожидалась часть с именем \"audio\"";
    case Error::missingFileName:
        return "у части \"audio\" нет имени файла";
    case Error::noPart:
        return "в теле нет части \"audio\"";
    case Error::extraPart:
        return "в теле больше одной части, ожидалась только \"audio\"";
    case Error::malformedDelimiter:
        return "граница multipart повреждена";
    case Error::truncated:
        return "тело запроса оборвалось до закрывающей границы";
    case Error::sinkFailed:
        return "не удалось сохранить файл";
    }
    return "неизвестная ошибка";
}
