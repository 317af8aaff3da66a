import QtQuick 2.15

// Where the keyboard is: a frame just outside its parent, shown while the
// focus is there and the operator works from the keyboard (the window's
// KeyboardUse), so that the mouse sees the window as it always was.
Rectangle {
    property bool shown: false
    property int gap: 2

    anchors.fill: parent
    anchors.margins: -gap
    visible: shown && root.keyboardInUse
    color: "transparent"
    border.color: "#1E90FF"
    border.width: 2
    radius: 2
    z: 100
    Accessible.ignored: true
}
