// The status item that carries the busy state to assistive tools: what Qt's
// accessibility layer, and so a screen reader, reads of it, and where it
// sits in the window's accessibility tree.
#include "BusyStatus.h"

#include <QAccessible>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>

#include <memory>

class TestBusyStatus : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { Views::registerTypes(); }

    void readByAssistiveTools_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("busy");
        QTest::addColumn<int>("parentRole");

        QTest::newRow("idle, in a tool bar") << "inToolBar" << false << int(QAccessible::ToolBar);
        QTest::newRow("busy, in a tool bar") << "inToolBar" << true << int(QAccessible::ToolBar);
        // Items outside the tree in between are passed over, up to the window.
        QTest::newRow("busy, in plain items") << "inPlainItems" << true << int(QAccessible::Window);
    }

    void readByAssistiveTools()
    {
        QFETCH(QString, name);
        QFETCH(bool, busy);
        QFETCH(int, parentRole);

        QQmlEngine engine;
        QQmlComponent component(&engine);
        component.setData("import QtQuick\n"
                          "import CorvaneViews 1.0\n"
                          "Window {\n"
                          "  Rectangle {\n"
                          "    Accessible.role: Accessible.ToolBar\n"
                          "    BusyStatus { objectName: 'inToolBar'; text: 'Updating firmware'\n"
                          "                 Accessible.role: Accessible.StatusBar }\n"
                          "  }\n"
                          "  Item { Item {\n"
                          "    BusyStatus { objectName: 'inPlainItems'; text: 'Updating firmware'\n"
                          "                 Accessible.role: Accessible.StatusBar }\n"
                          "  } }\n"
                          "}\n",
                          QUrl());
        std::unique_ptr<QObject> root(component.create());
        QVERIFY2(root != nullptr, qPrintable(component.errorString()));
        auto* window = qobject_cast<QQuickWindow*>(root.get());
        QVERIFY(window != nullptr);
        auto* status = root->findChild<BusyStatus*>(name);
        QVERIFY(status != nullptr);
        status->setBusy(busy);

        QAccessibleInterface* const iface = QAccessible::queryAccessibleInterface(status);
        QVERIFY(iface != nullptr && iface->isValid());
        QCOMPARE(iface->role(), QAccessible::StatusBar);
        QCOMPARE(iface->text(QAccessible::Name), QStringLiteral("Updating firmware"));
        QCOMPARE(bool(iface->state().busy), busy);
        QVERIFY(iface->state().readOnly);
        QCOMPARE(iface->childCount(), 0);

        // Up and down the tree alike: its parent lists it among its children.
        QAccessibleInterface* const parent = iface->parent();
        QVERIFY(parent != nullptr);
        QCOMPARE(int(parent->role()), parentRole);
        QVERIFY2(parent->indexOfChild(iface) >= 0, "not among its parent's children");

        status->setText(QStringLiteral("Ready"));
        QCOMPARE(iface->text(QAccessible::Name), QStringLiteral("Ready"));
    }
};

QTEST_MAIN(TestBusyStatus)
#include "tst_busystatus.moc"
