#include "ReminderPace.h"

#include "BuildConfig.h"

#include <QtGlobal>

ReminderPace ReminderPace::forThisRun() {
    const ReminderPace released;
    if (!BuildConfig::devOverrides)
        return released;
    bool valid = false;
    const int minuteMs = qEnvironmentVariableIntValue("TOLVEX_MINUTE_MS", &valid);
    if (!valid || minuteMs <= 0)
        return released;
    const auto scaled = [minuteMs](milliseconds duration) {
        return milliseconds(duration.count() * minuteMs / milliseconds(minutes(1)).count());
    };
    return {scaled(released.callEnd), scaled(released.silenceAsk), scaled(released.silenceStop),
            scaled(released.silenceWindow)};
}
