#pragma once
// Opens links through the desktop's registered handlers (Telegram Desktop for "tg:").

#include "LinkOpener.h"

class DesktopLinkOpener final : public LinkOpener {
public:
    bool open(const QUrl &url) override;
};
