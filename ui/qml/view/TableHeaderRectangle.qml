import QtQuick 2.15

// Background of a table header cell; the cell puts its own content on it.
Rectangle {
    implicitHeight: 30
    border.color: look.headerEdge
    border.width: 1
    gradient: Gradient {
        GradientStop { position: 0.0; color: look.headerTop }
        GradientStop { position: 1.0; color: look.headerBottom }
    }
}
