#pragma once
// Which output and input the sound server has as its defaults, what each stream should record
// from them, and what the user should know of them (a stand-in output, a muted microphone, an
// output's monitor chosen as the input). Lives on the loop's thread with its connection.

#include "DeviceReport.h"

#include <pulse/context.h>
#include <pulse/introspect.h>

#include <functional>
#include <string>

class DefaultDevices {
public:
    // `settled` is called once every answer to the questions asked so far is in.
    explicit DefaultDevices(std::function<void()> settled);
    DefaultDevices(const DefaultDevices &) = delete;
    DefaultDevices &operator=(const DefaultDevices &) = delete;

    // Asks the server (connected) about its defaults again; questions that overlap settle
    // together.
    void ask(pa_context *context);

    // The default output's monitor; empty when there is no output.
    [[nodiscard]] const std::string &systemTarget() const noexcept { return m_systemTarget; }
    // The default input, unless it is an output's monitor; empty then or without one.
    [[nodiscard]] const std::string &microphoneTarget() const noexcept {
        return m_microphoneTarget;
    }
    [[nodiscard]] const DeviceReport &report() const noexcept { return m_report; }

private:
    static void serverInfoCallback(pa_context *context, const pa_server_info *info, void *self);
    static void sinkInfoCallback(pa_context *, const pa_sink_info *info, int eol, void *self);
    static void sourceInfoCallback(pa_context *, const pa_source_info *info, int eol, void *self);

    void onServerInfo(pa_context *context, const pa_server_info *info);
    void onSinkInfo(const pa_sink_info *info, int eol);
    void onSourceInfo(const pa_source_info *info, int eol);
    // Counts one answer in; the last one settles.
    void answered();

    std::function<void()> m_settled;
    int m_pending = 0;
    std::string m_defaultSink;
    std::string m_defaultSource;
    std::string m_systemTarget;
    std::string m_microphoneTarget;
    DeviceReport m_report;
};
