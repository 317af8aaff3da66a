import QtQml
import ViewsTest 1.0

QtObject {
    readonly property int status: Backend.systemStatus
    readonly property QtObject journal: Backend.journal

    signal eventReceived(int eventID, var options)

    function sendEvent(eventID, options) {
        Backend.sentSystemEvents.push({ "eventID": eventID, "options": options })
        return eventID >= 0 && eventID <= 2
    }

    readonly property Connections relay: Connections {
        target: Backend
        function onSystemEvent(eventID, options) {
            eventReceived(eventID, options)
        }
    }
}
