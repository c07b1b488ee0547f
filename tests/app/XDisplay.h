#pragma once
// A private X display for one test: an Xvfb server with an XEmbed tray host (trayer) in a
// panel at the top right, driven and watched from outside with xdotool and screenshots, as
// a person at the screen would.

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRect>
#include <QString>
#include <QStringList>

#include <optional>

class XDisplay {
public:
    static constexpr int width = 1280;
    static constexpr int height = 800;

    XDisplay() = default;
    ~XDisplay();
    XDisplay(const XDisplay &) = delete;
    XDisplay &operator=(const XDisplay &) = delete;

    // Starts the server on a free display number; false with error() set when it does not
    // come up within a few seconds.
    bool start();
    // Starts the tray host in a panel at the top right, the same way.
    bool startTrayHost();
    [[nodiscard]] QString error() const { return m_error; }
    // ":<n>"
    [[nodiscard]] QString name() const { return m_name; }
    // The environment of this process with DISPLAY pointing here.
    [[nodiscard]] QProcessEnvironment environment() const;

    // Visible windows whose WM_CLASS instance or class matches `pattern` (a regular expression).
    [[nodiscard]] QList<qulonglong> visibleWindows(const QString &pattern) const;
    [[nodiscard]] std::optional<QRect> geometry(qulonglong window) const;
    void click(QPoint at, int button = 1) const;
    void key(const QString &keys) const;
    // The whole screen; a null image when the grab fails.
    [[nodiscard]] QImage screenshot() const;
    [[nodiscard]] QString windowName(qulonglong window) const;

private:
    bool xdotool(const QStringList &arguments, QByteArray *output = nullptr) const;

    QProcess m_server;
    QProcess m_tray;
    QString m_name;
    QString m_error;
};
