#include "RequestUrl.h"

#include "LoopbackHost.h"
#include "URLError.h"

namespace AuthBridge {

QUrl requestUrl(const QString &text) {
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative() || url.host().isEmpty())
        throw URLError(URLError::Code::badURL);
    const QString scheme = url.scheme();
    if (scheme == QLatin1String("https"))
        return url;
    if (scheme == QLatin1String("http") && LoopbackHost::isLoopbackHost(url.host().toStdString()))
        return url;
    throw URLError(URLError::Code::badURL);
}

} // namespace AuthBridge
