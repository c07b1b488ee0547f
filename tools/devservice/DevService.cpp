#include "DevService.h"

#include "HtmlPages.h"
#include "Secrets.h"
#include "UploadFile.h"
#include "Waveform.h"

#include <nlohmann/json.hpp>
#include <openssl/crypto.h>

#include <charconv>
#include <fstream>
#include <memory>
#include <regex>
#include <stdexcept>
#include <vector>

using nlohmann::json;

namespace {

// Requests other than uploads carry at most a small form or "{}".
constexpr std::uint64_t kMaxSmallBody = 64 * 1024;
// How much of a body over the upload limit is still read and dropped: a client that is still
// sending when the service refuses gets the 413 rather than a reset connection.
constexpr std::uint64_t kDrainAfterLimit = 16 * 1024 * 1024;
constexpr std::size_t kMaxFirstNameBytes = 64;
const std::regex kUploadPath(R"(/api/meetings/[^/]+/audio)");

void sendJson(httplib::Response &res, int status, const json &body) {
    res.status = status;
    res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

void sendError(httplib::Response &res, int status, std::string_view message) {
    sendJson(res, status, {{"error", message}});
}

void sendHtml(httplib::Response &res, int status, const std::string &html) {
    res.status = status;
    res.set_content(html, "text/html; charset=utf-8");
}

std::optional<std::uint64_t> contentLength(const httplib::Request &req) {
    if (!req.has_header("Content-Length"))
        return std::nullopt;
    const std::string text = req.get_header_value("Content-Length");
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::numeric_limits<std::uint64_t>::max();
    return value;
}

std::optional<std::int64_t> meetingIdOf(const std::string &text) {
    std::int64_t id = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return id;
}

// A request without Content-Length or Transfer-Encoding has no body.
bool announcesBody(const httplib::Request &req) {
    return req.has_header("Content-Length") || req.has_header("Transfer-Encoding");
}

// Hands the body to `receiver`; a multipart body only with its parts' contents, since the
// library parses such a body itself. False when the body broke off or is malformed.
bool readBody(const httplib::Request &req, const httplib::ContentReader &reader,
              const httplib::ContentReceiver &receiver) {
    if (!announcesBody(req))
        return true;
    if (req.is_multipart_form_data())
        return reader([](const httplib::MultipartFormData &) { return true; }, receiver);
    return reader(receiver);
}

// The body of a small request (the pre-routing check bounds its size); an empty one when the
// request announces none. Nothing when the connection broke.
std::optional<std::string> readSmallBody(const httplib::Request &req,
                                         const httplib::ContentReader &reader) {
    std::string body;
    const bool complete = readBody(req, reader, [&body](const char *data, std::size_t size) {
        body.append(data, size);
        return true;
    });
    if (!complete)
        return std::nullopt;
    return body;
}

// Reads and throws away the rest of a body, so that the answer reaches a client that is still
// sending it and the connection stays usable.
void drain(const httplib::Request &req, const httplib::ContentReader &reader) {
    readBody(req, reader, [](const char *, std::size_t) { return true; });
}

// The user's name from the form: trimmed, cut to a whole character within the limit.
std::string firstNameFrom(std::string name) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!name.empty() && blank(name.back()))
        name.pop_back();
    std::size_t start = 0;
    while (start < name.size() && blank(name[start]))
        ++start;
    name.erase(0, start);
    if (name.size() > kMaxFirstNameBytes) {
        std::size_t cut = kMaxFirstNameBytes;
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
            --cut;
        name.resize(cut);
    }
    return name.empty() ? std::string(DevStore::kDefaultFirstName) : name;
}

// The page for a sign-in that cannot be confirmed.
void sendLoginProblem(httplib::Response &res, DevStore::ConfirmOutcome outcome) {
    switch (outcome) {
    case DevStore::ConfirmOutcome::ok:
        throw std::logic_error("a confirmable sign-in is not a problem");
    case DevStore::ConfirmOutcome::unknown:
        sendHtml(res, 404,
                 HtmlPages::messagePage("Вход не найден", "Такой попытки входа нет. Начните "
                                                          "вход в приложении заново."));
        return;
    case DevStore::ConfirmOutcome::expired:
        sendHtml(res, 410,
                 HtmlPages::messagePage("Срок входа истёк",
                                        "Эта ссылка больше не действует. Начните вход в "
                                        "приложении заново."));
        return;
    case DevStore::ConfirmOutcome::alreadyConfirmed:
        sendHtml(res, 409,
                 HtmlPages::messagePage("Вход уже подтверждён", "Вернитесь в приложение."));
        return;
    }
}

} // namespace

