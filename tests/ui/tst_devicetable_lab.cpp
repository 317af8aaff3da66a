// Discovery end to end: the facade scans the private test network, the
// virtual devices answer, and the device table shows them; devices that fall
// silent are shown disconnected only once the engine and the debounce both
// gave up on them.
#include "DeviceTableModel.h"
#include "LabNetwork.h"

#include <QElapsedTimer>
#include <QTest>

#include <map>

class TestDeviceTableLab : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (!LabNetwork::inside())
            QSKIP("needs scripts/lab-network.sh");
        // d4 pretends to be a model Corvane does not support.
        QVERIFY(LabNetwork::control("set d4 model TQ-999"));
    }

    void devicesAppearAndAgeOut()
    {
        DeviceTableModel model;
        // Every status text each device has shown, in order.
        std::map<QString, QStringList> shown;
        connect(&model, &QAbstractItemModel::dataChanged, this, [&](const QModelIndex& from, const QModelIndex& to) {
            if (DeviceTableModel::Status < from.column() || DeviceTableModel::Status > to.column())
                return;
            for (int row = from.row(); row <= to.row(); ++row)
                shown[model.getSortedDeviceId(row)].append(
                    model.data(model.index(row, DeviceTableModel::Status)).toString());
        });
        auto rowOf = [&model](const QString& mac) {
            for (int row = 0; row < model.rowCount(); ++row)
                if (model.getSortedDeviceId(row) == mac)
                    return row;
            return -1;
        };
        auto text = [&](const QString& mac, int column) {
            const int row = rowOf(mac);
            return row < 0 ? QString() : model.data(model.index(row, column)).toString();
        };

        const QString d1 = LabNetwork::deviceMac(10);
        const QString d2 = LabNetwork::deviceMac(11);
        const QString d3 = LabNetwork::deviceMac(12);
        const QString d4 = LabNetwork::deviceMac(13);

        QVERIFY(DeviceFacade::getInstance().startScan(LabNetwork::interfaceMap()));
        QTRY_COMPARE_WITH_TIMEOUT(model.rowCount(), 3, 15000);
        for (const QString& mac : {d1, d2, d3})
            QTRY_COMPARE(text(mac, DeviceTableModel::Status), QStringLiteral("Login required"));
        QCOMPARE(text(d1, DeviceTableModel::Model), QStringLiteral("TQ-730"));
        QCOMPARE(text(d2, DeviceTableModel::Model), QStringLiteral("TQ-360"));
        QCOMPARE(text(d1, DeviceTableModel::IpAddress), QStringLiteral("10.213.0.10"));
        QCOMPARE(text(d3, DeviceTableModel::IpAddress), QStringLiteral("10.213.0.12"));
        QCOMPARE(text(d1, DeviceTableModel::MacAddress), d1);
        QVERIFY(!text(d1, DeviceTableModel::HostName).isEmpty());

        // d1 falls silent for good, d2 for 12 s: long enough for the engine to
        // report it lost, too short for the debounce.
        QVERIFY(LabNetwork::control("fault d1 lndp off"));
        QVERIFY(LabNetwork::control("fault d2 lndp off"));
        QElapsedTimer silence;
        silence.start();
        QVERIFY(QTest::qWaitFor([&] { return silence.elapsed() >= 12000; }, 20000));
        QVERIFY(LabNetwork::control("fault d2 lndp on"));

        QTRY_COMPARE_WITH_TIMEOUT(text(d1, DeviceTableModel::Status), QStringLiteral("Disconnected"), 25000);
        const qint64 lostAfter = silence.elapsed();
        // Its last answer came up to a second before the fault: 17-18 s after
        // that answer is 16-18 s after the fault, give or take a busy machine.
        QVERIFY2(lostAfter >= 15500 && lostAfter <= 19500, qPrintable(QString::number(lostAfter)));

        // Past the moment d2 would have been reported lost had it stayed silent.
        QVERIFY(QTest::qWaitFor([&] { return silence.elapsed() >= 20000; }, 25000));
        QVERIFY2(!shown[d2].contains(QStringLiteral("Disconnected")), qPrintable(shown[d2].join(", ")));
        QCOMPARE(text(d2, DeviceTableModel::Status), QStringLiteral("Login required"));
        QCOMPARE(text(d3, DeviceTableModel::Status), QStringLiteral("Login required"));
        QCOMPARE(rowOf(d4), -1);
        QCOMPARE(model.rowCount(), 3);
    }
};

QTEST_GUILESS_MAIN(TestDeviceTableLab)
#include "tst_devicetable_lab.moc"
