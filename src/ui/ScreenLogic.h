#pragma once
// The screens' arithmetic, free of QML so that it can be checked on its own.

#include <QList>
#include <QString>

namespace ScreenLogic {

// "MM:SS" with minutes not wrapped into hours: 6000 s is "100:00".
[[nodiscard]] QString elapsedText(double seconds);

inline constexpr double barMinimumHeight = 4.0;
inline constexpr double barFullHeight = 28.0;
inline constexpr double barFactorLow = 0.5;
inline constexpr double barFactorHigh = 1.0;

// One level-meter bar: the level scaled by the bar's random factor, never below the minimum.
[[nodiscard]] double barHeight(double level, double factor);
// A fresh factor in [barFactorLow, barFactorHigh] from the system's random source.
[[nodiscard]] double randomBarFactor();
// `count` bars for one drawing of the meter, each with its own fresh factor.
[[nodiscard]] QList<double> barHeights(double level, int count);

// The file name of the screen that shows an AppState::Case given as its number; the sign-in
// screen for a number that is no case.
[[nodiscard]] QString screenFor(int stateCase);

} // namespace ScreenLogic
