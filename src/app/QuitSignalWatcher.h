#pragma once
// Turns SIGTERM and SIGINT into an orderly quit through the event loop, so that a recording
// being written is finished by the program's own shutdown rather than cut off mid-write.

#include <QObject>
#include <QSocketNotifier>

#include <memory>

class QuitSignalWatcher : public QObject {
    Q_OBJECT

public:
    // At most one watcher exists at a time: the signal handler has one pipe to write to.
    explicit QuitSignalWatcher(QObject *parent = nullptr);
    ~QuitSignalWatcher() override;
    QuitSignalWatcher(const QuitSignalWatcher &) = delete;
    QuitSignalWatcher &operator=(const QuitSignalWatcher &) = delete;

signals:
    // Emitted on the thread that made the watcher, once per signal received.
    void quitRequested(int signalNumber);

private:
    void onReadable();

    std::unique_ptr<QSocketNotifier> m_notifier;
};
