import QtQuick 2.15

// Says a text to screen readers as a notification. Texts that come in the
// same moment (three devices ending in one tick) are said one after another:
// a screen reader reads the name when it gets to the event, so a text
// replaced before then is never heard. The queue is bounded; a flood keeps
// the newest, and the batch's summary says the totals anyway.
Item {
    id: announcer
    property string said: ""
    property var queue: []
    readonly property int spacingMs: 400
    readonly property int mostQueued: 32

    visible: false
    Accessible.role: Accessible.Notification
    Accessible.name: said

    function say(text) {
        if (text === "")
            return
        // A text held back for its moment to settle still goes first.
        if (settle.running) {
            settle.stop()
            say(settle.text)
        }
        if (spacing.running) {
            queue.push(text)
            if (queue.length > mostQueued)
                queue.shift()
            return
        }
        speak(text)
    }

    // For a text whose moment floods the screen reader with other events.
    function sayAfter(text, ms) {
        settle.text = text
        settle.interval = ms
        settle.restart()
    }

    function speak(text) {
        visible = false
        said = text
        visible = true
        spacing.restart()
    }

    Timer {
        id: settle
        property string text: ""
        onTriggered: announcer.say(text)
    }

    Timer {
        id: spacing
        interval: announcer.spacingMs
        onTriggered: {
            if (announcer.queue.length > 0)
                announcer.speak(announcer.queue.shift())
        }
    }
}
