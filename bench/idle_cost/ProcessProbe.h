#pragma once
// Reads another process's cost from /proc without waking it: resident memory, and per thread
// the CPU time and the context switches (each sleep that ends is a wake-up). Sampled now and
// then, so that a thread which ends inside the window still counts up to its last sample.

#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

#include <sys/types.h>

class ProcessProbe {
public:
    struct Memory {
        qint64 rss = -1;  // bytes, VmRSS
        qint64 pss = -1;  // bytes, the process's proportional share of what it maps
        qint64 anon = -1; // bytes, RssAnon: what no other process could share
        int threads = -1;
    };

    struct Cost {
        double cpuMs = 0;
        qint64 voluntary = 0;   // went to sleep and was woken
        qint64 involuntary = 0; // preempted while running
        int threadsStarted = 0;
        int threadsEnded = 0;
        // Threads that woke at all, with their wake-ups, e.g. "QXcbEventQueue 3".
        QStringList busyThreads;
        [[nodiscard]] qint64 wakeUps() const { return voluntary + involuntary; }
    };

    explicit ProcessProbe(pid_t pid);

    [[nodiscard]] Memory memory() const;
    // Starts a measuring window at the current counters.
    void begin();
    // Reads the counters again; call it every second or so inside the window.
    void sample();
    // What happened since begin(), as of the last sample.
    [[nodiscard]] Cost cost() const;

private:
    struct ThreadCounters {
        QString name;
        qint64 cpuNs = 0;
        qint64 voluntary = 0;
        qint64 involuntary = 0;
    };
    using Threads = QMap<int, ThreadCounters>;

    [[nodiscard]] Threads readThreads() const;

    pid_t m_pid;
    Threads m_first;
    Threads m_last;
    QSet<int> m_ended;
};
