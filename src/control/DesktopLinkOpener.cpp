#include "DesktopLinkOpener.h"

#include <QDesktopServices>

void DesktopLinkOpener::open(const QUrl &url) {
    // The answer only says whether a handler was started, not whether Telegram is there.
    static_cast<void>(QDesktopServices::openUrl(url));
}
