pragma Singleton
import QtQuick
import QtQuick.Shapes
import Tolvex.Ui

// The program's palette, gradient and fonts; no screen writes a colour or a size of its own.
QtObject {
    id: theme

    readonly property color indigo: ThemePalette.indigo
    readonly property color violet: ThemePalette.violet
    readonly property color footerDark: ThemePalette.footerDark
    readonly property color green: ThemePalette.green
    readonly property color red: ThemePalette.red
    readonly property color systemRed: ThemePalette.systemRed

    readonly property color white: Qt.rgba(1, 1, 1, 1)
    readonly property color white8: Qt.rgba(1, 1, 1, 0.08)
    readonly property color white10: Qt.rgba(1, 1, 1, 0.10)
    readonly property color white12: Qt.rgba(1, 1, 1, 0.12)
    readonly property color white18: Qt.rgba(1, 1, 1, 0.18)
    readonly property color white20: Qt.rgba(1, 1, 1, 0.20)
    readonly property color white45: Qt.rgba(1, 1, 1, 0.45)
    readonly property color white50: Qt.rgba(1, 1, 1, 0.50)
    readonly property color white55: Qt.rgba(1, 1, 1, 0.55)
    readonly property color white60: Qt.rgba(1, 1, 1, 0.60)
    readonly property color white65: Qt.rgba(1, 1, 1, 0.65)
    readonly property color white90: Qt.rgba(1, 1, 1, 0.90)

    // Indigo at the top-left corner to violet at the bottom-right, in a unit square that
    // BackgroundGradient stretches over each screen. One object for all screens.
    readonly property LinearGradient backgroundGradient: LinearGradient {
        x1: 0
        y1: 0
        x2: 1
        y2: 1
        GradientStop {
            position: 0
            color: theme.indigo
        }
        GradientStop {
            position: 1
            color: theme.violet
        }
    }

    readonly property font productNameFont: Qt.font({ pixelSize: 16, weight: Font.Bold })
    readonly property font largeButtonFont: Qt.font({ pixelSize: 15, weight: Font.Bold })
    readonly property font elapsedFont: Qt.font({ pixelSize: 15, weight: Font.Bold })
    readonly property font retryButtonFont: Qt.font({ pixelSize: 14, weight: Font.Bold })
    readonly property font emphasisFont: Qt.font({ pixelSize: 13, weight: Font.DemiBold })
    readonly property font bodyFont: Qt.font({ pixelSize: 13, weight: Font.Normal })
    readonly property font captionFont: Qt.font({ pixelSize: 12, weight: Font.Normal })
    readonly property font hintFont: Qt.font({ pixelSize: 11, weight: Font.Normal })
    readonly property font footerFont: Qt.font({ pixelSize: 10, weight: Font.Normal })

    readonly property int screenPadding: 18
    readonly property int largeButtonRadius: 11
    readonly property int smallButtonRadius: 9
}
