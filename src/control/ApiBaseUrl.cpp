#include "ApiBaseUrl.h"

#include "BuildConfig.h"
#include "LoopbackHost.h"

#include <QUrl>
#include <QtGlobal>

// A build whose own address would send the token in the clear is refused when it is compiled.
static_assert(LoopbackHost::isAllowedServiceUrl(BuildConfig::apiBaseUrl),
              "TOLVEX_API_BASE_URL: plain http is allowed for loopback hosts only");

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
    return QUrl(text, QUrl::StrictMode).isValid() &&
           LoopbackHost::isLoopbackServiceUrl(text.toStdString());
}

QString tokenOrigin(const QString &baseUrl) {
    if (baseUrl == QLatin1String(releasedBaseUrl)) {
        return QString();
    }
    const QString origin = QUrl(baseUrl, QUrl::StrictMode)
                               .adjusted(QUrl::RemoveUserInfo | QUrl::RemovePath |
                                         QUrl::RemoveQuery | QUrl::RemoveFragment)
                               .toString();
    // Never the released item, even for an address that does not parse.
    return origin.isEmpty() ? baseUrl : origin;
}

} // namespace ApiBaseUrl
