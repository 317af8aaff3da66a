import QtQuick
import QtTest
import ViewsTest 1.0
import ViewsFacade 1.0

ViewsTestCase {
    name: "BatchOperations"

    readonly property var operations: [
        { button: "updateFirmwareButton", dialog: "updateFirmwareDialog", event: 0,
          title: "Please select a firmware file ...", filter: "Bundle Files (*.bundle)", file: "fw.bundle" },
        { button: "importConfigurationButton", dialog: "importConfigurationDialog", event: 1,
          title: "Please select a configuration file ...", filter: "Configuration Files (*.xml)", file: "c.xml" },
        { button: "changeStandbyImageButton", dialog: "changeStandbyImageDialog", event: 2,
          title: "Please select a Stand-by screen image file ...",
          filter: "Stand-by Screen Image Files (*.jpg *.jpeg *.png)", file: "s.png" }
    ]

    // Every operation: with all checked devices logged in the file dialog
    // opens at once; otherwise only after every one of them has logged in.
    function test_operation_data() {
        let rows = []
        for (let i = 0; i < operations.length; ++i) {
            const op = operations[i]
            rows.push({ tag: op.button + ", all logged in", op: op, loggedIn: [1, 2], passwords: [], dialog: true,
                        typePath: false })
            rows.push({ tag: op.button + ", one to log in", op: op, loggedIn: [1], passwords: ["pw2"], dialog: true,
                        typePath: true })
            rows.push({ tag: op.button + ", login cancelled", op: op, loggedIn: [2], passwords: [null], dialog: false })
        }
        rows.push({ tag: "a device skipped is left out and handed on", op: operations[0], loggedIn: [1],
                    passwords: ["wrong", "skip"], dialog: true, typePath: true, devices: [1],
                    skipped: [{ "device": deviceId(2), "reason": "Login failed" }] })
        rows.push({ tag: "every device skipped", op: operations[0], loggedIn: [], passwords: ["skip", "skip"],
                    dialog: false, says: "Every device was skipped: nothing was sent." })
        return rows
    }

    function test_operation(data) {
        openWindow()
        closeNetworkView()
        addDevices(3, false)
        for (const n of data.loggedIn)
            Facade.setValue(deviceId(n), 14, true)
        clickCheck(1)
        clickCheck(0)
        activateWindow()
        const checked = [deviceId(2), deviceId(1)]
        compare(part("deviceTableModel").checkedDeviceIds, checked)

        const dialog = findChild(part(data.op.button), data.op.dialog)
        verify(dialog !== null)
        compare(dialog.title, data.op.title)
        compare(dialog.nameFilters, [data.op.filter])
        compare(dialog.visible, false)

        mouseClick(part(data.op.button))
        for (const password of data.passwords) {
            tryCompare(part("loginView"), "visible", true)
            compare(dialog.visible, false)
            if (password === null) {
                mouseClick(part("loginCancelButton"))
            } else if (password === "skip") {
                waitForItemPolished(part("loginContent"))
                mouseClick(part("loginSkipButton"))
            } else {
                typeText(password)
                keyClick(Qt.Key_Return)
            }
        }
        compare(part("loginView").visible, false)
        if (!data.dialog) {
            // Nothing may open later either: a job queued now runs after the
            // window's handling of the login result.
            let drained = false
            Promise.resolve().then(function () { drained = true })
            tryVerify(function () { return drained })
            compare(dialog.visible, false)
            compare(Backend.sentSystemEvents.length, 0)
            if (data.says !== undefined)
                tryCompare(findChild(part("toastView"), "toastText"), "text", data.says)
            return
        }
        tryCompare(dialog, "visible", true)
        const file = Facade.makeFile(data.op.file)
        compare(String(dialog.currentFolder), String(Facade.downloadFolder()))
        let list = null
        tryVerify(function () {
            list = findChild(window, "fileDialogListView")
            return list !== null && list.visible && list.width > 0
        }, 5000, "file dialog shown")
        if (data.typePath) {
            // The path typed into the dialog's folder bar.
            keyClick(Qt.Key_L, Qt.ControlModifier)
            typeText(file.toString().substring("file://".length))
            keyClick(Qt.Key_Return)
        } else {
            // Go to the file's folder and open the file from the list.
            dialog.currentFolder = Facade.folderOf(file)
            let entry = null
            tryVerify(function () {
                entry = findChild(list, "fileDialogDelegate0")
                return entry !== null && entry.visible && entry.width > 0 && entry.file !== undefined
                        && String(entry.file) === String(file)
            }, 5000, "file listed in the dialog")
            mouseDoubleClickSequence(entry)
        }
        tryCompare(dialog, "visible", false)
        compare(Backend.sentSystemEvents.length, 1)
        const sent = Backend.sentSystemEvents[0]
        compare(sent.eventID, data.op.event)
        compare(sent.options.devices, data.devices === undefined ? checked : data.devices.map(deviceId))
        compare(sent.options.skipped, data.skipped === undefined ? [] : data.skipped)
        compare(String(sent.options.filePath), String(file))
        verify(String(file).endsWith("/" + data.op.file))
    }
}
