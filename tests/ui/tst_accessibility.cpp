// The views' accessible leaves as Qt's accessibility layer, and so a screen
// reader, reads and works them: role, name, states, actions, and where they
// sit in the window's accessibility tree.
#include "Accessibility.h"

#include <QAccessible>
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
    } }
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

private:
    QQmlEngine m_engine;
    std::unique_ptr<QQmlComponent> m_component;
    std::unique_ptr<QObject> m_window;
};

QTEST_MAIN(TestAccessibility)
#include "tst_accessibility.moc"
