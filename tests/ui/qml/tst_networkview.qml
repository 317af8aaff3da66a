import QtQuick
import QtTest
import ViewsTest 1.0

ViewsTestCase {
    name: "NetworkInterfaceView"

    readonly property var interfaces: [
        { interfaceName: "eth0", ipAddress: "192.0.2.10", macAddress: "02:00:00:00:10:01", subnetMask: "255.255.255.0" },
        { interfaceName: "wlan0", ipAddress: "198.51.100.7", macAddress: "02:00:00:00:10:02", subnetMask: "255.255.0.0" }
    ]

    function rowCell(row, column) {
        let found = null
        tryVerify(function () {
            const table = part("networkInterfaceTable")
            const items = table.contentItem.children
            for (let i = 0; i < items.length; ++i) {
                const item = items[i]
                if (item.objectName === "interfaceCell" + row + "_" + column && item.width > 0)
                    found = item
            }
            return found !== null
        }, 5000, "interface cell " + row + "," + column)
        return found
    }

    // Open at start with a fresh list; OK only with a row chosen; the chosen
    // row goes to the scan.
    function test_chooseInterface() {
        openWindow(interfaces)
        const view = part("networkInterfaceView")
        verify(view.visible)
        compare(Backend.interfaceUpdates, 1)
        compare(part("networkOkButton").enabled, false)

        mouseMove(rowCell(0, 2))
        tryCompare(rowCell(0, 2), "color", Qt.color("#eef8f7"))
        compare(rowCell(1, 2).color, Qt.color("#ffffff"))
        mouseClick(rowCell(1, 0))
        compare(part("networkInterface").selectRow, 1)
        compare(rowCell(1, 3).color, Qt.color("#d4ecea"))
        verify(part("networkOkButton").enabled)

        mouseClick(part("networkOkButton"))
        tryCompare(view, "visible", false)
        compare(Backend.scanRequests.length, 1)
        compare(Backend.scanRequests[0], interfaces[1])

        fuzzyCompare(view.width, window.width - 300, 0.5)
        fuzzyCompare(view.height, window.height - 80, 0.5)
    }

    // Reopening within 5.5 s of a switch shows the busy popup over the
    // chooser until the switch has settled; without a switch it does not.
    function test_busyGuard_data() {
        return [
            { tag: "reopened right after a switch", switched: true, settle: false, busy: true },
            { tag: "reopened after the switch settled", switched: true, settle: true, busy: false },
            { tag: "cancelled without a switch", switched: false, settle: false, busy: false }
        ]
    }

    function test_busyGuard(data) {
        openWindow(interfaces)
        const view = part("networkInterfaceView")
        const splash = part("splashScreen")
        const timer = part("switchSettleTimer")
        compare(splash.visible, false)
        if (data.switched) {
            mouseClick(rowCell(0, 1))
            mouseClick(part("networkOkButton"))
        } else {
            mouseClick(part("networkCancelButton"))
        }
        tryCompare(view, "visible", false)
        compare(timer.running, data.switched)
        if (data.settle)
            tryCompare(timer, "running", false, 8000)

        mouseClick(part("networkButton"))
        tryCompare(view, "visible", true)
        compare(Backend.interfaceUpdates, 2)
        compare(splash.visible, data.busy)
        if (data.busy) {
            verify(findChild(splash, "busyIndicator").running)
            // The busy popup goes when the switch has settled.
            tryCompare(splash, "visible", false, 8000)
            verify(view.visible)
        }
    }
}
