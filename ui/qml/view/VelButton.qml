import QtQuick 2.15
import QtQuick.Controls 2.15

// The standard button: dark when it can be pressed, grey when it cannot.
Button {
    id: control

    implicitWidth: 220
    implicitHeight: 22
    padding: 0
    hoverEnabled: false
    font.pointSize: 10

    contentItem: Text {
        text: control.text
        font: control.font
        color: "white"
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }

    background: Rectangle {
        color: control.enabled ? "#141414" : "#6E6E6E"
        radius: 5
    }

    // The whole face is the click target and shows the hand, whatever the
    // style's own padding and hit area are.
    MouseArea {
        anchors.fill: parent
        cursorShape: Qt.PointingHandCursor
        onClicked: control.clicked()
    }
}
