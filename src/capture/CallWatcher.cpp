#include "CallWatcher.h"

#include <pulse/proplist.h>
#include <pulse/timeval.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include <unistd.h>

namespace {

std::string_view streamProperty(const pa_proplist *properties, const char *key) {
    const char *value = properties ? pa_proplist_gets(properties, key) : nullptr;
    return value ? std::string_view(value) : std::string_view();
}

} // namespace

CallWatcher::CallWatcher(QObject *parent)
    : QObject(parent) {}

CallWatcher::~CallWatcher() {
    // No callback runs once the loop's thread is joined; the handles go after it.
    m_loop.stop();
    m_queries.clear();
    m_reconnect.reset();
    m_context.reset();
}

void CallWatcher::start() {
    PulseLock lock(m_loop);
    m_loop.start();
    connectContext();
}

void CallWatcher::connectContext() {
    m_queries.clear();
    m_context.reset(pa_context_new(m_loop.api(), "Tolvex"));
    if (!m_context) {
        scheduleReconnect();
        return;
    }
    pa_context_set_state_callback(m_context.get(), &CallWatcher::stateCallback, this);
    if (pa_context_connect(m_context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        scheduleReconnect();
}

int CallWatcher::reconnectSeconds(int failedTries) {
    constexpr int first = 5;
    constexpr int longest = 120;
    return failedTries >= 5 ? longest : std::min(first << failedTries, longest);
}

void CallWatcher::scheduleReconnect() {
    timeval when{};
    const auto seconds = static_cast<pa_usec_t>(reconnectSeconds(m_failedTries++));
    pa_timeval_add(pa_gettimeofday(&when), seconds * PA_USEC_PER_SEC);
    m_reconnect = pulse::TimeEventPtr(
        m_loop.api()->time_new(m_loop.api(), &when, &CallWatcher::reconnectCallback, this),
        pulse::TimeEventDeleter{m_loop.api()});
}

void CallWatcher::reconnectCallback(pa_mainloop_api *, pa_time_event *, const struct timeval *,
                                    void *self) {
    auto *watcher = static_cast<CallWatcher *>(self);
    watcher->m_reconnect.reset();
    watcher->connectContext();
}

void CallWatcher::stateCallback(pa_context *context, void *self) {
    auto *watcher = static_cast<CallWatcher *>(self);
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
        watcher->m_failedTries = 0;
        pa_context_set_subscribe_callback(context, &CallWatcher::subscribeCallback, self);
        pulse::OperationPtr(
            pa_context_subscribe(context, PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT, nullptr, nullptr));
        pulse::OperationPtr(
            pa_context_get_source_output_info_list(context, &CallWatcher::listCallback, self));
        break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        // The streams we knew of are gone with the server; a new one may reuse their numbers.
        emit watcher->serverLost();
        watcher->scheduleReconnect();
        break;
    case PA_CONTEXT_UNCONNECTED:
    case PA_CONTEXT_CONNECTING:
    case PA_CONTEXT_AUTHORIZING:
    case PA_CONTEXT_SETTING_NAME:
        break;
    }
}

void CallWatcher::subscribeCallback(pa_context *, pa_subscription_event_type_t event,
                                    std::uint32_t index, void *self) {
    auto *watcher = static_cast<CallWatcher *>(self);
    if ((event & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE) {
        emit watcher->captureClosed(index);
        return;
    }
    // A new stream, or one that was paused, resumed or moved.
    watcher->ask(index);
}

void CallWatcher::listCallback(pa_context *, const pa_source_output_info *info, int eol,
                               void *self) {
    if (eol == 0 && info)
        static_cast<CallWatcher *>(self)->ask(info->index);
}

void CallWatcher::ask(std::uint32_t index) {
    auto &query = m_queries.emplace_back(std::make_unique<Query>(Query{this, index, {}}));
    pulse::OperationPtr operation(pa_context_get_source_output_info(
        m_context.get(), index, &CallWatcher::outputCallback, query.get()));
    if (!operation)
        m_queries.pop_back();
}

void CallWatcher::finish(Query *query) {
    m_queries.remove_if([query](const auto &kept) { return kept.get() == query; });
}

bool CallWatcher::looksLikeCapture(const pa_source_output_info &info) {
    static const std::string ownProcess = std::to_string(getpid());
    const pa_proplist *properties = info.proplist;
    // Level meters (pavucontrol's, a desktop's volume applet) ask for peaks only: PulseAudio
    // shows that as their resampler, PipeWire as a monitor stream.
    const bool meter = (info.resample_method && std::strcmp(info.resample_method, "peaks") == 0) ||
                       streamProperty(properties, "stream.monitor") == "true" ||
                       streamProperty(properties, "application.id") == "org.PulseAudio.pavucontrol";
    // The server's own modules (echo cancelling, loopbacks, remapping) have no client.
    const bool module = info.client == PA_INVALID_INDEX ||
                        streamProperty(properties, PA_PROP_MEDIA_ROLE) == "filter";
    return !meter && !module && info.corked == 0 && info.source != PA_INVALID_INDEX &&
           streamProperty(properties, PA_PROP_APPLICATION_PROCESS_ID) != ownProcess;
}

void CallWatcher::outputCallback(pa_context *context, const pa_source_output_info *info, int eol,
                                 void *data) {
    auto *query = static_cast<Query *>(data);
    CallWatcher *watcher = query->watcher;
    if (eol == 0 && info) {
        if (!looksLikeCapture(*info)) {
            emit watcher->captureClosed(query->index);
            return;
        }
        const std::string_view name = streamProperty(info->proplist, PA_PROP_APPLICATION_NAME);
        query->application = QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
        // Whether its source is a microphone decides; the query lives on until that answer.
        query->askedSource =
            pulse::OperationPtr(pa_context_get_source_info_by_index(
                context, info->source, &CallWatcher::sourceCallback, query)) != nullptr;
        return;
    }
    if (eol < 0 || !query->askedSource)
        watcher->finish(query);
}

void CallWatcher::sourceCallback(pa_context *, const pa_source_info *info, int eol, void *data) {
    auto *query = static_cast<Query *>(data);
    CallWatcher *watcher = query->watcher;
    if (eol == 0 && info) {
        if (info->monitor_of_sink == PA_INVALID_INDEX)
            emit watcher->captureOpened(query->index, query->application);
        else
            emit watcher->captureClosed(query->index);
        return;
    }
    watcher->finish(query);
}
