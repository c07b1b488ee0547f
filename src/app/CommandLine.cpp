#include "CommandLine.h"

#include "ProductName.h"

namespace CommandLine {

namespace {

Request requestOf(const QString &argument) {
    if (argument == u"-h" || argument == u"--help") {
        return Request::help;
    }
    if (argument == u"-v" || argument == u"--version") {
        return Request::version;
    }
    if (argument == u"--list-unsent") {
        return Request::listUnsent;
    }
    if (argument == u"--at-login") {
        return Request::runAtLogin;
    }
    if (argument == u"--toggle") {
        return Request::toggle;
    }
    if (argument == u"--start") {
        return Request::start;
    }
    if (argument == u"--stop") {
        return Request::stop;
    }
    if (argument == u"--status") {
        return Request::status;
    }
    return Request::invalid;
}

} // namespace

Parsed parse(const QStringList &arguments) {
    Parsed parsed;
    for (const QString &argument : arguments) {
        const Request request = requestOf(argument);
        if (request == Request::invalid) {
            return {Request::invalid, argument};
        }
        // When both are asked for, help says more than the version does.
        if (parsed.request != Request::help) {
            parsed.request = request;
        }
    }
    return parsed;
}

bool asksForInformation(int argc, const char *const *argv) {
    for (int i = 1; i < argc; ++i) {
        const Request request = requestOf(QString::fromLocal8Bit(argv[i]));
        if (request != Request::run && request != Request::runAtLogin &&
            request != Request::invalid) {
            return true;
        }
    }
    return false;
}

bool asksRunningCopy(Request request) {
    return request == Request::toggle || request == Request::start || request == Request::stop ||
           request == Request::status;
}

Answer answer(const Parsed &parsed, const QString &programName, const QString &version) {
    switch (parsed.request) {
    case Request::run:
    case Request::runAtLogin:
    case Request::listUnsent: // answered by the program, which looks at its folder
    case Request::toggle:     // answered by the running copy
    case Request::start:
    case Request::stop:
    case Request::status:
        return {};
    case Request::help:
        return {
            QStringLiteral("Использование: %1 [параметр]\n"
                           "\n"
                           "%2 записывает встречи и отправляет митрепорт в Telegram.\n"
                           "Программа работает через значок в системной области уведомлений "
                           "(трее):\n"
                           "щелчок открывает окно записи, правый щелчок - меню с выходом.\n"
                           "\n"
                           "Параметры:\n"
                           "  -h, --help     показать эту справку и выйти\n"
                           "  -v, --version  показать версию и выйти\n"
                           "  --list-unsent  показать неотправленные записи и выйти\n"
                           "  --at-login     запуск при входе в сеанс: панель с треем ждём 30 с\n"
                           "\n"
                           "Для запущенной программы (например, по сочетанию клавиш):\n"
                           "  --toggle       начать запись или остановить идущую\n"
                           "  --start        начать запись\n"
                           "  --stop         остановить запись и отправить её\n"
                           "  --status       сказать, что программа сейчас делает\n")
                .arg(programName, ProductName::display)};
    case Request::version:
        return {QStringLiteral("%1 %2\n").arg(programName, version)};
    case Request::invalid:
        return {QStringLiteral("%1: неизвестный параметр «%2»\n"
                               "Справка: %1 --help\n")
                    .arg(programName, parsed.offending),
                true, 2};
    }
    return {};
}

} // namespace CommandLine
