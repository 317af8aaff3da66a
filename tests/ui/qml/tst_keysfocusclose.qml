import QtQuick
import QtTest
import ViewsTest 1.0
import ViewsFacade 1.0

// Keys, focus and close requests: what the operator presses reaches only
// what is in front, and nothing pressed while the system is busy or a login
// waits cuts the work off or skips a device.
ViewsTestCase {
    name: "KeysFocusClose"

    readonly property var interfaces: [
        { interfaceName: "eth0", ipAddress: "192.0.2.10", macAddress: "02:00:00:00:10:01", subnetMask: "255.255.255.0" }
    ]
    readonly property var keyCodes: ({ "Return": Qt.Key_Return, "Escape": Qt.Key_Escape, "Tab": Qt.Key_Tab,
                                       "Space": Qt.Key_Space, "Backtab": Qt.Key_Backtab, "Up": Qt.Key_Up,
                                       "Down": Qt.Key_Down, "Left": Qt.Key_Left, "Right": Qt.Key_Right,
                                       "End": Qt.Key_End, "Home": Qt.Key_Home })

    SignalSpy {
        id: finishedSpy
        signalName: "loginFinished"
    }

    // Set-up: `devices` listed (all `loggedIn` or none), table rows to `check`,
    // an `interfaces` list with row `select` chosen, the network popup open
    // (`network`: "start" as the window opens, "reopened" from its button),
    // the part to `focus` first, a `toast` shown, a login of the `targets`
    // and what the operator does `during` the first login's wait.
    // `press`: keys by name, "close" (the window manager's close request),
    // "defer" (a termination signal that waits for the batch), "focus
    // <part>", "journal <property> <JSON value>" and "say <text>" (the
    // batch's record shows and announces the text),
    // "click <part>", "type <text>", "wait <part>" (until shown), and what
    // the back end does meanwhile: "status <system status>", "set
    // <parameter> <JSON value>" on device 1.
    // Then what must hold: the `window`, the popups (`networkOpen`, `splash`,
    // `loginOn` device, 0 for closed), `networkOk`, the login `attempts` and
    // `finished` reports, the model's `checked` devices and the `boxes`
    // shown, the firmware `dialog`, what the toast says (`toastSays`), and
    // `focusIn` a popup after every press.
    function test_request_data() {
        return [
            { tag: "close while updating firmware", devices: 1, press: ["status 2", "close", "status 1"],
              window: true, toastSays: "A batch is running; Corvane can be closed when it ends." },
            { tag: "close while changing the image", devices: 1, press: ["status 4", "close"], window: true },
            { tag: "a termination signal that waits is said, and closes at the batch's end", devices: 1,
              press: ["status 3", "defer", "status 1"], window: false,
              toastSays: "A batch is running; Corvane closes when it ends." },
            { tag: "close after the batch", devices: 1, press: ["status 3", "status 1", "close"], window: false },
            { tag: "close while the last devices install", devices: 1, press: ["journal busy true", "close"],
              window: true },
            { tag: "a termination signal waits for the devices still installing", devices: 1,
              press: ["status 2", "journal busy true", "defer", "status 1"], window: true },
            { tag: "a termination signal closes once the last devices have reported", devices: 1,
              press: ["status 2", "journal busy true", "defer", "status 1", "journal busy false"], window: false },
            { tag: "a batch's start and its summary are shown and said", devices: 1,
              press: ["say Update started: 1 device", "status 2",
                      "say Update finished: 1 succeeded, 0 failed, 0 skipped, 0 stopped", "status 1"],
              said: "Update finished: 1 succeeded, 0 failed, 0 skipped, 0 stopped" },
            { tag: "a batch takes the focus from its button to the table", devices: 1, loggedIn: true, check: [0],
              focus: "updateFirmwareButton", press: ["status 2"], focusIn: "deviceTable" },

            { tag: "a login's wait shows", devices: 1, targets: [1], during: ["wait loginBusy"],
              press: ["type pw1", "Return"], attempts: [1], finished: [true], loginOn: 0 },
            { tag: "second Return during a login", devices: 2, targets: [1, 2], during: ["Return"],
              press: ["type pw1", "Return", "type pw2", "Return"], attempts: [1, 2], finished: [true], loginOn: 0 },
            { tag: "Submit during a login", devices: 2, targets: [1, 2], during: ["click loginSubmitButton"],
              press: ["type pw1", "Return", "type pw2", "Return"], attempts: [1, 2], finished: [true], loginOn: 0 },
            { tag: "Escape during a login", devices: 2, targets: [1, 2], during: ["Escape"],
              press: ["type pw1", "Return", "type pw2", "Return"], attempts: [1, 2], finished: [true], loginOn: 0 },
            { tag: "Cancel during a login", devices: 2, targets: [1, 2], during: ["click loginCancelButton"],
              press: ["type pw1", "Return"], attempts: [1], finished: [], loginOn: 2 },

            { tag: "Space on a row's check box", devices: 2, loggedIn: true, focus: "checkCell0/rowCheckBox",
              press: ["Space"], checked: [1], boxes: [true, false] },
            { tag: "Space twice on a row's check box", devices: 2, loggedIn: true, focus: "checkCell0/rowCheckBox",
              press: ["Space", "Space"], checked: [], boxes: [false, false] },
            { tag: "click, then Space on the check box", devices: 2, loggedIn: true,
              focus: "checkCell1/rowCheckBox", press: ["click checkCell1", "Space"], checked: [], boxes: [false, false] },

            { tag: "Escape on the network popup at start", network: "start", press: ["Escape"], networkOpen: false },
            { tag: "Escape on the reopened network popup", devices: 1, network: "reopened", press: ["Escape"],
              networkOpen: false },
            { tag: "Tab stays in the network popup", devices: 2, loggedIn: true, check: [0], network: "reopened",
              press: ["Tab", "Tab", "Tab", "Tab", "Tab", "Tab"], focusIn: "networkInterfaceView", networkOpen: true },
            { tag: "Space behind the network popup", devices: 1, loggedIn: true, check: [0],
              focus: "updateFirmwareButton", network: "reopened", press: ["Space"], networkOpen: true, dialog: false },
            { tag: "network popup closes when a batch starts", interfaces: true, network: "reopened", select: 0,
              press: ["status 2"], networkOpen: false, networkOk: false },
            { tag: "network OK while active", interfaces: true, network: "reopened", select: 0, press: [],
              networkOpen: true, networkOk: true },
            { tag: "busy popup over the network popup keeps the keys", interfaces: true, network: "reopened",
              select: 0, press: ["click networkOkButton", "click networkButton", "wait splashScreen", "Escape"],
              networkOpen: true, splash: true },

            { tag: "click through the toast", devices: 1, loggedIn: true, check: [0], toast: "Network error.",
              press: ["click updateFirmwareButton"], dialog: true },

            { tag: "login link back after a batch", devices: 1, loggedIn: true,
              press: ["set 5 3", "status 2", "set 14 false", "set 5 1", "status 1", "click statusCell0/statusText"],
              loginOn: 1 }
        ]
    }

    function test_request(data) {
        openWindow(data.interfaces ? interfaces : undefined)
        if (data.network !== "start")
            closeNetworkView()
        const devices = data.devices === undefined ? 0 : data.devices
        if (devices > 0)
            addDevices(devices, data.loggedIn === true)
        for (const row of (data.check || []))
            clickCheck(row)
        activateWindow()
        if (data.focus !== undefined) {
            const item = find(data.focus)
            item.forceActiveFocus()
            tryVerify(function () { return item.activeFocus }, 5000, "focus on " + data.focus)
        }
        if (data.network === "reopened") {
            mouseClick(part("networkButton"))
            tryCompare(part("networkInterfaceView"), "visible", true)
        }
        if (data.select !== undefined)
            part("networkInterface").selectRow = data.select
        if (data.toast !== undefined)
            showToastOverButtons(data.toast)
        finishedSpy.target = window
        finishedSpy.clear()
        if (data.targets !== undefined) {
            window.login(data.targets.map(deviceId))
            tryCompare(part("loginView"), "visible", true)
        }
        if (data.during !== undefined) {
            Backend.duringLogin = function () {
                for (const action of data.during)
                    perform(action)
            }
        }

        for (const action of data.press) {
            perform(action)
            if (data.focusIn !== undefined)
                verify(part(data.focusIn).activeFocus, "focus left " + data.focusIn + " after " + action)
        }

        if (data.window !== undefined)
            tryCompare(window, "visible", data.window, 5000, "window")
        if (data.toastSays !== undefined)
            tryCompare(findChild(part("toastView"), "toastText"), "text", data.toastSays)
        if (data.said !== undefined) {
            compare(part("batchStatusLine").text, data.said)
            tryCompare(part("reportAnnouncer"), "said", data.said)
        }
        if (data.networkOpen !== undefined)
            tryCompare(part("networkInterfaceView"), "visible", data.networkOpen)
        if (data.splash !== undefined)
            compare(part("splashScreen").visible, data.splash, "busy popup")
        if (data.networkOk !== undefined)
            compare(part("networkOkButton").enabled, data.networkOk, "network OK")
        if (data.loginOn !== undefined) {
            tryCompare(part("loginView"), "visible", data.loginOn > 0)
            if (data.loginOn > 0)
                compare(part("loginMacAddress").text, deviceId(data.loginOn))
        }
        if (data.attempts !== undefined)
            compare(Backend.loginAttempts.map(function (a) { return a.deviceID }), data.attempts.map(deviceId))
        if (data.finished !== undefined)
            compare(finishedSpy.signalArguments.map(function (a) { return a[0] }), data.finished)
        if (data.checked !== undefined && data.boxes !== undefined) {
            compare(part("deviceTableModel").checkedDeviceIds, data.checked.map(deviceId))
            for (let row = 0; row < data.boxes.length; ++row)
                compare(findChild(cell("checkCell" + row), "rowCheckBox").checked, data.boxes[row], "box " + row)
        }
        if (data.dialog !== undefined)
            compare(findChild(part("updateFirmwareButton"), "updateFirmwareDialog").visible, data.dialog, "dialog")
    }

    // The window worked from the keyboard alone. Set-up as above (the
    // network popup closed at start, so the focus is on the device table).
    // `walk`: pairs of a key (or action, as above) and the object name of
    // the item that must have the keyboard focus after it ("" for any).
    // Then what must hold: the model's `checked` devices and the `boxes`
    // shown, the `sorted` column, `loginOn`, `networkOpen`, the firmware
    // `dialog`, the interfaces' `scans`, and the focus `frame` shown.
    function test_walk_data() {
        const tabs = [["Tab", "updateFirmwareButton"], ["Tab", "importConfigurationButton"],
                      ["Tab", "changeStandbyImageButton"], ["Tab", "networkButton"], ["Tab", "filterField"],
                      ["Tab", "deviceTable"]]
        return [
            { tag: "Tab walks button, table and the three batch buttons", devices: 2, loggedIn: true, check: [0],
              walk: tabs, frame: "rowFocusFrame" },
            { tag: "Backtab walks back", devices: 2, loggedIn: true, check: [0],
              walk: [["Backtab", "filterField"], ["Backtab", "networkButton"], ["Backtab", "changeStandbyImageButton"],
                     ["Backtab", "importConfigurationButton"], ["Backtab", "updateFirmwareButton"],
                     ["Backtab", "deviceTable"]] },
            { tag: "disabled batch buttons are passed over", devices: 2, loggedIn: true,
              walk: [["Tab", "networkButton"], ["Tab", "filterField"], ["Tab", "deviceTable"]], frame: "" },
            { tag: "arrows and Space check rows through the model", devices: 3, loggedIn: true,
              walk: [["Down", "deviceTable"], ["Space", ""], ["Down", ""], ["Down", ""], ["Space", ""], ["Up", ""],
                     ["Space", ""]],
              checked: [1, 3, 2], boxes: [true, true, true], frame: "rowFocusFrame" },
            { tag: "arrows stop at the last row", devices: 2, loggedIn: true,
              walk: [["End", ""], ["Down", ""], ["Down", ""], ["Space", ""]], checked: [2], boxes: [false, true] },
            { tag: "Space on the check column's header checks all", devices: 2, loggedIn: true,
              walk: [["Down", ""], ["Up", "deviceTable"], ["Space", ""]], checked: [1, 2], boxes: [true, true] },
            { tag: "Right along the header, Space sorts", devices: 2, loggedIn: true,
              walk: [["Right", ""], ["Right", ""], ["Space", ""]], sorted: 2 },
            { tag: "Enter on a row to log in opens its login", devices: 2, walk: [["Down", ""], ["Down", ""],
              ["Return", "passwordField"]], loginOn: 2 },
            { tag: "Escape gives the focus back to the row", devices: 2,
              walk: [["Down", ""], ["Return", "passwordField"], ["Escape", "deviceTable"], ["Space", ""]],
              loginOn: 0, checked: [1] },
            { tag: "Enter on a logged-in row opens nothing", devices: 1, loggedIn: true,
              walk: [["Down", ""], ["Return", "deviceTable"]], loginOn: 0, checked: [] },
            { tag: "during a batch Tab goes between the table and Stop", devices: 1, loggedIn: true,
              walk: [["status 2", ""], ["Tab", "stopButton"], ["Tab", "deviceTable"], ["Backtab", "stopButton"]] },
            { tag: "Stop going at the batch's end leaves the keyboard on the table", devices: 1, loggedIn: true,
              walk: [["status 2", ""], ["Tab", "stopButton"], ["status 1", "deviceTable"]] },
            { tag: "a focused button disabled leaves the keyboard on the table", devices: 1,
              walk: [["journal ended true", ""], ["focus saveResultsButton", "saveResultsButton"],
                     ["journal busy true", "deviceTable"]] },
            { tag: "keys change nothing while a batch runs", devices: 2, loggedIn: true,
              walk: [["status 2", ""], ["Down", ""], ["Space", ""], ["Up", ""], ["Space", ""]], checked: [],
              boxes: [false, false] },
            { tag: "Return presses a batch button", devices: 1, loggedIn: true, check: [0],
              walk: [["Tab", "updateFirmwareButton"], ["Return", ""]], dialog: true },
            { tag: "Space presses a batch button", devices: 1, loggedIn: true, check: [0],
              walk: [["Tab", "updateFirmwareButton"], ["Space", ""]], dialog: true },
            { tag: "login asked from a batch button, focus back after", devices: 1, check: [0],
              walk: [["Tab", "updateFirmwareButton"], ["Return", "passwordField"], ["Escape", "updateFirmwareButton"]],
              loginOn: 0, dialog: false },
            { tag: "the mouse hides the frames", devices: 2, loggedIn: true,
              walk: [["Down", "deviceTable"], ["click checkCell1", "deviceTable"]], checked: [2], frame: "" },
            { tag: "no frame for the mouse where a popup gives the focus back", devices: 1,
              walk: [["click checkCell0", "deviceTable"], ["click networkButton", "networkInterfaceTable"],
                     ["click networkCancelButton", "deviceTable"]], checked: [1], networkOpen: false, frame: "" },
            { tag: "Ctrl+F reaches the filter, typing filters and the count is said", devices: 3, loggedIn: true,
              walk: [["find", "filterField"], ["type HOST2", "filterField"]], shown: 1, said: "1 of 3 devices shown" },
            { tag: "Escape clears the filter, then goes back to the table", devices: 3, loggedIn: true,
              walk: [["find", "filterField"], ["type Host2", ""], ["Escape", "filterField"], ["Escape", "deviceTable"]],
              shown: 3, said: "3 devices" },
            { tag: "letters typed on the table go to the host name", devices: 3, loggedIn: true,
              walk: [["type host3", "deviceTable"], ["Space", ""]], checked: [3] },
            { tag: "the same letter again steps on", devices: 3, loggedIn: true,
              walk: [["type hh", "deviceTable"], ["Space", ""]], checked: [2] },
            { tag: "network popup from its button and back", devices: 1, interfaces: true,
              walk: [["Backtab", "filterField"], ["Backtab", "networkButton"], ["Space", "networkInterfaceTable"], ["Escape", "networkButton"]],
              networkOpen: false, frame: "networkFocusFrame" },
            { tag: "network popup: Down chooses a row, Return presses OK", interfaces: true,
              walk: [["Backtab", "filterField"], ["Backtab", "networkButton"], ["Return", "networkInterfaceTable"], ["Down", ""],
                     ["Return", "networkButton"]], networkOpen: false, scans: ["eth0"] },
            { tag: "the header cursor scrolls the status column into view", devices: 1, width: 480,
              walk: [["Right", ""], ["Right", ""], ["Right", ""], ["Right", ""], ["Right", ""], ["Right", ""],
                     ["Right", ""]], inView: "headerCell7" },
            { tag: "network popup: Return without a row does nothing", interfaces: true,
              walk: [["Backtab", "filterField"], ["Backtab", "networkButton"], ["Return", "networkInterfaceTable"], ["Return", ""]],
              networkOpen: true, scans: [] }
        ]
    }

    function test_walk(data) {
        openWindow(data.interfaces ? interfaces : undefined)
        closeNetworkView()
        if (data.width !== undefined) {
            window.minimumWidth = 0
            window.width = data.width
        }
        if (data.devices !== undefined)
            addDevices(data.devices, data.loggedIn === true)
        for (const row of (data.check || []))
            clickCheck(row)
        activateWindow()
        const table = part("deviceTable")
        tryVerify(function () { return table.activeFocus }, 5000, "focus on the table after the network popup")

        for (const step of data.walk) {
            perform(step[0])
            if (step[1] !== "")
                tryVerify(function () { return window.activeFocusItem !== null
                                               && window.activeFocusItem.objectName === step[1] }, 5000,
                          step[0] + ": focus on " + step[1] + ", not "
                          + (window.activeFocusItem === null ? "nothing" : window.activeFocusItem.objectName))
        }

        if (data.checked !== undefined)
            compare(part("deviceTableModel").checkedDeviceIds, data.checked.map(deviceId))
        for (let row = 0; row < (data.boxes || []).length; ++row)
            compare(findChild(cell("checkCell" + row), "rowCheckBox").checked, data.boxes[row], "box " + row)
        if (data.sorted !== undefined)
            compare(part("deviceTableModel").sortColumn, data.sorted)
        if (data.shown !== undefined)
            compare(part("deviceTableModel").rowCount(), data.shown)
        if (data.said !== undefined)
            tryCompare(part("reportAnnouncer"), "said", data.said)
        if (data.loginOn !== undefined) {
            tryCompare(part("loginView"), "visible", data.loginOn > 0)
            if (data.loginOn > 0)
                compare(part("loginMacAddress").text, deviceId(data.loginOn))
        }
        if (data.networkOpen !== undefined)
            tryCompare(part("networkInterfaceView"), "visible", data.networkOpen)
        if (data.scans !== undefined)
            compare(Backend.scanRequests.map(function (o) { return o.interfaceName }), data.scans)
        if (data.dialog !== undefined)
            tryCompare(findChild(part("updateFirmwareButton"), "updateFirmwareDialog"), "visible", data.dialog)
        // The header cell reached lies whole in the header's view, and is said.
        if (data.inView !== undefined)
            tryPart(data.inView, function (item) {
                const at = item.mapToItem(part("tableHeader"), 0, 0)
                return at.x >= -0.5 && at.x + item.width <= part("tableHeader").width + 0.5 && item.Accessible.focused
            })
        // The frame shows where the keyboard is, and only there.
        for (const frame of ["rowFocusFrame", "networkFocusFrame"]) {
            if (data.frame !== undefined)
                compare(part(frame).visible, frame === data.frame, frame)
        }
    }

    // A table cell ("checkCell0"), a window part, or "<either>/<child>".
    function find(path) {
        const names = path.split("/")
        let item = /^(checkCell|statusCell|cell)\d/.test(names[0]) ? cell(names[0]) : part(names[0])
        if (names.length > 1) {
            item = findChild(item, names[1])
            verify(item !== null, "no " + path)
        }
        return item
    }

    function perform(action) {
        const words = action.split(" ")
        switch (words[0]) {
        case "close":
            window.close()
            break
        case "find":
            keyClick(Qt.Key_F, Qt.ControlModifier)
            break
        case "defer":
            window.deferClose()
            break
        case "click":
            mouseClick(find(words[1]))
            break
        case "type":
            typeText(words[1])
            break
        case "wait":
            tryCompare(find(words[1]), "visible", true)
            break
        case "status":
            Backend.systemStatus = Number(words[1])
            break
        case "journal":
            Backend.journal[words[1]] = JSON.parse(words[2])
            break
        case "say":
            Backend.journal.line = action.substring(4)
            Backend.journal.announced(Backend.journal.line)
            break
        case "focus":
            find(words[1]).forceActiveFocus()
            break
        case "set":
            verify(Facade.setValue(deviceId(1), Number(words[1]), JSON.parse(words[2])), action)
            break
        default:
            verify(keyCodes[action] !== undefined, "no key " + action)
            keyClick(keyCodes[action])
        }
    }

    // Fully shown, and lying over the middle of the first batch button.
    function showToastOverButtons(message) {
        const toast = part("toastView")
        toast.showMessage(message)
        tryCompare(toast, "animationElapsedCount", 2)
        const button = part("updateFirmwareButton")
        const centre = button.mapToItem(null, button.width / 2, button.height / 2)
        verify(centre.x > toast.x && centre.x < toast.x + toast.width
               && centre.y > toast.y && centre.y < toast.y + toast.height, "toast over the button")
    }
}
