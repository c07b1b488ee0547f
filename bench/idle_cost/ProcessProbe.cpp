#include "ProcessProbe.h"

#include <QDir>
#include <QFile>

namespace {

QByteArray readProcFile(const QString &path) {
    QFile file(path);
    // /proc files report a size of zero: read until the end, not by size.
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll();
}

// "Field:   1234 kB" lines of /proc status files; -1 when absent.
qint64 field(const QByteArray &text, const QByteArray &name) {
    const QByteArray prefix = name + ':';
    for (const QByteArray &line : text.split('\n')) {
        if (line.startsWith(prefix)) {
            return line.mid(prefix.size()).trimmed().split(' ').first().toLongLong();
        }
    }
    return -1;
}

} // namespace

ProcessProbe::ProcessProbe(pid_t pid)
    : m_pid(pid) {}

ProcessProbe::Memory ProcessProbe::memory() const {
    const QString base = QStringLiteral("/proc/%1/").arg(m_pid);
    const QByteArray status = readProcFile(base + QStringLiteral("status"));
    const QByteArray rollup = readProcFile(base + QStringLiteral("smaps_rollup"));
    const auto bytes = [](qint64 kib) { return kib < 0 ? kib : kib * 1024; };
    Memory memory;
    memory.rss = bytes(field(status, "VmRSS"));
    memory.anon = bytes(field(status, "RssAnon"));
    memory.threads = static_cast<int>(field(status, "Threads"));
    memory.pss = bytes(field(rollup, "Pss"));
    return memory;
}

ProcessProbe::Threads ProcessProbe::readThreads() const {
    Threads threads;
    const QString taskDir = QStringLiteral("/proc/%1/task").arg(m_pid);
    for (const QString &tid : QDir(taskDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString base = taskDir + '/' + tid + '/';
        const QByteArray status = readProcFile(base + QStringLiteral("status"));
        // schedstat: nanoseconds on the CPU, nanoseconds waiting for it, times scheduled.
        const QList<QByteArray> schedstat =
            readProcFile(base + QStringLiteral("schedstat")).split(' ');
        if (status.isEmpty() || schedstat.size() < 3) {
            continue; // ended while we looked
        }
        ThreadCounters counters;
        counters.name = QString::fromUtf8(readProcFile(base + QStringLiteral("comm")).trimmed());
        counters.cpuNs = schedstat[0].toLongLong();
        counters.voluntary = field(status, "voluntary_ctxt_switches");
        counters.involuntary = field(status, "nonvoluntary_ctxt_switches");
        threads.insert(tid.toInt(), counters);
    }
    return threads;
}

void ProcessProbe::begin() {
    m_first = readThreads();
    m_last = m_first;
}

void ProcessProbe::sample() {
    // A thread that is gone keeps the counters it had when last seen.
    const Threads now = readThreads();
    for (auto it = now.cbegin(); it != now.cend(); ++it) {
        m_last.insert(it.key(), it.value());
    }
    m_ended.clear();
    for (auto it = m_last.cbegin(); it != m_last.cend(); ++it) {
        if (!now.contains(it.key())) {
            m_ended.insert(it.key());
        }
    }
}

ProcessProbe::Cost ProcessProbe::cost() const {
    Cost cost;
    for (auto it = m_last.cbegin(); it != m_last.cend(); ++it) {
        const ThreadCounters before = m_first.value(it.key(), ThreadCounters{it->name, 0, 0, 0});
        if (!m_first.contains(it.key())) {
            ++cost.threadsStarted;
        }
        if (m_ended.contains(it.key())) {
            ++cost.threadsEnded;
        }
        const qint64 voluntary = it->voluntary - before.voluntary;
        const qint64 involuntary = it->involuntary - before.involuntary;
        cost.cpuMs += static_cast<double>(it->cpuNs - before.cpuNs) / 1e6;
        cost.voluntary += voluntary;
        cost.involuntary += involuntary;
        if (voluntary + involuntary > 0) {
            cost.busyThreads << QStringLiteral("%1 %2").arg(it->name).arg(voluntary + involuntary);
        }
    }
    return cost;
}
