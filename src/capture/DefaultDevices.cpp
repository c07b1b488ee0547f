#include "DefaultDevices.h"

#include "PulseHandles.h"

#include <utility>

namespace {

std::string orEmpty(const char *text) {
    return text ? std::string(text) : std::string();
}

} // namespace

DefaultDevices::DefaultDevices(std::function<void()> settled)
    : m_settled(std::move(settled)) {}

void DefaultDevices::ask(pa_context *context) {
    ++m_pending;
    pulse::OperationPtr operation(
        pa_context_get_server_info(context, &DefaultDevices::serverInfoCallback, this));
    if (!operation)
        answered();
}

void DefaultDevices::serverInfoCallback(pa_context *context, const pa_server_info *info,
                                        void *self) {
    static_cast<DefaultDevices *>(self)->onServerInfo(context, info);
}

void DefaultDevices::onServerInfo(pa_context *context, const pa_server_info *info) {
    if (info) {
        m_defaultSink = orEmpty(info->default_sink_name);
        m_defaultSource = orEmpty(info->default_source_name);
        // The monitor is found through the sink, not "@DEFAULT_MONITOR@", which PipeWire may
        // resolve to the microphone.
        if (m_defaultSink.empty()) {
            m_systemTarget.clear();
            m_report.sinkDescription.clear();
            m_report.sinkIsDummy = false;
        } else {
            ++m_pending;
            pulse::OperationPtr operation(pa_context_get_sink_info_by_name(
                context, m_defaultSink.c_str(), &DefaultDevices::sinkInfoCallback, this));
            if (!operation)
                answered();
        }
        if (m_defaultSource.empty()) {
            m_microphoneTarget.clear();
            m_report.sourceDescription.clear();
            m_report.sourceMuted = false;
            m_report.sourceIsMonitor = false;
        } else {
            ++m_pending;
            pulse::OperationPtr operation(pa_context_get_source_info_by_name(
                context, m_defaultSource.c_str(), &DefaultDevices::sourceInfoCallback, this));
            if (!operation)
                answered();
        }
    }
    answered();
}

void DefaultDevices::sinkInfoCallback(pa_context *, const pa_sink_info *info, int eol, void *self) {
    static_cast<DefaultDevices *>(self)->onSinkInfo(info, eol);
}

void DefaultDevices::onSinkInfo(const pa_sink_info *info, int eol) {
    if (eol != 0) {
        // eol < 0: the sink vanished between the two questions; its removal event asks again.
        answered();
        return;
    }
    if (info && orEmpty(info->name) == m_defaultSink) {
        m_systemTarget = orEmpty(info->monitor_source_name);
        m_report.sinkDescription = orEmpty(info->description);
        // Both PulseAudio and PipeWire call the output they make up when there is none so.
        m_report.sinkIsDummy = m_defaultSink == "auto_null";
    }
}

void DefaultDevices::sourceInfoCallback(pa_context *, const pa_source_info *info, int eol,
                                        void *self) {
    static_cast<DefaultDevices *>(self)->onSourceInfo(info, eol);
}

void DefaultDevices::onSourceInfo(const pa_source_info *info, int eol) {
    if (eol != 0) {
        answered();
        return;
    }
    if (info && orEmpty(info->name) == m_defaultSource) {
        // A monitor as the default input would record the meeting twice, not the user.
        const bool isMonitor = info->monitor_of_sink != PA_INVALID_INDEX;
        m_microphoneTarget = isMonitor ? std::string() : m_defaultSource;
        m_report.sourceDescription = orEmpty(info->description);
        m_report.sourceMuted = info->mute != 0;
        m_report.sourceIsMonitor = isMonitor;
    }
}

void DefaultDevices::answered() {
    if (--m_pending > 0)
        return;
    m_settled();
}
