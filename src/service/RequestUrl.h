#pragma once
// Turns the joined request text into the URL to send, or refuses it as badURL.

#include <QString>
#include <QUrl>

namespace AuthBridge {

// The text must be an absolute URL with a host, over https, or over plain http to a loopback
// host only, so that the bearer token never travels unencrypted. Throws URLError(badURL).
QUrl requestUrl(const QString &text);

} // namespace AuthBridge
