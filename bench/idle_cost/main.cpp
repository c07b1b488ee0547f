// Idle cost of the running program: the time from launch to the tray icon, resident memory
// while it waits in the tray, and what it does while nobody touches it (CPU time, wake-ups),
// beside two anchors measured the same way in the same run: a plain Qt Quick tray program
// that loads its window at start, and a bare widgets tray icon. The program watches for calls
// by default (a connection to the sound server on a thread of its own); it also runs once with
// that switched off, so the watcher's own cost shows beside it.
//
// Everything runs on a private X display (Xvfb) with an XEmbed tray host (trayer), in a
// private D-Bus session with an unlocked keyring and a private HOME: the benchmark starts
// itself again inside tests/support/with-desktop.sh.
//
// Usage: bench_idle_cost [idle seconds, default 60] [launches, default 5]
// Exit status: 0 when every target is met, 1 when one is missed, 2 when the run fails.

#include "ApiBaseUrl.h"
#include "AuthBridge.h"
#include "ProcessProbe.h"
#include "TestHttpServer.h"
#include "XDisplay.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <vector>

#include <unistd.h>

namespace {

constexpr double launchTargetMs = 500;
// With call detection on, as it starts by default.
constexpr double idleRssTargetMB = 60;
// Nothing may run on a timer while the program waits. Qt itself wakes once or twice after
// start to tidy its caches (the tray icon's pixmap, 30 s on); a timer at any period shorter
// than half a minute would show more.
constexpr double maxIdleWakeUpsPerMinute = 2;
// Time for start-up work to end (the keyring read, the first paint) before anything counts.
constexpr int settleMs = 5000;
constexpr const char *insideSessionVariable = "TOLVEX_BENCH_IN_SESSION";
constexpr const char *benchToken = "idle-cost-token";

struct Program {
    QString label;
    QString path;
    // Whether a click on the icon opens a window that can be opened and closed.
    bool hasWindow;
    // Whether the keyring holds a token that the service accepts, as after a sign-in.
    bool signedIn = false;
    // Whether the settings turn the call offer (and with it the sound server watch) off.
    bool callsOff = false;
    [[nodiscard]] QString windowPattern() const { return '^' + QFileInfo(path).fileName() + '$'; }
};

struct Idle {
    ProcessProbe::Memory memory;
    ProcessProbe::Cost cost;
};

double perMinute(qint64 count, int seconds) {
    return static_cast<double>(count) * 60.0 / seconds;
}

struct Figures {
    QList<double> launchMs;
    std::optional<Idle> untouched;
    std::optional<Idle> afterWindow;
};

double megabytes(qint64 bytes) {
    return static_cast<double>(bytes) / 1e6;
}

double median(QList<double> values) {
    if (values.isEmpty()) {
        return -1;
    }
    std::sort(values.begin(), values.end());
    const qsizetype middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

bool waitUntil(const std::function<bool()> &done, int ms) {
    const QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        if (done()) {
            return true;
        }
        QThread::msleep(20);
    }
    return done();
}

class Bench {
public:
    explicit Bench(int idleSeconds)
        : m_idleSeconds(idleSeconds) {
        QDir(m_callsOffConfig.path()).mkpath(QStringLiteral("tolvex"));
        QSettings settings(m_callsOffConfig.filePath(QStringLiteral("tolvex/tolvex.conf")),
                           QSettings::IniFormat);
        settings.setValue(QStringLiteral("offerCallRecording"), false);
    }

    // Milliseconds from the start of the process to its icon visible in the tray.
    std::optional<double> launch(const Program &program) {
        QProcess process;
        prepare(process);
        QElapsedTimer clock;
        clock.start();
        process.start(program.path, {});
        // Without an event loop the process counts as running only once this has looked.
        const bool shown = process.waitForStarted(5000) && waitForIcon(program, process);
        const double ms = static_cast<double>(clock.nsecsElapsed()) / 1e6;
        stop(process);
        if (!shown) {
            std::fprintf(stderr, "bench_idle_cost: %s showed no tray icon\n",
                         qPrintable(program.label));
            return std::nullopt;
        }
        return ms;
    }

