#pragma once
// The program's few command-line options: everything it does happens in the tray, so the
// command line answers questions about the program, or asks the running copy to start or stop
// a recording (for a key bound to it), and then ends.

#include <QString>
#include <QStringList>

namespace CommandLine {

enum class Request {
    run,        // no options: start the tray program
    runAtLogin, // --at-login: the same, started with the session, whose panel may come later
    help,       // -h, --help
    version,    // -v, --version
    listUnsent, // --list-unsent
    toggle,     // --toggle: asks the running copy to start a recording, or stop the one under way
    start,      // --start
    stop,       // --stop
    status,     // --status
    invalid,    // anything else
};

struct Parsed {
    Request request = Request::run;
    QString offending; // the first argument not understood, for `invalid`
};

// `arguments` without the program's name, and without the toolkit's own options
// (-platform, -display...), which QApplication takes away before the program looks.
[[nodiscard]] Parsed parse(const QStringList &arguments);

// Whether the raw command line asks only for help, the version, the unsent recordings or the
// running copy, so that the answer can be printed before any connection to a display is made.
[[nodiscard]] bool asksForInformation(int argc, const char *const *argv);

// What to print for `request` on standard output (help, version) or standard error
// (invalid), and the exit status that goes with it.
struct Answer {
    QString text;
    bool toStandardError = false;
    int exitStatus = 0;
};
// Whether `request` is one for the running copy.
[[nodiscard]] bool asksRunningCopy(Request request);

[[nodiscard]] Answer answer(const Parsed &parsed, const QString &programName,
                            const QString &version);

} // namespace CommandLine
