#pragma once
// The program's colours, defined once: Theme.qml gives them to the screens, and the tray icon
// and the windows take them from here.

#include <QColor>
#include <QObject>
#include <QtQml/qqmlregistration.h>

class ThemePalette : public QObject {
    Q_OBJECT
    QML_SINGLETON
    QML_ELEMENT
    Q_PROPERTY(QColor indigo READ indigo CONSTANT)
    Q_PROPERTY(QColor violet READ violet CONSTANT)
    Q_PROPERTY(QColor footerDark READ footerDark CONSTANT)
    Q_PROPERTY(QColor green READ green CONSTANT)
    Q_PROPERTY(QColor red READ red CONSTANT)
    Q_PROPERTY(QColor systemRed READ systemRed CONSTANT)

public:
    explicit ThemePalette(QObject *parent = nullptr);

    [[nodiscard]] static QColor indigo() { return {0x63, 0x66, 0xf1}; }
    [[nodiscard]] static QColor violet() { return {0x8b, 0x5c, 0xf6}; }
    [[nodiscard]] static QColor footerDark() { return {0x11, 0x18, 0x27}; }
    [[nodiscard]] static QColor green() { return {0x3d, 0x9b, 0x5c}; }
    [[nodiscard]] static QColor red() { return {0xb5, 0x45, 0x45}; }
    // The desktop's usual signal red, for the recording dot and its glow.
    [[nodiscard]] static QColor systemRed() { return {0xff, 0x3b, 0x30}; }
};