DevService::DevService(DevStore &store, Options options)
    : m_store(store)
    , m_options(options)
    , m_pageKey(Secrets::randomHex(16)) {
    m_server.set_payload_max_length(
        static_cast<std::size_t>(m_options.maxUpload + kDrainAfterLimit));
    // The program allows a minute without progress; so does the service.
    m_server.set_read_timeout(std::chrono::seconds(60));
    addRoutes();
}

int DevService::bind(int port) {
    if (port == 0) {
        m_port = m_server.bind_to_any_port("127.0.0.1");
        if (m_port <= 0)
            throw std::runtime_error("no free port on 127.0.0.1");
    } else {
        if (!m_server.bind_to_port("127.0.0.1", port))
            throw std::runtime_error("port " + std::to_string(port) + " on 127.0.0.1 is taken");
        m_port = port;
    }
    return m_port;
}

void DevService::run() {
    m_server.listen_after_bind();
}

void DevService::stop() {
    m_server.stop();
}

std::string DevService::origin() const {
    return "http://127.0.0.1:" + std::to_string(m_port);
}

std::string DevService::meetingsAddress() const {
    return origin() + "/?key=" + m_pageKey;
}

void DevService::addRoutes() {
    using httplib::Request;
    using httplib::Response;
    using HandlerResponse = httplib::Server::HandlerResponse;

    m_server.set_pre_routing_handler([this](const Request &req, Response &res) -> HandlerResponse {
        // A web page whose name was made to point at 127.0.0.1 (DNS rebinding) sends its own
        // name: only requests addressed to this service by its loopback name or address pass.
        const std::string host = req.get_header_value("Host");
        const std::string port = ":" + std::to_string(m_port);
        if (host != "127.0.0.1" + port && host != "localhost" + port) {
            res.set_header("Connection", "close");
            sendError(res, 421, "запрос адресован не этому сервису (заголовок Host)");
            return HandlerResponse::Handled;
        }
        if (std::regex_match(req.path, kUploadPath)) {
            if (req.method == "POST")
                return HandlerResponse::Unhandled;
            // Any other method would have its body read into memory before a handler could
            // refuse it: refused here, unread, and the connection closed rather than drained.
            res.set_header("Connection", "close");
            res.set_header("Allow", "POST");
            sendError(res, 405, "загрузка принимается только методом POST");
            return HandlerResponse::Handled;
        }
        const std::optional<std::uint64_t> length = contentLength(req);
        if (req.has_header("Transfer-Encoding") || (length && *length > kMaxSmallBody)) {
            res.set_header("Connection", "close");
            sendError(res, 413, "тело запроса слишком велико");
            return HandlerResponse::Handled;
        }
        return HandlerResponse::Unhandled;
    });
    // Only answers that carry no body of their own (unknown paths) get one here.
    m_server.set_error_handler(httplib::Server::HandlerWithResponse(
        [](const Request &req, Response &res) -> HandlerResponse {
            if (!res.body.empty())
                return HandlerResponse::Unhandled;
            if (req.path.starts_with("/api/")) {
                sendError(res, res.status,
                          res.status == 404 ? "нет такого адреса" : "ошибка запроса");
            } else {
                sendHtml(res, res.status,
                         HtmlPages::messagePage("Ошибка " + std::to_string(res.status),
                                                res.status == 404 ? "Такой страницы нет."
                                                                  : "Запрос не удался."));
            }
            return HandlerResponse::Handled;
        }));
    m_server.set_exception_handler([](const Request &, Response &res, std::exception_ptr error) {
        std::string what = "внутренняя ошибка";
        try {
            std::rethrow_exception(error);
        } catch (const std::exception &e) {
            what += ": ";
            what += e.what();
        }
        sendError(res, 500, what);
    });

    // Bodies of these requests are read by the handlers: a POST without Content-Length has an
    // empty body, which the library's own reading would refuse.
    m_server.Post("/api/auth/app-login/start",
                  [this](const Request &req, Response &res, const httplib::ContentReader &reader) {
                      if (readSmallBody(req, reader))
                          startLogin(res);
                      else
                          sendError(res, 400, "тело запроса не дочитано");
                  });
    m_server.Get(R"(/api/auth/app-login/poll/([^/]+))",
                 [this](const Request &req, Response &res) { pollLogin(req, res); });
    m_server.Get("/api/auth/me", [this](const Request &req, Response &res) { profile(req, res); });
    m_server.Post("/api/meetings",
                  [this](const Request &req, Response &res, const httplib::ContentReader &reader) {
                      if (readSmallBody(req, reader))
                          createMeeting(req, res);
                      else
                          sendError(res, 400, "тело запроса не дочитано");
                  });
    m_server.Post(R"(/api/meetings/([^/]+)/audio)",
                  [this](const Request &req, Response &res, const httplib::ContentReader &reader) {
                      uploadAudio(req, res, reader);
                  });
    m_server.Get("/", [this](const Request &req, Response &res) { meetingsPage(req, res); });
    m_server.Get(R"(/meetings/([^/]+)/audio\.m4a)",
                 [this](const Request &req, Response &res) { meetingAudio(req, res); });
    m_server.Get("/bot", [this](const Request &req, Response &res) { confirmPage(req, res); });
    m_server.Post("/bot/confirm",
                  [this](const Request &req, Response &res, const httplib::ContentReader &reader) {
                      const std::optional<std::string> body = readSmallBody(req, reader);
                      httplib::Params form;
                      if (body)
                          httplib::detail::parse_query_text(*body, form);
                      confirm(form, res);
                  });
}

