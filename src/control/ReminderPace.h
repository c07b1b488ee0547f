#pragma once
// How long a recording must go without a call or without sound before the program asks whether
// it was forgotten, and before it stops it by itself.

#include "AudioRecorder.h"

#include <chrono>

struct ReminderPace {
    using minutes = std::chrono::minutes;
    using milliseconds = std::chrono::milliseconds;

    // After the last call stream closed.
    milliseconds callEnd = minutes(2);
    // Both tracks silent this long ask.
    milliseconds silenceAsk = minutes(10);
    // Both tracks silent this long, with the question unanswered, stop the recording.
    milliseconds silenceStop = minutes(60);
    // How long a track hears nothing before the recorder calls it silent.
    milliseconds silenceWindow = AudioRecorder::defaultSilenceWindow;

    // The released pace; a development build lets TOLVEX_MINUTE_MS say how many milliseconds
    // each of its minutes lasts, so that a test sees an hour pass in seconds.
    [[nodiscard]] static ReminderPace forThisRun();
};
