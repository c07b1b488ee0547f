#pragma once
// Starting with the desktop session: an XDG autostart entry (`tolvex.desktop` in the user's
// autostart folder) that runs this program with --at-login. Put there once, after the first
// sign-in; from then on only the user adds or removes it, from the tray menu.

#include <QSettings>
#include <QString>

class LoginAutostart {
public:
    // The option the entry starts the program with.
    static constexpr const char *atLoginOption = "--at-login";

    // `configHome` is $XDG_CONFIG_HOME (or ~/.config); `program` the path the entry starts.
    LoginAutostart(QString configHome, QString program);
    // The user's own: from the environment and the running program's path.
    [[nodiscard]] static LoginAutostart forUser();

    [[nodiscard]] QString entryPath() const;
    [[nodiscard]] bool isOn() const;
    // Writes the entry (in one step: a session starting never reads half of it) or removes it;
    // false when the folder or the file could not be written.
    bool setOn(bool on);
    // The first time the user is signed in, the entry is put there; later sign-ins leave the
    // user's choice alone.
    void offerOnce(QSettings &settings);

private:
    QString m_configHome;
    QString m_program;
};
