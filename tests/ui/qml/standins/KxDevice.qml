import QtQml
import ViewsTest 1.0
import ViewsFacade 1.0

// Reads the facade at the moment of the read, like the real device object;
// the login accepts the password the test gave the device.
QtObject {
    property string deviceID
    readonly property bool available: deviceID !== ""
    readonly property string modelID: textOf(2)
    readonly property string deviceName: textOf(1)
    readonly property string version: textOf(3)
    readonly property var metaData: ({ "networkSettings": Facade.value(deviceID, 7) })
    property var statusOptions: ({})

    function textOf(parameter) {
        const value = Facade.value(deviceID, parameter)
        return value === undefined ? "" : String(value)
    }

    function readStatus() {
        statusOptions = { "loggedIn": Facade.value(deviceID, 14) === true }
    }

    function sendEvent(eventID, options) {
        if (eventID === 1)
            Backend.login(deviceID, options["password"] === undefined ? "" : String(options["password"]))
        readStatus()
        return true
    }

    onDeviceIDChanged: readStatus()
}
