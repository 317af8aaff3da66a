import QtQuick
import QtTest
import ViewsTest 1.0
import ViewsFacade 1.0

// Opens the main window from the program's resources over the stand-ins and
// finds its parts by object name, the way an operator would see them.
TestCase {
    id: testCase

    property var window: null
    readonly property Component mainComponent: Qt.createComponent("qrc:/main.qml")

    when: windowShown

    function openWindow(interfaces) {
        Backend.reset()
        Facade.removeAll()
        Facade.forgetWindow()
        if (interfaces !== undefined)
            Backend.interfaces = interfaces
        verify(mainComponent.status === Component.Ready, mainComponent.errorString())
        window = createTemporaryObject(mainComponent, testCase)
        verify(window !== null)
        tryVerify(function () { return window.visible && window.width > 0 })
        return window
    }

    function cleanup() {
        Facade.removeAll()
    }

    function part(name) {
        let found = findChild(window, name)
        if (found === null)
            found = findChild(window.contentItem, name)
        verify(found !== null, "no " + name)
        return found
    }

    // Header and table items are made anew when the model resets or sorts:
    // look the named item up again until it shows what is expected.
    function tryPart(name, check, message) {
        tryVerify(function () {
            let found = findChild(window, name)
            if (found === null)
                found = findChild(window.contentItem, name)
            return found !== null && check(found)
        }, 5000, message === undefined ? name : message)
    }

    // The interface chooser is open at start and modal.
    function closeNetworkView() {
        const view = part("networkInterfaceView")
        view.close()
        tryCompare(view, "visible", false)
    }

    // Device n: id 02:00:00:00:00:0n, address 10.0.0.n, host "Hostn",
    // password "pwn".
    function deviceId(n) {
        return "02:00:00:00:00:0" + n
    }

    function addDevice(n, loggedIn) {
        Backend.addDevice(deviceId(n), "10.0.0." + n, "TQ-73" + n, "Host" + n, "pw" + n)
        if (loggedIn)
            Facade.setValue(deviceId(n), 14, true)
    }

    function addDevices(count, loggedIn) {
        for (let n = 1; n <= count; ++n)
            addDevice(n, loggedIn)
        const model = part("deviceTableModel")
        tryVerify(function () { return model.rowCount() === count }, 5000, "rows listed")
    }

    // Keys go to the window that has the focus.
    function activateWindow() {
        window.requestActivate()
        tryVerify(function () { return window.active }, 5000, "window active")
    }

    function typeText(text) {
        for (let i = 0; i < text.length; ++i)
            keyClick(text[i])
    }

    function cell(name) {
        let found = null
        tryVerify(function () {
            found = findChild(part("deviceTable"), name)
            return found !== null && found.width > 0
        }, 5000, "no cell " + name)
        return found
    }

    function clickCheck(row) {
        mouseClick(cell("checkCell" + row))
    }
}
