#include "StateNotices.h"

#include "AppViewModel.h"
#include "ProductName.h"
#include "TrayMenu.h"
#include "UserTexts.h"

using Kind = DesktopNotifier::Kind;

StateNotices::StateNotices(AppViewModel &viewModel, DesktopNotifier &notifier,
                           std::function<bool()> screensShown, QObject *parent)
    : QObject(parent)
    , m_viewModel(viewModel)
    , m_notifier(notifier)
    , m_screensShown(std::move(screensShown))
    , m_last(viewModel.state()) {
    connect(&m_viewModel, &AppViewModel::changed, this, &StateNotices::followState);
    connect(&m_notifier, &DesktopNotifier::actionInvoked, this, &StateNotices::onAction);
}

void StateNotices::followState() {
    const AppState &state = m_viewModel.state();
    if (state == m_last)
        return;
    const AppState::Case was = m_last.kind();
    const AppState::Case now = state.kind();
    m_last = state;
    if (was == AppState::Case::uploadError && now != AppState::Case::uploadError)
        m_notifier.close(Kind::uploadFailed);
    if (was == AppState::Case::notLoggedIn && now != AppState::Case::notLoggedIn)
        m_notifier.close(Kind::signInExpired);
    if (m_screensShown())
        return;
    switch (now) {
    case AppState::Case::idle:
        if (was == AppState::Case::uploading)
            m_notifier.show(Kind::uploaded,
                            QStringLiteral("Запись отправлена — митрепорт придёт в Telegram"), {});
        break;
    case AppState::Case::uploadError:
        m_notifier.show(
            Kind::uploadFailed, QStringLiteral("Запись не загружена"), state.errorText(),
            {{QString::fromLatin1(retryAction), QString::fromUtf8(TrayMenu::retryText)}});
        break;
    case AppState::Case::notLoggedIn:
        if (state.errorText() == signInExpiredText())
            m_notifier.show(Kind::signInExpired, ProductName::display, state.errorText());
        break;
    case AppState::Case::recording:
    case AppState::Case::uploading:
        break;
    }
}

void StateNotices::onAction(DesktopNotifier::Kind kind, const QString &action) {
    // As the popover's button: only while the failure is still on the screens.
    if (kind == Kind::uploadFailed && action == QLatin1String(retryAction) &&
        m_viewModel.stateCase() == AppState::Case::uploadError && !m_viewModel.isBusy())
        m_viewModel.retryUpload();
}
