import QtQuick 2.15
import QtQuick.Controls 2.15

// The standard button: dark when it can be pressed, grey when it cannot.
// Space or Enter presses it when it has the keyboard focus, which a frame
// shows; a click gives no frame, so the mouse sees the button as it was.
Button {
    id: control

    property color faceColor: enabled ? look.buttonFace : look.buttonFaceOff
    property color textColor: enabled ? look.buttonText : look.buttonTextOff
    property color edgeColor: look.highContrast && !enabled ? look.text : "transparent"

    implicitWidth: 220
    implicitHeight: 22
    padding: 0
    // The face is the whole button, whatever insets a style would give it.
    topInset: 0
    bottomInset: 0
    leftInset: 0
    rightInset: 0
    hoverEnabled: false
    font.pointSize: 10

    // Told to assistive tools by the views' own interface, which says
    // "disabled" too; their press comes as pressAction.
    readonly property bool accessibleLeaf: true
    Accessible.role: Accessible.Button
    Accessible.name: text
    Accessible.onPressAction: {
        if (enabled)
            clicked()
    }

    Keys.onReturnPressed: function (event) { control.pressByKey(event) }
    Keys.onEnterPressed: function (event) { control.pressByKey(event) }

    function pressByKey(event) {
        event.accepted = true
        if (enabled && !event.isAutoRepeat)
            clicked()
    }

    contentItem: Text {
        text: control.text
        font: control.font
        color: control.textColor
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }

    background: Rectangle {
        implicitWidth: control.implicitWidth
        implicitHeight: control.implicitHeight
        color: control.faceColor
        border.color: control.edgeColor
        border.width: control.edgeColor.a > 0 ? 1 : 0
        radius: 5

        FocusFrame {
            shown: control.activeFocus
            radius: 7
        }
    }

    // The whole face is the click target and shows the hand, whatever the
    // style's own padding and hit area are.
    MouseArea {
        anchors.fill: parent
        cursorShape: Qt.PointingHandCursor
        onClicked: control.clicked()
    }
}
