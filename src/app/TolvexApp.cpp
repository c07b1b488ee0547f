#include "TolvexApp.h"

#include "AppViewModel.h"
#include "InstanceChannel.h"
#include "PopoverWindow.h"
#include "StatusNotifierItem.h"
#include "TolvexUi.h"
#include "TrayIconArt.h"
#include "TrayMenu.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDateTime>
#include <QMenu>
#include <QQmlEngine>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace {

const QString productName = QStringLiteral("Толвекс");

// m:ss under an hour, h:mm:ss beyond.
QString elapsedText(qint64 seconds) {
    seconds = std::max<qint64>(seconds, 0);
    const qint64 hours = seconds / 3600;
    const qint64 minutes = seconds / 60 % 60;
    return hours > 0 ? QString::asprintf("%lld:%02lld:%02lld", hours, minutes, seconds % 60)
                     : QString::asprintf("%02lld:%02lld", minutes, seconds % 60);
}

// A host gives one point of the icon (where it was clicked, or where a popup should go); the
// icon around it is taken to be a panel's usual size, so that the popover clears the panel.
QRect iconAround(QPoint at) {
    constexpr int span = 32;
    return at.isNull() ? QRect() : QRect(at - QPoint(span / 2, span / 2), QSize(span, span));
}

} // namespace

TolvexApp::TolvexApp(std::unique_ptr<AppViewModel> viewModel, QObject *parent)
    : QObject(parent)
    , m_viewModel(std::move(viewModel)) {
    m_trayPoll.setInterval(trayPollMs);
    connect(&m_trayPoll, &QTimer::timeout, this, &TolvexApp::checkForTray);
    m_recordingClock.setInterval(1000);
    connect(&m_recordingClock, &QTimer::timeout, this, &TolvexApp::updateToolTip);
}

TolvexApp::~TolvexApp() = default;

PopoverWindow *TolvexApp::popover() {
    if (m_popover) {
        return m_popover.get();
    }
    try {
        TolvexUi::registerTypes();
        m_engine = std::make_unique<QQmlEngine>();
        m_popover =
            std::make_unique<PopoverWindow>(*m_engine, TolvexUi::popoverViewUrl(), *m_viewModel);
    } catch (const std::runtime_error &error) {
        // The screens ship with the program: when they cannot be made, the installation is
        // broken, and nothing the user does here would mend it.
        std::fprintf(stderr, "tolvex: %s\n", error.what());
        QCoreApplication::exit(1);
        return nullptr;
    }
    connect(m_popover.get(), &PopoverWindow::quitRequested, this, &TolvexApp::requestQuit,
            Qt::QueuedConnection);
    return m_popover.get();
}

void TolvexApp::start() {
    m_menu = std::make_unique<TrayMenu>(*m_viewModel);
    connect(m_menu.get(), &TrayMenu::openRequested, this, &TolvexApp::openPopover);
    connect(m_menu.get(), &TrayMenu::quitRequested, this, &TolvexApp::requestQuit);
    // A right click is a click outside the popover, so the popover closes. It must close
    // before the menu takes the keyboard: closing it afterwards would take the menu along.
    connect(&m_menu->menu(), &QMenu::aboutToShow, this, [this] {
        if (m_popover && !m_popover->isWindowMode()) {
            m_popover->dismiss();
        }
    });

    const QDBusConnection bus = QDBusConnection::sessionBus();
    m_xembedUsable =
        !bus.isConnected() || !bus.interface()->isServiceRegistered(
                                  QString::fromLatin1(StatusNotifierItem::watcherService));
    m_item = std::make_unique<StatusNotifierItem>(m_menu->menu());
    m_item->setIcon(TrayIconArt::images(false));
    connect(m_item.get(), &StatusNotifierItem::activated, this,
            [this](QPoint at) { togglePopover(iconAround(at)); });
    connect(m_item.get(), &StatusNotifierItem::menuRequested, this,
            [this](QPoint at) { m_anchor = iconAround(at); });
    connect(m_item.get(), &StatusNotifierItem::registrationChanged, this, &TolvexApp::checkForTray);

    m_channel = std::make_unique<InstanceChannel>();
    connect(m_channel.get(), &InstanceChannel::showRequested, this, [this] {
        if (m_presence == Presence::window) {
            openPopover();
        }
    });

    connect(m_viewModel.get(), &AppViewModel::changed, this, &TolvexApp::followState);
    connect(m_viewModel.get(), &AppViewModel::recordingNoticeChanged, this,
            &TolvexApp::updateToolTip);
    followState();

    m_trayWait.start();
    m_trayPoll.start();
    checkForTray();
}

