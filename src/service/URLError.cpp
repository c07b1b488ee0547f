#include "URLError.h"

namespace {

const char *describe(URLError::Code code) {
    switch (code) {
    case URLError::Code::badURL:
        return "bad URL";
    case URLError::Code::userAuthenticationRequired:
        return "user authentication required";
    case URLError::Code::resourceUnavailable:
        return "resource unavailable";
    case URLError::Code::badServerResponse:
        return "bad server response";
    case URLError::Code::timedOut:
        return "timed out";
    case URLError::Code::cannotConnectToHost:
        return "cannot connect to host";
    case URLError::Code::cannotFindHost:
        return "cannot find host";
    case URLError::Code::networkConnectionLost:
        return "network connection lost";
    case URLError::Code::secureConnectionFailed:
        return "secure connection failed";
    case URLError::Code::cancelled:
        return "cancelled";
    case URLError::Code::unknown:
        return "unknown network error";
    }
    return "unknown network error";
}

} // namespace

URLError::URLError(Code code)
    : UserFacingError(describe(code))
    , m_code(code) {}

QString URLError::localizedDescription() const {
    switch (m_code) {
    case Code::badURL:
        return QStringLiteral("Неверный адрес сервера.");
    case Code::userAuthenticationRequired:
        return QStringLiteral("Требуется авторизация. Войдите в аккаунт снова.");
    case Code::resourceUnavailable:
        return QStringLiteral("Ресурс недоступен.");
    case Code::badServerResponse:
        return QStringLiteral("Неверный ответ сервера.");
    case Code::timedOut:
        return QStringLiteral("Превышен лимит времени на запрос.");
    case Code::cannotConnectToHost:
        return QStringLiteral("Не удалось подключиться к серверу.");
    case Code::cannotFindHost:
        return QStringLiteral("Не удалось найти сервер с указанным именем узла.");
    case Code::networkConnectionLost:
        return QStringLiteral("Сетевое соединение было потеряно.");
    case Code::secureConnectionFailed:
        return QStringLiteral(
            "Произошла ошибка SSL, и невозможно установить защищенное соединение с сервером.");
    case Code::cancelled:
        return QStringLiteral("Запрос отменен.");
    case Code::unknown:
        return QStringLiteral("Произошла неизвестная ошибка сети.");
    }
    return QStringLiteral("Произошла неизвестная ошибка сети.");
}

URLError::Code URLError::codeFor(QNetworkReply::NetworkError error) {
    switch (error) {
    case QNetworkReply::TimeoutError:
    case QNetworkReply::ProxyTimeoutError:
        return Code::timedOut;
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::ProxyConnectionRefusedError:
        return Code::cannotConnectToHost;
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::ProxyNotFoundError:
        return Code::cannotFindHost;
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
        return Code::networkConnectionLost;
    case QNetworkReply::SslHandshakeFailedError:
        return Code::secureConnectionFailed;
    case QNetworkReply::OperationCanceledError:
        return Code::cancelled;
    // A redirect the client refuses to follow, or an answer that is not HTTP, is no usable
    // answer from the service.
    case QNetworkReply::InsecureRedirectError:
    case QNetworkReply::TooManyRedirectsError:
    case QNetworkReply::ProtocolFailure:
        return Code::badServerResponse;
    default:
        return Code::unknown;
    }
}