bool DevService::hasPageKey(const httplib::Request &req) const {
    const std::string key = req.get_param_value("key");
    // Compared in constant time, so that answer times tell nothing about the key.
    return key.size() == m_pageKey.size() &&
           CRYPTO_memcmp(key.data(), m_pageKey.data(), key.size()) == 0;
}

std::optional<DevUser> DevService::bearerUser(const httplib::Request &req) const {
    const std::string header = req.get_header_value("Authorization");
    constexpr std::string_view kScheme = "bearer ";
    if (header.size() <= kScheme.size())
        return std::nullopt;
    for (std::size_t i = 0; i < kScheme.size(); ++i) {
        const char c = header[i];
        const char lowered = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        if (lowered != kScheme[i])
            return std::nullopt;
    }
    return m_store.userForToken(header.substr(kScheme.size()));
}

void DevService::startLogin(httplib::Response &res) {
    const std::optional<std::string> nonce = m_store.startLogin(m_options.nonceLifetime);
    if (!nonce) {
        res.set_header("Retry-After", std::to_string(m_options.nonceLifetime.count()));
        sendError(res, 503,
                  "открыто " + std::to_string(DevStore::kMaxLogins) +
                      " попыток входа; новые — после истечения старых");
        return;
    }
    sendJson(res, 200,
             {{"nonce", *nonce},
              {"bot_url", origin() + "/bot?start=" + *nonce},
              {"expires_in_seconds", m_options.nonceLifetime.count()}});
}

void DevService::pollLogin(const httplib::Request &req, httplib::Response &res) {
    const DevStore::PollResult result =
        m_store.pollLogin(req.matches[1].str(), m_options.autoConfirmAfterPolls);
    switch (result.outcome) {
    case DevStore::PollOutcome::unknown:
        sendError(res, 404, "попытка входа не найдена");
        return;
    case DevStore::PollOutcome::expired:
        sendError(res, 410, "срок попытки входа истёк");
        return;
    case DevStore::PollOutcome::pending:
        sendJson(res, 200, {{"status", "pending"}});
        return;
    case DevStore::PollOutcome::ok:
        sendJson(res, 200, {{"status", "ok"}, {"token", result.token}});
        return;
    }
}

