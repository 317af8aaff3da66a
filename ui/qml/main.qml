import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts
import Qt.labs.qmlmodels
import com.halvorn.kxframework 1.0
import DeviceTableModel 1.0
import MessageGenerator 1.0
import QtQuick.Dialogs
import QtCore 6.4
import "view"

// The one window: the device table, the batch operations on the checked
// devices, and the interface chooser. Everything it shows comes from the
// models and framework objects; everything it does is a call on them.
ApplicationWindow {
    id: root
    objectName: "mainWindow"

    property int defWidth: 1080
    property int defHeight: 480
    property int checkboxHorizontalCenterOffset: 3
    property int tableViewLeftMargin: 5
    readonly property bool systemActive: system.status === KxSystemStatus.Active
    // Percent of the table width for the columns before the status column,
    // which takes the rest.
    readonly property var columnWidthPercentages: [2, 5.5, 26, 8, 9, 12, 9]

    signal loginFinished(bool loginStatus)

    function login(deviceIds) {
        if (deviceIds.length === 0) {
            loginFinished(false)
            return
        }
        const targets = []
        arrayDeepCopy(deviceIds, targets)
        loginView.run(targets)
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

    function columnWidth(tableWidth, spacing, column) {
        if (column < columnWidthPercentages.length)
            return tableWidth * columnWidthPercentages[column] / 100 - spacing
        return tableWidth * (100 - sum(columnWidthPercentages)) / 100
    }

    // A check box small enough for a 20-pixel row and a narrow column. It
    // never toggles itself: it shows what the model holds, and its owner
    // writes a press (mouse or Space) through the model, so what the operator
    // sees checked is what a batch uses.
    component TableCheckBox: CheckBox {
        id: box
        nextCheckState: function () { return checkState }
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
            color: "#ffffff"
            border.color: box.enabled ? "#141414" : "#A0A0A0"
            opacity: box.enabled ? 1.0 : 0.6

            Rectangle {
                anchors.centerIn: parent
                width: box.checkState === Qt.PartiallyChecked ? 6 : 8
                height: box.checkState === Qt.PartiallyChecked ? 2 : 8
                radius: 1
                color: "#141414"
                visible: box.checkState !== Qt.Unchecked
            }
        }
    }

    width: defWidth
    height: defHeight
    minimumWidth: defWidth
    minimumHeight: defHeight
    visible: true
    title: "Corvane"
    color: "#ffffff"
    // No close button while a batch operation runs: closing would cut it off.
    flags: systemActive
           ? Qt.Window | Qt.CustomizeWindowHint | Qt.WindowTitleHint | Qt.WindowMinMaxButtonsHint | Qt.WindowCloseButtonHint
           : Qt.Window | Qt.CustomizeWindowHint | Qt.WindowTitleHint | Qt.WindowMinMaxButtonsHint

    onWidthChanged: tableView.forceLayout()

    // A window manager may still send a close request (Alt+F4, a taskbar's
    // Close) while the close button is gone; the running batch must not be
    // cut off. The status is read afresh: the request can come in the middle
    // of the status change, before the bindings have caught up.
    onClosing: function (close) {
        if (system.status !== KxSystemStatus.Active)
            close.accepted = false
    }

    KxSystem {
        id: system
        objectName: "system"
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

    Rectangle {
        id: header
        anchors { left: parent.left; right: parent.right; top: parent.top }
        height: 90
        color: "#141414"

        Image {
            x: 25
            anchors.verticalCenter: parent.verticalCenter
            height: 25
            fillMode: Image.PreserveAspectFit
            source: "view/resource/halvorn.png"
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

    HorizontalHeaderView {
        id: tableHeader
        objectName: "tableHeader"
        anchors { left: tableView.left; right: tableView.right; top: header.bottom; topMargin: 10 }
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
                    }
                }
            }
            DelegateChoice {
                TableHeaderRectangle {
                    id: headerCell
                    objectName: "headerCell" + column
                    implicitWidth: 10
                    readonly property bool sorted: deviceTableModel.sortColumn === column

                    Text {
                        anchors.verticalCenter: parent.verticalCenter
                        x: root.tableViewLeftMargin
                        width: parent.width - x - sortArrows.width - 4
                        text: model.display !== undefined ? model.display : ""
                        elide: Text.ElideRight
                    }

                    Column {
                        id: sortArrows
                        anchors { right: parent.right; rightMargin: 4; verticalCenter: parent.verticalCenter }
                        Text {
                            objectName: "ascendingArrow"
                            text: "▲"
                            font.pointSize: 4
                            color: headerCell.sorted && deviceTableModel.sortOrder === Qt.AscendingOrder
                                   ? "#141414" : "#A0A0A0"
                        }
                        Text {
                            objectName: "descendingArrow"
                            text: "▼"
                            font.pointSize: 4
                            color: headerCell.sorted && deviceTableModel.sortOrder === Qt.DescendingOrder
                                   ? "#141414" : "#A0A0A0"
                        }
                    }

                    MouseArea {
                        anchors.fill: parent
                        acceptedButtons: Qt.LeftButton
                        enabled: root.systemActive
                        onClicked: deviceTableModel.sort(column)
                    }
                }
            }
        }
    }

    TableView {
        id: tableView
        objectName: "deviceTable"
        anchors { left: parent.left; right: parent.right; top: tableHeader.bottom; bottom: buttonRow.top
                  leftMargin: 10; rightMargin: 10; bottomMargin: 10 }
        clip: true
        reuseItems: false
        columnSpacing: 1
        rowSpacing: 0
        boundsBehavior: Flickable.StopAtBounds
        flickableDirection: Flickable.VerticalFlick
        rowHeightProvider: function (row) { return 20 }
        columnWidthProvider: function (column) { return root.columnWidth(width, columnSpacing, column) }
        onWidthChanged: forceLayout()

        ScrollBar.vertical: ScrollBar {
            policy: ScrollBar.AsNeeded
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
                    color: deviceTableModel.hoveredRow === row ? "#e5f3ff" : "#ffffff"

                    TableCheckBox {
                        objectName: "rowCheckBox"
                        anchors.centerIn: parent
                        anchors.horizontalCenterOffset: root.checkboxHorizontalCenterOffset
                        checked: model.checkState === true
                        enabled: root.systemActive
                        // Reached by keyboard only: the cell's area above it
                        // takes the pointer.
                        onClicked: deviceTableModel.changeDeviceCheckStatus(row)
                    }

                    MouseArea {
                        anchors.fill: parent
                        enabled: root.systemActive
                        hoverEnabled: true
                        onClicked: deviceTableModel.changeDeviceCheckStatus(row)
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
                    color: deviceTableModel.hoveredRow === row ? "#eef8f7" : "#ffffff"
                    readonly property bool isLink: model.loginRequired === true && root.systemActive

                    Text {
                        id: statusText
                        objectName: "statusText"
                        anchors.verticalCenter: parent.verticalCenter
                        x: root.tableViewLeftMargin
                        width: Math.min(implicitWidth, parent.width - x)
                        text: model.display !== undefined ? model.display : ""
                        elide: Text.ElideRight
                        color: statusCell.isLink ? "#1032ff" : "black"
                        font.underline: statusCell.isLink
                        font.bold: statusCell.isLink && linkArea.containsMouse
                    }

                    MouseArea {
                        anchors.fill: parent
                        enabled: root.systemActive
                        hoverEnabled: true
                        onClicked: {
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
                    color: deviceTableModel.hoveredRow === row ? "#eef8f7" : "#ffffff"

                    Text {
                        anchors.verticalCenter: parent.verticalCenter
                        x: root.tableViewLeftMargin
                        width: parent.width - x
                        text: model.display !== undefined ? model.display : ""
                        elide: Text.ElideRight
                    }

                    MouseArea {
                        anchors.fill: parent
                        enabled: root.systemActive
                        hoverEnabled: true
                        onClicked: deviceTableModel.changeDeviceCheckStatus(row)
                        onContainsMouseChanged: deviceTableModel.setHovered(containsMouse, row, column)
                    }
                }
            }
        }
    }

    // The batch operations, each a button and the file dialog that the
    // button opens once every checked device is logged in.
    Row {
        id: buttonRow
        anchors { horizontalCenter: parent.horizontalCenter; bottom: parent.bottom; bottomMargin: 15 }
        spacing: 10

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

                objectName: modelData.name + "Button"
                text: modelData.text
                enabled: root.systemActive && deviceTableModel.checkedDeviceIds.length > 0

                onClicked: {
                    if (deviceTableModel.checkedDeviceIds.length === 0) {
                        console.log("No device checked")
                        return
                    }
                    const unloggedIn = deviceTableModel.getCheckedUnloggedInDeviceIds()
                    if (unloggedIn.length === 0) {
                        fileDialog.open()
                        return
                    }
                    // Listen first: a list whose devices have all gone
                    // finishes before login returns.
                    const loggedIn = root.waitForLoginFinished()
                    root.login(unloggedIn)
                    loggedIn.then(function () { fileDialog.open() }, function () {})
                }

                FileDialog {
                    id: fileDialog
                    objectName: operationButton.modelData.name + "Dialog"
                    title: operationButton.modelData.title
                    nameFilters: [operationButton.modelData.filter]
                    currentFolder: {
                        const downloads = StandardPaths.standardLocations(StandardPaths.DownloadLocation)
                        return downloads.length > 0 ? downloads[0] : ""
                    }
                    onAccepted: {
                        console.log("Path of the selected file: " + selectedFile)
                        const devices = []
                        root.arrayDeepCopy(deviceTableModel.checkedDeviceIds, devices)
                        system.sendEvent(operationButton.modelData.event,
                                         { "devices": devices, "filePath": selectedFile })
                    }
                }
            }
        }
    }

    NetworkInterfaceView {
        id: networkInterfaceView
    }

    LoginView {
        id: loginView
    }

    ToastView {
        id: toastView
    }
}
