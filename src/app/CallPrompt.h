#pragma once
// Offers to record a call: when another program has recorded from a microphone for a few
// seconds while the user is signed in and nothing is recorded or sent, a notification asks
// whether to record the meeting. One offer per stream, gone when the stream closes.

#include "DesktopNotifier.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <map>
#include <memory>
#include <optional>

class AppViewModel;
class QSettings;
class CallWatcher;

class CallPrompt : public QObject {
    Q_OBJECT

public:
    // A microphone opened for less than this is a test or a voice message, not a call.
    static constexpr std::chrono::milliseconds callAfter{5000};
    static constexpr const char *startAction = "start";
    static constexpr const char *laterAction = "later";

    // The choice to offer is kept in `settings`, the program's own.
    CallPrompt(AppViewModel &viewModel, DesktopNotifier &notifier, QSettings &settings,
               QObject *parent = nullptr);
    ~CallPrompt() override;

    // Kept across launches; on unless the user turned it off.
    [[nodiscard]] bool isEnabled() const noexcept { return m_enabled; }
    void setEnabled(bool enabled);

signals:
    // The watcher's reports, passed on to whoever else follows calls while offers are on.
    void captureOpened(quint32 index, const QString &application);
    void captureClosed(quint32 index);
    // Every stream reported is forgotten: the sound server went, or the offers were turned off.
    void capturesForgotten();

private:
    struct Stream {
        QString application;
        std::unique_ptr<QTimer> wait;
    };

    void onOpened(quint32 index, const QString &application);
    void onClosed(quint32 index);
    void offer(quint32 index);
    void onAction(DesktopNotifier::Kind kind, const QString &action);
    void withdraw();

    AppViewModel &m_viewModel;
    DesktopNotifier &m_notifier;
    QSettings &m_settings;
    bool m_enabled = true;
    std::unique_ptr<CallWatcher> m_watcher;
    // The capture streams of other programs that are open now.
    std::map<quint32, Stream> m_streams;
    // The stream whose offer shows.
    std::optional<quint32> m_offered;
};
