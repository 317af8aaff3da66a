import QtQml
import ViewsTest 1.0

// The trust as the login view sees it: the refusals the test set, and the
// operator's word on them recorded.
QtObject {
    readonly property bool pinning: true

    function refusal(deviceId) {
        const refused = Backend.refusals[deviceId]
        return refused === undefined ? {} : refused
    }

    function settle(word, deviceId) {
        Backend.trustWords.push(word + " " + deviceId)
        delete Backend.refusals[deviceId]
        return true
    }

    function acceptShownKey(deviceId) {
        return settle("accept", deviceId)
    }

    function forget(deviceId) {
        return settle("forget", deviceId)
    }
}
