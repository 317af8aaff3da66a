// Discovery to the device table on loopback, where no namespace is needed:
// the facade's announcer on 127.0.17.0/31 and a device played by a responder
// of the same engine on the partner address 127.0.17.1 (the announcer's
// subnet broadcast).
#include "DeviceFacade.h"
#include "DeviceTableModel.h"

#include "LndpPlayedDevice.h"

#include <QTest>

namespace {

QVariantMap interfaceMap(const QString& ip, const QString& mac, const QString& name)
{
    return {{"ipAddress", ip}, {"subnetMask", "255.255.255.254"}, {"macAddress", mac}, {"interfaceName", name}};
}

} // namespace

class TestDeviceTableLoopback : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void deviceReachesTheTableAndComesBackAfterASwitch()
    {
        DeviceFacade& facade = DeviceFacade::getInstance();
        DeviceTableModel model;
        const uint8_t mac[6] = {0x02, 0x17, 0x00, 0x00, 0x00, 0x01};
        LndpPlayedDevice device("127.0.17.1", mac, "Desk");
        QVERIFY(device.ok());
        const QString id = QStringLiteral("02:17:00:00:00:01");
        auto text = [&model](int column) {
            return model.rowCount() == 1 ? model.data(model.index(0, column)).toString() : QString();
        };

        const QVariantMap a = interfaceMap("127.0.17.0", "02:AA:00:00:17:00", "lo");
        QVERIFY(facade.startScan(a));
        QTRY_COMPARE_WITH_TIMEOUT(model.rowCount(), 1, 3000);
        QCOMPARE(model.getSortedDeviceId(0), id);
        QTRY_COMPARE(text(DeviceTableModel::Status), QStringLiteral("Login required"));
        QCOMPARE(text(DeviceTableModel::Model), QStringLiteral("TQ-730"));
        QCOMPARE(text(DeviceTableModel::HostName), QStringLiteral("Desk"));
        QCOMPARE(text(DeviceTableModel::IpAddress), QStringLiteral("127.0.17.1"));
        QCOMPARE(text(DeviceTableModel::MacAddress), id);

        // Another interface for a moment, then back before the device ages
        // out in the engine: its row returns.
        const QVariantMap b = interfaceMap("127.0.17.2", "02:AA:00:00:17:02", "lo2");
        facade.stopScan(b);
        QVERIFY(facade.startScan(b));
        QTRY_COMPARE(model.rowCount(), 0);
        QTest::qWait(1000);
        facade.stopScan(a);
        QVERIFY(facade.startScan(a));
        QTRY_COMPARE_WITH_TIMEOUT(model.rowCount(), 1, 2000);
        QCOMPARE(model.getSortedDeviceId(0), id);
        QTRY_COMPARE(text(DeviceTableModel::Status), QStringLiteral("Login required"));

        facade.stopScan(b);
        QVERIFY(!facade.scanning());
    }
};

QTEST_GUILESS_MAIN(TestDeviceTableLoopback)
#include "tst_devicetable_loopback.moc"
