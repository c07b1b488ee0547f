#include "RequestUrl.h"

#include "URLError.h"

#include <QHostAddress>

namespace AuthBridge {

namespace {

bool isLoopbackHost(const QString &host) {
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

} // namespace

QUrl requestUrl(const QString &text) {
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative() || url.host().isEmpty())
        throw URLError(URLError::Code::badURL);
    const QString scheme = url.scheme();
    if (scheme == QLatin1String("https"))
        return url;
    if (scheme == QLatin1String("http") && isLoopbackHost(url.host()))
        return url;
    throw URLError(URLError::Code::badURL);
}

} // namespace AuthBridge
