import QtQuick 2.15
import QtQuick.Controls 2.15

// The button that backs out of a popup: light, so it never reads as the
// default action.
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
        color: "black"
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }

    background: Rectangle {
        color: "#FFFFFF"
        border.color: "#141414"
        border.width: 1
        radius: 5
    }

    MouseArea {
        anchors.fill: parent
        cursorShape: Qt.PointingHandCursor
        onClicked: control.clicked()
    }
}
