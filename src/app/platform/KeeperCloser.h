#pragma once
// Under GNOME's and Plasma's XWayland: the shield's way, and a FocusKeeper under the popover
// that takes the keyboard for it.

#include "FocusKeeper.h"
#include "ShieldCloser.h"

class KeeperCloser : public ShieldCloser {
    Q_OBJECT

public:
    explicit KeeperCloser(QQuickWindow &popover);

    [[nodiscard]] bool holdsFocus() const override { return true; }
    void watch(const QRect &area) override;
    void follow(const QRect &area) override;
    void stop() override;

private:
    FocusKeeper m_keeper;
};
