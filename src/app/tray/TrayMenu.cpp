#include "TrayMenu.h"

#include "AppViewModel.h"
#include "LoginAutostart.h"
#include "ProductName.h"

#include <QAction>
#include <QKeySequence>
#include <QMenu>
#include <QSignalBlocker>

TrayMenu::TrayMenu(AppViewModel &viewModel, LoginAutostart &autostart, QObject *parent)
    : QObject(parent)
    , m_viewModel(viewModel)
    , m_autostart(autostart)
    , m_menu(std::make_unique<QMenu>()) {
    QAction *open = m_menu->addAction(QStringLiteral("Открыть ") + ProductName::display);
    connect(open, &QAction::triggered, this, &TrayMenu::openRequested);
    m_main = m_menu->addAction(QString());
    connect(m_main, &QAction::triggered, this, &TrayMenu::runMainAction);
    m_newRecording = m_menu->addAction(QString::fromUtf8(newRecordingText));
    connect(m_newRecording, &QAction::triggered, &m_viewModel, &AppViewModel::beginRecording);
    m_unsent = m_menu->addAction(QString());
    m_unsent->setEnabled(false);
    m_sendNow = m_menu->addAction(QString::fromUtf8(sendNowText));
    connect(m_sendNow, &QAction::triggered, &m_viewModel, &AppViewModel::sendUnsentNow);
    m_menu->addSeparator();
    m_atLogin = m_menu->addAction(QString::fromUtf8(atLoginText));
    m_atLogin->setCheckable(true);
    connect(m_atLogin, &QAction::triggered, this, [this](bool on) {
        m_autostart.setOn(on);
        followAutostart();
    });
    connect(m_menu.get(), &QMenu::aboutToShow, this, &TrayMenu::followAutostart);
    m_callOffers = m_menu->addAction(QString::fromUtf8(callOffersText));
    m_callOffers->setCheckable(true);
    connect(m_callOffers, &QAction::toggled, this, &TrayMenu::callOffersToggled);
    QAction *quit = m_menu->addAction(QStringLiteral("Выйти из ") + ProductName::genitive);
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, this, &TrayMenu::quitRequested, Qt::QueuedConnection);
    connect(&m_viewModel, &AppViewModel::changed, this, &TrayMenu::followState);
    followState();
}

TrayMenu::~TrayMenu() = default;

void TrayMenu::setCallOffers(bool on) {
    const QSignalBlocker quiet(m_callOffers);
    m_callOffers->setChecked(on);
}

void TrayMenu::followState() {
    const char *text = nullptr;
    switch (m_viewModel.stateCase()) {
    case AppState::Case::idle:
        text = startText;
        break;
    case AppState::Case::recording:
        text = stopText;
        break;
    case AppState::Case::uploadError:
        text = retryText;
        break;
    case AppState::Case::notLoggedIn:
    case AppState::Case::uploading:
        break;
    }
    m_main->setVisible(text != nullptr);
    if (text != nullptr) {
        m_main->setText(QString::fromUtf8(text));
    }
    m_main->setEnabled(!m_viewModel.isBusy());
    m_newRecording->setVisible(m_viewModel.stateCase() == AppState::Case::uploadError &&
                               m_viewModel.hasRecordedFile());
    m_newRecording->setEnabled(!m_viewModel.isBusy());
    const QString unsent = m_viewModel.unsentText();
    m_unsent->setText(unsent);
    m_unsent->setVisible(!unsent.isEmpty());
    m_sendNow->setVisible(!unsent.isEmpty());
}

void TrayMenu::followAutostart() {
    m_atLogin->setChecked(m_autostart.isOn());
}

void TrayMenu::runMainAction() {
    // The state may have moved since the menu was drawn: act on the state as it is now.
    switch (m_viewModel.stateCase()) {
    case AppState::Case::idle:
        m_viewModel.beginRecording();
        return;
    case AppState::Case::recording:
        m_viewModel.finishRecording();
        return;
    case AppState::Case::uploadError:
        m_viewModel.retryUpload();
        return;
    case AppState::Case::notLoggedIn:
    case AppState::Case::uploading:
        return;
    }
}
