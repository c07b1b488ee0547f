import QtQuick
import QtQuick.Shapes
import Tolvex.Ui

// Fills its area with Theme.backgroundGradient: a unit square, stretched to the area.
Item {
    id: area

    Shape {
        width: 1
        height: 1
        transform: Scale {
            xScale: area.width
            yScale: area.height
        }

        ShapePath {
            strokeWidth: -1
            fillGradient: Theme.backgroundGradient
            startX: 0
            startY: 0
            PathLine { x: 1; y: 0 }
            PathLine { x: 1; y: 1 }
            PathLine { x: 0; y: 1 }
            PathLine { x: 0; y: 0 }
        }
    }
}
