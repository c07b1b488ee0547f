#pragma once
// The screens' arithmetic, free of QML so that it can be checked on its own.

#include <QColor>
#include <QList>
#include <QString>
#include <QStringView>

namespace ScreenLogic {

// Reads a colour the way the palette is written: punctuation and blanks around the digits are
// dropped, an optional 0x is accepted, reading stops at the first non-hex character, and only
// the lowest 24 bits count. Anything unreadable is opaque black.
[[nodiscard]] QColor colorFromHex(QStringView hex);

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
