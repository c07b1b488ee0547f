// tolvex: a meeting recorder that lives in the tray.

#include "ApiBaseUrl.h"
#include "AppViewModel.h"
#include "AudioFileError.h"
#include "AudioFiles.h"
#include "AudioRecorder.h"
#include "CommandLine.h"
#include "DesktopLinkOpener.h"
#include "InstanceChannel.h"
#include "KeyringTokenStore.h"
#include "QuitSignalWatcher.h"
#include "SingleInstanceLock.h"
#include "TolvexApp.h"
#include "UnsentRecordingList.h"

#include <QApplication>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace {

const QString programName = QStringLiteral("tolvex");

int printAnswer(const CommandLine::Parsed &parsed) {
    const CommandLine::Answer answer =
        CommandLine::answer(parsed, programName, QStringLiteral(TOLVEX_VERSION));
    std::fputs(answer.text.toLocal8Bit().constData(), answer.toStandardError ? stderr : stdout);
    return answer.exitStatus;
}

int printUnsentRecordings() {
    try {
        std::fputs(unsentRecordingList(AudioFiles::privateFolder()).toLocal8Bit().constData(),
                   stdout);
        return 0;
    } catch (const AudioFileError &error) {
        std::fprintf(stderr, "tolvex: %s\n",
                     error.localizedDescription().toLocal8Bit().constData());
        return 1;
    }
}

// Whether the user named a platform for the toolkit.
bool platformChosen(int argc, char *argv[]) {
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        return true;
    }
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "-platform") == 0) {
            return true;
        }
    }
    return false;
}

// Whether the toolkit has a display to connect to. Without one it would abort with a message
// of its own, which tells a user in an ssh shell or a broken session nothing.
bool displayAvailable(int argc, char *argv[]) {
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") || platformChosen(argc, argv);
}

// A Wayland client cannot place its own windows, so the popover would open wherever the
// compositor likes. Through XWayland it can be put next to the icon; the user's own choice of
// platform stands.
void preferXWaylandForPlacement(int argc, char *argv[]) {
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        !qEnvironmentVariableIsEmpty("DISPLAY") && !platformChosen(argc, argv)) {
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
}

} // namespace

int main(int argc, char *argv[]) {
    QStringList rawArguments;
    for (int i = 1; i < argc; ++i) {
        rawArguments << QString::fromLocal8Bit(argv[i]);
    }
    // Help, the version and the unsent recordings need no display: answered before the
    // toolkit looks for one.
    if (CommandLine::asksForInformation(argc, argv)) {
        const CommandLine::Parsed parsed = CommandLine::parse(rawArguments);
        return parsed.request == CommandLine::Request::listUnsent ? printUnsentRecordings()
                                                                  : printAnswer(parsed);
    }
    if (!displayAvailable(argc, argv)) {
        // With no toolkit to take its own options away, every option left is unknown.
        if (const CommandLine::Parsed parsed = CommandLine::parse(rawArguments);
            parsed.request == CommandLine::Request::invalid) {
            return printAnswer(parsed);
        }
        std::fputs("tolvex: нет графического сеанса (не заданы DISPLAY и WAYLAND_DISPLAY); "
                   "запустите Толвекс в сеансе рабочего стола\n",
                   stderr);
        return 1;
    }

    preferXWaylandForPlacement(argc, argv);
    QApplication::setApplicationName(programName);
    QApplication::setApplicationDisplayName(QStringLiteral("Толвекс"));
    QApplication::setApplicationVersion(QStringLiteral(TOLVEX_VERSION));
    QApplication::setDesktopFileName(programName);
    QApplication application(argc, argv);

    const CommandLine::Parsed parsed = CommandLine::parse(application.arguments().mid(1));
    if (parsed.request != CommandLine::Request::run) {
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
            std::fputs("tolvex: Толвекс уже запущен\n", stderr);
        }
        return 0;
    case SingleInstanceLock::Outcome::unavailable:
        std::fputs("tolvex: не удалось создать файл блокировки, запуск без проверки второй "
                   "копии; неотправленные записи не предлагаются\n",
                   stderr);
        recoversUnsent = false;
        break;
    }

    // The program lives in the tray: closing its last window does not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    try {
        // The built-in service, the keyring, the desktop's links and the sound server.
        const QString apiBaseUrl = ApiBaseUrl::fromBuild();
        TolvexApp tolvex(std::make_unique<AppViewModel>(AppViewModel::Seams{
            .apiBaseUrl = apiBaseUrl,
            .tokenStore = std::make_shared<KeyringTokenStore>(ApiBaseUrl::tokenOrigin(apiBaseUrl)),
            .linkOpener = std::make_shared<DesktopLinkOpener>(),
            .recorder = &AudioRecorder::shared(),
            .recoversUnsent = recoversUnsent}));
        QuitSignalWatcher quitSignals;
        QObject::connect(&quitSignals, &QuitSignalWatcher::quitRequested, &tolvex,
                         &TolvexApp::requestQuit);
        tolvex.start();
        return QApplication::exec();
    } catch (const std::runtime_error &error) {
        std::fprintf(stderr, "tolvex: %s\n", error.what());
        return 1;
    }
}
