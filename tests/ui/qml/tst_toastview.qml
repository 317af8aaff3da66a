import QtQuick
import QtTest
import ViewsTest 1.0

ViewsTestCase {
    name: "ToastView"

    // System events in arrival order, [event id, error code]; only error
    // alerts become toasts, each distinct waiting message once, in order.
    function test_queue_data() {
        const password = 0x80110001, busy = 0x80040002, network = 0x800101F5
        return [
            { tag: "same error three times", events: [[4, password], [4, password], [4, password]],
              shown: ["Invalid password, please retry."] },
            { tag: "order kept, waiting duplicate dropped", events: [[4, busy], [4, password], [4, busy], [4, password]],
              shown: ["Firmware update was skipped. Device is busy.", "Invalid password, please retry."] },
            { tag: "no-error alerts and requests ignored", events: [[3, busy], [0, busy], [4, network], [3, password]],
              shown: ["Network error."] }
        ]
    }

    function test_queue(data) {
        openWindow()
        closeNetworkView()
        const toast = part("toastView")
        const text = part("toastText")
        let shown = []
        let phases = []
        const onOpened = function () {
            if (toast.visible)
                shown.push(text.text)
        }
        const onPhase = function () { phases.push(toast.animationElapsedCount) }
        toast.visibleChanged.connect(onOpened)
        toast.animationElapsedCountChanged.connect(onPhase)

        for (const event of data.events)
            Backend.systemEvent(event[0], { "errorCode": event[1] })

        tryVerify(function () {
            return shown.length === data.shown.length && toast.toastMessageQueue.length === 0
                    && !toast.visible
        }, 5000 * data.shown.length, "all messages shown")
        toast.visibleChanged.disconnect(onOpened)
        toast.animationElapsedCountChanged.disconnect(onPhase)

        compare(shown, data.shown)
        let expectedPhases = []
        for (let i = 0; i < data.shown.length; ++i)
            expectedPhases = expectedPhases.concat([1, 2, 3, 4, 0])
        compare(phases, expectedPhases)
        compare(toast.animationElapsedCount, 0)
        compare(text.text, "")
        compare(toast.opacity, 0)
    }

    // Placed over the bottom of the window, fully shown while it waits.
    function test_geometry() {
        openWindow()
        closeNetworkView()
        const toast = part("toastView")
        toast.showMessage("A message that is long enough to show the toast's wrapping and placement")
        tryCompare(toast, "animationElapsedCount", 2)
        fuzzyCompare(toast.opacity, 0.9, 0.001)
        fuzzyCompare(toast.x, window.width * 0.1, 0.5)
        fuzzyCompare(toast.width, window.width * 0.8, 0.5)
        fuzzyCompare(toast.y, window.height - 1.2 * toast.height, 0.5)
        verify(toast.z >= 999)
        const text = part("toastText")
        fuzzyCompare(toast.height, text.height + text.fontInfo.pixelSize, 0.5)
        compare(text.color, Qt.color("white"))
    }
}
