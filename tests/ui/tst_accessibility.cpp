// The views' accessible leaves as Qt's accessibility layer, and so a screen
// reader, reads and works them: role, name, states, actions, and where they
// sit in the window's accessibility tree.
#include "Accessibility.h"

#include <private/qguiapplication_p.h>
#include <QAccessible>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>

#include <memory>

namespace {

// One window with a leaf of each kind; `presses` counts what the view's
// action handlers received.
const char* const kWindow = R"(
import QtQuick
import QtQuick.Controls
import CorvaneViews 1.0
Window {
    property int presses: 0
    Rectangle {
        Accessible.role: Accessible.ToolBar
        BusyStatus { objectName: "status"; text: "Updating firmware"; busy: true
                     Accessible.role: Accessible.StatusBar; Accessible.name: text }
        Button { objectName: "disabledButton"; text: "Update Firmware"; enabled: false
                 readonly property bool accessibleLeaf: true
                 Accessible.role: Accessible.Button; Accessible.name: text
                 Accessible.onPressAction: presses++ }
    }
    Item { Item {
        BusyStatus { objectName: "idleStatus"; text: "Ready"
                     Accessible.role: Accessible.StatusBar; Accessible.name: text }
        Button { objectName: "button"; text: "Network"
                 readonly property bool accessibleLeaf: true
                 Accessible.role: Accessible.Button; Accessible.name: text
                 Accessible.onPressAction: presses++ }
        CheckBox { objectName: "partlyChecked"; tristate: true; checkState: Qt.PartiallyChecked
                   nextCheckState: function () { return checkState }
                   readonly property bool accessibleLeaf: true
                   Accessible.role: Accessible.CheckBox; Accessible.name: "All devices"
                   Accessible.onToggleAction: presses++ }
        CheckBox { objectName: "checked"; checked: true
                   readonly property bool accessibleLeaf: true
                   Accessible.role: Accessible.CheckBox; Accessible.name: "Reception, 10.213.0.12, Ready" }
        // A table's row box: the table keeps the keyboard, the box says it has it.
        CheckBox { objectName: "rowBox"; property bool cursor: false; checked: false
                   nextCheckState: function () { return checkState }
                   readonly property bool accessibleLeaf: true
                   Accessible.role: Accessible.CheckBox; Accessible.name: "Lobby Display, 10.213.0.10, Ready"
                   Accessible.focused: cursor }
    } }
    // A dialog: while it is open, what lies behind it is out of reach.
    Popup { objectName: "modalPopup"; modal: true
        Button { objectName: "popupButton"; text: "OK"
                 readonly property bool accessibleLeaf: true
                 Accessible.role: Accessible.Button; Accessible.name: text } }
}
)";

// A table that tells itself as one: a check column whose cell holds a box,
// and a text column; its header view numbers the columns.
const char* const kTableWindow = R"(
import QtQuick
import QtQuick.Controls
import Qt.labs.qmlmodels
Window {
    width: 300; height: 200; visible: true
    HorizontalHeaderView { id: header; syncView: table; width: 300; height: 20
        delegate: Rectangle { implicitWidth: 100; implicitHeight: 20
            readonly property bool accessibleLeaf: true
            Accessible.role: Accessible.ColumnHeader; Accessible.name: display } }
    TableView { id: table; objectName: "table"; y: 20; width: 300; height: 180
        readonly property bool accessibleTable: true
        readonly property Item accessibleHeader: header
        Accessible.role: Accessible.Table; Accessible.name: "Devices"
        model: TableModel { TableModelColumn { display: "checked" } TableModelColumn { display: "host" }
            rows: [ { checked: false, host: "Lobby Display" }, { checked: true, host: "Reception" } ] }
        delegate: DelegateChooser {
            DelegateChoice { column: 0
                Rectangle { implicitWidth: 100; implicitHeight: 20
                    CheckBox { checked: display
                        readonly property bool accessibleLeaf: true
                        Accessible.role: Accessible.CheckBox; Accessible.name: "box " + row } } }
            DelegateChoice {
                Rectangle { implicitWidth: 100; implicitHeight: 20
                    readonly property bool accessibleLeaf: true
                    Accessible.role: Accessible.Cell; Accessible.name: display } } } }
}
)";

} // namespace

