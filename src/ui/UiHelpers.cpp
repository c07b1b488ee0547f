#include "UiHelpers.h"

#include "ScreenLogic.h"

UiHelpers::UiHelpers(QObject *parent)
    : QObject(parent) {}

QUrl UiHelpers::webSiteUrl() {
    return QUrl(QStringLiteral(TOLVEX_WEB_SITE_URL));
}

QUrl UiHelpers::supportUrl() {
    return QUrl(QStringLiteral(TOLVEX_SUPPORT_URL));
}

QString UiHelpers::elapsedText(double seconds) const {
    return ScreenLogic::elapsedText(seconds);
}

double UiHelpers::secondsSince(const QDateTime &start) const {
    if (!start.isValid())
        return 0.0;
    return static_cast<double>(start.msecsTo(QDateTime::currentDateTimeUtc())) / 1000.0;
}

double UiHelpers::barHeight(double level, double factor) const {
    return ScreenLogic::barHeight(level, factor);
}

QVariantList UiHelpers::barHeights(double level, int count) const {
    QVariantList heights;
    for (double height : ScreenLogic::barHeights(level, count))
        heights.append(height);
    return heights;
}

QString UiHelpers::screenFor(int stateCase) const {
    return ScreenLogic::screenFor(stateCase);
}
