#include "CallPrompt.h"

#include "AppViewModel.h"
#include "CallWatcher.h"
#include "Logging.h"
#include "ProductName.h"
#include "PulseError.h"

#include <QSettings>

namespace {

const QString enabledKey = QStringLiteral("offerCallRecording");

} // namespace

CallPrompt::CallPrompt(AppViewModel &viewModel, DesktopNotifier &notifier, QSettings &settings,
                       QObject *parent)
    : QObject(parent)
    , m_viewModel(viewModel)
    , m_notifier(notifier)
    , m_settings(settings)
    , m_enabled(settings.value(enabledKey, true).toBool()) {
    connect(&m_notifier, &DesktopNotifier::actionInvoked, this, &CallPrompt::onAction);
    connect(&m_notifier, &DesktopNotifier::closed, this, [this](DesktopNotifier::Kind kind) {
        if (kind == DesktopNotifier::Kind::call)
            m_offered.reset();
    });
    // A recording or an upload under way makes an offer moot.
    connect(&m_viewModel, &AppViewModel::changed, this, [this] {
        if (m_viewModel.stateCase() != AppState::Case::idle)
            withdraw();
    });
    setEnabled(m_enabled);
}

CallPrompt::~CallPrompt() = default;

void CallPrompt::setEnabled(bool enabled) {
    if (enabled != m_enabled)
        m_settings.setValue(enabledKey, enabled);
    m_enabled = enabled;
    if (!enabled) {
        // Watching costs a connection to the sound server: none while offers are off.
        m_watcher.reset();
        m_streams.clear();
        withdraw();
        emit capturesForgotten();
        return;
    }
    if (m_watcher)
        return;
    m_watcher = std::make_unique<CallWatcher>();
    connect(m_watcher.get(), &CallWatcher::captureOpened, this, &CallPrompt::onOpened);
    connect(m_watcher.get(), &CallWatcher::captureClosed, this, &CallPrompt::onClosed);
    connect(m_watcher.get(), &CallWatcher::serverLost, this, [this] {
        m_streams.clear();
        withdraw();
        emit capturesForgotten();
    });
    try {
        m_watcher->start();
    } catch (const PulseError &error) {
        qCWarning(lcApp, "calls are not watched: %s", error.what());
        m_watcher.reset();
    }
}

void CallPrompt::onOpened(quint32 index, const QString &application) {
    // A report still queued from a watcher that the switch has since closed counts no more.
    if (!m_watcher || m_streams.contains(index))
        return;
    emit captureOpened(index, application);
    Stream &stream = m_streams[index];
    stream.application = application;
    stream.wait = std::make_unique<QTimer>();
    stream.wait->setSingleShot(true);
    stream.wait->setInterval(callAfter);
    connect(stream.wait.get(), &QTimer::timeout, this, [this, index] { offer(index); });
    stream.wait->start();
}

void CallPrompt::onClosed(quint32 index) {
    if (m_streams.erase(index) > 0)
        emit captureClosed(index);
    if (m_offered == index)
        withdraw();
}

void CallPrompt::offer(quint32 index) {
    const auto stream = m_streams.find(index);
    if (stream == m_streams.end() || m_viewModel.stateCase() != AppState::Case::idle ||
        m_viewModel.isBusy())
        return;
    const QString application = stream->second.application.isEmpty()
                                    ? QStringLiteral("другой программе")
                                    : stream->second.application;
    m_offered = index;
    m_notifier.show(
        DesktopNotifier::Kind::call, ProductName::display,
        QStringLiteral("Похоже, начался звонок в %1. Записать встречу?").arg(application),
        {{QString::fromLatin1(startAction), QStringLiteral("Начать запись")},
         {QString::fromLatin1(laterAction), QStringLiteral("Не сейчас")}});
}

void CallPrompt::onAction(DesktopNotifier::Kind kind, const QString &action) {
    if (kind != DesktopNotifier::Kind::call)
        return;
    withdraw();
    // As the popover's button, and only where the popover would offer it.
    if (action == QLatin1String(startAction) && m_viewModel.stateCase() == AppState::Case::idle &&
        !m_viewModel.isBusy())
        m_viewModel.beginRecording();
}

void CallPrompt::withdraw() {
    if (!m_offered)
        return;
    m_offered.reset();
    m_notifier.close(DesktopNotifier::Kind::call);
}
