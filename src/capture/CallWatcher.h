#pragma once
// Tells when another program records from a microphone: a capture stream (a source output) of
// some other process on a source that is no output's monitor, running, and no level meter.
// Listens through a connection of its own that the sound server wakes only when a capture
// stream comes, changes or goes; while the server is away it knocks again, soon at first and
// then less and less often.

#include "PulseHandles.h"
#include "PulseMainLoop.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <list>
#include <memory>

class CallWatcher : public QObject {
    Q_OBJECT

public:
    // The wait before the next try after `failedTries` tries in a row found no server: a
    // restarted server is back within seconds, and a machine without one is woken only every
    // two minutes.
    [[nodiscard]] static int reconnectSeconds(int failedTries);

    explicit CallWatcher(QObject *parent = nullptr);
    ~CallWatcher() override;

    // Connects and reports the capture streams already open, then each one that comes.
    // Throws PulseError when the loop cannot run.
    void start();

signals:
    // Emitted from the sound server's thread: connect with a queued (or automatic) connection.
    // `application` is the stream's application.name, empty when it gives none.
    void captureOpened(quint32 index, const QString &application);
    // The stream closed, or stopped being such a capture (paused, moved to a monitor).
    void captureClosed(quint32 index);
    // Every stream reported is gone; the watcher connects again when the server is back.
    void serverLost();

private:
    // One question about one stream, kept until its answers are in or the connection ends.
    struct Query {
        CallWatcher *watcher = nullptr;
        std::uint32_t index = 0;
        QString application;
        bool askedSource = false;
    };

    void connectContext();
    void scheduleReconnect();
    void ask(std::uint32_t index);
    void finish(Query *query);
    static void stateCallback(pa_context *context, void *self);
    static void subscribeCallback(pa_context *context, pa_subscription_event_type_t event,
                                  std::uint32_t index, void *self);
    static void listCallback(pa_context *context, const pa_source_output_info *info, int eol,
                             void *self);
    static void outputCallback(pa_context *context, const pa_source_output_info *info, int eol,
                               void *query);
    static void sourceCallback(pa_context *context, const pa_source_info *info, int eol,
                               void *query);
    static void reconnectCallback(pa_mainloop_api *, pa_time_event *, const struct timeval *,
                                  void *self);
    // Whether `info` is a stream of another program that records, before its source is known.
    [[nodiscard]] static bool looksLikeCapture(const pa_source_output_info &info);

    PulseMainLoop m_loop{"tolvex-calls"};
    // Everything below lives on the loop's thread once the loop runs.
    pulse::ContextPtr m_context;
    pulse::TimeEventPtr m_reconnect;
    std::list<std::unique_ptr<Query>> m_queries;
    int m_failedTries = 0;
};
