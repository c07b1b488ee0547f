#include "DesktopLinkOpener.h"

#include <QDesktopServices>

bool DesktopLinkOpener::open(const QUrl &url) {
    return QDesktopServices::openUrl(url);
}
