import QtQuick 2.15
import QtQuick.Controls 2.15

// Transient messages at the bottom of the window, one at a time in arrival
// order; a message that is already waiting (or showing) is not queued again,
// so a burst of the same error reads once.
//
// An item on the popups' overlay layer rather than a Popup: it shows above
// every popup, but takes no pointer input, since it lies over the batch
// buttons for seconds at a time (a popup takes every press in its area).
Item {
    id: toastView
    objectName: "toastView"

    // Phases of one toast: 0 before it starts, 1 fading in, 2 shown,
    // 3 fading out, 4 faded out.
    property var toastMessageQueue: []
    property int animationElapsedCount: 0

    function showMessage(message) {
        if (toastMessageQueue.indexOf(message) >= 0)
            return
        toastMessageQueue.push(message)
        if (animationElapsedCount === 0)
            showFirstMessage()
    }

    function showFirstMessage() {
        toastText.text = toastMessageQueue[0]
        visible = true
        displayTimer.start()
        fadeIn.start()
    }

    function finishMessage() {
        toastText.text = ""
        visible = false
        toastMessageQueue.shift()
        animationElapsedCount = 0
        if (toastMessageQueue.length > 0)
            showFirstMessage()
    }

    parent: Overlay.overlay
    visible: false
    z: 999
    x: root.width * 0.1
    y: root.height - height * 1.2
    width: root.width * 0.8
    height: toastText.height + toastText.fontInfo.pixelSize
    opacity: 0
    // Screen readers announce an alert as it shows.
    Accessible.role: Accessible.Notification
    Accessible.name: toastText.text

    Rectangle {
        anchors.fill: parent
        color: "#222222"
        border.color: "#FFFFFF"
        radius: 20

        Text {
            id: toastText
            objectName: "toastText"
            anchors.centerIn: parent
            width: root.width * 0.8 - fontInfo.pixelSize
            color: "white"
            font.pointSize: 14
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.WordWrap
            Accessible.ignored: true
        }
    }

    Timer {
        id: displayTimer
        interval: 3000
        onTriggered: fadeOut.start()
    }

    NumberAnimation {
        id: fadeIn
        target: toastView
        property: "opacity"
        to: 0.9
        duration: 500
        easing.type: Easing.InQuad
        onStarted: toastView.animationElapsedCount++
        onStopped: toastView.animationElapsedCount++
    }

    NumberAnimation {
        id: fadeOut
        target: toastView
        property: "opacity"
        to: 0
        duration: 500
        easing.type: Easing.OutQuad
        onStarted: toastView.animationElapsedCount++
        onStopped: {
            toastView.animationElapsedCount++
            toastView.finishMessage()
        }
    }
}
