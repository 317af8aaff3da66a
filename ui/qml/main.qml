import QtQuick
import QtQuick.Window

Window {
    id: root
    width: 1280
    height: 720
    minimumWidth: 800
    minimumHeight: 480
    visible: true
    title: "Corvane"
    color: "#ffffff"

    Rectangle {
        id: header
        anchors { left: parent.left; right: parent.right; top: parent.top }
        height: 90
        color: "#141414"

        Image {
            anchors { left: parent.left; leftMargin: 25; verticalCenter: parent.verticalCenter }
            height: 25
            fillMode: Image.PreserveAspectFit
            source: "view/resource/halvorn.png"
        }

        Column {
            anchors { right: parent.right; rightMargin: 25; verticalCenter: parent.verticalCenter }
            spacing: 4
            Image {
                anchors.horizontalCenter: parent.horizontalCenter
                width: 30
                height: 30
                source: "view/resource/icon_network.png"
            }
            Text {
                text: "Network"
                color: "#fbfbfb"
            }
        }
    }
}
