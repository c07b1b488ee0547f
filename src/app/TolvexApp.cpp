#include "TolvexApp.h"

#include "AppViewModel.h"
#include "CallPrompt.h"
#include "DesktopNotifier.h"
#include "InstanceChannel.h"
#include "Logging.h"
#include "NoTrayWindow.h"
#include "PopoverWindow.h"
#include "ProductName.h"
#include "ScreenLogic.h"
#include "StateNotices.h"
#include "StopReminder.h"
#include "TolvexUi.h"
#include "TrayIcon.h"
#include "TrayMenu.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QMenu>
#include <QQmlEngine>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace {

QString noTrayNotice() {
    return QStringLiteral(
               "Не найдена системная область уведомлений (трей), поэтому %1 открыт в этом окне. "
               "Закрытое окно снова откроется, если запустить %1 ещё раз; выход — Ctrl+Q. Как "
               "только трей появится (в GNOME — расширение AppIndicator), %1 переберётся туда.")
        .arg(ProductName::display);
}

} // namespace

TolvexApp::TolvexApp(std::unique_ptr<AppViewModel> viewModel, bool atLogin, ReminderPace pace,
                     QObject *parent)
    : QObject(parent)
    , m_viewModel(std::move(viewModel))
    , m_settings(ProductName::command, ProductName::command)
    , m_trayWaitMs(atLogin ? trayWaitAtLoginMs : trayWaitMs)
    , m_pace(pace) {
    m_trayPoll.setInterval(trayPollMs);
    connect(&m_trayPoll, &QTimer::timeout, this, &TolvexApp::checkForTray);
    m_recordingClock.setInterval(1000);
    connect(&m_recordingClock, &QTimer::timeout, this, &TolvexApp::updateToolTip);
}

TolvexApp::~TolvexApp() = default;

template <typename Window, typename... Extra>
bool TolvexApp::makeScreens(std::unique_ptr<Window> &window, const Extra &...extra) {
    try {
        if (!m_engine) {
            TolvexUi::registerTypes();
            m_engine = std::make_unique<QQmlEngine>();
        }
        window =
            std::make_unique<Window>(*m_engine, TolvexUi::popoverViewUrl(), *m_viewModel, extra...);
    } catch (const std::runtime_error &error) {
        // The screens ship with the program: when they cannot be made, the installation is
        // broken, and nothing the user does here would mend it.
        qCCritical(lcPopover, "%s", error.what());
        QCoreApplication::exit(1);
        return false;
    }
    connect(window.get(), &ScreensWindow::quitRequested, this, &TolvexApp::requestQuit,
            Qt::QueuedConnection);
    return true;
}

PopoverWindow *TolvexApp::popover() {
    if (!m_popover && !makeScreens(m_popover, m_session)) {
        return nullptr;
    }
    return m_popover.get();
}

NoTrayWindow *TolvexApp::noTrayWindow() {
    if (!m_window && !makeScreens(m_window)) {
        return nullptr;
    }
    return m_window.get();
}

