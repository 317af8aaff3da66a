import QtQuick 2.15

// Where the keyboard is: a frame just outside its parent, shown only while
// the keyboard has put the focus there.
Rectangle {
    property bool shown: false
    property int gap: 2

    anchors.fill: parent
    anchors.margins: -gap
    visible: shown
    color: "transparent"
    border.color: "#1E90FF"
    border.width: 2
    radius: 2
    z: 100
    Accessible.ignored: true
}
