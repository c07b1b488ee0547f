#pragma once
// What the screens take from C++: the product's name, the recording screen's arithmetic and
// the footer's fixed addresses.

#include "ProductName.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QVariantList>
#include <QtQml/qqmlregistration.h>

class UiHelpers : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(QString productName READ productName CONSTANT)
    Q_PROPERTY(QUrl webSiteUrl READ webSiteUrl CONSTANT)
    Q_PROPERTY(QUrl supportUrl READ supportUrl CONSTANT)

public:
    explicit UiHelpers(QObject *parent = nullptr);

    [[nodiscard]] static QString productName() { return ProductName::display; }
    [[nodiscard]] static QUrl webSiteUrl();
    [[nodiscard]] static QUrl supportUrl();

    Q_INVOKABLE [[nodiscard]] QString elapsedText(double seconds) const;
    // Seconds from `start` to now on the wall clock.
    Q_INVOKABLE [[nodiscard]] double secondsSince(const QDateTime &start) const;
    Q_INVOKABLE [[nodiscard]] double barHeight(double level, double factor) const;
    // A plain list, so that QML holds it as an array.
    Q_INVOKABLE [[nodiscard]] QVariantList barHeights(double level, int count) const;
    Q_INVOKABLE [[nodiscard]] QString screenFor(int stateCase) const;
};
