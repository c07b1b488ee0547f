#include "ApiBaseUrl.h"

#include "BuildConfig.h"

#include <QHostAddress>
#include <QUrl>
#include <QtGlobal>

namespace ApiBaseUrl {

QString fromBuild() {
    std::optional<QString> overrideText;
    if (BuildConfig::devOverrides && qEnvironmentVariableIsSet("TOLVEX_API_BASE_URL")) {
        overrideText = qEnvironmentVariable("TOLVEX_API_BASE_URL");
    }
    return choose(QString::fromUtf8(BuildConfig::apiBaseUrl), BuildConfig::devOverrides,
                  overrideText);
}

QString choose(const QString &builtIn, bool overridesAllowed,
               const std::optional<QString> &overrideText) {
    if (overridesAllowed && overrideText && isLoopbackUrl(*overrideText)) {
        return *overrideText;
    }
    return builtIn;
}

bool isLoopbackUrl(const QString &text) {
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || (url.scheme() != u"http" && url.scheme() != u"https")) {
        return false;
    }
    const QString host = url.host();
    if (host.isEmpty()) {
        return false;
    }
    if (host == u"localhost") {
        return true;
    }
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

} // namespace ApiBaseUrl
