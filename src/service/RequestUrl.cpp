#include "RequestUrl.h"

#include "LoopbackHost.h"
#include "URLError.h"

namespace AuthBridge {

QUrl requestUrl(const QString &text) {
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative() || url.host().isEmpty())
        throw URLError(URLError::Code::badURL);
    // The text as written, not the parsed host: the parser turns "127.1" into 127.0.0.1, and the
    // build's own address is checked on its text.
    if (!LoopbackHost::isAllowedServiceUrl(text.toStdString()))
        throw URLError(URLError::Code::badURL);
    return url;
}

} // namespace AuthBridge
