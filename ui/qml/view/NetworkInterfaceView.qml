import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts
import NetworkInterface 1.0

// Chooses the network on which devices are searched. Open at start, since
// nothing is listed before an interface is chosen. It holds the keyboard
// focus while open, so that keys never reach the controls behind it, and it
// goes when a batch starts: a switch of interface removes every device and
// its results. From the keyboard: Up and Down choose a row, Enter presses OK.
VelPopup {
    id: networkInterfaceView
    objectName: "networkInterfaceView"
    title: "Network"

    readonly property var columnPercentages: [34, 22, 22, 22]

    width: root.width - 300
    height: root.height - 80
    anchors.centerIn: Overlay.overlay
    padding: 0
    closePolicy: Popup.CloseOnEscape
    visible: true

    onAboutToShow: {
        // A refreshed list may hold other rows: a selection made before
        // would point at another interface. The one last chosen, in this run
        // or the last, is chosen again where it still exists; the scan on it
        // still waits for OK, since the workstation may now be on another
        // network under the same interface name.
        networkInterface.selectRow = -1
        networkInterface.updateNetworkInterfaces()
        networkInterface.selectRow = rowOf(chosenInterface)
    }

    property string chosenInterface: windowMemory.networkInterface

    function rowOf(name) {
        if (name === "")
            return -1
        // Past the last row the model gives an empty map.
        for (let row = 0; ; ++row) {
            const found = networkInterface.getNetworkInterface(row).interfaceName
            if (found === undefined)
                return -1
            if (found === name)
                return row
        }
    }

    onOpened: {
        interfaceTable.forceActiveFocus(Qt.PopupFocusReason)
        if (switchSettleTimer.running)
            splashScreen.open()
    }

    function chooseSelected() {
        if (!okButton.enabled)
            return
        const option = networkInterface.getNetworkInterface(networkInterface.selectRow)
        deviceList.startScan(option)
        chosenInterface = option.interfaceName !== undefined ? option.interfaceName : ""
        windowMemory.saveNetworkInterface(chosenInterface)
        networkInterfaceView.close()
        switchSettleTimer.start()
    }

    Connections {
        target: root
        function onSystemActiveChanged() {
            if (!root.systemActive)
                networkInterfaceView.close()
        }
    }

    NetworkInterface {
        id: networkInterface
        objectName: "networkInterface"

        property int hoveredRow: -1
        property int hoveredColumn: -1
        property int selectRow: -1

        function setHovered(hovered, row, column) {
            root.trackHover(networkInterface, hovered, row, column)
        }
    }

    // The last switch of interface is still settling while this runs.
    Timer {
        id: switchSettleTimer
        objectName: "switchSettleTimer"
        interval: 5500
        onTriggered: splashScreen.close()
    }

    SplashScreen {
        id: splashScreen
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 10
        spacing: 10

        HorizontalHeaderView {
            id: interfaceHeader
            Layout.fillWidth: true
            syncView: interfaceTable
            clip: true
            delegate: TableHeaderRectangle {
                implicitWidth: 10
                readonly property bool accessibleLeaf: true
                Accessible.role: Accessible.ColumnHeader
                Accessible.name: model.display !== undefined ? model.display : ""
                Text {
                    anchors.verticalCenter: parent.verticalCenter
                    x: root.tableViewLeftMargin
                    width: parent.width - x
                    text: model.display !== undefined ? model.display : ""
                    elide: Text.ElideRight
                    color: look.text
                }
            }
        }

        TableView {
            id: interfaceTable
            objectName: "networkInterfaceTable"
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            columnSpacing: 1
            rowSpacing: 0
            boundsBehavior: Flickable.StopAtBounds
            flickableDirection: Flickable.VerticalFlick
            model: networkInterface
            rowHeightProvider: function (row) { return 20 }
            columnWidthProvider: function (column) {
                return width * networkInterfaceView.columnPercentages[column] / 100 - columnSpacing
            }
            onWidthChanged: forceLayout()
            activeFocusOnTab: true
            readonly property bool accessibleTable: true
            readonly property Item accessibleHeader: interfaceHeader
            Accessible.role: Accessible.Table
            Accessible.name: "Network interfaces"

            function moveSelection(step) {
                if (rows === 0)
                    return
                const from = networkInterface.selectRow < 0 ? (step > 0 ? -1 : rows) : networkInterface.selectRow
                networkInterface.selectRow = Math.max(0, Math.min(rows - 1, from + step))
                positionViewAtRow(networkInterface.selectRow, TableView.Contain)
            }

            Keys.onUpPressed: moveSelection(-1)
            Keys.onDownPressed: moveSelection(1)
            Keys.onReturnPressed: networkInterfaceView.chooseSelected()
            Keys.onEnterPressed: networkInterfaceView.chooseSelected()

            FocusFrame {
                objectName: "interfaceFocusFrame"
                parent: interfaceTable
                gap: 0
                shown: interfaceTable.activeFocus
            }

            // A mouse aid only: the list's keys move through it.
            ScrollBar.vertical: ScrollBar {
                policy: ScrollBar.AsNeeded
                Accessible.ignored: true
            }

            delegate: Rectangle {
                objectName: "interfaceCell" + row + "_" + column
                implicitHeight: 20
                color: row === networkInterface.selectRow ? look.selectedRow
                     : row === networkInterface.hoveredRow ? look.rowHover : look.background
                // One element with one press; the chosen row's first cell
                // takes the focus as the keys move, so a screen reader says it.
                readonly property bool accessibleLeaf: true
                Accessible.role: Accessible.Cell
                Accessible.name: model.display !== undefined ? model.display : ""
                Accessible.selectable: true
                Accessible.selected: row === networkInterface.selectRow
                Accessible.focused: interfaceTable.activeFocus && column === 0 && row === networkInterface.selectRow
                Accessible.onPressAction: networkInterface.selectRow = row

                Text {
                    anchors.verticalCenter: parent.verticalCenter
                    x: root.tableViewLeftMargin
                    width: parent.width - x
                    text: model.display !== undefined ? model.display : ""
                    elide: Text.ElideRight
                    color: look.text
                }

                MouseArea {
                    anchors.fill: parent
                    acceptedButtons: Qt.LeftButton
                    hoverEnabled: true
                    onClicked: networkInterface.selectRow = row
                    onContainsMouseChanged: networkInterface.setHovered(containsMouse, row, column)
                }
            }
        }

        RowLayout {
            Layout.alignment: Qt.AlignHCenter
            spacing: 10

            VelCancelButton {
                objectName: "networkCancelButton"
                text: "Cancel"
                onClicked: networkInterfaceView.close()
            }

            VelButton {
                id: okButton
                objectName: "networkOkButton"
                text: "OK"
                enabled: networkInterface.selectRow >= 0 && root.systemActive
                onClicked: networkInterfaceView.chooseSelected()
            }
        }
    }
}
