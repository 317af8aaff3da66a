import QtQml
import Qt.labs.qmlmodels
import ViewsTest 1.0

// The interface list with the interfaces the test chose instead of the
// workstation's.
TableModel {
    TableModelColumn { display: "interfaceName" }
    TableModelColumn { display: "ipAddress" }
    TableModelColumn { display: "macAddress" }
    TableModelColumn { display: "subnetMask" }

    function updateNetworkInterfaces() {
        rows = Backend.interfaces.slice()
        Backend.interfaceUpdates++
    }

    function getNetworkInterface(index) {
        if (index < 0 || index >= rowCount)
            return {}
        return Object.assign({}, rows[index])
    }
}
