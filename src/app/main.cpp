// tolvex: a meeting recorder that lives in the tray.

#include "ApiBaseUrl.h"
#include "AppViewModel.h"
#include "AudioFileError.h"
#include "AudioFiles.h"
#include "AudioRecorder.h"
#include "CommandLine.h"
#include "DesktopLinkOpener.h"
#include "DesktopSession.h"
#include "InstanceChannel.h"
#include "KeyringTokenStore.h"
#include "Logging.h"
#include "ProductName.h"
#include "QuitSignalWatcher.h"
#include "ReminderPace.h"
#include "SingleInstanceLock.h"
#include "TolvexApp.h"
#include "UnsentRecordingList.h"

#include <QApplication>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace {

// What the command line answers the user on the terminal; diagnostics go through the log.
void printToTerminal(const QString &text, FILE *stream) {
    std::fputs(text.toLocal8Bit().constData(), stream);
}

int printAnswer(const CommandLine::Parsed &parsed) {
    const CommandLine::Answer answer =
        CommandLine::answer(parsed, ProductName::command, QStringLiteral(TOLVEX_VERSION));
    printToTerminal(answer.text, answer.toStandardError ? stderr : stdout);
    return answer.exitStatus;
}

// The running copy does what it is asked; this copy prints what that was, and ends.
int askRunningCopy(int argc, char *argv[], CommandLine::Request request) {
    QCoreApplication application(argc, argv);
    using Command = InstanceChannel::Command;
    const Command command = request == CommandLine::Request::start    ? Command::start
                            : request == CommandLine::Request::stop   ? Command::stop
                            : request == CommandLine::Request::status ? Command::status
                                                                      : Command::toggle;
    const InstanceChannel::Outcome outcome = InstanceChannel::askRunningCopy(command);
    printToTerminal(outcome.text + QLatin1Char('\n'), outcome.done ? stdout : stderr);
    return outcome.done ? 0 : 1;
}

int printUnsentRecordings() {
    try {
        printToTerminal(unsentRecordingList(AudioFiles::privateFolder()), stdout);
        return 0;
    } catch (const AudioFileError &error) {
        printToTerminal(ProductName::command + QStringLiteral(": ") + error.localizedDescription() +
                            QLatin1Char('\n'),
                        stderr);
        return 1;
    }
}

} // namespace

int main(int argc, char *argv[]) {
    QStringList rawArguments;
    for (int i = 1; i < argc; ++i) {
        rawArguments << QString::fromLocal8Bit(argv[i]);
    }
    // Help, the version, the unsent recordings and the running copy need no display:
    // answered before the toolkit looks for one.
    if (CommandLine::asksForInformation(argc, argv)) {
        const CommandLine::Parsed parsed = CommandLine::parse(rawArguments);
        if (CommandLine::asksRunningCopy(parsed.request)) {
            return askRunningCopy(argc, argv, parsed.request);
        }
        return parsed.request == CommandLine::Request::listUnsent ? printUnsentRecordings()
                                                                  : printAnswer(parsed);
    }
    if (!DesktopSession::displayAvailable(argc, argv)) {
        // With no toolkit to take its own options away, every option left is unknown.
        if (const CommandLine::Parsed parsed = CommandLine::parse(rawArguments);
            parsed.request == CommandLine::Request::invalid) {
            return printAnswer(parsed);
        }
        printToTerminal(QStringLiteral("%1: нет графического сеанса (не заданы DISPLAY и "
                                       "WAYLAND_DISPLAY); запустите %2 в сеансе рабочего стола\n")
                            .arg(ProductName::command, ProductName::display),
                        stderr);
        return 1;
    }

    DesktopSession::preferXWaylandForPlacement(argc, argv);
    QApplication::setApplicationName(ProductName::command);
    QApplication::setApplicationDisplayName(ProductName::display);
    QApplication::setApplicationVersion(QStringLiteral(TOLVEX_VERSION));
    QApplication::setDesktopFileName(ProductName::command);
    QApplication application(argc, argv);

    const CommandLine::Parsed parsed = CommandLine::parse(application.arguments().mid(1));
    const bool atLogin = parsed.request == CommandLine::Request::runAtLogin;
    if (parsed.request != CommandLine::Request::run && !atLogin) {
        return printAnswer(parsed);
    }

    SingleInstanceLock lock(SingleInstanceLock::defaultDirectory());
    // A copy that cannot tell whether another one runs leaves earlier recordings alone.
    bool recoversUnsent = true;
    switch (lock.tryAcquire()) {
    case SingleInstanceLock::Outcome::acquired:
        break;
    case SingleInstanceLock::Outcome::heldElsewhere:
        // The copy that runs shows its window, if it has one instead of a tray icon.
        if (!InstanceChannel::askRunningCopyToShow()) {
            printToTerminal(QStringLiteral("%1: %2 уже запущен\n")
                                .arg(ProductName::command, ProductName::display),
                            stderr);
        }
        return 0;
    case SingleInstanceLock::Outcome::unavailable:
        qCWarning(lcApp, "не удалось создать файл блокировки, запуск без проверки второй копии; "
                         "неотправленные записи не предлагаются");
        recoversUnsent = false;
        break;
    }

    // The program lives in the tray: closing its last window does not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    try {
        // The built-in service, the keyring, the desktop's links and the sound server.
        const QString apiBaseUrl = ApiBaseUrl::fromBuild();
        const ReminderPace pace = ReminderPace::forThisRun();
        TolvexApp tolvex(std::make_unique<AppViewModel>(AppViewModel::Seams{
                             .apiBaseUrl = apiBaseUrl,
                             .tokenStore = std::make_shared<KeyringTokenStore>(
                                 ApiBaseUrl::tokenOrigin(apiBaseUrl)),
                             .linkOpener = std::make_shared<DesktopLinkOpener>(),
                             .recorder = &AudioRecorder::shared(pace.silenceWindow),
                             .recoversUnsent = recoversUnsent}),
                         atLogin, pace);
        QuitSignalWatcher quitSignals;
        QObject::connect(&quitSignals, &QuitSignalWatcher::quitRequested, &tolvex,
                         &TolvexApp::requestQuit);
        tolvex.start();
        return QApplication::exec();
    } catch (const std::runtime_error &error) {
        qCCritical(lcApp, "%s", error.what());
        return 1;
    }
}
