#pragma once
// The private X display with-desktop.sh makes (DISPLAY), driven and watched from outside with
// xdotool and screenshots, as a person at the screen would.

#include <QImage>
#include <QList>
#include <QRect>
#include <QString>

#include <optional>

namespace XDisplay {

inline constexpr int width = 1280;

// Visible windows whose WM_CLASS instance or class matches `pattern` (a regular expression).
QList<qulonglong> visibleWindows(const QString &pattern);
std::optional<QRect> geometry(qulonglong window);
QString windowName(qulonglong window);
void click(QPoint at, int button = 1);
// What a window manager's close button sends (WM_DELETE_WINDOW).
void close(qulonglong window);
void key(const QString &keys);
// The whole screen; a null image when the grab fails.
QImage screenshot();

} // namespace XDisplay