    // Waits in the tray for the idle window, then, when the program has one, opens and closes
    // its window with two clicks on the icon and waits again.
    bool measureIdle(const Program &program, Figures &figures) {
        if (program.signedIn) {
            signIn();
        }
        QProcess process;
        prepare(process, program.callsOff);
        process.start(program.path, {});
        if (!process.waitForStarted(5000) || !waitForIcon(program, process)) {
            std::fprintf(stderr, "bench_idle_cost: %s showed no tray icon\n",
                         qPrintable(program.label));
            stop(process);
            return false;
        }
        ProcessProbe probe(static_cast<pid_t>(process.processId()));
        figures.untouched = idleFor(probe);
        if (program.hasWindow) {
            if (!openAndCloseWindow(program)) {
                std::fprintf(stderr, "bench_idle_cost: %s did not open and close its window\n",
                             qPrintable(program.label));
                stop(process);
                return false;
            }
            figures.afterWindow = idleFor(probe);
        }
        const bool alive = process.state() == QProcess::Running;
        stop(process);
        if (!alive) {
            std::fprintf(stderr, "bench_idle_cost: %s ended by itself\n",
                         qPrintable(program.label));
            return false;
        }
        if (program.signedIn && !askedForProfile()) {
            std::fprintf(stderr, "bench_idle_cost: %s never asked for its profile\n",
                         qPrintable(program.label));
            return false;
        }
        return true;
    }

private:
    // A token in the keyring and a service on loopback that accepts it: the program starts
    // signed in and waits on the idle screen, as it does on most days.
    void signIn() {
        m_service = std::make_unique<TestHttpServer>();
        m_service->setHandler([](const RecordedRequest &request) {
            if (request.target == "/api/auth/me" &&
                request.header("Authorization") == QByteArray("Bearer ") + benchToken) {
                return TestAnswer::json(200, R"({"user_id": 7, "first_name": "Анна"})");
            }
            return TestAnswer::json(404, R"({"detail": "not found"})");
        });
        AuthBridge::saveToken(QString::fromLatin1(benchToken),
                              ApiBaseUrl::tokenOrigin(m_service->baseUrl()));
    }

    [[nodiscard]] bool askedForProfile() const {
        const QList<RecordedRequest> requests = m_service->requests();
        return std::any_of(requests.begin(), requests.end(), [](const RecordedRequest &request) {
            return request.target == "/api/auth/me" &&
                   request.header("Authorization") == QByteArray("Bearer ") + benchToken;
        });
    }

    void prepare(QProcess &process, bool callsOff = false) const {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (callsOff) {
            environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_callsOffConfig.path());
        }
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        if (m_service) {
            environment.insert(QStringLiteral("TOLVEX_API_BASE_URL"), m_service->baseUrl());
        }
        process.setProcessEnvironment(environment);
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    }

    bool waitForIcon(const Program &program, const QProcess &process) const {
        return waitUntil([&] { return process.state() == QProcess::Running && iconShown(program); },
                         20000);
    }

    // One xdotool run per look: on two cores every process the watcher starts takes time
    // from the program whose launch it times.
    bool iconShown(const Program &program) const {
        QProcess xdotool;
        xdotool.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
        xdotool.start(QStringLiteral("xdotool"),
                      {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                       QStringLiteral("--classname"), program.windowPattern()});
        return xdotool.waitForFinished(10000) && xdotool.exitCode() == 0 &&
               !xdotool.readAllStandardOutput().trimmed().isEmpty();
    }

    static void stop(QProcess &process) {
        if (process.state() == QProcess::NotRunning) {
            return;
        }
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    Idle idleFor(ProcessProbe &probe) const {
        QThread::msleep(settleMs);
        Idle idle;
        idle.memory = probe.memory();
        probe.begin();
        for (int second = 0; second < m_idleSeconds; ++second) {
            QThread::sleep(1);
            probe.sample();
        }
        idle.cost = probe.cost();
        return idle;
    }

    bool openAndCloseWindow(const Program &program) const {
        const QList<qulonglong> icons = XDisplay::visibleWindows(program.windowPattern());
        const std::optional<QRect> icon =
            icons.size() == 1 ? XDisplay::geometry(icons.first()) : std::nullopt;
        if (!icon) {
            return false;
        }
        const auto shown = [&] { return XDisplay::visibleWindows(program.windowPattern()).size(); };
        XDisplay::click(icon->center());
        if (!waitUntil([&] { return shown() > 1; }, 10000)) {
            return false;
        }
        // Long enough to draw it and for a person to look at it.
        QThread::msleep(1000);
        XDisplay::click(icon->center());
        return waitUntil([&] { return shown() == 1; }, 10000);
    }

    std::unique_ptr<TestHttpServer> m_service;
    // A settings folder of its own in which the call offer is switched off.
    QTemporaryDir m_callsOffConfig;
    int m_idleSeconds;
};

QString cell(double value, int precision) {
    return value < 0 ? QStringLiteral("-") : QString::number(value, 'f', precision);
}

void printRow(const QString &name, const QStringList &cells, const QString &target = {}) {
    QString line = name.leftJustified(44);
    for (const QString &text : cells) {
        line += text.rightJustified(12);
    }
    if (!target.isEmpty()) {
        line += QStringLiteral("   ") + target;
    }
    std::printf("%s\n", qPrintable(line));
}

QString verdict(bool met) {
    return met ? QStringLiteral("met") : QStringLiteral("MISSED");
}

// Re-runs this program on a private desktop (display, tray, D-Bus session with an unlocked
// keyring, private HOME), so that nothing on the machine, and no earlier run, changes what the
// program does.
[[noreturn]] void restartInsidePrivateSession(char *argv[]) {
    ::setenv(insideSessionVariable, "1", 1);
    std::vector<char *> arguments{const_cast<char *>(TOLVEX_WITH_DESKTOP)};
    for (char **argument = argv; *argument != nullptr; ++argument) {
        arguments.push_back(*argument);
    }
    arguments.push_back(nullptr);
    ::execv(TOLVEX_WITH_DESKTOP, arguments.data());
    std::perror("bench_idle_cost: " TOLVEX_WITH_DESKTOP);
    std::exit(2);
}

} // namespace