void DevService::profile(const httplib::Request &req, httplib::Response &res) {
    const std::optional<DevUser> user = bearerUser(req);
    if (!user) {
        res.set_header("WWW-Authenticate", "Bearer");
        sendError(res, 401, "нужен действующий токен");
        return;
    }
    sendJson(res, 200, {{"user_id", user->id}, {"first_name", user->firstName}});
}

void DevService::createMeeting(const httplib::Request &req, httplib::Response &res) {
    const std::optional<DevUser> user = bearerUser(req);
    if (!user) {
        res.set_header("WWW-Authenticate", "Bearer");
        sendError(res, 401, "нужен действующий токен");
        return;
    }
    const Meeting meeting = m_store.createMeeting(user->id);
    sendJson(res, 201, {{"id", meeting.id}, {"status", "created"}});
}

void DevService::uploadAudio(const httplib::Request &req, httplib::Response &res,
                             const httplib::ContentReader &reader) {
    // Everything that the headers decide is refused before the body is looked at.
    const auto refuse = [&](int status, std::string_view message) {
        // A body of announced length is read and dropped (the library bounds it by the limit),
        // so that a client still sending gets the answer. A chunked one has no length to bound
        // it, and the library's multipart parsing hides the bytes outside the part from a
        // count: it is left unread and the connection closed.
        if (req.has_header("Transfer-Encoding"))
            res.set_header("Connection", "close");
        else
            drain(req, reader);
        sendError(res, status, message);
    };
    const std::optional<DevUser> user = bearerUser(req);
    if (!user) {
        res.set_header("WWW-Authenticate", "Bearer");
        return refuse(401, "нужен действующий токен");
    }
    const std::optional<std::int64_t> id = meetingIdOf(req.matches[1].str());
    const std::optional<Meeting> meeting = id ? m_store.meeting(*id) : std::nullopt;
    // Another user's meeting is as invisible as a missing one.
    if (!meeting || meeting->userId != user->id)
        return refuse(404, "встреча не найдена");
    if (!req.is_multipart_form_data())
        return refuse(400, "ожидалось тело multipart/form-data с границей");
    const std::string tooLargeText =
        "тело загрузки больше " + std::to_string(m_options.maxUpload) + " байт";
    const std::optional<std::uint64_t> declared = contentLength(req);
    if (declared && *declared > m_options.maxUpload) {
        // Read and dropped up to the drain bound, never kept; past it the library gives up.
        res.set_header("Connection", "close");
        return refuse(413, tooLargeText);
    }

    // The library splits the body into parts; the callbacks take exactly one, the field
    // "audio" with a file name, straight to disk. A refused body is still read to its end (up
    // to the drain bound), so that a client that is still sending gets the answer.
    UploadFile file(m_store.audioFolder());
    int parts = 0;
    std::optional<std::string> refusal;
    std::uint64_t received = 0;
    std::uint64_t fileSize = 0;
    bool writeFailed = false;
    const auto partHeader = [&](const httplib::MultipartFormData &part) {
        if (++parts > 1)
            refusal = "в теле больше одной части, ожидалась только \"audio\"";
        else if (part.name != "audio")
            refusal = "ожидалась часть с именем \"audio\"";
        else if (part.filename.empty())
            refusal = "у части \"audio\" нет имени файла";
        return true;
    };
    const auto partData = [&](const char *data, std::size_t size) {
        received += size;
        if (received > m_options.maxUpload)
            return received <= m_options.maxUpload + kDrainAfterLimit;
        if (!refusal && !writeFailed) {
            writeFailed = !file.write(std::string_view(data, size));
            fileSize += size;
        }
        return true;
    };
    const bool complete = !announcesBody(req) || reader(partHeader, partData);
    if (received > m_options.maxUpload || res.status == 413) {
        res.set_header("Connection", "close");
        return sendError(res, 413, tooLargeText);
    }
    if (!complete)
        res.set_header("Connection", "close");
    if (refusal)
        return sendError(res, 400, *refusal);
    if (parts == 0)
        return sendError(res, 400, "в теле нет части multipart с границей из заголовка");
    if (!complete)
        return sendError(res, 400, "тело оборвалось или повреждено до закрывающей границы");
    if (writeFailed)
        return sendError(res, 500, "не удалось сохранить файл");
    file.flush();
    Waveform waveform;
    try {
        waveform = Waveform::fromAudioFile(file.path());
    } catch (const Waveform::DecodeError &) {
        return sendError(res, 400, "файл \"audio\" не читается как аудиозапись");
    }
    file.commit(m_store.audioPath(meeting->id));
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    m_store.setAudio(meeting->id, MeetingAudio{fileSize, now, waveform});
    sendJson(res, 201,
             {{"id", meeting->id},
              {"status", "uploaded"},
              {"size", fileSize},
              {"duration_seconds", waveform.durationSeconds()}});
}

