#pragma once
// Failures of a request to the service, with a Russian description for the user.

#include "UserFacingError.h"

#include <QNetworkReply>
#include <QString>

class URLError : public UserFacingError {
public:
    enum class Code {
        badURL,                     // the joined text is not a usable URL
        userAuthenticationRequired, // the token was refused: 401 or 403
        resourceUnavailable,        // the sign-in poll was answered with 404 or 410
        badServerResponse,          // the upload was answered outside 200..299
        timedOut,                   // no activity for the transfer timeout
        cannotConnectToHost,
        cannotFindHost,
        networkConnectionLost,
        secureConnectionFailed, // TLS handshake failed or the certificate is not trusted
        cancelled,
        unknown,
    };

    explicit URLError(Code code);

    [[nodiscard]] Code code() const noexcept { return m_code; }
    [[nodiscard]] QString localizedDescription() const override;

    // Maps a finished reply's transport error onto the codes above.
    [[nodiscard]] static Code codeFor(QNetworkReply::NetworkError error);

private:
    Code m_code;
};
