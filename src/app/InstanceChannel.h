#pragma once
// The running copy's name on the session bus, through which a second start asks it to show
// its window instead of doing nothing.

#include <QObject>

class InstanceChannel : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "ru.tolvex.Tolvex")

public:
    static constexpr const char *serviceName = "ru.tolvex.Tolvex";
    static constexpr const char *objectPath = "/ru/tolvex/Tolvex";

    // Takes the name when the session has a bus; a copy without it still runs.
    explicit InstanceChannel(QObject *parent = nullptr);
    ~InstanceChannel() override;
    InstanceChannel(const InstanceChannel &) = delete;
    InstanceChannel &operator=(const InstanceChannel &) = delete;

    // From the second copy: true when the running copy got the request.
    [[nodiscard]] static bool askRunningCopyToShow();

public slots:
    Q_SCRIPTABLE void Show();

signals:
    void showRequested();

private:
    bool m_owned = false;
};
