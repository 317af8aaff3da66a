import QtQml
import ViewsTest 1.0
import ViewsFacade 1.0

QtObject {
    readonly property var deviceIDs: Facade.deviceIDs
    readonly property bool scanning: false

    function startScan(options) {
        Backend.scanRequests.push(options)
        return true
    }

    function stopScan() {
    }
}
