#include "PopoverCloser.h"

#include "DesktopSession.h"
#include "KeeperCloser.h"
#include "ShieldCloser.h"
#include "X11PressCloser.h"

std::unique_ptr<PopoverCloser> PopoverCloser::forSession(const DesktopSession &session,
                                                         QQuickWindow &popover) {
    if (session.focusesManagedWindowsOnly()) {
        return std::make_unique<KeeperCloser>(popover);
    }
    if (session.underXWayland()) {
        return std::make_unique<ShieldCloser>();
    }
    return std::make_unique<X11PressCloser>(popover);
}
