#include "TolvexApp.h"

#include "AppViewModel.h"
#include "NoTrayWindow.h"
#include "PopoverWindow.h"
#include "TolvexUi.h"

#include <QAction>
#include <QCoreApplication>
#include <QIcon>
#include <QKeySequence>
#include <QMenu>
#include <QQmlEngine>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

TolvexApp::TolvexApp(bool recoversUnsent, QObject *parent)
    : QObject(parent)
    , m_viewModel(std::make_unique<AppViewModel>(nullptr, recoversUnsent)) {
    m_trayPoll.setInterval(trayPollMs);
    connect(&m_trayPoll, &QTimer::timeout, this, &TolvexApp::checkForTray);
}

TolvexApp::~TolvexApp() = default;

PopoverWindow &TolvexApp::popover() {
    if (!m_popover) {
        TolvexUi::registerTypes();
        m_engine = std::make_unique<QQmlEngine>();
        m_popover =
            std::make_unique<PopoverWindow>(*m_engine, TolvexUi::popoverViewUrl(), *m_viewModel);
        connect(m_popover.get(), &PopoverWindow::quitRequested, this, &TolvexApp::requestQuit,
                Qt::QueuedConnection);
    }
    return *m_popover;
}

void TolvexApp::start() {
    m_trayWait.start();
    checkForTray();
    if (!m_tray) {
        m_trayPoll.start();
    }
}

void TolvexApp::checkForTray() {
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        m_trayPoll.stop();
        m_notice.reset();
        createTray();
        return;
    }
    if (!m_notice && m_trayWait.elapsed() >= trayWaitMs) {
        // Keep looking: a tray that appears later still gets the icon.
        showNoTrayNotice();
    }
}

void TolvexApp::createTray() {
    if (m_tray) {
        return;
    }
    m_menu = std::make_unique<QMenu>();
    QAction *quit = m_menu->addAction(QString::fromUtf8(quitText));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, this, &TolvexApp::requestQuit, Qt::QueuedConnection);
    // A right click is a click outside the popover, so the popover closes. It must close
    // before the menu takes the keyboard: closing it afterwards would take the menu along.
    connect(m_menu.get(), &QMenu::aboutToShow, this, [this] {
        if (m_popover) {
            m_popover->dismiss();
        }
    });

    m_tray = std::make_unique<QSystemTrayIcon>(QIcon(QStringLiteral(":/tolvex/BubbleIcon.svg")));
    showNoticeInToolTip();
    connect(m_viewModel.get(), &AppViewModel::recordingNoticeChanged, this,
            &TolvexApp::showNoticeInToolTip);
    // The tray shows this menu itself on a right click; the click then arrives here as
    // Context, which leaves the popover alone.
    m_tray->setContextMenu(m_menu.get());
    connect(m_tray.get(), &QSystemTrayIcon::activated, this, &TolvexApp::onTrayActivated);
    m_tray->show();
}

// A notice that a track hears nothing reaches a user whose popover is closed, too.
void TolvexApp::showNoticeInToolTip() {
    QString tip = QStringLiteral("Толвекс");
    if (const QString notice = m_viewModel->recordingNotice(); !notice.isEmpty())
        tip += QLatin1Char('\n') + notice;
    m_tray->setToolTip(tip);
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

void TolvexApp::showNoTrayNotice() {
    m_notice = std::make_unique<NoTrayWindow>();
    connect(m_notice.get(), &NoTrayWindow::dismissed, qApp, &QCoreApplication::quit,
            Qt::QueuedConnection);
    m_notice->show();
}

void TolvexApp::onTrayActivated(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
    // An XEmbed tray reports the second of two quick clicks as a double click; each click
    // still opens or closes the popover.
    case QSystemTrayIcon::Trigger:
    case QSystemTrayIcon::DoubleClick:
        m_viewModel->recheckSignIn();
        try {
            popover().toggle(m_tray->geometry());
        } catch (const std::runtime_error &error) {
            // The screens ship with the program: when they cannot be made, the installation is
            // broken, and nothing the user does here would mend it.
            std::fprintf(stderr, "tolvex: %s\n", error.what());
            QCoreApplication::exit(1);
        }
        return;
    case QSystemTrayIcon::Context:
    case QSystemTrayIcon::MiddleClick:
    case QSystemTrayIcon::Unknown:
        return;
    }
}