void TolvexApp::checkForTray() {
    switch (m_item->registration()) {
    case StatusNotifierItem::Registration::registered:
        setPresence(Presence::statusNotifier);
        return;
    case StatusNotifierItem::Registration::registering:
        return;
    case StatusNotifierItem::Registration::noWatcher:
        break;
    }
    if (m_presence == Presence::statusNotifier) {
        // The watcher went away: wait for it, or another tray, as at the start.
        setPresence(Presence::searching);
    }
    if (m_xembedUsable && QSystemTrayIcon::isSystemTrayAvailable()) {
        setPresence(Presence::xembed);
        return;
    }
    if (m_presence == Presence::searching && m_trayWait.elapsed() >= trayWaitMs) {
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
        m_tray.reset();
        break;
    case Presence::xembed:
        // A StatusNotifierWatcher that appears later still takes over.
        m_trayPoll.stop();
        createXEmbedIcon();
        break;
    case Presence::window:
        if (PopoverWindow *window = popover()) {
            window->showAsWindow(QString::fromUtf8(noTrayNotice));
        }
        return;
    }
    if (m_popover) {
        m_popover->leaveWindowMode();
    }
}

void TolvexApp::createXEmbedIcon() {
    if (m_tray) {
        return;
    }
    m_tray = std::make_unique<QSystemTrayIcon>(TrayIconArt::icon(m_recordingIcon));
    // The tray shows this menu itself on a right click; the click then arrives here as
    // Context, which leaves the popover alone.
    m_tray->setContextMenu(&m_menu->menu());
    connect(m_tray.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                // An XEmbed tray reports the second of two quick clicks as a double click;
                // each click still opens or closes the popover.
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
                    togglePopover(m_tray->geometry());
                }
            });
    updateToolTip();
    m_tray->show();
}

void TolvexApp::followState() {
    const bool recording = m_viewModel->stateCase() == AppState::Case::recording;
    if (recording != m_recordingIcon) {
        m_recordingIcon = recording;
        m_item->setIcon(TrayIconArt::images(recording));
        if (m_tray) {
            m_tray->setIcon(TrayIconArt::icon(recording));
        }
    }
    if (recording && !m_recordingClock.isActive()) {
        m_recordingClock.start();
    } else if (!recording) {
        m_recordingClock.stop();
    }
    updateToolTip();
}

// What goes on while the popover is closed reaches the user, too: the recording and its
// time, an upload, a failed one, and a notice that a track hears nothing.
void TolvexApp::updateToolTip() {
    QStringList lines;
    switch (m_viewModel->stateCase()) {
    case AppState::Case::recording:
        lines << QStringLiteral("Идёт запись %1")
                     .arg(elapsedText(m_viewModel->recordingStartTime().secsTo(
                         QDateTime::currentDateTimeUtc())));
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
    const QString description = lines.join(QLatin1Char('\n'));
    if (m_item) {
        m_item->setToolTip(productName, description);
    }
    if (m_tray) {
        m_tray->setToolTip(lines.isEmpty() ? productName
                                           : productName + QLatin1Char('\n') + description);
    }
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
    PopoverWindow *window = popover();
    if (window == nullptr) {
        return;
    }
    if (m_presence == Presence::window) {
        window->showAsWindow(QString::fromUtf8(noTrayNotice));
    } else if (!window->isVisible()) {
        // An XEmbed tray says where the icon is; a StatusNotifier host only where it was used.
        window->showBelow(m_anchor.isEmpty() && m_tray ? m_tray->geometry() : m_anchor, false);
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
