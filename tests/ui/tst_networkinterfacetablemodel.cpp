// The interface list inside a network namespace of the test's own, where the
// test decides which interfaces exist: only wired and wireless interfaces,
// one row per IPv4 address, IPv6 skipped, the up state not looked at. Also
// the header titles and the row map that the scan start takes.

#include "NetworkInterfaceTableModel.h"
#include "TestTools.h"

#include <QSignalSpy>
#include <QTest>

#include <sched.h>

#include <cstdio>
#include <cstdlib>

namespace {

bool ip(const QString& arguments)
{
    const ToolResult result = runTool(QStringLiteral("ip"), arguments.split(QLatin1Char(' ')));
    if (result.exitCode != 0)
        qWarning("ip %s: %s", qPrintable(arguments), result.err.constData());
    return result.exitCode == 0;
}

QStringList rowsOf(const NetworkInterfaceTableModel& model)
{
    QStringList rows;
    for (int row = 0; row < model.rowCount(); ++row) {
        QStringList cells;
        for (int column = 0; column < model.columnCount(); ++column)
            cells << model.data(model.index(row, column)).toString();
        rows << cells.join(QLatin1Char(' '));
    }
    return rows;
}

} // namespace

class TestNetworkInterfaceTableModel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup()
    {
        for (const char* name : {"cvwired0", "cvwired1", "cvtun0"})
            runTool(QStringLiteral("ip"), {QStringLiteral("link"), QStringLiteral("del"), QLatin1String(name)});
    }

    void rows_data()
    {
        QTest::addColumn<QStringList>("setup");
        QTest::addColumn<QStringList>("rows");

        const QString wired0
            = QStringLiteral("link add cvwired0 address 02:00:00:00:13:01 type veth peer name cvpeer0");
        const QString wired1
            = QStringLiteral("link add cvwired1 address 02:00:00:00:13:02 type veth peer name cvpeer1");
        QTest::newRow("only loopback") << QStringList{QStringLiteral("link set lo up")} << QStringList{};
        QTest::newRow("one IPv4 and one IPv6 address")
            << QStringList{wired0, QStringLiteral("addr add 10.13.0.5/24 dev cvwired0"),
                           QStringLiteral("addr add fd00:13::5/64 dev cvwired0"),
                           QStringLiteral("link set cvwired0 up")}
            << QStringList{QStringLiteral("cvwired0 10.13.0.5 02:00:00:00:13:01 255.255.255.0")};
        QTest::newRow("two IPv4 addresses, interface down")
            << QStringList{wired0, QStringLiteral("addr add 10.13.0.5/24 dev cvwired0"),
                           QStringLiteral("addr add 172.20.1.9/16 dev cvwired0")}
            << QStringList{QStringLiteral("cvwired0 10.13.0.5 02:00:00:00:13:01 255.255.255.0"),
                           QStringLiteral("cvwired0 172.20.1.9 02:00:00:00:13:01 255.255.0.0")};
        QTest::newRow("no IPv4 address") << QStringList{wired0, QStringLiteral("addr add fd00:13::5/64 dev cvwired0")}
                                         << QStringList{};
        QTest::newRow("two interfaces") << QStringList{wired0, wired1,
                                                       QStringLiteral("addr add 10.13.0.5/30 dev cvwired0"),
                                                       QStringLiteral("addr add 10.13.1.5/8 dev cvwired1")}
                                        << QStringList{
                                               QStringLiteral("cvwired0 10.13.0.5 02:00:00:00:13:01 255.255.255.252"),
                                               QStringLiteral("cvwired1 10.13.1.5 02:00:00:00:13:02 255.0.0.0")};
        QTest::newRow("point-to-point tunnel skipped")
            << QStringList{QStringLiteral("tuntap add dev cvtun0 mode tun"),
                           QStringLiteral("addr add 10.13.2.1/24 dev cvtun0"), QStringLiteral("link set lo up")}
            << QStringList{};
    }

    void rows()
    {
        QFETCH(QStringList, setup);
        QFETCH(QStringList, rows);
        for (const QString& command : setup)
            QVERIFY2(ip(command), qPrintable(command));

        NetworkInterfaceTableModel model;
        QCOMPARE(model.rowCount(), 0);
        QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
        model.updateNetworkInterfaces();
        QCOMPARE(reset.count(), 1);
        QCOMPARE(model.columnCount(), 4);
        QCOMPARE(rowsOf(model), rows);

        for (int row = 0; row < model.rowCount(); ++row) {
            const QVariantMap map = model.getNetworkInterface(row);
            QCOMPARE(map.keys(), (QStringList{QStringLiteral("interfaceName"), QStringLiteral("ipAddress"),
                                              QStringLiteral("macAddress"), QStringLiteral("subnetMask")}));
            QCOMPARE(QStringList({map.value(QStringLiteral("interfaceName")).toString(),
                                  map.value(QStringLiteral("ipAddress")).toString(),
                                  map.value(QStringLiteral("macAddress")).toString(),
                                  map.value(QStringLiteral("subnetMask")).toString()})
                         .join(QLatin1Char(' ')),
                     rows.at(row));
        }
        QVERIFY(model.getNetworkInterface(-1).isEmpty());
        QVERIFY(model.getNetworkInterface(model.rowCount()).isEmpty());
        // A row outside the list reads as empty text; other roles and columns as nothing.
        QCOMPARE(model.data(model.index(model.rowCount(), 0)), QVariant());
    }

    void cells_data()
    {
        QTest::addColumn<int>("section");
        QTest::addColumn<int>("orientation");
        QTest::addColumn<int>("role");
        QTest::addColumn<QVariant>("header");

        const int horizontal = Qt::Horizontal;
        QTest::newRow("0") << 0 << horizontal << int(Qt::DisplayRole)
                           << QVariant(QStringLiteral("Network Interface Name"));
        QTest::newRow("1") << 1 << horizontal << int(Qt::DisplayRole) << QVariant(QStringLiteral("IP Address"));
        QTest::newRow("2") << 2 << horizontal << int(Qt::DisplayRole) << QVariant(QStringLiteral("MAC Address"));
        QTest::newRow("3") << 3 << horizontal << int(Qt::DisplayRole) << QVariant(QStringLiteral("Subnet Mask"));
        QTest::newRow("other role") << 0 << horizontal << int(Qt::ToolTipRole) << QVariant(QString());
        QTest::newRow("section 4") << 4 << horizontal << int(Qt::DisplayRole) << QVariant();
        QTest::newRow("section -1") << -1 << horizontal << int(Qt::DisplayRole) << QVariant();
        QTest::newRow("vertical") << 0 << int(Qt::Vertical) << int(Qt::DisplayRole) << QVariant();
    }

    void cells()
    {
        QFETCH(int, section);
        QFETCH(int, orientation);
        QFETCH(int, role);
        QFETCH(QVariant, header);
        const NetworkInterfaceTableModel model;
        QCOMPARE(model.headerData(section, Qt::Orientation(orientation), role), header);
        QCOMPARE(model.roleNames(), (QHash<int, QByteArray>{{Qt::DisplayRole, "display"}}));
    }

    void otherRolesAndColumns()
    {
        QVERIFY(ip(QStringLiteral("link add cvwired0 type veth peer name cvpeer0")));
        QVERIFY(ip(QStringLiteral("addr add 10.13.0.5/24 dev cvwired0")));
        NetworkInterfaceTableModel model;
        model.updateNetworkInterfaces();
        QCOMPARE(model.rowCount(), 1);
        QCOMPARE(model.data(model.index(0, 1), Qt::EditRole), QVariant());
        QCOMPARE(model.data(model.index(0, 4)), QVariant());
        QCOMPARE(model.data(model.index(0, 1)).toString(), QStringLiteral("10.13.0.5"));
    }
};

int main(int argc, char* argv[])
{
    // The interfaces this test lists are the ones it makes in a namespace of
    // its own: nothing of the machine's shows, nothing is changed on it.
    if (unshare(CLONE_NEWNET) != 0) {
        std::perror("unshare(CLONE_NEWNET)");
        return 77;
    }
    QCoreApplication app(argc, argv);
    TestNetworkInterfaceTableModel test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_networkinterfacetablemodel.moc"
