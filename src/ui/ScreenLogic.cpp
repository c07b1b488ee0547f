#include "ScreenLogic.h"

#include "AppState.h"

#include <QRandomGenerator>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace ScreenLogic {

QString elapsedText(double seconds) {
    // A clock that jumps can hand over anything; what cannot be a count of seconds shows as 0.
    constexpr double limit = 9.0e15;
    const double bounded = std::isfinite(seconds) ? std::clamp(seconds, -limit, limit) : 0.0;
    const auto whole = static_cast<std::int64_t>(bounded);
    const std::int64_t minutes = whole / 60;
    const std::int64_t rest = whole - minutes * 60;
    return QString::asprintf("%02lld:%02lld", static_cast<long long>(minutes),
                             static_cast<long long>(rest));
}

double barHeight(double level, double factor) {
    return std::max(level * barFullHeight * factor, barMinimumHeight);
}

double randomBarFactor() {
    // bounded() leaves out its upper end; the closed range differs from it by one value in 2^53.
    return barFactorLow + QRandomGenerator::system()->bounded(barFactorHigh - barFactorLow);
}

QList<double> barHeights(double level, int count) {
    QList<double> heights;
    heights.reserve(std::max(count, 0));
    for (int i = 0; i < count; ++i)
        heights.append(barHeight(level, randomBarFactor()));
    return heights;
}

QString screenFor(int stateCase) {
    switch (static_cast<AppState::Case>(stateCase)) {
    case AppState::Case::idle:
        return QStringLiteral("IdleView");
    case AppState::Case::recording:
        return QStringLiteral("RecordingView");
    case AppState::Case::uploadError:
        return QStringLiteral("ErrorView");
    case AppState::Case::notLoggedIn:
        return QStringLiteral("LoginView");
    case AppState::Case::uploading:
        return QStringLiteral("UploadingView");
    }
    return QStringLiteral("LoginView");
}

} // namespace ScreenLogic
