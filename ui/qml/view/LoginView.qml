import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts
import com.halvorn.kxframework 1.0
import DeviceTrust 1.0

// Asks for the password of each device of a list in turn. A device that
// has gone from the list meanwhile is skipped; a wrong password keeps the
// popup on the same device. Closing reports through the window's
// loginFinished whether every device of the list was dealt with.
//
// A login waits for its device inside sendEvent, and the operator's keys and
// clicks are handled meanwhile: while one waits, Submit, Cancel, Return and
// Escape do nothing, so that one login runs at a time and every device of
// the list is asked exactly once.
//
// Before the password goes, the key the device shows is read in a handshake
// that sends nothing and shown: a key met for the first time reads "New
// device key" with its digest, and logging in is the operator's word on it.
// A device whose key is not the one pinned for it is not sent the password:
// the popup shows both keys, and the operator accepts the new one (the
// device was replaced) or forgets the device. A key that is another
// device's, a new key at an address another device claims, and a store of
// known devices that cannot be used keep the password back.
//
// For a batch (runBatch), one password may serve the whole list: once it has
// logged in to the device it was typed for, it is tried on each of the other
// devices in turn, and those it does not log in to are asked for afterwards.
// A device the operator cannot log in to is skipped with its reason, and the
// batch goes on with the others. Each device asked for is said as the popup
// moves to it, so that a screen reader's user knows where they are.
VelPopup {
    id: loginView
    objectName: "loginView"
    title: "Login"

    property bool loginWaiting: false
    // The current device's refused key: {pinned, shown}, or empty.
    property var identity: ({})
    // The key the current device shows now (DeviceTrust.readKey): "reading",
    // then its state; the digest and what more there is to say.
    property string keyState: ""
    property string keyDigest: ""
    property string keyDetail: ""
    readonly property bool keyLetsLogIn: keyState === "known" || keyState === "new" || keyState === "off"
    // A batch's login: devices may be skipped, and `readyBesides` devices of
    // the batch need no login.
    property bool batch: false
    property int readyBesides: 0
    // The devices skipped in the last run, {device, reason} each, and
    // whether that left the batch no device to run.
    property var skipped: []
    property bool everySkipped: false
    // Where the popup is: "Device 3 of 31: <host name>, <IP address>".
    property string progressText: ""
    readonly property string targetName: hostNameValue.text !== "" ? hostNameValue.text : macAddressValue.text
    // A login failed on the current device, so a skip says why.
    property bool targetFailed: false
    readonly property bool sharing: sharedLogin.password !== ""

    function readIdentity() {
        identity = deviceTrust.refusal(loginTargetDevices.getTargetDeviceID())
        if (identity.pinned === undefined && keyState === "changed")
            identity = ({ "pinned": keyDetail, "shown": keyDigest })
    }

    function readKey() {
        identity = ({})
        keyDigest = ""
        keyDetail = ""
        if (!deviceTrust.pinning) {
            keyState = "off"
            return
        }
        keyState = "reading"
        deviceTrust.readKey(loginTargetDevices.getTargetDeviceID())
    }

    function run(targetDeviceList) {
        start(targetDeviceList, false, 0)
    }

    function runBatch(targetDeviceList, devicesReadyBesides) {
        start(targetDeviceList, true, devicesReadyBesides)
    }

    function start(targetDeviceList, forBatch, devicesReadyBesides) {
        sharedLogin.clear()
        loginTargetDevices.clear()
        loginTargetDevices.setTargetDeviceList(targetDeviceList)
        batch = forBatch
        readyBesides = devicesReadyBesides
        skipped = []
        everySkipped = false
        open()
        startLogin()
    }

    function startLogin() {
        passwordField.text = ""
        passwordField.forceActiveFocus()
        const deviceID = loginTargetDevices.getTargetDeviceID()
        if (!deviceList.existsDevice(deviceID)) {
            console.log("skip login to device " + deviceID)
            endLogin()
            return
        }
        targetFailed = sharedLogin.failed[deviceID] === true
        const device = createDevice(deviceID)
        if (device === null)
            return
        const networkSettings = device.metaData["networkSettings"]
        modelValue.text = device.modelID
        hostNameValue.text = device.deviceName
        ipAddressValue.text = networkSettings && networkSettings["ipAddress"] !== undefined
                ? networkSettings["ipAddress"] : ""
        macAddressValue.text = device.deviceID
        device.destroy()
        progressText = "Device " + loginTargetDevices.positionOf(deviceID) + " of " + loginTargetDevices.count
                + ": " + targetName + ", " + ipAddressValue.text
        identity = ({})
        readKey()
        if (sharing) {
            continueSharedLogin()
        } else {
            announcer.say(announcer.pending + (targetFailed ? "Login failed for " + targetName + ". " : "")
                          + progressText)
            announcer.pending = ""
        }
    }

    // One login; null when the device object could not be made.
    function attemptLogin(deviceID, password) {
        const device = createDevice(deviceID)
        if (device === null)
            return null
        // The login has completed when sendEvent returns.
        loginWaiting = true
        try {
            device.sendEvent(KxDeviceEventID.RequestLogin, { "password": password })
        } finally {
            loginWaiting = false
        }
        const loggedIn = device.statusOptions["loggedIn"] === true
        device.destroy()
        console.log(loggedIn ? "Login Succeeded" : "Login Failed")
        return loggedIn
    }

    // The shared password goes on once the current device's key is read,
    // from the event loop rather than from inside the key's handler.
    function continueSharedLogin() {
        if (sharing && keyState !== "reading")
            Qt.callLater(loginView.sharedLoginStep)
    }

    // The operator's Submit carried on to the next device: a device whose key
    // needs the operator's word, or that the password does not log in to, is
    // left to be asked for after the others.
    function sharedLoginStep() {
        if (!sharing || loginWaiting || keyState === "reading" || keyState === "")
            return
        const deviceID = loginTargetDevices.getTargetDeviceID()
        let loggedIn = false
        if (keyState === "known" || keyState === "off") {
            loggedIn = attemptLogin(deviceID, sharedLogin.password)
            if (loggedIn === null)
                return
            if (!loggedIn)
                sharedLogin.failed[deviceID] = true
        }
        if (loggedIn)
            loginTargetDevices.loggedIn++
        else
            loginTargetDevices.askAgain(deviceID)
        endLogin()
    }

    function skipDevice() {
        if (!batch || loginWaiting || sharing || !opened)
            return
        let reason = "Login skipped"
        if (targetFailed)
            reason = "Login failed"
        else if (identity.pinned !== undefined)
            reason = "Identity changed"
        else if (!keyLetsLogIn && keyState !== "reading" && keyState !== "")
            reason = deviceKeyHeading.heading
        skipped = skipped.concat([{ "device": loginTargetDevices.getTargetDeviceID(), "reason": reason }])
        announcer.pending = "Skipped " + targetName + ". "
        endLogin()
    }

    function submit() {
        if (loginWaiting || sharing || !keyLetsLogIn)
            return
        // A key met for the first time: logging in is the operator's word on it.
        if (keyState === "new" && !deviceTrust.acceptNewKey(loginTargetDevices.getTargetDeviceID(), keyDigest)) {
            readKey()
            return
        }
        const password = passwordField.text
        const share = sharePasswordCheck.visible && sharePasswordCheck.checked
        const loggedIn = attemptLogin(loginTargetDevices.getTargetDeviceID(), password)
        if (loggedIn === null)
            return
        if (loggedIn) {
            loginTargetDevices.loggedIn++
            // Only a password that logged in to its own device goes on to
            // the others: a mistyped one is not tried on the whole list.
            if (share)
                sharedLogin.begin(password, loginTargetDevices.size)
            endLogin()
        } else {
            targetFailed = true
            announcer.say("Login failed for " + targetName)
            readIdentity()
            passwordField.text = ""
            passwordField.forceActiveFocus()
        }
    }

    function endLogin() {
        clearFields()
        const more = loginTargetDevices.nextDevice()
        // The shared password has been tried on every device it was given
        // for: it goes, and what is left is asked for.
        if (loginTargetDevices.index >= sharedLogin.end)
            sharedLogin.password = ""
        if (more)
            startLogin()
        else
            close()
    }

    function createDevice(deviceID) {
        const device = Qt.createQmlObject("import com.halvorn.kxframework; KxDevice{}", loginView)
        if (device !== null)
            device.deviceID = deviceID
        return device
    }

    function clearFields() {
        modelValue.text = ""
        hostNameValue.text = ""
        ipAddressValue.text = ""
        macAddressValue.text = ""
        passwordField.text = ""
        progressText = ""
        targetFailed = false
        identity = ({})
        keyState = ""
        keyDigest = ""
        keyDetail = ""
    }

    anchors.centerIn: Overlay.overlay
    closePolicy: loginWaiting ? Popup.NoAutoClose : Popup.CloseOnEscape
    padding: 20

    // A batch whose every device was skipped has nothing to run.
    onClosed: {
        const completed = loginTargetDevices.isLoginCompleted()
        everySkipped = completed && batch && skipped.length > 0 && readyBesides + loginTargetDevices.loggedIn === 0
        const loginStatus = completed && !everySkipped
        sharedLogin.clear()
        sharePasswordCheck.checked = false
        announcer.pending = ""
        clearFields()
        loginTargetDevices.clear()
        root.loginFinished(loginStatus)
    }

    // The password given for the other devices of the batch: held for this
    // run only, never shown nor logged.
    QtObject {
        id: sharedLogin

        property string password: ""
        // The devices at list positions below `end` are tried with it.
        property int end: 0
        // Devices it did not log in to, by id.
        property var failed: ({})

        function begin(sharedPassword, listEnd) {
            password = sharedPassword
            end = listEnd
            sharePasswordCheck.checked = false
        }

        function clear() {
            password = ""
            end = 0
            failed = {}
        }
    }

    // What the popup says as it moves: an alert for assistive tools only,
    // shown anew with the text as its name, like the window's. Nothing is
    // drawn. `pending` is what the next move says first.
    header: Item {
        Announcer {
            id: announcer
            objectName: "loginAnnouncer"
            property string pending: ""
        }
    }

    DeviceTrust {
        id: deviceTrust
        onKeyRead: function (deviceId, state, digest, detail) {
            if (deviceId !== loginTargetDevices.getTargetDeviceID() || loginView.keyState !== "reading")
                return
            loginView.keyState = state
            loginView.keyDigest = digest
            loginView.keyDetail = detail
            loginView.readIdentity()
            loginView.continueSharedLogin()
        }
    }

    QtObject {
        id: loginTargetDevices

        property int index: 0
        property var list: []
        // The devices of the run; the list grows past it (to `size`) by the
        // devices left to be asked for again.
        property int count: 0
        property int size: 0
        property int loggedIn: 0

        function clear() {
            index = 0
            count = 0
            size = 0
            loggedIn = 0
            root.clearArray(list)
        }

        function setTargetDeviceList(ids) {
            root.arrayDeepCopy(ids, list)
            count = list.length
            size = list.length
        }

        function askAgain(id) {
            list.push(id)
            size = list.length
        }

        function positionOf(id) {
            return list.indexOf(id) + 1
        }

        function nextDevice() {
            index++
            return index < list.length
        }

        function getTargetDeviceID() {
            return index < list.length ? list[index] : ""
        }

        function isLoginCompleted() {
            return index >= list.length
        }
    }

    ColumnLayout {
        objectName: "loginContent"
        spacing: 12

        Label {
            objectName: "loginProgress"
            visible: text !== ""
            text: loginView.progressText
            font.bold: true
            Accessible.name: text
        }

        GridLayout {
            columns: 2
            columnSpacing: 10
            rowSpacing: 4

            // Each caption tells its value to assistive tools, so that no
            // value is read without its caption, nor an empty one alone.
            Label { text: "Model:"; Accessible.name: text + " " + modelValue.text }
            Label { id: modelValue; objectName: "loginModel"; Accessible.ignored: true }
            Label { text: "Host Name:"; Accessible.name: text + " " + hostNameValue.text }
            Label { id: hostNameValue; objectName: "loginHostName"; Accessible.ignored: true }
            Label { text: "IP Address:"; Accessible.name: text + " " + ipAddressValue.text }
            Label { id: ipAddressValue; objectName: "loginIpAddress"; Accessible.ignored: true }
            Label { text: "MAC Address:"; Accessible.name: text + " " + macAddressValue.text }
            Label { id: macAddressValue; objectName: "loginMacAddress"; Accessible.ignored: true }
        }

        // The key the device shows, before the password goes.
        ColumnLayout {
            objectName: "deviceKey"
            visible: loginView.keyState !== "" && loginView.keyState !== "known" && loginView.keyState !== "off"
                     && loginView.keyState !== "changed"
            Layout.maximumWidth: 440
            spacing: 4

            Label {
                id: deviceKeyHeading
                objectName: "deviceKeyHeading"
                readonly property string heading: {
                    switch (loginView.keyState) {
                    case "reading": return "Reading the device's key..."
                    case "new": return "New device key"
                    case "other": return "Key of another device"
                    case "shared": return "Address shared"
                    case "unavailable": return "Known devices unusable"
                    default: return "Key not read"
                    }
                }
                text: heading
                font.bold: true
                color: loginView.keyState === "new" || loginView.keyState === "reading" ? look.heading : look.alarm
                Accessible.role: Accessible.Notification
                Accessible.name: visible && loginView.keyState !== "reading" ? heading + ". " + keyText.text : ""
            }
            Label {
                id: keyText
                Layout.preferredWidth: 440
                wrapMode: Text.Wrap
                visible: loginView.keyState !== "reading"
                text: {
                    switch (loginView.keyState) {
                    case "new":
                        return "This device has not been met before. Compare its key with the one the device "
                               + "itself shows where you can: logging in trusts it for this device."
                    case "other":
                        return "This device shows the key pinned to " + loginView.keyDetail
                               + ". The password is not sent to it."
                    case "shared":
                        return "Another device (" + loginView.keyDetail + ") claims this device's address, and "
                               + "its key is not known yet. The password is not sent to it."
                    case "unavailable":
                        return "The store of known devices cannot be used: " + loginView.keyDetail
                    default:
                        return "The device's key could not be read: " + loginView.keyDetail
                    }
                }
                Accessible.ignored: true
            }
            Label {
                objectName: "deviceKeyDigest"
                Layout.preferredWidth: 440
                visible: loginView.keyDigest !== ""
                wrapMode: Text.WrapAnywhere
                font.family: "monospace"
                text: "Key: " + loginView.keyDigest
                Accessible.name: text
            }
            VelButton {
                objectName: "readKeyAgainButton"
                visible: loginView.keyState === "unread" || loginView.keyState === "unavailable"
                text: "Read Again"
                implicitWidth: 150
                onClicked: {
                    loginView.readKey()
                    passwordField.forceActiveFocus()
                }
            }
        }

        // A changed identity: both keys, and the operator's word on them.
        ColumnLayout {
            objectName: "identityChanged"
            visible: loginView.identity.pinned !== undefined
            Layout.maximumWidth: 440
            spacing: 4

            Label {
                text: "Identity changed"
                font.bold: true
                color: look.alarm
                Accessible.role: Accessible.Notification
                Accessible.name: visible ? text + ". " + identityText.text : ""
            }
            Label {
                id: identityText
                Layout.preferredWidth: 440
                wrapMode: Text.Wrap
                text: "This device shows another key than the one it showed before: it was replaced, or "
                      + "another machine answers at its address. The password is not sent to it until you "
                      + "accept its new key."
                Accessible.ignored: true
            }
            Label {
                objectName: "identityPinned"
                Layout.preferredWidth: 440
                wrapMode: Text.WrapAnywhere
                font.family: "monospace"
                text: "Pinned: " + (loginView.identity.pinned || "")
                Accessible.name: text
            }
            Label {
                objectName: "identityShown"
                Layout.preferredWidth: 440
                wrapMode: Text.WrapAnywhere
                font.family: "monospace"
                text: "Shown: " + (loginView.identity.shown || "not known yet; log in again to see it")
                Accessible.name: text
            }
            RowLayout {
                spacing: 10
                VelButton {
                    objectName: "acceptKeyButton"
                    text: "Accept New Key"
                    implicitWidth: 150
                    enabled: !!loginView.identity.shown && !loginView.loginWaiting
                    onClicked: {
                        const id = loginTargetDevices.getTargetDeviceID()
                        if (!deviceTrust.acceptShownKey(id))
                            deviceTrust.acceptChangedKey(id, loginView.identity.shown)
                        loginView.readKey()
                        passwordField.forceActiveFocus()
                    }
                }
                VelButton {
                    objectName: "forgetDeviceButton"
                    text: "Forget Device"
                    implicitWidth: 150
                    enabled: !loginView.loginWaiting
                    onClicked: {
                        deviceTrust.forget(loginTargetDevices.getTargetDeviceID())
                        loginView.readKey()
                        passwordField.forceActiveFocus()
                    }
                }
            }
        }

        TextField {
            id: passwordField
            objectName: "passwordField"
            Layout.preferredWidth: 200
            Layout.alignment: Qt.AlignHCenter
            echoMode: TextInput.Password
            placeholderText: "Enter password"
            readonly property bool accessibleLeaf: true
            readonly property string accessibleName: "Password"
            // Where Am I names the device the password is for.
            Accessible.description: loginView.progressText
            Accessible.role: Accessible.EditableText
            Accessible.passwordEdit: true
            maximumLength: 16
            onAccepted: {
                if (submitButton.enabled)
                    submitButton.clicked()
            }
        }

        CheckBox {
            id: sharePasswordCheck
            objectName: "sharePasswordCheck"
            readonly property int others: loginTargetDevices.size - loginTargetDevices.index - 1
            visible: loginView.batch && others > 0 && !loginView.sharing
            text: "Use this password for the other " + others + (others === 1 ? " device" : " devices")
            font.pointSize: 10
            readonly property bool accessibleLeaf: true
            Accessible.role: Accessible.CheckBox
            Accessible.name: text
            Accessible.onToggleAction: toggle()
            Accessible.onPressAction: toggle()
            // Return submits from here as from the field.
            Keys.onReturnPressed: passwordField.accepted()
            Keys.onEnterPressed: passwordField.accepted()
        }

        // While a login waits for its device: seen, and heard as busy.
        Row {
            objectName: "loginBusy"
            Layout.alignment: Qt.AlignHCenter
            spacing: 8
            visible: loginView.loginWaiting || loginView.sharing
            Accessible.role: Accessible.StatusBar
            Accessible.name: visible ? "Logging in to " + hostNameValue.text + ", please wait" : ""

            BusyIndicator {
                running: loginView.loginWaiting
                implicitWidth: 24
                implicitHeight: 24
                Accessible.ignored: true
            }
            Label {
                anchors.verticalCenter: parent.verticalCenter
                text: "Logging in..."
                Accessible.ignored: true
            }
        }

        RowLayout {
            Layout.alignment: Qt.AlignHCenter
            spacing: 10

            // Light, as Cancel: neither is the default action.
            VelCancelButton {
                objectName: "loginSkipButton"
                visible: loginView.batch
                enabled: !loginView.sharing
                text: "Skip this device"
                implicitWidth: 150
                onClicked: loginView.skipDevice()
            }

            VelCancelButton {
                objectName: "loginCancelButton"
                text: "Cancel"
                // In a batch, no device of it runs: told beside the name.
                Accessible.description: loginView.batch ? "Cancel the batch" : ""
                implicitWidth: 150
                onClicked: {
                    if (!loginView.loginWaiting)
                        loginView.close()
                }
            }

            VelButton {
                id: submitButton
                objectName: "loginSubmitButton"
                text: "Submit"
                implicitWidth: 150
                enabled: passwordField.text.length > 0 && loginView.keyLetsLogIn && !loginView.sharing
                onClicked: loginView.submit()
            }
        }
    }
}
