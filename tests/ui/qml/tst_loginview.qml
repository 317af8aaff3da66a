import QtQuick
import QtTest
import ViewsTest 1.0

ViewsTestCase {
    name: "LoginView"

    SignalSpy {
        id: finishedSpy
        signalName: "loginFinished"
    }

    // Each step expects the popup on a device (by number) and what was said
    // on the way there (`says`), then types a password and submits it by
    // Return, by the Submit button, or from the keyboard with it `share`d
    // with the other devices; or skips the device, or cancels. Devices may
    // `accept` another password; `attempts` are "<device> <password>".
    function test_sequence_data() {
        return [
            { tag: "vanished target skipped", present: [2], targets: [1, 2],
              steps: [{ device: 2, password: "pw2" }], result: true },
            { tag: "wrong password stays on the device", present: [1, 2], targets: [1, 2],
              steps: [{ device: 1, password: "wrong" }, { device: 1, password: "pw1", click: true },
                      { device: 2, password: "pw2" }], result: true },
            { tag: "cancel before the last device", present: [1, 2], targets: [1, 2],
              steps: [{ device: 1, password: "pw1" }, { device: 2, cancel: true }], result: false },
            { tag: "cancel on the only device", present: [1], targets: [1],
              steps: [{ device: 1, cancel: true }], result: false },
            { tag: "all targets vanished", present: [3], targets: [1, 2], steps: [], result: true },
            { tag: "vanished between two", present: [1, 3], targets: [1, 2, 3],
              steps: [{ device: 1, password: "pw1" }, { device: 3, password: "pw3", click: true }], result: true },
            { tag: "shared password logs in the others", present: [1, 2, 3], targets: [1, 2, 3],
              accept: { 2: "pw1", 3: "pw1" }, steps: [{ device: 1, password: "pw1", share: true }],
              attempts: ["1 pw1", "2 pw1", "3 pw1"], result: true },
            { tag: "a device the shared password fails is asked for after", present: [1, 2, 3], targets: [1, 2, 3],
              accept: { 3: "pw1" }, steps: [{ device: 1, password: "pw1", share: true },
                                            { device: 2, password: "pw2", says: "Login failed for Host2. Device 2 of 3: Host2, 10.0.0.2" }],
              attempts: ["1 pw1", "2 pw1", "3 pw1", "2 pw2"], result: true },
            { tag: "skip says why and moves on", present: [1, 2, 3], targets: [1, 2, 3],
              steps: [{ device: 1, password: "wrong", says: "Device 1 of 3: Host1, 10.0.0.1" },
                      { device: 1, skip: true, says: "Login failed for Host1" },
                      { device: 2, skip: true, says: "Skipped Host1. Device 2 of 3: Host2, 10.0.0.2" },
                      { device: 3, password: "pw3", says: "Skipped Host2. Device 3 of 3: Host3, 10.0.0.3" }],
              skipped: [[1, "Login failed"], [2, "Login skipped"]], result: true },
            { tag: "cancel the batch after a skip", present: [1, 2], targets: [1, 2],
              steps: [{ device: 1, skip: true }, { device: 2, cancel: true }], skipped: [[1, "Login skipped"]],
              result: false },
            { tag: "every device skipped", present: [1], targets: [1], steps: [{ device: 1, skip: true }],
              skipped: [[1, "Login skipped"]], result: false },
            { tag: "shared password gone when cancelled mid-run", present: [1, 2, 3], targets: [1, 2, 3],
              accept: { 2: "pw1", 3: "pw1" }, keys: { 2: { state: "held" } },
              steps: [{ device: 1, password: "pw1", share: true }, { device: 2, cancelNow: true }],
              attempts: ["1 pw1"], result: false }
        ]
    }

    function test_sequence(data) {
        openWindow()
        closeNetworkView()
        for (const n of data.present)
            addDevice(n, false)
        for (const n in (data.accept || {}))
            Backend.passwords[deviceId(n)] = data.accept[n]
        for (const n in (data.keys || {}))
            Backend.keys[deviceId(n)] = data.keys[n]
        activateWindow()
        finishedSpy.target = window
        finishedSpy.clear()

        window.login(data.targets.map(deviceId))
        const view = part("loginView")
        const field = part("passwordField")
        let passwords = []
        for (const step of data.steps) {
            verify(view.visible)
            tryCompare(part("loginMacAddress"), "text", deviceId(step.device))
            if (step.says !== undefined)
                tryCompare(part("loginAnnouncer"), "said", step.says)
            if (step.cancelNow) {
                verify(view.sharing)
                mouseClick(part("loginCancelButton"))
                continue
            }
            compare(part("loginHostName").text, "Host" + step.device)
            compare(part("loginModel").text, "TQ-73" + step.device)
            compare(part("loginIpAddress").text, "10.0.0." + step.device)
            compare(field.text, "")
            tryVerify(function () { return field.activeFocus }, 5000, "password field focused")
            tryCompare(view, "keyState", "known")
            compare(part("loginSubmitButton").enabled, false)
            compare(finishedSpy.count, 0)
            if (step.cancel) {
                mouseClick(part("loginCancelButton"))
                continue
            }
            if (step.skip) {
                for (let tab = 0; tab < 2 && !part("loginSkipButton").activeFocus; ++tab)
                    keyClick(Qt.Key_Tab)
                verify(part("loginSkipButton").activeFocus)
                keyClick(Qt.Key_Space)
                continue
            }
            typeText(step.password)
            compare(field.text, step.password)
            verify(part("loginSubmitButton").enabled)
            if (step.share) {
                keyClick(Qt.Key_Tab)
                verify(part("sharePasswordCheck").activeFocus)
                keyClick(Qt.Key_Space)
                keyClick(Qt.Key_Return)
            } else if (step.click)
                mouseClick(part("loginSubmitButton"))
            else
                keyClick(Qt.Key_Return)
            passwords.push(step.password)
        }

        tryCompare(finishedSpy, "count", 1)
        compare(finishedSpy.signalArguments[0][0], data.result)
        compare(view.visible, false)
        compare(field.text, "")
        compare(part("loginMacAddress").text, "")
        compare(view.sharing, false)
        if (data.attempts !== undefined)
            compare(Backend.loginAttempts.map(function (a) { return a.deviceID.slice(-1) + " " + a.password }),
                    data.attempts)
        else
            compare(Backend.loginAttempts.map(function (a) { return a.password }), passwords)
        compare(view.skipped, (data.skipped || []).map(function (s) { return { "device": deviceId(s[0]), "reason": s[1] } }))
    }

    // A device whose key was refused: the popup shows both keys, a login
    // stays refused, and the operator's word (accept when the new key is
    // known, or forget) lets the next login through.
    function test_identityChanged_data() {
        return [
            { tag: "accepted", shown: "sha256//SHOWN=", word: "acceptKeyButton", trust: "accept" },
            { tag: "forgotten", shown: "sha256//SHOWN=", word: "forgetDeviceButton", trust: "forget" },
            { tag: "shown key unknown: only forgotten", shown: "", word: "forgetDeviceButton", trust: "forget" }
        ]
    }

    function test_identityChanged(data) {
        openWindow()
        closeNetworkView()
        addDevice(1, false)
        activateWindow()
        finishedSpy.target = window
        finishedSpy.clear()
        Backend.refusals[deviceId(1)] = { "pinned": "sha256//PINNED=", "shown": data.shown }

        window.login([deviceId(1)])
        const panel = part("identityChanged")
        tryVerify(function () { return panel.visible }, 5000, "both keys shown")
        compare(part("identityPinned").text, "Pinned: sha256//PINNED=")
        verify(part("identityShown").text.indexOf(data.shown === "" ? "not known yet" : data.shown) > 0)
        compare(part("acceptKeyButton").enabled, data.shown !== "")
        typeText("pw1")
        keyClick(Qt.Key_Return)
        verify(part("loginView").visible)
        verify(panel.visible)

        // The popup's last layout first: the shown key's length moves it.
        waitForItemPolished(part("loginContent"))
        mouseClick(part(data.word))
        compare(Backend.trustWords, [data.trust + " " + deviceId(1)])
        verify(!panel.visible)
        tryCompare(part("loginView"), "keyState", "known")
        tryVerify(function () { return part("passwordField").activeFocus }, 5000, "password field focused")
        typeText("pw1")
        keyClick(Qt.Key_Return)
        tryCompare(finishedSpy, "count", 1)
        compare(finishedSpy.signalArguments[0][0], true)
    }

    // The key the device shows, before the password goes: a new one is shown
    // and logging in is the word on it; another device's key, a new key at a
    // shared address and a key not read keep the password back.
    function test_keyStates_data() {
        const id = deviceId(1)
        return [
            { tag: "new key: logging in trusts it", key: { state: "new", digest: "sha256//NEW=" },
              heading: "New device key", login: true, words: ["accept-new sha256//NEW= " + id] },
            { tag: "another device's key", key: { state: "other", digest: "sha256//X=", detail: "02:00:00:00:00:09" },
              heading: "Key of another device", login: false, words: [] },
            { tag: "a new key where another device claims the address",
              key: { state: "shared", digest: "sha256//X=", detail: "00:00:00:00:00:01" },
              heading: "Address shared", login: false, words: [] },
            { tag: "no key read", key: { state: "unread", detail: "Connection refused" },
              heading: "Key not read", login: false, words: [] }
        ]
    }

    function test_keyStates(data) {
        openWindow()
        closeNetworkView()
        addDevice(1, false)
        activateWindow()
        finishedSpy.target = window
        finishedSpy.clear()
        Backend.keys[deviceId(1)] = data.key

        window.login([deviceId(1)])
        tryCompare(part("loginView"), "keyState", data.key.state)
        verify(part("deviceKey").visible)
        compare(part("deviceKeyHeading").text, data.heading)
        compare(part("deviceKeyDigest").visible, data.key.digest !== undefined)
        compare(part("readKeyAgainButton").visible, data.key.state === "unread")
        tryVerify(function () { return part("passwordField").activeFocus }, 5000, "password field focused")
        typeText("pw1")
        compare(part("loginSubmitButton").enabled, data.login)
        keyClick(Qt.Key_Return)
        compare(Backend.loginAttempts.length, data.login ? 1 : 0)
        compare(Backend.trustWords, data.words)
        if (data.login)
            tryCompare(finishedSpy, "count", 1)
    }

    // An empty list has nothing to log in to: the window reports failure at
    // once without showing the popup.
    function test_emptyList() {
        openWindow()
        closeNetworkView()
        finishedSpy.target = window
        finishedSpy.clear()
        window.login([])
        compare(finishedSpy.count, 1)
        compare(finishedSpy.signalArguments[0][0], false)
        compare(part("loginView").visible, false)
    }
}
