#include "ScreenLogic.h"

#include "AppState.h"

#include <QChar>
#include <QRandomGenerator>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace {

// Letters, marks and digits of any script stay; everything else may go from the ends.
bool isLetterOrDigit(char32_t c) {
    return QChar::isLetterOrNumber(c) || QChar::isMark(c);
}

int hexDigitValue(char32_t c) {
    if (c >= U'0' && c <= U'9')
        return static_cast<int>(c - U'0');
    if (c >= U'a' && c <= U'f')
        return static_cast<int>(c - U'a') + 10;
    if (c >= U'A' && c <= U'F')
        return static_cast<int>(c - U'A') + 10;
    return -1;
}

// A hexadecimal scanner over code points: leading white space, an optional 0x, then digits up
// to the first character that is not one. Too many digits saturate, as the platform scanner
// does, and a saturated value reads as white.
std::uint64_t scanHex(const QList<uint> &text, qsizetype at, qsizetype end) {
    while (at < end && QChar::isSpace(text[at]))
        ++at;
    if (end - at >= 2 && text[at] == U'0' && (text[at + 1] == U'x' || text[at + 1] == U'X'))
        at += 2;
    std::uint64_t value = 0;
    bool overflow = false;
    for (; at < end; ++at) {
        const int digit = hexDigitValue(text[at]);
        if (digit < 0)
            break;
        if (value > (std::numeric_limits<std::uint64_t>::max() >> 4))
            overflow = true;
        value = (value << 4) | static_cast<std::uint64_t>(digit);
    }
    return overflow ? std::numeric_limits<std::uint64_t>::max() : value;
}

} // namespace

namespace ScreenLogic {

QColor colorFromHex(QStringView hex) {
    const QList<uint> text = hex.toUcs4();
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && !isLetterOrDigit(text[begin]))
        ++begin;
    while (end > begin && !isLetterOrDigit(text[end - 1]))
        --end;
    const std::uint64_t value = scanHex(text, begin, end);
    return QColor::fromRgbF(static_cast<float>(((value >> 16) & 0xff) / 255.0),
                            static_cast<float>(((value >> 8) & 0xff) / 255.0),
                            static_cast<float>((value & 0xff) / 255.0), 1.0f);
}

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
