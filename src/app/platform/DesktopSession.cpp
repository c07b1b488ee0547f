#include "DesktopSession.h"

#include <QGuiApplication>
#include <QString>

namespace {

// Whether the user named a platform for the toolkit.
bool platformChosen(int argc, char *argv[]) {
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        return true;
    }
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "-platform") == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

bool DesktopSession::displayAvailable(int argc, char *argv[]) {
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") || platformChosen(argc, argv);
}

void DesktopSession::preferXWaylandForPlacement(int argc, char *argv[]) {
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        !qEnvironmentVariableIsEmpty("DISPLAY") && !platformChosen(argc, argv)) {
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
}

DesktopSession DesktopSession::detect() {
    const bool xwayland = QGuiApplication::platformName() == QLatin1String("xcb") &&
                          !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    const QString desktop = qEnvironmentVariable("XDG_CURRENT_DESKTOP");
    return {xwayland ? Display::xwayland : Display::x11,
            desktop.contains(QLatin1String("GNOME")) || desktop.contains(QLatin1String("KDE"))};
}
