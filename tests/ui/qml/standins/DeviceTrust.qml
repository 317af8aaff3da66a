import QtQml
import ViewsTest 1.0

// The trust as the login view sees it: the keys and refusals the test set,
// and the operator's word on them recorded.
QtObject {
    id: trust
    readonly property bool pinning: true
    readonly property string warning: ""

    signal keyRead(string deviceId, string state, string digest, string detail)

    function readKey(deviceId) {
        const key = Backend.keys[deviceId] === undefined ? { "state": "known", "digest": "sha256//KNOWN=" }
                                                         : Backend.keys[deviceId]
        // A device that does not answer the handshake.
        if (key.state === "held")
            return
        Qt.callLater(function () { trust.keyRead(deviceId, key.state, key.digest || "", key.detail || "") })
    }

    function refusal(deviceId) {
        const refused = Backend.refusals[deviceId]
        return refused === undefined ? {} : refused
    }

    function settle(word, deviceId) {
        Backend.trustWords.push(word + " " + deviceId)
        delete Backend.refusals[deviceId]
        delete Backend.keys[deviceId]
        return true
    }

    function acceptNewKey(deviceId, digest) {
        return settle("accept-new " + digest, deviceId)
    }

    function acceptShownKey(deviceId) {
        return settle("accept", deviceId)
    }

    function acceptChangedKey(deviceId, digest) {
        return settle("accept-changed " + digest, deviceId)
    }

    function forget(deviceId) {
        return settle("forget", deviceId)
    }
}
