#pragma once
// Whether a text can stand in an "Authorization: Bearer" header as it is.

#include <QString>

// RFC 6750's b64token: letters, digits and "-._~+/", then any number of "=". Anything else
// (CR/LF, spaces, non-ASCII, an empty text) would break or bend the header.
[[nodiscard]] bool isBearerToken(const QString &text);
