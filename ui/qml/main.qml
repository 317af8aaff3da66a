import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts
import Qt.labs.qmlmodels
import com.halvorn.kxframework 1.0
import DeviceTableModel 1.0
import MessageGenerator 1.0
import DeviceTrust 1.0
import QtQuick.Dialogs
import QtCore 6.4
import CorvaneViews 1.0
import "view"

// The one window: the device table, the batch operations on the checked
// devices, and the interface chooser. Everything it shows comes from the
// models and framework objects; everything it does is a call on them.
ApplicationWindow {
    id: root
    objectName: "mainWindow"

    property int defWidth: 1080
    property int defHeight: 480
    // The window fits the screen's free area, however large the scale: what
    // is then too narrow for the table scrolls, the buttons narrow down.
    // Room is left for the window manager's frame and title.
    readonly property int fitWidth: Math.max(320, Math.min(defWidth, Screen.desktopAvailableWidth - 20))
    readonly property int fitHeight: Math.max(240, Math.min(defHeight, Screen.desktopAvailableHeight - 40))
    // The size of the last run, no larger than the screen's free area.
    readonly property int startWidth: Math.max(fitWidth, Math.min(windowMemory.width,
                                                                  Screen.desktopAvailableWidth - 20))
    readonly property int startHeight: Math.max(fitHeight, Math.min(windowMemory.height,
                                                                     Screen.desktopAvailableHeight - 40))
    // The size to remember: the last one not maximised.
    property int normalWidth: startWidth
    property int normalHeight: startHeight
    property int checkboxHorizontalCenterOffset: 3
    property int tableViewLeftMargin: 5
    readonly property bool systemActive: system.status === KxSystemStatus.Active
    // A batch runs, or its devices still install: their results are still
    // to be shown and said.
    readonly property bool batchBusy: !systemActive || (system.journal !== null && system.journal.busy)
    readonly property bool keyboardInUse: keyboardUse.active
    // Percent of the table width for the columns before the status column,
    // which takes the rest.
    readonly property var columnWidthPercentages: [2, 5.5, 26, 8, 9, 12, 9]
    // Below the table's width at the default window size the wide columns
    // (host name, MAC address, status) give room together, first down to
    // widths at which their texts still read whole, then down to the least
    // that reads at all; then the others. The status column, the one the
    // operator watches, keeps the most; only a table narrower than all the
    // least widths scrolls.
    readonly property real defaultTableWidth: defWidth - 20
    readonly property var columnLeastWidths: [18, 36, 60, 48, 70, 60, 60, 170]
    readonly property var columnGiving: [{ "columns": [2, 5, 7], "down": [110, 120, 220] },
                                         { "columns": [2, 5, 7] }, { "columns": [0, 1, 3, 4, 6] }]

    signal loginFinished(bool loginStatus)

    function login(deviceIds) {
        if (deviceIds.length === 0) {
            loginFinished(false)
            return
        }
        const targets = []
        arrayDeepCopy(deviceIds, targets)
        // The checked devices that need no login run whatever becomes of
        // these, so skipping every listed device still leaves them a batch.
        const checked = []
        arrayDeepCopy(deviceTableModel.checkedDeviceIds, checked)
        const readyBesides = checked.filter(function (id) { return targets.indexOf(id) < 0 }).length
        loginView.runBatch(targets, readyBesides)
    }

    function waitForLoginFinished() {
        return new Promise(function (resolve, reject) {
            const onFinished = function (loginStatus) {
                root.loginFinished.disconnect(onFinished)
                if (loginStatus)
                    resolve()
                else
                    reject()
            }
            root.loginFinished.connect(onFinished)
        })
    }

    function clearArray(array) {
        array.splice(0, array.length)
    }

    function sum(array) {
        let total = 0
        for (let i = 0; i < array.length; ++i)
            total += array[i]
        return total
    }

    function arrayDeepCopy(src, dst) {
        clearArray(dst)
        for (let i = 0; i < src.length; ++i)
            dst.push(src[i])
    }

    // Hover of one cell at a time: the pointer moving along a row enters the
    // next cell before it leaves the last, so only leaving the hovered cell
    // itself ends the hover.
    function trackHover(target, hovered, row, column) {
        if (hovered) {
            target.hoveredRow = row
            target.hoveredColumn = column
        } else if (row === target.hoveredRow && column === target.hoveredColumn) {
            target.hoveredRow = -1
            target.hoveredColumn = -1
        }
    }

    function columnWidths(tableWidth, spacing) {
        const last = columnWidthPercentages.length
        const widths = []
        const base = Math.max(tableWidth, defaultTableWidth)
        for (let column = 0; column < last; ++column)
            widths.push(base * columnWidthPercentages[column] / 100 - spacing)
        widths.push(base * (100 - sum(columnWidthPercentages)) / 100)
        let excess = base - tableWidth
        for (let g = 0; g < columnGiving.length && excess > 0; ++g) {
            const group = columnGiving[g].columns
            const floor = function (i) {
                return columnGiving[g].down !== undefined ? columnGiving[g].down[i] : columnLeastWidths[group[i]]
            }
            let room = 0
            for (let i = 0; i < group.length; ++i)
                room += Math.max(0, widths[group[i]] - floor(i))
            if (room <= 0)
                continue
            const share = Math.min(1, excess / room)
            for (let i = 0; i < group.length; ++i)
                widths[group[i]] -= Math.max(0, widths[group[i]] - floor(i)) * share
            excess -= Math.min(excess, room)
        }
        return widths
    }

    function columnWidth(tableWidth, spacing, column) {
        return columnWidths(tableWidth, spacing)[column]
    }

    // A check box small enough for a 20-pixel row and a narrow column. It
    // never toggles itself: it shows what the model holds, and its owner
    // writes a press (mouse or Space) through the model, so what the operator
    // sees checked is what a batch uses.
    component TableCheckBox: CheckBox {
        id: box
        nextCheckState: function () { return checkState }
        // Not a stop of its own for Tab: the table takes the keys for its rows.
        focusPolicy: Qt.NoFocus
        // Told by the views' own interface: an assistive tool's toggle or
        // press goes, like a click, to the owner's handler and the model.
        readonly property bool accessibleLeaf: true
        Accessible.role: Accessible.CheckBox
        Accessible.onToggleAction: clicked()
        Accessible.onPressAction: clicked()
        implicitWidth: 12
        implicitHeight: 12
        padding: 0
        spacing: 0
        background: null
        contentItem: Item {}
        indicator: Rectangle {
            x: 0
            y: 0
            implicitWidth: 12
            implicitHeight: 12
            radius: 2
            color: look.background
            border.color: box.enabled ? look.checkEdge : look.checkEdgeOff
            opacity: box.enabled ? 1.0 : 0.6

            Rectangle {
                anchors.centerIn: parent
                width: box.checkState === Qt.PartiallyChecked ? 6 : 8
                height: box.checkState === Qt.PartiallyChecked ? 2 : 8
                radius: 1
                color: look.checkEdge
                visible: box.checkState !== Qt.Unchecked
            }
        }
    }

    width: startWidth
    height: startHeight
    minimumWidth: fitWidth
    minimumHeight: fitHeight
    visible: true
    Component.onCompleted: {
        if (windowMemory.maximized)
            showMaximized()
    }
    // Key pinning off is said in the title, and by the header's warning.
    title: deviceTrust.pinning ? "Corvane" : "Corvane (key pinning off)"
    color: look.background
    // The desktop's palette, for the style's controls and view/Look.qml.
    palette {
        window: DesktopLook.colours.window
        windowText: DesktopLook.colours.windowText
        base: DesktopLook.colours.base
        alternateBase: DesktopLook.colours.alternateBase
        text: DesktopLook.colours.text
        button: DesktopLook.colours.button
        buttonText: DesktopLook.colours.buttonText
        brightText: DesktopLook.colours.brightText
        highlight: DesktopLook.colours.highlight
        highlightedText: DesktopLook.colours.highlightedText
        placeholderText: DesktopLook.colours.placeholderText
        toolTipBase: DesktopLook.colours.toolTipBase
        toolTipText: DesktopLook.colours.toolTipText
        light: DesktopLook.colours.light
        midlight: DesktopLook.colours.midlight
        mid: DesktopLook.colours.mid
        dark: DesktopLook.colours.dark
        shadow: DesktopLook.colours.shadow
        link: DesktopLook.colours.link
    }
    // No close button while a batch operation runs: closing would cut it off.
    flags: systemActive
           ? Qt.Window | Qt.CustomizeWindowHint | Qt.WindowTitleHint | Qt.WindowMinMaxButtonsHint | Qt.WindowCloseButtonHint
           : Qt.Window | Qt.CustomizeWindowHint | Qt.WindowTitleHint | Qt.WindowMinMaxButtonsHint

    onWidthChanged: {
        if (visibility === Window.Windowed)
            normalWidth = width
        tableView.forceLayout()
    }
    onHeightChanged: {
        if (visibility === Window.Windowed)
            normalHeight = height
    }

    // A window manager may still send a close request (Alt+F4, a taskbar's
    // Close) while the close button is gone; the running batch must not be
    // cut off. The refusal is said. The window stays after the batch, since
    // its rows are where the devices' results are read. The status is read
    // afresh: the request can come in the middle of the status change,
    // before the bindings have caught up.
    readonly property string closeRefusedText: qsTr("A batch is running; Corvane can be closed when it ends.")
    onClosing: function (close) {
        if (system.status !== KxSystemStatus.Active || (system.journal !== null && system.journal.busy)) {
            close.accepted = false
            toastView.showMessage(closeRefusedText)
            return
        }
        const maximized = visibility === Window.Maximized
        windowMemory.saveWindow(maximized ? normalWidth : width, maximized ? normalHeight : height, maximized)
    }
    // A termination signal that waits for the batch: said, and the window
    // closes once the batch ends, its last devices' results and its summary
    // said.
    property bool closeWhenIdle: false
    onBatchBusyChanged: {
        if (closeWhenIdle && !batchBusy) {
            closeWhenIdle = false
            Qt.callLater(root.close)
        }
    }

    // The keyboard's place stays on the table when the button it is on goes
    // (hidden, or disabled): Qt would leave it nowhere.
    property Item lastFocusItem: null
    onActiveFocusItemChanged: {
        if (activeFocusItem !== null && activeFocusItem !== contentItem)
            lastFocusItem = activeFocusItem
    }
    function keepKeyboardFrom(button) {
        if ((!button.visible || !button.enabled) && lastFocusItem === button)
            tableView.forceActiveFocus()
    }
    readonly property string closeDeferredText: qsTr("A batch is running; Corvane closes when it ends.")
    function deferClose() {
        closeWhenIdle = true
        toastView.showMessage(closeDeferredText)
    }

    KxSystem {
        id: system
        objectName: "system"
        onStatusChanged: {
            // A batch disables the button that started it: the focus goes to
            // the table, never to a disabled control.
            if (status >= KxSystemStatus.FirmwareUpdating && status <= KxSystemStatus.StandbyScreenImageChanging)
                tableView.forceActiveFocus()
        }
        onEventReceived: function (eventID, options) {
            if (eventID === KxSystemEventID.ErrorAlertNotified)
                toastView.showMessage(messageGenerator.generate(options))
        }
    }

    KxDeviceList {
        id: deviceList
        objectName: "deviceList"

        function existsDevice(deviceID) {
            const ids = deviceIDs
            for (let i = 0; i < ids.length; ++i) {
                if (ids[i] === deviceID)
                    return true
            }
            console.log("device not found : deviceID = " + deviceID)
            return false
        }
    }

    MessageGenerator {
        id: messageGenerator
    }

    DeviceTrust {
        id: deviceTrust
    }

    KeyboardUse {
        id: keyboardUse
    }

    WindowMemory {
        id: windowMemory
        objectName: "windowMemory"
    }

    Look {
        id: look
        objectName: "look"
        palette: root.palette
    }

    // What a screen reader tells of the system: busy while a batch runs and
    // until every device of it has reported (a firmware installs for a while
    // after its upload).
    BusyStatus {
        id: systemStatus
        objectName: "systemStatus"
        readonly property bool devicesAtWork: deviceTableModel.devicesUnderWay > 0
        property string lastBatchText: ""
        busy: !root.systemActive || devicesAtWork
        text: {
            switch (system.status) {
            case KxSystemStatus.Active: return devicesAtWork && lastBatchText !== "" ? lastBatchText : "Ready"
            case KxSystemStatus.FirmwareUpdating: return "Updating firmware"
            case KxSystemStatus.ConfigurationImporting: return "Importing configuration"
            case KxSystemStatus.StandbyScreenImageChanging: return "Changing stand-by screen image"
            default: return "Starting"
            }
        }
        onTextChanged: {
            if (text !== "Ready" && text !== "Starting")
                lastBatchText = text
        }
        Accessible.role: Accessible.StatusBar
        Accessible.name: text
    }

    // Each device's result, said once as it comes: an alert for assistive
    // tools only, shown anew with the result as its name. Nothing is drawn.
    Announcer {
        id: reportAnnouncer
        objectName: "reportAnnouncer"
    }

    Connections {
        target: deviceTableModel
        function onDeviceReported(description) { reportAnnouncer.say(description) }
        function onLimitNoticeChanged() {
            if (deviceTableModel.limitNotice !== "")
                reportAnnouncer.say(deviceTableModel.limitNotice)
        }
        function onFilterTextChanged() { countAnnouncement.restart() }
    }

    // The count once typing pauses, not at every key.
    Timer {
        id: countAnnouncement
        interval: 300
        onTriggered: reportAnnouncer.say(deviceTableModel.countText)
    }

    Shortcut {
        sequences: [StandardKey.Find]
        enabled: filterField.enabled
        onActivated: {
            filterField.forceActiveFocus(Qt.ShortcutFocusReason)
            filterField.selectAll()
        }
    }

    // A batch's start, stop, and summary at its end, said as they happen.
    Connections {
        target: system.journal
        // The start comes as the file dialog closes, whose teardown floods
        // a screen reader with events it then drops notifications among;
        // the start is said once that has settled.
        function onAnnounced(text) {
            if (/ started: \d+ devices?$/.test(text))
                reportAnnouncer.sayAfter(text, 1500)
            else
                reportAnnouncer.say(text)
        }
    }

    Rectangle {
        id: header
        anchors { left: parent.left; right: parent.right; top: parent.top }
        height: 90
        color: "#141414"

        Image {
            id: logo
            x: 25
            anchors.verticalCenter: parent.verticalCenter
            height: 25
            fillMode: Image.PreserveAspectFit
            source: "view/resource/halvorn.png"
        }

        // What the operator must know of the devices' keys: pinning off, or
        // a store of known devices others can write.
        Text {
            objectName: "trustWarning"
            anchors { left: logo.right; leftMargin: 30; right: networkButton.left; rightMargin: 30
                      verticalCenter: parent.verticalCenter }
            visible: text !== ""
            text: deviceTrust.warning
            color: "#FFB74D"
            wrapMode: Text.Wrap
            maximumLineCount: 3
            elide: Text.ElideRight
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }

        MouseArea {
            id: networkButton
            objectName: "networkButton"
            anchors { right: parent.right; rightMargin: 25; verticalCenter: parent.verticalCenter }
            width: networkBlock.width
            height: networkBlock.height
            enabled: root.systemActive
            opacity: enabled ? 1.0 : 0.3
            cursorShape: enabled ? Qt.PointingHandCursor : Qt.ArrowCursor
            onClicked: networkInterfaceView.open()

            // A MouseArea's `enabled` only turns the pointer away: Tab must
            // pass the button by while a batch runs as well.
            activeFocusOnTab: enabled
            readonly property bool accessibleLeaf: true
            Keys.onSpacePressed: networkInterfaceView.open()
            Keys.onReturnPressed: networkInterfaceView.open()
            Keys.onEnterPressed: networkInterfaceView.open()
            Accessible.role: Accessible.Button
            Accessible.name: "Network"
            Accessible.focusable: true
            Accessible.onPressAction: {
                if (enabled)
                    networkInterfaceView.open()
            }

            FocusFrame {
                objectName: "networkFocusFrame"
                shown: networkButton.activeFocus
            }

            Column {
                id: networkBlock
                spacing: 4
                Image {
                    anchors.horizontalCenter: parent.horizontalCenter
                    width: 30
                    height: 30
                    source: "view/resource/icon_network.png"
                }
                Text {
                    text: "Network"
                    color: "#fbfbfb"
                }
            }
        }
    }

    // Finding one device among hundreds: a filter over the table's text
    // columns, the count it leaves, and the notice when the list is full.
    Column {
        id: findBar
        anchors { left: parent.left; right: parent.right; top: header.bottom; leftMargin: 10; rightMargin: 10
                  topMargin: 8 }
        spacing: 4

        Row {
            spacing: 12
            width: parent.width

            TextField {
                id: filterField
                objectName: "filterField"
                width: Math.min(300, findBar.width / 3)
                placeholderText: "Filter devices (Ctrl+F)"
                selectByMouse: true
                enabled: root.systemActive
                onTextChanged: deviceTableModel.filterText = text
                Keys.onEscapePressed: function (event) {
                    if (text !== "")
                        clear()
                    else
                        tableView.forceActiveFocus()
                }
                Accessible.name: "Filter devices"
                Accessible.description: "Shows only the devices whose host name, IP or MAC address, model, version or status holds the text"
            }

            Text {
                id: deviceCount
                objectName: "deviceCount"
                anchors.verticalCenter: filterField.verticalCenter
                width: parent.width - filterField.width - parent.spacing
                elide: Text.ElideRight
                color: look.text
                text: deviceTableModel.countText
                Accessible.role: Accessible.StaticText
                Accessible.name: text
            }
        }

        Text {
            id: limitNotice
            objectName: "limitNotice"
            width: parent.width
            visible: text !== ""
            text: deviceTableModel.limitNotice
            color: look.alarm
            wrapMode: Text.Wrap
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }
    }

    HorizontalHeaderView {
        id: tableHeader
        objectName: "tableHeader"
        anchors { left: tableView.left; right: tableView.right; top: findBar.bottom; topMargin: 8 }
        syncView: tableView
        clip: true
        // Items are made afresh on every model reset, so that an item found
        // by name is always one on the screen.
        reuseItems: false

        delegate: DelegateChooser {
            DelegateChoice {
                column: DeviceTableModel.Check
                TableHeaderRectangle {
                    implicitWidth: 10
                    TableCheckBox {
                        objectName: "allCheckBox"
                        anchors.centerIn: parent
                        anchors.horizontalCenterOffset: root.checkboxHorizontalCenterOffset
                        tristate: true
                        checkState: deviceTableModel.allCheckState
                        enabled: root.systemActive && deviceList.deviceIDs.length > 0
                        onClicked: deviceTableModel.changeDeviceAllCheckStatus()
                        Accessible.name: "All devices"
                        Accessible.focused: tableView.cursorOnHeader(column)
                    }
                    FocusFrame {
                        gap: 0
                        shown: tableView.cursorOnHeader(column)
                    }
                }
            }
            DelegateChoice {
                TableHeaderRectangle {
                    id: headerCell
                    objectName: "headerCell" + column
                    implicitWidth: 10
                    readonly property bool sorted: deviceTableModel.sortColumn === column
                    // Told as one: its title, its sort order, the keyboard's
                    // place, and a press that sorts.
                    readonly property bool accessibleLeaf: true
                    Accessible.role: Accessible.ColumnHeader
                    Accessible.name: model.display !== undefined ? model.display : ""
                    Accessible.description: !sorted ? ""
                                            : deviceTableModel.sortOrder === Qt.AscendingOrder ? "sorted ascending"
                                                                                                : "sorted descending"
                    Accessible.focused: tableView.cursorOnHeader(column)
                    Accessible.onPressAction: tableView.sortBy(column)

                    FocusFrame {
                        gap: 0
                        shown: tableView.cursorOnHeader(column)
                    }

                    Text {
                        anchors.verticalCenter: parent.verticalCenter
                        x: root.tableViewLeftMargin
                        width: parent.width - x - sortArrows.width - 4
                        text: model.display !== undefined ? model.display : ""
                        elide: Text.ElideRight
                        color: look.text
                    }

                    Column {
                        id: sortArrows
                        anchors { right: parent.right; rightMargin: 4; verticalCenter: parent.verticalCenter }
                        Text {
                            objectName: "ascendingArrow"
                            text: "▲"
                            font.pointSize: 4
                            color: headerCell.sorted && deviceTableModel.sortOrder === Qt.AscendingOrder
                                   ? look.sortArrowOn : look.sortArrowOff
                        }
                        Text {
                            objectName: "descendingArrow"
                            text: "▼"
                            font.pointSize: 4
                            color: headerCell.sorted && deviceTableModel.sortOrder === Qt.DescendingOrder
                                   ? look.sortArrowOn : look.sortArrowOff
                        }
                    }

                    MouseArea {
                        anchors.fill: parent
                        acceptedButtons: Qt.LeftButton
                        enabled: root.systemActive
                        onClicked: tableView.sortBy(column)
                    }
                }
            }
        }
    }

    TableView {
        id: tableView
        objectName: "deviceTable"
        anchors { left: parent.left; right: parent.right; top: tableHeader.bottom; bottom: batchLine.top
                  leftMargin: 10; rightMargin: 10; bottomMargin: 10 }
        clip: true
        reuseItems: false
        columnSpacing: 1
        rowSpacing: 0
        boundsBehavior: Flickable.StopAtBounds
        flickableDirection: Flickable.AutoFlickIfNeeded
        rowHeightProvider: function (row) { return 20 }
        columnWidthProvider: function (column) {
            return root.columnWidth(width, columnSpacing, column)
        }
        onWidthChanged: forceLayout()

        // The keyboard's place: a row, or with -1 the header's cell in
        // cursorColumn. Up and Down move between the rows and the header,
        // Left and Right along the header; Space checks the row (or all rows
        // on the check column's header, or sorts by the header's column),
        // Enter opens the row's login where the row offers one. Every change
        // goes through the model, so what is shown is what a batch uses.
        property int cursorRow: -1
        property int cursorColumn: 0

        activeFocusOnTab: true
        // Told as a table: rows, columns, cells and their headers.
        readonly property bool accessibleTable: true
        readonly property Item accessibleHeader: tableHeader
        Accessible.role: Accessible.Table
        Accessible.name: "Devices"

        function cursorOnHeader(column) {
            return activeFocus && cursorRow < 0 && cursorColumn === column
        }

        function sortBy(column) {
            if (root.systemActive)
                deviceTableModel.sort(column)
        }

        // Scrolls a column into view, so that the header cell the keyboard
        // reaches is seen, made, and said. Worked out from the widths rather
        // than the loaded cells: a column out of view has none.
        function showColumn(column) {
            const widths = root.columnWidths(width, columnSpacing)
            let x = 0
            for (let c = 0; c < column; ++c)
                x += widths[c] + columnSpacing
            if (x < contentX)
                contentX = x
            else if (x + widths[column] > contentX + width)
                contentX = x + widths[column] - width
        }

        function moveCursor(row) {
            cursorRow = Math.max(-1, Math.min(rows - 1, row))
            if (cursorRow >= 0)
                positionViewAtRow(cursorRow, TableView.Contain)
        }

        function press(enter) {
            if (!root.systemActive)
                return
            if (cursorRow >= 0) {
                const loginRequired = deviceTableModel.data(deviceTableModel.index(cursorRow, DeviceTableModel.Status),
                                                            Qt.UserRole) === true
                if (!enter)
                    deviceTableModel.changeDeviceCheckStatus(cursorRow)
                else if (loginRequired)
                    loginView.run([deviceTableModel.getSortedDeviceId(cursorRow)])
            } else if (cursorColumn === DeviceTableModel.Check) {
                if (deviceList.deviceIDs.length > 0)
                    deviceTableModel.changeDeviceAllCheckStatus()
            } else {
                sortBy(cursorColumn)
            }
        }

        onRowsChanged: {
            if (cursorRow >= rows)
                moveCursor(rows - 1)
        }

        Keys.onPressed: function (event) {
            const page = Math.max(1, Math.floor(height / 20) - 1)
            switch (event.key) {
            case Qt.Key_Up: moveCursor(cursorRow - 1); break
            case Qt.Key_Down: moveCursor(cursorRow + 1); break
            case Qt.Key_PageUp: moveCursor(Math.max(0, cursorRow - page)); break
            case Qt.Key_PageDown: moveCursor(cursorRow + page); break
            case Qt.Key_Home: moveCursor(rows > 0 ? 0 : -1); break
            case Qt.Key_End: moveCursor(rows - 1); break
            case Qt.Key_Left:
                if (cursorRow < 0)
                    cursorColumn = Math.max(0, cursorColumn - 1)
                showColumn(cursorColumn)
                break
            case Qt.Key_Right:
                if (cursorRow < 0)
                    cursorColumn = Math.min(columns - 1, cursorColumn + 1)
                showColumn(cursorColumn)
                break
            case Qt.Key_Space: press(false); break
            case Qt.Key_Return:
            case Qt.Key_Enter: press(true); break
            default:
                if (!typeAhead(event.text, event.modifiers))
                    return
            }
            event.accepted = true
        }

        // Typed letters go to the next row whose host name starts with them;
        // letters typed within a second add up.
        property string typed: ""
        property real typedAt: 0
        function typeAhead(text, modifiers) {
            if ((modifiers & (Qt.ControlModifier | Qt.AltModifier | Qt.MetaModifier)) !== 0 || text.length !== 1
                    || text <= " " || text === "\u007f")
                return false
            const now = Date.now()
            typed = now - typedAt > 1000 ? text : typed + text
            typedAt = now
            let row = deviceTableModel.rowStartingWith(typed, typed.length === 1 ? cursorRow + 1 : Math.max(0, cursorRow))
            // The same letter again steps through the rows it starts.
            if (row < 0 && typed.split("").every(function (c) { return c === text }))
                row = deviceTableModel.rowStartingWith(text, cursorRow + 1)
            if (row >= 0)
                moveCursor(row)
            return true
        }

        // The row the keyboard is on, over the cells of the row.
        FocusFrame {
            objectName: "rowFocusFrame"
            anchors.fill: undefined
            anchors.margins: 0
            x: 0
            y: tableView.cursorRow * 20
            width: tableView.contentWidth
            height: 20
            shown: tableView.activeFocus && tableView.cursorRow >= 0
        }

        // Mouse aids only: the table's keys move through it, and assistive
        // tools read it as a table, not by its bars.
        ScrollBar.vertical: ScrollBar {
            policy: ScrollBar.AsNeeded
            Accessible.ignored: true
        }
        ScrollBar.horizontal: ScrollBar {
            policy: ScrollBar.AsNeeded
            Accessible.ignored: true
        }

        model: DeviceTableModel {
            id: deviceTableModel
            objectName: "deviceTableModel"

            property int hoveredRow: -1
            property int hoveredColumn: -1

            function setHovered(hovered, row, column) {
                root.trackHover(deviceTableModel, hovered, row, column)
            }
        }

        delegate: DelegateChooser {
            DelegateChoice {
                column: DeviceTableModel.Check
                Rectangle {
                    objectName: "checkCell" + row
                    implicitHeight: 20
                    color: deviceTableModel.hoveredRow === row ? look.checkHover : look.background

                    // The row as a screen reader says it: host name,
                    // address, status, then checked or not.
                    TableCheckBox {
                        objectName: "rowCheckBox"
                        anchors.centerIn: parent
                        anchors.horizontalCenterOffset: root.checkboxHorizontalCenterOffset
                        checked: model.checkState === true
                        enabled: root.systemActive
                        // Reached by keyboard only: the cell's area above it
                        // takes the pointer.
                        onClicked: deviceTableModel.changeDeviceCheckStatus(row)
                        Accessible.name: model.rowDescription !== undefined ? model.rowDescription : ""
                        Accessible.focused: tableView.activeFocus && tableView.cursorRow === row
                    }

                    MouseArea {
                        anchors.fill: parent
                        enabled: root.systemActive
                        hoverEnabled: true
                        onClicked: {
                            tableView.cursorRow = row
                            deviceTableModel.changeDeviceCheckStatus(row)
                        }
                        onContainsMouseChanged: deviceTableModel.setHovered(containsMouse, row, column)
                    }
                }
            }
            DelegateChoice {
                column: DeviceTableModel.Status
                Rectangle {
                    id: statusCell
                    objectName: "statusCell" + row
                    implicitHeight: 20
                    color: deviceTableModel.hoveredRow === row ? look.rowHover : look.background
                    readonly property bool isLink: model.loginRequired === true && root.systemActive
                    // One press, and a link named with the device it logs in to.
                    readonly property bool accessibleLeaf: true
                    Accessible.role: isLink ? Accessible.Link : Accessible.Cell
                    Accessible.name: isLink && model.deviceName !== undefined
                                     ? statusText.text + ": " + model.deviceName : statusText.text
                    Accessible.onPressAction: {
                        if (isLink)
                            loginView.run([deviceTableModel.getSortedDeviceId(row)])
                    }

                    Text {
                        id: statusText
                        objectName: "statusText"
                        anchors.verticalCenter: parent.verticalCenter
                        x: root.tableViewLeftMargin
                        width: Math.min(implicitWidth, parent.width - x)
                        text: model.display !== undefined ? model.display : ""
                        // Names and states are plain: no markup scan per cell.
                        textFormat: Text.PlainText
                        elide: Text.ElideRight
                        Accessible.ignored: true
                        color: statusCell.isLink ? look.link : look.text
                        font.underline: statusCell.isLink
                        font.bold: statusCell.isLink && linkArea.containsMouse
                    }

                    MouseArea {
                        anchors.fill: parent
                        enabled: root.systemActive
                        hoverEnabled: true
                        onClicked: {
                            tableView.cursorRow = row
                            if (!statusCell.isLink)
                                deviceTableModel.changeDeviceCheckStatus(row)
                        }
                        onContainsMouseChanged: deviceTableModel.setHovered(containsMouse, row, column)

                        // Inside the cell's area, so the cell stays hovered
                        // while the pointer is on the link.
                        MouseArea {
                            id: linkArea
                            objectName: "statusLink"
                            x: statusText.x
                            y: statusText.y
                            width: statusText.width
                            height: statusText.height
                            enabled: statusCell.isLink
                            hoverEnabled: true
                            cursorShape: Qt.PointingHandCursor
                            onClicked: loginView.run([deviceTableModel.getSortedDeviceId(row)])
                        }
                    }
                }
            }
            DelegateChoice {
                Rectangle {
                    objectName: "cell" + row + "_" + column
                    implicitHeight: 20
                    color: deviceTableModel.hoveredRow === row ? look.rowHover : look.background
                    readonly property bool accessibleLeaf: true
                    Accessible.role: Accessible.Cell
                    Accessible.name: cellText.text
                    // A text cut short (a long host name) shows whole under
                    // the pointer, and on the keyboard's row.
                    readonly property bool fullTextShown: cellText.truncated
                                                          && (cellArea.containsMouse
                                                              || (tableView.activeFocus && tableView.cursorRow === row))
                    ToolTip.visible: fullTextShown
                    ToolTip.text: cellText.text
                    ToolTip.delay: cellArea.containsMouse ? 500 : 0

                    Text {
                        id: cellText
                        objectName: "cellText"
                        anchors.verticalCenter: parent.verticalCenter
                        x: root.tableViewLeftMargin
                        width: parent.width - x
                        text: model.display !== undefined ? model.display : ""
                        textFormat: Text.PlainText
                        elide: Text.ElideRight
                        color: look.text
                        Accessible.ignored: true
                    }

                    MouseArea {
                        id: cellArea
                        anchors.fill: parent
                        enabled: root.systemActive
                        hoverEnabled: true
                        onClicked: {
                            tableView.cursorRow = row
                            deviceTableModel.changeDeviceCheckStatus(row)
                        }
                        onContainsMouseChanged: deviceTableModel.setHovered(containsMouse, row, column)
                    }
                }
            }
        }
    }

    // The last batch in one line: its start, a stop, its summary.
    Text {
        id: batchLine
        objectName: "batchStatusLine"
        anchors { left: parent.left; right: parent.right; bottom: buttonRow.top; leftMargin: 10; rightMargin: 10
                  bottomMargin: text === "" ? 0 : 6 }
        // One line high from the font: the elided text's own height would
        // follow its height.
        height: text === "" ? 0 : lineMetrics.height
        text: system.journal !== null ? system.journal.line : ""
        elide: Text.ElideRight
        FontMetrics {
            id: lineMetrics
            font: batchLine.font
        }
        Accessible.role: Accessible.StaticText
        Accessible.name: text
    }

    // The batch operations, each a button and the file dialog that the
    // button opens once every checked device is logged in.
    Row {
        id: buttonRow
        anchors { horizontalCenter: parent.horizontalCenter; bottom: parent.bottom; bottomMargin: 15 }
        spacing: 10
        // The buttons share the window's width when it is narrow.
        readonly property int buttonCount: stopButton.visible || saveResultsButton.visible ? 4 : 3
        readonly property real buttonWidth: Math.min(220, (root.width - 20 - spacing * (buttonCount - 1)) / buttonCount)

        Repeater {
            model: [
                { name: "updateFirmware", text: "Update Firmware",
                  title: "Please select a firmware file ...",
                  filter: "Bundle Files (*.bundle)",
                  event: KxSystemEventID.FirmwareUpdate },
                { name: "importConfiguration", text: "Import Configuration",
                  title: "Please select a configuration file ...",
                  filter: "Configuration Files (*.xml)",
                  event: KxSystemEventID.ImportConfiguration },
                { name: "changeStandbyImage", text: "Change Stand-by Screen Image",
                  title: "Please select a Stand-by screen image file ...",
                  filter: "Stand-by Screen Image Files (*.jpg *.jpeg *.png)",
                  event: KxSystemEventID.StandbyScreenImageChange }
            ]

            delegate: VelButton {
                id: operationButton
                required property var modelData
                // The devices the login skipped, {device, reason} each: left
                // out of the batch and handed on to it.
                property var skipped: []

                objectName: modelData.name + "Button"
                width: buttonRow.buttonWidth
                text: modelData.text
                enabled: root.systemActive && deviceTableModel.checkedDeviceIds.length > 0
                onEnabledChanged: root.keepKeyboardFrom(operationButton)

                onClicked: {
                    if (deviceTableModel.checkedDeviceIds.length === 0) {
                        console.log("No device checked")
                        return
                    }
                    const unloggedIn = deviceTableModel.getCheckedUnloggedInDeviceIds()
                    if (unloggedIn.length === 0) {
                        operationButton.skipped = []
                        fileDialog.open()
                        return
                    }
                    // Listen first: a list whose devices have all gone
                    // finishes before login returns.
                    const loggedIn = root.waitForLoginFinished()
                    root.login(unloggedIn)
                    loggedIn.then(function () {
                        operationButton.skipped = loginView.skipped.slice()
                        fileDialog.open()
                    }, function () {
                        if (loginView.everySkipped)
                            toastView.showMessage(qsTr("Every device was skipped: nothing was sent."))
                    })
                }

                FileDialog {
                    id: fileDialog
                    objectName: operationButton.modelData.name + "Dialog"

                    // Gives the focus back to where it was, like the popups.
                    property Item focusBefore: null
                    onVisibleChanged: {
                        if (visible) {
                            focusBefore = root.activeFocusItem
                        } else if (focusBefore !== null) {
                            if (focusBefore.visible && focusBefore.enabled)
                                focusBefore.forceActiveFocus(Qt.PopupFocusReason)
                            focusBefore = null
                        }
                    }
                    title: operationButton.modelData.title
                    nameFilters: [operationButton.modelData.filter]
                    currentFolder: {
                        const downloads = StandardPaths.standardLocations(StandardPaths.DownloadLocation)
                        return downloads.length > 0 ? downloads[0] : ""
                    }
                    onAccepted: {
                        console.log("Path of the selected file: " + selectedFile)
                        const skippedIds = operationButton.skipped.map(function (s) { return s.device })
                        const checked = []
                        root.arrayDeepCopy(deviceTableModel.checkedDeviceIds, checked)
                        const devices = checked.filter(function (id) { return skippedIds.indexOf(id) < 0 })
                        system.sendEvent(operationButton.modelData.event,
                                         { "devices": devices, "filePath": selectedFile,
                                           "skipped": operationButton.skipped })
                    }
                }
            }
        }

        // Shown while a batch runs: the device under way finishes and no
        // other starts; pressed again, that device's upload is ended too.
        VelButton {
            id: stopButton
            objectName: "stopButton"
            width: buttonRow.buttonWidth
            property bool stopping: false
            visible: !root.systemActive
            onVisibleChanged: {
                stopping = false
                root.keepKeyboardFrom(stopButton)
            }
            text: stopping ? qsTr("Stop Now") : qsTr("Stop")
            Accessible.description: stopping ? qsTr("Ends the running upload")
                                             : qsTr("Finishes the running device and starts no other")
            onClicked: {
                if (system.sendEvent(KxSystemEventID.StopBatch, {}))
                    stopping = true
            }
        }

        // The ended batch's results, as corvanectl's report: CSV or JSON.
        VelButton {
            id: saveResultsButton
            objectName: "saveResultsButton"
            width: buttonRow.buttonWidth
            visible: system.journal !== null && system.journal.ended && root.systemActive
            enabled: visible && !system.journal.busy
            text: qsTr("Save Results")
            Accessible.name: text
            Accessible.description: qsTr("Saves each device's result of the last batch as CSV or JSON")
            onVisibleChanged: root.keepKeyboardFrom(saveResultsButton)
            onEnabledChanged: root.keepKeyboardFrom(saveResultsButton)
            onClicked: saveResultsDialog.open()

            FileDialog {
                id: saveResultsDialog
                objectName: "saveResultsDialog"
                title: qsTr("Save the batch's results ...")
                fileMode: FileDialog.SaveFile
                nameFilters: ["CSV Files (*.csv)", "JSON Files (*.json)"]
                defaultSuffix: "csv"
                currentFolder: {
                    const documents = StandardPaths.standardLocations(StandardPaths.DocumentsLocation)
                    return documents.length > 0 ? documents[0] : ""
                }
                onAccepted: {
                    const why = system.journal.saveResults(selectedFile)
                    if (why === "")
                        reportAnnouncer.say(qsTr("Results saved"))
                    else
                        toastView.showMessage(qsTr("Cannot save the results: ") + why)
                }
            }
        }
    }

    NetworkInterfaceView {
        id: networkInterfaceView
        focusAfter: tableView
    }

    LoginView {
        id: loginView
        focusAfter: tableView
    }

    ToastView {
        id: toastView
    }
}
