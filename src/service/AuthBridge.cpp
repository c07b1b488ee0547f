#include "AuthBridge.h"

#include "DecodingError.h"
#include "FileReadError.h"
#include "MultipartBodyDevice.h"
#include "RequestUrl.h"
#include "URLError.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QUuid>

#include <QCoroNetworkReply>

#include <memory>
#include <utility>

namespace AuthBridge {

namespace {

// Answers of the JSON endpoints beyond this are refused while they arrive.
constexpr qint64 kMaxAnswerBytes = 1024 * 1024;

std::chrono::milliseconds g_transferTimeout{std::chrono::seconds(60)};

// One manager for the whole process: a manager destroyed right after a reply finishes is a
// use-after-free in QCoro 0.8, and one manager shares connections between requests.
QNetworkAccessManager &networkManager() {
    static QPointer<QNetworkAccessManager> manager;
    if (!manager) {
        manager = new QNetworkAccessManager(QCoreApplication::instance());
        // Qt otherwise follows redirects to any origin with every header, Authorization included.
        manager->setRedirectPolicy(QNetworkRequest::SameOriginRedirectPolicy);
    }
    return *manager;
}

// Owns a reply for one request. The deletion is deferred because the request may end inside
// one of the reply's own signals; a reply abandoned while running is aborted first.
struct ReplyDeleter {
    void operator()(QNetworkReply *reply) const {
        QObject::disconnect(reply, &QNetworkReply::finished, nullptr, nullptr);
        if (reply->isRunning())
            reply->abort();
        reply->deleteLater();
    }
};
using ReplyPtr = std::unique_ptr<QNetworkReply, ReplyDeleter>;

enum class AnswerBody { read, ignore };

struct Outgoing {
    QByteArray method;
    QUrl url;
    QList<std::pair<QByteArray, QByteArray>> headers; // set in this order
    QByteArray body;
    bool hasBody = false;
    std::unique_ptr<MultipartBodyDevice> stream; // streamed body, used instead of `body` when set
    AnswerBody answerBody = AnswerBody::read;
    UploadProgress progress;
};

struct Answer {
    int status = 0; // 0 when the answer carried no HTTP status
    QByteArray body;
};

// Qt reports some HTTP statuses as errors; for this client they are answers like any other.
bool isStatusError(QNetworkReply::NetworkError error) {
    const int code = static_cast<int>(error);
    return (code >= 201 && code <= 299) || error == QNetworkReply::ProtocolInvalidOperationError ||
           (code >= 401 && code <= 499);
}

// Sends one request and waits for the whole answer. Transport failures become URLError; an
// answer over the size limit becomes a DecodingError without being held whole.
QCoro::Task<Answer> send(Outgoing out) {
    QNetworkRequest request(out.url);
    request.setTransferTimeout(static_cast<int>(g_transferTimeout.count()));
    // Qt turns a redirected POST into a GET without its body and reports the final answer:
    // an upload would "succeed" with no audio sent. Requests that carry a body or create
    // something therefore take no redirect at all.
    const bool followsRedirects = out.method == "GET";
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         followsRedirects ? QNetworkRequest::SameOriginRedirectPolicy
                                          : QNetworkRequest::ManualRedirectPolicy);
    for (const auto &[name, value] : out.headers)
        request.setRawHeader(name, value);

    // Local to this frame: the reply's handlers below go away with it.
    QObject context;
    bool tooLarge = false;
    QByteArray body;

    ReplyPtr reply;
    MultipartBodyDevice *const stream = out.stream.get();
    if (stream) {
        request.setHeader(QNetworkRequest::ContentLengthHeader, stream->size());
        reply.reset(networkManager().sendCustomRequest(request, out.method, stream));
        // The reply may read the body until it is deleted, which happens later than this frame.
        out.stream.release()->setParent(reply.get());
    } else if (out.hasBody) {
        reply.reset(networkManager().sendCustomRequest(request, out.method, out.body));
    } else {
        reply.reset(networkManager().sendCustomRequest(request, out.method));
    }
    QNetworkReply *const raw = reply.get();

    QObject::connect(raw, &QNetworkReply::readyRead, &context, [&, raw] {
        const QByteArray chunk = raw->readAll();
        if (out.answerBody == AnswerBody::ignore || tooLarge)
            return;
        if (body.size() + chunk.size() > kMaxAnswerBytes) {
            tooLarge = true;
            body.clear();
            // Not from inside readyRead: abort() finishes the reply at once.
            QMetaObject::invokeMethod(raw, &QNetworkReply::abort, Qt::QueuedConnection);
            return;
        }
        body += chunk;
    });
    if (stream) {
        // Without this the server would wait for the missing bytes until the transfer timeout.
        QObject::connect(stream, &MultipartBodyDevice::fileReadFailed, &context, [raw] {
            QMetaObject::invokeMethod(raw, &QNetworkReply::abort, Qt::QueuedConnection);
        });
    }
    if (out.progress) {
        QObject::connect(raw, &QNetworkReply::uploadProgress, &context,
                         [progress = out.progress](qint64 sent, qint64 total) {
                             if (total > 0)
                                 progress(sent, total);
                         });
    }

