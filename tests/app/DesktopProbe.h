#pragma once
// What the tests of the program on Wayland desktops read from the outside: the popover's place
// on XWayland, the pixels that changed between two screenshots, and waits that count time.

#include <QDeadlineTimer>
#include <QImage>
#include <QProcess>
#include <QRect>
#include <QRegularExpression>
#include <QTest>

#include <algorithm>
#include <functional>
#include <optional>

// The visible X windows that `xdotool search` finds with `query`, and where they are.
inline QList<QRect> xWindows(const QStringList &query) {
    QProcess xdotool;
    xdotool.start(QStringLiteral("xdotool"), QStringList{"search", "--onlyvisible"} + query +
                                                 QStringList{"getwindowgeometry", "%@"});
    xdotool.waitForFinished(5000);
    static const QRegularExpression window(
        QStringLiteral("Position: (-?\\d+),(-?\\d+).*\\n\\s*Geometry: (\\d+)x(\\d+)"));
    const QString text = QString::fromUtf8(xdotool.readAllStandardOutput());
    QList<QRect> found;
    for (auto match = window.globalMatch(text); match.hasNext();) {
        const auto m = match.next();
        found.append(QRect(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt(),
                           m.captured(4).toInt()));
    }
    return found;
}

// The program's popover as XWayland knows it: mapped, 300 px wide, and where.
inline std::optional<QRect> popoverOnXWayland() {
    for (const QRect &rect : xWindows({"--name", "^Толвекс$"})) {
        if (rect.width() == 300)
            return rect;
    }
    return std::nullopt;
}

// The popover once it is shown and stays where it is for a moment: its height follows its
// first frame, and a popover above the panel moves with it.
inline std::optional<QRect> settledPopoverOnXWayland(int ms) {
    const QDeadlineTimer deadline(ms);
    std::optional<QRect> last;
    while (!deadline.hasExpired()) {
        const std::optional<QRect> now = popoverOnXWayland();
        if (now && now == last)
            return now;
        last = now;
        QTest::qWait(300);
    }
    return std::nullopt;
}

// Where two screenshots differ, within `area`.
inline QRect changed(const QImage &before, const QImage &after, const QRect &area) {
    QRect found;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            if (before.pixel(x, y) != after.pixel(x, y))
                found |= QRect(x, y, 1, 1);
        }
    }
    return found;
}

// The distance from a point to a rectangle's nearest edge (0 inside).
inline int distance(const QPoint &point, const QRect &rect) {
    const int dx = std::max({rect.left() - point.x(), 0, point.x() - rect.right()});
    const int dy = std::max({rect.top() - point.y(), 0, point.y() - rect.bottom()});
    return std::max(dx, dy);
}

// Polls `done` until it holds or `ms` pass; a screenshot takes a while, so the time counts, not
// the tries.
inline bool waitFor(const std::function<bool()> &done, int ms) {
    const QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        if (done())
            return true;
        QTest::qWait(100);
    }
    return done();
}
