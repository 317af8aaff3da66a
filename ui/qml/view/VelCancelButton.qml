import QtQuick 2.15

// The button that backs out of a popup: light, so it never reads as the
// default action.
VelButton {
    faceColor: "#FFFFFF"
    textColor: "black"
    edgeColor: "#141414"
}
