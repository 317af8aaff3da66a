import QtQuick 2.15
import QtQuick.Controls 2.15

// Shown over the interface chooser while the last switch of interface is
// still settling, so that the operator cannot switch again at once. It
// takes the keys while shown: Escape must not close the chooser beneath it.
VelPopup {
    id: splashScreen
    objectName: "splashScreen"
    title: "Please wait"

    width: 150
    height: 150
    anchors.centerIn: Overlay.overlay
    closePolicy: Popup.NoAutoClose
    background: Item {}

    Overlay.modal: Rectangle {
        color: "#7FFFFFFF"
    }

    BusyIndicator {
        objectName: "busyIndicator"
        anchors.centerIn: parent
        running: splashScreen.visible
        Accessible.name: "Busy"
    }
}