    co_await qCoro(raw).waitForFinished();

    if (stream && stream->fileFailed())
        throw FileReadError(FileReadError::Reason::other);
    if (tooLarge)
        throw DecodingError(DecodingError::Kind::dataCorrupted, {}, "the answer exceeds 1 MiB");
    const QVariant status = raw->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!followsRedirects && status.isValid() && status.toInt() >= 300 && status.toInt() <= 399)
        throw URLError(URLError::Code::badServerResponse);
    const QNetworkReply::NetworkError error = raw->error();
    if (error != QNetworkReply::NoError && !(status.isValid() && isStatusError(error))) {
        // Nobody but Qt's transfer timer aborts a reply that this frame still waits for.
        if (error == QNetworkReply::OperationCanceledError)
            throw URLError(URLError::Code::timedOut);
        throw URLError(URLError::codeFor(error));
    }

    const QByteArray rest = raw->readAll();
    if (out.answerBody == AnswerBody::read) {
        if (body.size() + rest.size() > kMaxAnswerBytes)
            throw DecodingError(DecodingError::Kind::dataCorrupted, {}, "the answer exceeds 1 MiB");
        body += rest;
    }
    co_return Answer{status.isValid() ? status.toInt() : 0, std::move(body)};
}

QByteArray bearer(const QString &token) {
    return "Bearer " + token.toUtf8();
}

// The service refuses a token it no longer accepts with 401, and one it will not serve with 403:
// either way the sign-in is over.
void throwIfTokenRefused(const Answer &answer) {
    if (answer.status == 401 || answer.status == 403)
        throw URLError(URLError::Code::userAuthenticationRequired);
}

} // namespace

std::chrono::milliseconds transferTimeout() {
    return g_transferTimeout;
}

void setTransferTimeout(std::chrono::milliseconds timeout) {
    g_transferTimeout = timeout;
}

QCoro::Task<AppLoginResponse> startAppLogin(QString baseUrl) {
    Outgoing out;
    out.method = "POST";
    out.url = requestUrl(baseUrl + QStringLiteral("/auth/app-login/start"));
    out.headers = {{"Content-Type", "application/json"}};
    out.hasBody = false;
    const Answer answer = co_await send(std::move(out));
    co_return AppLoginResponse::decode(answer.body);
}

QCoro::Task<std::optional<QString>> pollAppLogin(QString baseUrl, QString nonce) {
    Outgoing out;
    out.method = "GET";
    out.url = requestUrl(baseUrl + QStringLiteral("/auth/app-login/poll/") + nonce);
    const Answer answer = co_await send(std::move(out));
    if (answer.status == 410 || answer.status == 404)
        throw URLError(URLError::Code::resourceUnavailable);
    const PollResponse poll = PollResponse::decode(answer.body);
    if (poll.status == QLatin1String("ok"))
        co_return poll.token;
    co_return std::nullopt;
}

QCoro::Task<UserProfileVM> fetchProfile(QString baseUrl, QString token) {
    Outgoing out;
    out.method = "GET";
    out.url = requestUrl(baseUrl + QStringLiteral("/auth/me"));
    out.headers = {{"Authorization", bearer(token)}};
    const Answer answer = co_await send(std::move(out));
    throwIfTokenRefused(answer);
    co_return UserProfileVM::decode(answer.body);
}

QCoro::Task<MeetingCreateResult> createMeeting(QString baseUrl, QString token) {
    Outgoing out;
    out.method = "POST";
    out.url = requestUrl(baseUrl + QStringLiteral("/meetings"));
    out.headers = {{"Authorization", bearer(token)}, {"Content-Type", "application/json"}};
    out.body = "{}";
    out.hasBody = true;
    const Answer answer = co_await send(std::move(out));
    throwIfTokenRefused(answer);
    co_return MeetingCreateResult::decode(answer.body);
}

QCoro::Task<> uploadAudio(QString baseUrl, QString token, std::int64_t meetingId, QString filePath,
                          UploadProgress progress) {
    Outgoing out;
    out.method = "POST";
    out.url = requestUrl(baseUrl + QStringLiteral("/meetings/") + QString::number(meetingId) +
                         QStringLiteral("/audio"));
    const QByteArray boundary =
        QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toLatin1();
    out.headers = {{"Authorization", bearer(token)},
                   {"Content-Type", "multipart/form-data; boundary=" + boundary}};
    out.stream = std::make_unique<MultipartBodyDevice>(filePath, boundary);
    out.answerBody = AnswerBody::ignore;
    out.progress = std::move(progress);
    const Answer answer = co_await send(std::move(out));
    throwIfTokenRefused(answer);
    if (answer.status != 0 && (answer.status < 200 || answer.status > 299))
        throw URLError(URLError::Code::badServerResponse);
}

} // namespace AuthBridge
