import QtQuick
import QtTest
import ViewsTest 1.0
import ViewsFacade 1.0

ViewsTestCase {
    id: mainWindowTest
    name: "MainWindow"

    readonly property var batchButtons: ["updateFirmwareButton", "importConfigurationButton",
                                         "changeStandbyImageButton"]

    // What may be pressed follows the listed devices, the checked ones and
    // the system status; the close button goes while the system is busy.
    function test_enabling_data() {
        return [
            { tag: "no devices", devices: 0, checked: 0, status: 1, buttons: false, header: false, active: true },
            { tag: "devices, none checked", devices: 2, checked: 0, status: 1, buttons: false, header: true, active: true },
            { tag: "one checked", devices: 2, checked: 1, status: 1, buttons: true, header: true, active: true },
            { tag: "updating firmware", devices: 2, checked: 1, status: 2, buttons: false, header: false, active: false },
            { tag: "importing", devices: 2, checked: 2, status: 3, buttons: false, header: false, active: false },
            { tag: "changing image", devices: 1, checked: 1, status: 4, buttons: false, header: false, active: false },
            { tag: "initializing", devices: 1, checked: 1, status: 0, buttons: false, header: false, active: false }
        ]
    }

    function test_enabling(data) {
        openWindow()
        closeNetworkView()
        addDevices(data.devices, true)
        for (let row = 0; row < data.checked; ++row)
            clickCheck(row)
        compare(part("deviceTableModel").checkedDeviceIds.length, data.checked)

        Backend.systemStatus = data.status
        for (const name of batchButtons) {
            compare(part(name).enabled, data.buttons, name)
            compare(part(name).background.color, Qt.color(data.buttons ? "#141414" : "#6E6E6E"), name)
        }
        tryPart("allCheckBox", function (box) { return box.enabled === data.header })
        compare(part("networkButton").enabled, data.active)
        compare(part("networkButton").opacity, data.active ? 1.0 : 0.3)
        compare((window.flags & Qt.WindowCloseButtonHint) !== 0, data.active)
        verify((window.flags & Qt.WindowMinMaxButtonsHint) !== 0)

        // A click on a row changes nothing while the system is busy.
        if (data.devices > 0) {
            const before = part("deviceTableModel").checkedDeviceIds.length
            mouseClick(cell("cell0_2"))
            compare(part("deviceTableModel").checkedDeviceIds.length !== before, data.active)
        }
    }

    // The status column takes what the listed percentages leave; the others
    // give up the column spacing. Narrower (a high scale on a small screen),
    // the status column still lies whole in the table's view.
    function test_columnWidths_data() {
        return [
            { tag: "default width", width: 1080 },
            { tag: "wide", width: 1600 },
            { tag: "150 % on 1366 x 768", width: 1366 / 1.5 },
            { tag: "200 % on 1280 x 800", width: 1280 / 2 }
        ]
    }

    function test_columnWidths(data) {
        openWindow()
        closeNetworkView()
        addDevices(2, true)
        window.minimumWidth = 0
        window.width = data.width
        const table = part("deviceTable")
        if (data.width < window.defWidth) {
            tryCompare(table, "width", window.width - 20)
            const status = cell("statusCell0")
            const at = status.mapToItem(table, 0, 0)
            verify(at.x >= 0 && at.x + status.width <= table.width + 0.5, at.x + " + " + status.width)
            verify(status.width >= window.columnLeastWidths[7] - 0.5)
            return
        }
        const percentages = [2, 5.5, 26, 8, 9, 12, 9]
        tryVerify(function () {
            return Math.abs(table.columnWidth(7) - table.width * 28.5 / 100) < 0.5
        }, 5000, "status column")
        for (let column = 0; column < percentages.length; ++column) {
            const expected = table.width * percentages[column] / 100 - table.columnSpacing
            fuzzyCompare(table.columnWidth(column), expected, 0.5, "column " + column)
        }
        verify(table.columnSpacing > 0)
        // Rows of 20 pixels, one under the other.
        compare(cell("cell1_2").height, 20)
        compare(cell("cell1_2").y - cell("cell0_2").y, 20)
    }

    // However small the screen's free area (a high scale on a small screen:
    // CTest runs this on several), the window fits it, every button lies
    // inside it, a batch's Stop too, and a table too narrow for its columns
    // scrolls.
    function test_fitsTheScreen() {
        openWindow()
        closeNetworkView()
        addDevices(2, true)
        verify(window.minimumWidth <= Screen.desktopAvailableWidth && window.width <= Screen.desktopAvailableWidth,
               window.width + " wide on " + Screen.desktopAvailableWidth)
        verify(window.minimumHeight <= Screen.desktopAvailableHeight
               && window.height <= Screen.desktopAvailableHeight,
               window.height + " high on " + Screen.desktopAvailableHeight)
        const inside = function (name) {
            const item = part(name)
            const at = item.mapToItem(window.contentItem, 0, 0)
            verify(item.visible && item.width > 0, name + " shown")
            verify(at.x >= 0 && at.y >= 0 && at.x + item.width <= window.width + 0.5
                   && at.y + item.height <= window.height + 0.5,
                   name + " at " + at.x + "," + at.y + " " + item.width + "x" + item.height + " in "
                   + window.width + "x" + window.height)
        }
        for (const name of batchButtons.concat(["networkButton", "deviceTable"]))
            inside(name)
        Backend.systemStatus = 2
        tryCompare(part("stopButton"), "visible", true)
        for (const name of batchButtons.concat(["stopButton"]))
            inside(name)
        // A table narrower than at 1080 pixels keeps the status column in
        // view: the wide columns give room.
        const table = part("deviceTable")
        verify(table.flickableDirection !== Flickable.VerticalFlick)
        tryVerify(function () {
            const status = findChild(table, "statusCell0")
            return status !== null && status.mapToItem(table, 0, 0).x + status.width <= table.width + 0.5
        }, 5000, "the status column in view")
    }

    // What the window remembers for the next start: its size, fitted to the
    // screen's free area, and the interface chosen last, chosen again where
    // it still exists (its scan waits for OK).
    function test_remembered_data() {
        return [
            { tag: "read back", size: [1200, 600], chosen: "eth0", present: ["wlan0", "eth0"], row: 1 },
            { tag: "vanished interface ignored", size: [1200, 600], chosen: "eth1", present: ["eth0"], row: -1 },
            { tag: "larger than the screen", size: [5000, 3000], chosen: "eth0", present: ["eth0"], row: 0 }
        ]
    }

    function test_remembered(data) {
        const iface = function (name) {
            return { interfaceName: name, ipAddress: "192.0.2.10", macAddress: "02:00:00:00:10:01",
                     subnetMask: "255.255.255.0" }
        }
        openWindow([iface(data.chosen)])
        part("networkInterface").selectRow = 0
        part("networkInterfaceView").chooseSelected()
        window.width = data.size[0]
        window.height = data.size[1]
        window.close()
        tryCompare(window, "visible", false)

        Backend.interfaces = data.present.map(iface)
        window = createTemporaryObject(mainComponent, mainWindowTest)
        tryCompare(window, "visible", true)
        compare(window.width, Math.min(data.size[0], Screen.desktopAvailableWidth - 20))
        compare(window.height, Math.min(data.size[1], Screen.desktopAvailableHeight - 40))
        tryCompare(part("networkInterface"), "selectRow", data.row)
        compare(Backend.scanRequests.length, 1)
    }

    // The popups keep an opaque face and their buttons' size in either
    // palette, under a desktop style that has neither (CTest asks for
    // Material's dark theme), and their texts read.
    function test_palette_data() {
        return [
            { tag: "light", window: "#efefef", text: "#000000", face: "#ffffff" },
            { tag: "dark", window: "#2b2b2b", text: "#e0e0e0", face: "#262626" }
        ]
    }

    function test_palette(data) {
        openWindow()
        window.palette.window = data.window
        window.palette.windowText = data.text
        addDevices(1, false)
        window.login([deviceId(1)])
        for (const name of ["networkInterfaceView", "loginView"]) {
            tryCompare(part(name), "opened", true)
            compare(part(name).background.color, Qt.color(data.face), name)
        }
        verify(contrast(part("loginHostName").color, data.face) >= 7, "label")
        for (const button of [["loginSubmitButton", 150], ["loginCancelButton", 150], ["networkOkButton", 220],
                              ["networkCancelButton", 220]]) {
            const face = part(button[0]).background
            compare([face.width, face.height], [button[1], 22], button[0])
            verify(contrast(part(button[0]).textColor, face.color) >= 4.5, button[0])
        }
    }

    // WCAG's contrast ratio of two colours.
    function contrast(a, b) {
        const lum = function (colour) {
            const c = Qt.color(colour)
            const lin = function (v) { return v <= 0.03928 ? v / 12.92 : Math.pow((v + 0.055) / 1.055, 2.4) }
            return 0.2126 * lin(c.r) + 0.7152 * lin(c.g) + 0.0722 * lin(c.b)
        }
        const la = lum(a)
        const lb = lum(b)
        return (Math.max(la, lb) + 0.05) / (Math.min(la, lb) + 0.05)
    }

    // A host name cut short shows whole under the pointer and on the
    // keyboard's row; one that fits shows no tip.
    function test_longHostName_data() {
        return [
            { tag: "fits", name: "Lobby", shown: false },
            { tag: "cut short", name: "Reception desk of the north wing, second floor, beside the lifts", shown: true }
        ]
    }

    function test_longHostName(data) {
        openWindow()
        closeNetworkView()
        addDevices(2, true)
        verify(Facade.setValue(deviceId(1), 1, data.name))
        // The row that holds it, whichever the order.
        let row = -1
        tryVerify(function () {
            for (let r = 0; r < 2; ++r) {
                if (findChild(cell("cell" + r + "_2"), "cellText").text === data.name)
                    row = r
            }
            return row >= 0
        }, 5000, "name listed")
        const hostCell = cell("cell" + row + "_2")
        compare(hostCell.fullTextShown, false)
        mouseMove(hostCell)
        tryCompare(hostCell, "fullTextShown", data.shown)
        mouseMove(cell("cell" + (1 - row) + "_2"))
        tryCompare(hostCell, "fullTextShown", false)
        const table = part("deviceTable")
        table.forceActiveFocus()
        table.cursorRow = row
        tryCompare(hostCell, "fullTextShown", data.shown)
        table.cursorRow = 1 - row
        tryCompare(hostCell, "fullTextShown", false)
    }

    // Hover is one cell: entering sets it, leaving a cell that is no longer
    // the hovered one changes nothing, leaving the hovered cell clears it.
    function test_hover_data() {
        return [
            { tag: "enter", calls: [[true, 1, 2]], row: 1, column: 2 },
            { tag: "enter and leave", calls: [[true, 1, 2], [false, 1, 2]], row: -1, column: -1 },
            { tag: "along the row", calls: [[true, 1, 2], [true, 1, 3], [false, 1, 2]], row: 1, column: 3 },
            { tag: "to the next row", calls: [[true, 1, 2], [true, 2, 2], [false, 1, 2]], row: 2, column: 2 },
            { tag: "left the row", calls: [[true, 1, 2], [true, 1, 3], [false, 1, 2], [false, 1, 3]], row: -1, column: -1 }
        ]
    }

    function test_hover(data) {
        openWindow()
        closeNetworkView()
        const model = part("deviceTableModel")
        for (const call of data.calls)
            model.setHovered(call[0], call[1], call[2])
        compare(model.hoveredRow, data.row)
        compare(model.hoveredColumn, data.column)
    }

    function test_hoverColours() {
        openWindow()
        closeNetworkView()
        addDevices(2, false)
        mouseMove(cell("cell1_3"))
        const model = part("deviceTableModel")
        tryCompare(model, "hoveredRow", 1)
        compare(model.hoveredColumn, 3)
        compare(cell("checkCell1").color, Qt.color("#e5f3ff"))
        compare(cell("cell1_2").color, Qt.color("#eef8f7"))
        compare(cell("statusCell1").color, Qt.color("#eef8f7"))
        compare(cell("cell0_2").color, Qt.color("#ffffff"))
        compare(cell("checkCell0").color, Qt.color("#ffffff"))
    }

    // The status text is a link to the login only while the device asks for
    // one; otherwise a click on it checks the row like any other cell.
    function test_statusClick_data() {
        return [
            { tag: "login required", loggedIn: false, login: true },
            { tag: "logged in", loggedIn: true, login: false }
        ]
    }

    function test_statusClick(data) {
        openWindow()
        closeNetworkView()
        addDevices(1, data.loggedIn)
        const statusCell = cell("statusCell0")
        const link = findChild(statusCell, "statusText")
        tryCompare(link, "text", data.loggedIn ? link.text : "Login required")
        compare(link.color, Qt.color(data.login ? "#1032ff" : "black"))
        compare(link.font.underline, data.login)
        mouseMove(link, 2, link.height / 2)
        tryCompare(link.font, "bold", data.login)
        mouseClick(link, 2, link.height / 2)
        compare(part("loginView").visible, data.login)
        compare(part("deviceTableModel").checkedDeviceIds.length, data.login ? 0 : 1)
        if (data.login)
            compare(part("loginMacAddress").text, "02:00:00:00:00:01")
    }

    // Sorting from the header; the arrows show column and order.
    function test_sortHeader() {
        openWindow()
        closeNetworkView()
        addDevices(3, true)
        const model = part("deviceTableModel")
        const arrows = function (column, ascending, descending) {
            tryPart("headerCell" + column, function (cell) {
                return Qt.colorEqual(findChild(cell, "ascendingArrow").color, ascending)
                        && Qt.colorEqual(findChild(cell, "descendingArrow").color, descending)
            }, "arrows of column " + column)
        }
        arrows(2, "#A0A0A0", "#A0A0A0")
        mouseClick(part("headerCell2"))
        compare(model.sortColumn, 2)
        compare(model.sortOrder, Qt.AscendingOrder)
        arrows(2, "#141414", "#A0A0A0")
        arrows(3, "#A0A0A0", "#A0A0A0")
        mouseClick(part("headerCell2"))
        compare(model.sortOrder, Qt.DescendingOrder)
        compare(model.getSortedDeviceId(0), "02:00:00:00:00:03")
        arrows(2, "#A0A0A0", "#141414")
        arrows(3, "#A0A0A0", "#A0A0A0")

        // The header check box checks all, then clears all.
        tryPart("allCheckBox", function (box) { return box.enabled && box.checkState === Qt.Unchecked })
        mouseClick(part("allCheckBox"))
        compare(model.checkedDeviceIds.length, 3)
        tryPart("allCheckBox", function (box) { return box.checkState === Qt.Checked })
        mouseClick(part("allCheckBox"))
        compare(model.checkedDeviceIds.length, 0)
        tryPart("allCheckBox", function (box) { return box.checkState === Qt.Unchecked })
        clickCheck(1)
        tryPart("allCheckBox", function (box) { return box.checkState === Qt.PartiallyChecked })
        tryVerify(function () { return findChild(cell("checkCell1"), "rowCheckBox").checked })
        verify(!findChild(cell("checkCell0"), "rowCheckBox").checked)
        compare(model.checkedDeviceIds, [model.getSortedDeviceId(1)])
    }

    // The count line and the list-full notice (the views' list has room
    // for five devices), shown and said.
    function test_findBar_data() {
        const full = "Device list full at 5 devices; devices past it are not listed. "
                   + "Start Corvane with --max-devices 1024 to list more."
        return [
            { tag: "room left", devices: 5, filter: "", count: "5 devices", notice: "" },
            { tag: "list full", devices: 6, filter: "", count: "5 devices", notice: full },
            { tag: "a checked device hidden", devices: 3, check: [0], filter: "host2",
              count: "1 of 3 devices shown, 1 checked, 1 of them hidden", notice: "" }
        ]
    }

    function test_findBar(data) {
        openWindow()
        closeNetworkView()
        for (let n = 1; n <= data.devices; ++n)
            addDevice(n, true)
        const model = part("deviceTableModel")
        tryCompare(model, "deviceCount", Math.min(5, data.devices))
        for (const row of (data.check || []))
            clickCheck(row)
        part("filterField").text = data.filter
        tryCompare(part("deviceCount"), "text", data.count)
        compare(part("limitNotice").visible, data.notice !== "")
        compare(part("limitNotice").text, data.notice)
        if (data.notice !== "")
            tryCompare(part("reportAnnouncer"), "said", data.notice)
    }

    // Texts of one moment are each said, in order, none replaced unheard.
    function test_announcementsOfOneMoment() {
        openWindow()
        const announcer = part("reportAnnouncer")
        announcer.say("first")
        announcer.say("second")
        compare(announcer.said, "first")
        tryCompare(announcer, "said", "second")
    }
}
