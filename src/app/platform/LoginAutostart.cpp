#include "LoginAutostart.h"

#include "ProductName.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>
#include <utility>

namespace {

constexpr const char *offeredKey = "autostart/offered";

// A path as the Exec key takes it: quoted, with the characters the quotes do not protect
// escaped, when it holds anything but plain characters.
QString execArgument(const QString &path) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    if (std::none_of(path.begin(), path.end(), [](QChar c) { return reserved.contains(c); }))
        return path;
    QString quoted = path;
    for (const QChar c : {QLatin1Char('\\'), QLatin1Char('"'), QLatin1Char('`'), QLatin1Char('$')})
        quoted.replace(c, QStringLiteral("\\") + c);
    // A backslash in a desktop entry's string value is itself escaped once more.
    quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

} // namespace

LoginAutostart::LoginAutostart(QString configHome, QString program)
    : m_configHome(std::move(configHome))
    , m_program(std::move(program)) {}

LoginAutostart LoginAutostart::forUser() {
    return {QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation),
            QCoreApplication::applicationFilePath()};
}

QString LoginAutostart::entryPath() const {
    return m_configHome + QStringLiteral("/autostart/") + ProductName::command +
           QStringLiteral(".desktop");
}

bool LoginAutostart::isOn() const {
    return QFile::exists(entryPath());
}

bool LoginAutostart::setOn(bool on) {
    if (!on)
        return !QFile::exists(entryPath()) || QFile::remove(entryPath());
    if (!QDir().mkpath(m_configHome + QStringLiteral("/autostart")))
        return false;
    QSaveFile entry(entryPath());
    if (!entry.open(QIODevice::WriteOnly))
        return false;
    const QString text = QStringLiteral("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Name=%1\n"
                                        "Comment=Запись встреч и митрепорт в Telegram\n"
                                        "Exec=%2 %3\n"
                                        "Icon=%4\n"
                                        "Terminal=false\n"
                                        "X-GNOME-Autostart-enabled=true\n")
                             .arg(ProductName::display, execArgument(m_program),
                                  QString::fromLatin1(atLoginOption), ProductName::command);
    entry.write(text.toUtf8());
    return entry.commit();
}

void LoginAutostart::offerOnce(QSettings &settings) {
    if (settings.value(QString::fromLatin1(offeredKey), false).toBool())
        return;
    // Marked as offered only once it is there: a full disk now offers it again next time.
    if (setOn(true))
        settings.setValue(QString::fromLatin1(offeredKey), true);
}