void TolvexApp::start() {
    m_menu = std::make_unique<TrayMenu>(*m_viewModel, m_autostart);
    connect(m_menu.get(), &TrayMenu::openRequested, this, &TolvexApp::openPopover);
    connect(m_menu.get(), &TrayMenu::quitRequested, this, &TolvexApp::requestQuit);
    // A right click is a click outside the popover, so the popover closes. It must close
    // before the menu takes the keyboard: closing it afterwards would take the menu along.
    connect(&m_menu->menu(), &QMenu::aboutToShow, this, [this] {
        if (m_popover) {
            m_popover->dismiss();
        }
    });

    m_tray = std::make_unique<TrayIcon>(m_menu->menu());
    connect(m_tray.get(), &TrayIcon::clicked, this, &TolvexApp::togglePopover);
    connect(m_tray.get(), &TrayIcon::menuAsked, this,
            [this](const QRect &anchor) { m_anchor = anchor; });
    connect(m_tray.get(), &TrayIcon::registrationChanged, this, &TolvexApp::checkForTray);

    m_channel = std::make_unique<InstanceChannel>(
        [this](InstanceChannel::Command command) { return runCommand(command); });
    connect(m_channel.get(), &InstanceChannel::showRequested, this, [this] {
        if (m_presence == Presence::window) {
            openPopover();
        }
    });

    m_notifier = std::make_unique<DesktopNotifier>();
    m_notices = std::make_unique<StateNotices>(*m_viewModel, *m_notifier,
                                               [this] { return screensShown(); });
    m_callPrompt = std::make_unique<CallPrompt>(*m_viewModel, *m_notifier, m_settings);
    m_menu->setCallOffers(m_callPrompt->isEnabled());
    connect(m_menu.get(), &TrayMenu::callOffersToggled, m_callPrompt.get(),
            &CallPrompt::setEnabled);
    // Calls are followed through the offers' watcher: with the offers off, only a long silence
    // reminds of a recording.
    m_stopReminder = std::make_unique<StopReminder>(*m_viewModel, *m_notifier, m_pace);
    connect(m_callPrompt.get(), &CallPrompt::captureOpened, m_stopReminder.get(),
            &StopReminder::onCaptureOpened);
    connect(m_callPrompt.get(), &CallPrompt::captureClosed, m_stopReminder.get(),
            &StopReminder::onCaptureClosed);
    connect(m_callPrompt.get(), &CallPrompt::capturesForgotten, m_stopReminder.get(),
            &StopReminder::onCapturesForgotten);

    connect(m_viewModel.get(), &AppViewModel::changed, this, &TolvexApp::followState);
    connect(m_viewModel.get(), &AppViewModel::recordingNoticeChanged, this,
            &TolvexApp::updateToolTip);
    followState();

    m_trayWait.start();
    m_trayPoll.start();
    checkForTray();
}

void TolvexApp::checkForTray() {
    switch (m_tray->registration()) {
    case StatusNotifierItem::Registration::shown:
        setPresence(Presence::statusNotifier);
        return;
    case StatusNotifierItem::Registration::registering:
        return;
    case StatusNotifierItem::Registration::noWatcher:
    case StatusNotifierItem::Registration::noHost:
        // A watcher with no host shows nothing: as good as none.
        break;
    }
    if (m_presence == Presence::statusNotifier) {
        // The watcher or its last host went away: wait for a tray as at the start.
        setPresence(Presence::searching);
    }
    if (m_tray->xembedTrayAvailable()) {
        setPresence(Presence::xembed);
        return;
    }
    if (m_presence == Presence::searching && m_trayWait.elapsed() >= m_trayWaitMs) {
        setPresence(Presence::window);
    }
}

void TolvexApp::setPresence(Presence presence) {
    if (m_presence == presence) {
        return;
    }
    m_presence = presence;
    switch (presence) {
    case Presence::searching:
        m_trayWait.start();
        m_trayPoll.start();
        return;
    case Presence::statusNotifier:
        m_trayPoll.stop();
        m_tray->leaveXEmbedTray();
        break;
    case Presence::xembed:
        // A StatusNotifierWatcher that appears later still takes over.
        m_trayPoll.stop();
        m_tray->showInXEmbedTray();
        break;
    case Presence::window:
        if (m_popover) {
            m_popover->dismiss();
        }
        if (NoTrayWindow *window = noTrayWindow()) {
            window->present(noTrayNotice());
        }
        return;
    }
    // A tray came: the window goes, and the next opening is the popover.
    m_window.reset();
}

void TolvexApp::followState() {
    if (m_viewModel->stateCase() == AppState::Case::idle) {
        // Signed in: from now on the program starts with the session, unless the user says no.
        m_autostart.offerOnce(m_settings);
        m_menu->followAutostart();
    }
    const bool recording = m_viewModel->stateCase() == AppState::Case::recording;
    m_tray->setRecording(recording);
    if (recording && !m_recordingClock.isActive()) {
        m_recordingClock.start();
    } else if (!recording) {
        m_recordingClock.stop();
    }
    updateToolTip();
}

