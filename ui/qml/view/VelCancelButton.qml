import QtQuick 2.15

// The button that backs out of a popup: light, so it never reads as the
// default action.
VelButton {
    faceColor: look.cancelFace
    textColor: look.cancelText
    edgeColor: look.cancelEdge
}