int main(int argc, char *argv[]) {
    if (std::getenv(insideSessionVariable) == nullptr) {
        restartInsidePrivateSession(argv);
    }
    QCoreApplication application(argc, argv);
    const int idleSeconds = argc > 1 ? std::atoi(argv[1]) : 60;
    const int launches = argc > 2 ? std::atoi(argv[2]) : 5;
    if (idleSeconds <= 0 || launches <= 0) {
        std::fprintf(stderr, "usage: bench_idle_cost [idle seconds] [launches]\n");
        return 2;
    }

    const QList<Program> programs{
        {QStringLiteral("tolvex"), QStringLiteral(TOLVEX_PROGRAM), true},
        {QStringLiteral("signed in"), QStringLiteral(TOLVEX_PROGRAM), true, true},
        {QStringLiteral("Quick+tray"), QStringLiteral(ANCHOR_QUICK_TRAY), true},
        {QStringLiteral("tray only"), QStringLiteral(ANCHOR_WIDGETS_TRAY), false},
        {QStringLiteral("calls off"), QStringLiteral(TOLVEX_PROGRAM), true, true, true},
    };
    Bench bench(idleSeconds);
    QList<Figures> figures(programs.size());

    std::printf("launching each program %d times (after one launch not counted), in turn...\n",
                launches);
    std::fflush(stdout);
    // Signed in or not, the icon comes before the keyring is read: one launch time is enough.
    for (const Program &program : programs) {
        if (!program.signedIn && !bench.launch(program)) {
            return 2;
        }
    }
    for (int round = 0; round < launches; ++round) {
        for (qsizetype i = 0; i < programs.size(); ++i) {
            if (programs[i].signedIn) {
                continue;
            }
            const std::optional<double> ms = bench.launch(programs[i]);
            if (!ms) {
                return 2;
            }
            figures[i].launchMs << *ms;
        }
    }
    // The sign-in stays in the keyring: the signed-in run comes last.
    for (const bool signedIn : {false, true}) {
        for (qsizetype i = 0; i < programs.size(); ++i) {
            if (programs[i].signedIn != signedIn) {
                continue;
            }
            std::printf("idle in the tray for %d s%s: %s...\n", idleSeconds,
                        programs[i].hasWindow ? ", open and close the window, again" : "",
                        qPrintable(programs[i].label));
            std::fflush(stdout);
            if (!bench.measureIdle(programs[i], figures[i])) {
                return 2;
            }
        }
    }

    // The targets hold for the program signed out (figures[0]) and signed in (figures[1]).
    const bool launchMet = median(figures[0].launchMs) < launchTargetMs;
    bool rssMet = true;
    bool quietMet = true;
    for (const Figures &ours : {figures[0], figures[1]}) {
        rssMet = rssMet && megabytes(ours.untouched->memory.rss) < idleRssTargetMB;
        quietMet = quietMet && perMinute(ours.untouched->cost.wakeUps(), idleSeconds) <=
                                   maxIdleWakeUpsPerMinute;
    }

    std::printf("\nidle cost (private Xvfb + trayer, private D-Bus session and keyring; "
                "MB = 10^6 bytes)\n");
    QStringList labels;
    for (const Program &program : programs) {
        labels << program.label;
    }
    std::printf("columns: tolvex without and with a stored sign-in, both watching for calls; the "
                "anchors: a Qt Quick tray program that loads its window at start, a bare widgets "
                "tray icon; tolvex signed in with the call offer switched off\n");
    printRow(QString(), labels, QStringLiteral("target (both tolvex columns)"));
    const auto row = [&](const QString &name, auto value, int precision,
                         const QString &target = {}) {
        QStringList cells;
        for (const Figures &each : figures) {
            cells << cell(value(each), precision);
        }
        printRow(name, cells, target);
    };
    row(
        QStringLiteral("launch to tray icon, median (ms)"),
        [](const Figures &f) { return median(f.launchMs); }, 0,
        QStringLiteral("< %1: %2").arg(launchTargetMs).arg(verdict(launchMet)));
    row(
        QStringLiteral("  fastest (ms)"),
        [](const Figures &f) {
            return f.launchMs.isEmpty() ? -1.0
                                        : *std::min_element(f.launchMs.begin(), f.launchMs.end());
        },
        0);
    row(
        QStringLiteral("  slowest (ms)"),
        [](const Figures &f) {
            return f.launchMs.isEmpty() ? -1.0
                                        : *std::max_element(f.launchMs.begin(), f.launchMs.end());
        },
        0);
    const auto memoryRows = [&](const QString &when, std::optional<Idle> Figures::*phase,
                                const QString &target) {
        const auto memory = [phase](const Figures &f) {
            return (f.*phase) ? (f.*phase)->memory : ProcessProbe::Memory{};
        };
        row(
            QStringLiteral("resident memory, %1 (MB)").arg(when),
            [&](const Figures &f) { return megabytes(memory(f).rss); }, 1, target);
        row(
            QStringLiteral("  proportional share, Pss (MB)"),
            [&](const Figures &f) { return megabytes(memory(f).pss); }, 1);
        row(
            QStringLiteral("  private anonymous, RssAnon (MB)"),
            [&](const Figures &f) { return megabytes(memory(f).anon); }, 1);
        row(
            QStringLiteral("  threads"),
            [&](const Figures &f) { return static_cast<double>(memory(f).threads); }, 0);
    };
    const auto costRows = [&](const QString &when, std::optional<Idle> Figures::*phase,
                              const QString &target) {
        const auto cost = [phase](const Figures &f) -> std::optional<ProcessProbe::Cost> {
            return (f.*phase) ? std::optional((f.*phase)->cost) : std::nullopt;
        };
        row(
            QStringLiteral("wake-ups in %1 s, %2").arg(idleSeconds).arg(when),
            [&](const Figures &f) { return cost(f) ? cost(f)->wakeUps() : -1.0; }, 0, target);
        row(
            QStringLiteral("  CPU time, %1 (ms)").arg(when),
            [&](const Figures &f) { return cost(f) ? cost(f)->cpuMs : -1.0; }, 1);
        row(
            QStringLiteral("  threads started"),
            [&](const Figures &f) { return cost(f) ? cost(f)->threadsStarted : -1.0; }, 0);
        row(
            QStringLiteral("  threads ended"),
            [&](const Figures &f) { return cost(f) ? cost(f)->threadsEnded : -1.0; }, 0);
    };
    memoryRows(QStringLiteral("idle"), &Figures::untouched,
               QStringLiteral("budget < %1: %2").arg(idleRssTargetMB).arg(verdict(rssMet)));
    memoryRows(QStringLiteral("window used once"), &Figures::afterWindow,
               QStringLiteral("(no target)"));
    row(
        QStringLiteral("wake-ups per minute, idle"),
        [&](const Figures &f) {
            return f.untouched ? perMinute(f.untouched->cost.wakeUps(), idleSeconds) : -1.0;
        },
        1, QStringLiteral("budget <= %1: %2").arg(maxIdleWakeUpsPerMinute).arg(verdict(quietMet)));
    costRows(QStringLiteral("idle"), &Figures::untouched, QStringLiteral("(counted above)"));
    costRows(QStringLiteral("after the window"), &Figures::afterWindow,
             QStringLiteral("(reported)"));
    for (qsizetype i = 0; i < programs.size(); ++i) {
        for (const auto &[when, phase] : {std::pair{"idle", &figures[i].untouched},
                                          std::pair{"after", &figures[i].afterWindow}}) {
            if (*phase && !(*phase)->cost.busyThreads.isEmpty()) {
                std::printf("  %s, %s, threads that woke: %s\n", qPrintable(programs[i].label),
                            when,
                            qPrintable((*phase)->cost.busyThreads.join(QStringLiteral(", "))));
            }
        }
    }
    return launchMet && rssMet && quietMet ? 0 : 1;
}
