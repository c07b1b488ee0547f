// tolvex: a meeting recorder that lives in the tray.

#include "CommandLine.h"
#include "QuitSignalWatcher.h"
#include "SingleInstanceLock.h"
#include "TolvexApp.h"

#include <QApplication>

#include <cstdio>
#include <stdexcept>

namespace {

const QString programName = QStringLiteral("tolvex");

int printAnswer(const CommandLine::Parsed &parsed) {
    const CommandLine::Answer answer =
        CommandLine::answer(parsed, programName, QStringLiteral(TOLVEX_VERSION));
    std::fputs(answer.text.toLocal8Bit().constData(), answer.toStandardError ? stderr : stdout);
    return answer.exitStatus;
}

} // namespace

int main(int argc, char *argv[]) {
    // Help and the version need no display: answer before the toolkit looks for one.
    if (CommandLine::asksForInformation(argc, argv)) {
        QStringList arguments;
        for (int i = 1; i < argc; ++i) {
            arguments << QString::fromLocal8Bit(argv[i]);
        }
        return printAnswer(CommandLine::parse(arguments));
    }

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
    switch (lock.tryAcquire()) {
    case SingleInstanceLock::Outcome::acquired:
        break;
    case SingleInstanceLock::Outcome::heldElsewhere:
        // The copy that runs already has its icon in the tray.
        return 0;
    case SingleInstanceLock::Outcome::unavailable:
        std::fputs("tolvex: не удалось создать файл блокировки, запуск без проверки второй "
                   "копии\n",
                   stderr);
        break;
    }

    // The program lives in the tray: closing its last window does not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    try {
        TolvexApp tolvex;
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
