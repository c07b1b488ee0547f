#pragma once
// Whether the desktop has an application for a URL scheme, read from the XDG MIME database.

#include <QString>

// True when some application is registered for "x-scheme-handler/<scheme>": a default or added
// association in a mimeapps.list, an entry of a mimeinfo.cache, or a desktop file that lists
// the type. Looks in the XDG config and data folders that the environment names.
[[nodiscard]] bool hasXdgSchemeHandler(const QString &scheme);
