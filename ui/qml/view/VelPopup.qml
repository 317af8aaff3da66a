import QtQuick 2.15
import QtQuick.Controls 2.15

// A modal popup of the window. It takes the keyboard focus when it opens and
// keeps it while open, so keys never reach what lies behind, and gives it
// back to where it was when it closes. Its title is what a screen reader
// says; nothing shows it.
Dialog {
    id: popup

    property Item focusBefore: null
    // Where the focus goes when it was nowhere before the popup opened.
    property Item focusAfter: null

    modal: true
    focus: true
    header: Item {}
    footer: Item {}

    Overlay.modal: Rectangle {
        color: "#A0000000"
    }

    // Opaque in every palette, never the style's own (which may have none).
    background: Rectangle {
        color: look.popupBackground
        border.color: look.popupEdge
        border.width: 1
        radius: 4
    }

    onAboutToShow: focusBefore = root.activeFocusItem
    onClosed: {
        const target = focusBefore !== null ? focusBefore : focusAfter
        focusBefore = null
        if (target !== null && target.visible && target.enabled)
            target.forceActiveFocus(Qt.PopupFocusReason)
    }
}