// What goes on while the popover is closed reaches the user, too: the recording and its
// time, an upload, a failed one, a notice that a track hears nothing, and what waits unsent.
QStringList TolvexApp::statusLines() const {
    QStringList lines;
    switch (m_viewModel->stateCase()) {
    case AppState::Case::recording:
        lines << QStringLiteral("Идёт запись %1")
                     .arg(ScreenLogic::elapsedText(static_cast<double>(std::max<qint64>(
                         m_viewModel->recordingStartTime().secsTo(QDateTime::currentDateTimeUtc()),
                         0))));
        break;
    case AppState::Case::uploading:
        lines << QStringLiteral("Загружаю запись...");
        break;
    case AppState::Case::uploadError:
        lines << QStringLiteral("Запись не загружена");
        break;
    case AppState::Case::idle:
    case AppState::Case::notLoggedIn:
        break;
    }
    if (const QString notice = m_viewModel->recordingNotice(); !notice.isEmpty()) {
        lines << notice;
    }
    if (const QString unsent = m_viewModel->unsentText(); !unsent.isEmpty()) {
        lines << unsent;
    }
    return lines;
}

void TolvexApp::updateToolTip() {
    m_tray->setToolTip(statusLines());
}

InstanceChannel::Outcome TolvexApp::runCommand(InstanceChannel::Command command) {
    using Command = InstanceChannel::Command;
    const AppState::Case state = m_viewModel->stateCase();
    if (command == Command::status) {
        QStringList lines = statusLines();
        if (state == AppState::Case::notLoggedIn) {
            lines.prepend(QStringLiteral("Вход не выполнен"));
        } else if (state == AppState::Case::idle) {
            lines.prepend(QStringLiteral("Запись не идёт"));
        }
        return {true,
                lines.join(QStringLiteral(". ")).replace(QLatin1Char('\n'), QStringLiteral(". "))};
    }
    if (state == AppState::Case::notLoggedIn) {
        return {false, QStringLiteral("Вход не выполнен: войдите через значок %1 в трее")
                           .arg(ProductName::genitive)};
    }
    if (m_viewModel->isBusy() || state == AppState::Case::uploading) {
        return {false, QStringLiteral("%1 занят: запись начинается, останавливается или "
                                      "загружается; попробуйте через несколько секунд")
                           .arg(ProductName::display)};
    }
    const bool recording = state == AppState::Case::recording;
    if (command == Command::stop || (command == Command::toggle && recording)) {
        if (!recording) {
            return {false, QStringLiteral("Запись не идёт")};
        }
        m_viewModel->finishRecording();
        return {true, QStringLiteral("Запись остановлена и отправляется")};
    }
    if (recording) {
        return {false, QStringLiteral("Запись уже идёт")};
    }
    m_viewModel->beginRecording();
    return {true, QStringLiteral("Начинаю запись")};
}

bool TolvexApp::screensShown() const {
    return (m_popover && m_popover->isVisible()) || (m_window && m_window->isVisible());
}

void TolvexApp::togglePopover(const QRect &anchor) {
    m_anchor = anchor;
    if (m_presence == Presence::window) {
        openPopover();
        return;
    }
    m_viewModel->recheckSignIn();
    if (PopoverWindow *window = popover()) {
        window->toggle(anchor);
    }
}

void TolvexApp::openPopover() {
    m_viewModel->recheckSignIn();
    if (m_presence == Presence::window) {
        if (NoTrayWindow *window = noTrayWindow()) {
            window->present(noTrayNotice());
        }
        return;
    }
    PopoverWindow *window = popover();
    if (window != nullptr && !window->isVisible()) {
        // An XEmbed tray says where the icon is; a StatusNotifier host only where it was used.
        window->showBelow(m_anchor.isEmpty() ? m_tray->xembedGeometry() : m_anchor, false);
    }
}

void TolvexApp::requestQuit() {
    quitSafely();
}

QCoro::Task<> TolvexApp::quitSafely() {
    if (m_quitting) {
        co_return;
    }
    m_quitting = true;
    // However the stop goes, the program ends in time: what the capture wrote is on disk in
    // fragments already, and the next launch picks it up.
    QTimer::singleShot(AppViewModel::maxQuitWait + quitMargin, qApp, &TolvexApp::endAsCrashWould);
    QCoro::Task<bool> preparing = m_viewModel->prepareToQuit();
    if (!co_await std::move(preparing))
        endAsCrashWould();
    QCoreApplication::quit();
}

void TolvexApp::endAsCrashWould() {
    // An encoder or a mix still writes on its own thread: tearing the program down under it
    // could crash inside FFmpeg. Its files are left as a crash leaves them (whole fragments, a
    // manifest at its last stage), which the next launch recovers from.
    std::fflush(nullptr);
    std::_Exit(EXIT_SUCCESS);
}