class TestAccessibility : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        Views::registerTypes();
        m_component = std::make_unique<QQmlComponent>(&m_engine);
        m_component->setData(kWindow, QUrl());
        m_window.reset(m_component->create());
        QVERIFY2(m_window != nullptr, qPrintable(m_component->errorString()));
        // What the window's event loop does first: the leaves' interfaces
        // made with the window finish their set-up.
        QCoreApplication::processEvents();
    }

    void readAndWorked_data()
    {
        QTest::addColumn<QString>("item");
        QTest::addColumn<int>("role");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("states");
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("presses");
        QTest::addColumn<int>("parentRole");

        using A = QAccessible;
        QTest::newRow("busy status in a tool bar") << "status" << int(A::StatusBar) << "Updating firmware"
                                                   << QStringList{"busy"} << "" << 0 << int(A::ToolBar);
        // Items outside the tree in between are passed over, up to the window.
        QTest::newRow("idle status in plain items")
            << "idleStatus" << int(A::StatusBar) << "Ready" << QStringList{} << "" << 0 << int(A::Window);
        QTest::newRow("disabled button, pressed") << "disabledButton" << int(A::Button) << "Update Firmware"
                                                  << QStringList{"disabled"} << "Press" << 0 << int(A::ToolBar);
        QTest::newRow("button, pressed") << "button" << int(A::Button) << "Network" << QStringList{} << "Press" << 1
                                         << int(A::Window);
        QTest::newRow("part-checked box, toggled")
            << "partlyChecked" << int(A::CheckBox) << "All devices" << QStringList{"checkable", "mixed"} << "Toggle"
            << 1 << int(A::Window);
        QTest::newRow("checked box") << "checked" << int(A::CheckBox) << "Reception, 10.213.0.12, Ready"
                                     << QStringList{"checkable", "checked"} << "" << 0 << int(A::Window);
    }

    void readAndWorked()
    {
        QFETCH(QString, item);
        QFETCH(int, role);
        QFETCH(QString, name);
        QFETCH(QStringList, states);
        QFETCH(QString, action);
        QFETCH(int, presses);
        QFETCH(int, parentRole);

        auto* const object = m_window->findChild<QQuickItem*>(item);
        QVERIFY(object != nullptr);
        m_window->setProperty("presses", 0);
        QAccessibleInterface* const iface = QAccessible::queryAccessibleInterface(object);
        QVERIFY(iface != nullptr && iface->isValid());
        QCOMPARE(int(iface->role()), role);
        QCOMPARE(iface->text(QAccessible::Name), name);
        QCOMPARE(iface->childCount(), 0);

        const QAccessible::State state = iface->state();
        QCOMPARE(bool(state.busy), states.contains(QStringLiteral("busy")));
        QCOMPARE(bool(state.disabled), states.contains(QStringLiteral("disabled")));
        QCOMPARE(bool(state.checkable), states.contains(QStringLiteral("checkable")));
        QCOMPARE(bool(state.checked), states.contains(QStringLiteral("checked")));
        QCOMPARE(bool(state.checkStateMixed), states.contains(QStringLiteral("mixed")));

        if (!action.isEmpty()) {
            QAccessibleActionInterface* const actions = iface->actionInterface();
            QVERIFY(actions != nullptr);
            QVERIFY(actions->actionNames().contains(action));
            actions->doAction(action);
        }
        QCOMPARE(m_window->property("presses").toInt(), presses);

        // Up and down the tree alike: its parent lists it among its children.
        QAccessibleInterface* const parent = iface->parent();
        QVERIFY(parent != nullptr);
        QCOMPARE(int(parent->role()), parentRole);
        QVERIFY2(parent->indexOfChild(iface) >= 0, "not among its parent's children");
    }

    void modalPopupPutsWhatIsBehindItOutOfReach_data()
    {
        QTest::addColumn<QString>("item");
        QTest::addColumn<bool>("disabledWhileOpen");
        QTest::newRow("a button behind it") << "button" << true;
        QTest::newRow("a check box behind it") << "checked" << true;
        QTest::newRow("a status behind it is still read") << "idleStatus" << false;
        QTest::newRow("its own button") << "popupButton" << false;
    }

    void modalPopupPutsWhatIsBehindItOutOfReach()
    {
        QFETCH(QString, item);
        QFETCH(bool, disabledWhileOpen);
        QObject* const popup = m_window->findChild<QObject*>(QStringLiteral("modalPopup"));
        auto* const object = m_window->findChild<QQuickItem*>(item);
        QVERIFY(popup != nullptr && object != nullptr);
        QAccessibleInterface* const iface = QAccessible::queryAccessibleInterface(object);
        QVERIFY(iface != nullptr);
        QVERIFY(QMetaObject::invokeMethod(popup, "open"));
        QTRY_VERIFY(popup->property("opened").toBool());
        QCOMPARE(bool(iface->state().disabled), disabledWhileOpen);
        QVERIFY(QMetaObject::invokeMethod(popup, "close"));
        QTRY_VERIFY(!popup->property("visible").toBool());
        QCOMPARE(bool(iface->state().disabled), false);
    }

    // A screen reader's table commands: the size, a cell by its place, the
    // cell's own place and its column's header, and the table's children.
    void tableTellsRowsColumnsAndHeaders_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("column");
        QTest::addColumn<int>("role");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("header");
        QTest::newRow("a box inside its cell") << 1 << 0 << int(QAccessible::CheckBox) << "box 1"
                                               << "1";
        QTest::newRow("a text cell") << 0 << 1 << int(QAccessible::Cell) << "Lobby Display"
                                     << "2";
        QTest::newRow("the last cell") << 1 << 1 << int(QAccessible::Cell) << "Reception"
                                       << "2";
    }

    void tableTellsRowsColumnsAndHeaders()
    {
        QFETCH(int, row);
        QFETCH(int, column);
        QFETCH(int, role);
        QFETCH(QString, name);
        QFETCH(QString, header);

        QQmlComponent component(&m_engine);
        component.setData(kTableWindow, QUrl());
        std::unique_ptr<QObject> window(component.create());
        QVERIFY2(window != nullptr, qPrintable(component.errorString()));
        auto* const view = window->findChild<QQuickItem*>(QStringLiteral("table"));
        QVERIFY(view != nullptr);
        QAccessibleInterface* const table = QAccessible::queryAccessibleInterface(view);
        QVERIFY(table != nullptr && table->tableInterface() != nullptr);
        QCOMPARE(table->role(), QAccessible::Table);
        QTRY_COMPARE(table->childCount(), 4);
        QCOMPARE(table->tableInterface()->rowCount(), 2);
        QCOMPARE(table->tableInterface()->columnCount(), 2);

        QAccessibleInterface* const cell = table->tableInterface()->cellAt(row, column);
        QVERIFY(cell != nullptr);
        QCOMPARE(int(cell->role()), role);
        QCOMPARE(cell->text(QAccessible::Name), name);
        QCOMPARE(cell->parent(), table);
        // The children go row by row, left to right.
        QCOMPARE(table->indexOfChild(cell), row * 2 + column);
        QCOMPARE(table->child(row * 2 + column), cell);

        QAccessibleTableCellInterface* const place = cell->tableCellInterface();
        QVERIFY(place != nullptr);
        QCOMPARE(place->rowIndex(), row);
        QCOMPARE(place->columnIndex(), column);
        QCOMPARE(place->table(), table);
        const QList<QAccessibleInterface*> headers = place->columnHeaderCells();
        QCOMPARE(headers.size(), 1);
        QCOMPARE(headers.first()->text(QAccessible::Name), header);
        QCOMPARE(table->tableInterface()->columnDescription(column), header);
    }

    // What assistive tools are told as a leaf changes, in order, with the
    // state they read at that moment.
    void toldAsItChanges_data()
    {
        QTest::addColumn<QString>("property");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QStringList>("told");

        QTest::newRow("the keyboard comes to a row")
            << "cursor" << QVariant(true) << QStringList{"Focus focused", "StateChanged focused"};
        QTest::newRow("the keyboard leaves it") << "cursor" << QVariant(false) << QStringList{"StateChanged"};
        QTest::newRow("checked: one change, read checked")
            << "checked" << QVariant(true) << QStringList{"StateChanged checked"};
        QTest::newRow("unchecked: one change, read unchecked")
            << "checked" << QVariant(false) << QStringList{"StateChanged"};
        QTest::newRow("disabled") << "enabled" << QVariant(false) << QStringList{"StateChanged disabled"};
    }

    void toldAsItChanges()
    {
        QFETCH(QString, property);
        QFETCH(QVariant, value);
        QFETCH(QStringList, told);

        auto* const box = m_window->findChild<QQuickItem*>(QStringLiteral("rowBox"));
        QVERIFY(box != nullptr);
        QVERIFY(QAccessible::queryAccessibleInterface(box) != nullptr);
        s_told.clear();
        // As when an assistive tool listens: events are made and handed on.
        QGuiApplicationPrivate::platformIntegration()->accessibility()->setActive(true);
        QAccessible::installUpdateHandler(&record);
        box->setProperty(qPrintable(property), value);
        QAccessible::installUpdateHandler(nullptr);
        QCOMPARE(s_told, told);
    }

private:
    static void record(QAccessibleEvent* event)
    {
        QAccessibleInterface* const iface = event->accessibleInterface();
        if (iface == nullptr || iface->object() == nullptr || iface->object()->objectName() != QLatin1String("rowBox"))
            return;
        QString line = event->type() == QAccessible::Focus ? QStringLiteral("Focus") : QStringLiteral("StateChanged");
        if (event->type() != QAccessible::Focus && event->type() != QAccessible::StateChanged)
            line = QString::number(int(event->type()), 16);
        const QAccessible::State state = iface->state();
        if (state.focused)
            line += QStringLiteral(" focused");
        if (state.checked)
            line += QStringLiteral(" checked");
        if (state.disabled)
            line += QStringLiteral(" disabled");
        s_told.append(line);
    }

    static inline QStringList s_told;
    QQmlEngine m_engine;
    std::unique_ptr<QQmlComponent> m_component;
    std::unique_ptr<QObject> m_window;
};

QTEST_MAIN(TestAccessibility)
#include "tst_accessibility.moc"
