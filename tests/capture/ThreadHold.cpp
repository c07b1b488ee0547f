#include "ThreadHold.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

#include <atomic>
#include <csignal>
#include <ctime>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

std::atomic<bool> keepHolding{false};
std::atomic<bool> parked{false};

// Only async-signal-safe calls: atomics and nanosleep.
void park(int) {
    parked = true;
    const timespec step{0, 1'000'000};
    while (keepHolding)
        nanosleep(&step, nullptr);
    parked = false;
}

pid_t threadNamed(const QString &name) {
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(task + QStringLiteral("/comm")));
        if (comm.open(QIODevice::ReadOnly) && QString::fromUtf8(comm.readAll()).trimmed() == name)
            return task.toInt();
    }
    return 0;
}

} // namespace

ThreadHold::ThreadHold(const QString &name) {
    struct sigaction action {};
    action.sa_handler = &park;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR2, &action, nullptr);

    const pid_t thread = threadNamed(name);
    if (thread == 0)
        return;
    keepHolding = true;
    syscall(SYS_tgkill, getpid(), thread, SIGUSR2);
    const QDeadlineTimer deadline(5000);
    while (!parked && !deadline.hasExpired())
        QThread::msleep(1);
    m_held = parked;
    if (!m_held)
        keepHolding = false;
}

ThreadHold::~ThreadHold() {
    release();
}

void ThreadHold::release() {
    if (!m_held)
        return;
    keepHolding = false;
    while (parked)
        QThread::msleep(1);
    m_held = false;
}