void DevService::meetingsPage(const httplib::Request &req, httplib::Response &res) {
    const bool keyed = hasPageKey(req);
    const std::optional<DevUser> user = keyed ? std::nullopt : bearerUser(req);
    if (!keyed && !user) {
        sendHtml(res, 403,
                 HtmlPages::messagePage("Нужен ключ", "Откройте адрес страницы встреч, который "
                                                      "сервис напечатал при запуске."));
        return;
    }
    std::vector<HtmlPages::Listed> listed;
    for (Meeting &meeting : m_store.meetings()) {
        if (!keyed && meeting.userId != user->id)
            continue;
        const std::optional<DevUser> owner = m_store.user(meeting.userId);
        listed.push_back({std::move(meeting), owner ? owner->firstName : std::string("?")});
    }
    sendHtml(res, 200, HtmlPages::meetingsPage(listed, keyed ? "?key=" + m_pageKey : ""));
}

void DevService::meetingAudio(const httplib::Request &req, httplib::Response &res) {
    const std::optional<std::int64_t> id = meetingIdOf(req.matches[1].str());
    std::optional<Meeting> meeting = id ? m_store.meeting(*id) : std::nullopt;
    if (!hasPageKey(req)) {
        const std::optional<DevUser> user = bearerUser(req);
        // Another user's recording is as invisible as a missing one.
        if (meeting && (!user || meeting->userId != user->id))
            meeting.reset();
    }
    auto stream = std::make_shared<std::ifstream>();
    if (meeting && meeting->audio)
        stream->open(m_store.audioPath(meeting->id), std::ios::binary);
    if (!stream->is_open()) {
        sendHtml(res, 404,
                 HtmlPages::messagePage("Записи нет", "У этой встречи нет загруженной записи."));
        return;
    }
    // The size of the file as opened: a new upload may replace the name meanwhile.
    stream->seekg(0, std::ios::end);
    const auto size = static_cast<std::size_t>(stream->tellg());
    res.set_content_provider(
        size, "audio/mp4",
        [stream](std::size_t offset, std::size_t length, httplib::DataSink &sink) {
            std::vector<char> buffer(std::min<std::size_t>(length, 64 * 1024));
            stream->clear();
            stream->seekg(static_cast<std::streamoff>(offset));
            stream->read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            const std::streamsize got = stream->gcount();
            if (got <= 0)
                return false;
            return sink.write(buffer.data(), static_cast<std::size_t>(got));
        });
}

void DevService::confirmPage(const httplib::Request &req, httplib::Response &res) {
    const std::string nonce = req.get_param_value("start");
    const DevStore::ConfirmOutcome state = m_store.loginState(nonce);
    if (state == DevStore::ConfirmOutcome::ok)
        sendHtml(res, 200, HtmlPages::confirmPage(nonce));
    else
        sendLoginProblem(res, state);
}

void DevService::confirm(const httplib::Params &form, httplib::Response &res) {
    const auto field = [&form](const char *name) {
        const auto it = form.find(name);
        return it == form.end() ? std::string() : it->second;
    };
    const std::string nonce = field("nonce");
    const std::string firstName = firstNameFrom(field("first_name"));
    const DevStore::ConfirmOutcome outcome = m_store.confirmLogin(nonce, firstName);
    if (outcome == DevStore::ConfirmOutcome::ok)
        sendHtml(res, 200, HtmlPages::confirmedPage(firstName));
    else
        sendLoginProblem(res, outcome);
}
