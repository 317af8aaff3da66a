#include "DeviceFacade.h"
#include "DeviceRecord.h"
#include "LndpController.h"
#include "PushSessionService.h"

#include <QSignalSpy>
#include <QTest>

namespace {

// Stands in for the push-session side, which lives above the device model.
class RecordingPushSessions : public PushSessionService
{
public:
    int createSession(const QString&, int) override { return 0; }
    int destroySession(const QString& deviceId, int port) override
    {
        destroyed.append(QStringLiteral("%1:%2").arg(deviceId).arg(port));
        return 0;
    }
    QStringList destroyed;
};

std::list<DeviceActivity> activitiesOf(const QList<QVariant>& arguments)
{
    return arguments.first().value<std::list<DeviceActivity>>();
}

QVariant parameter(const QString& id, DeviceParameter type)
{
    return recordValue(DeviceFacade::getInstance(), id, type);
}

QString statusText(const QString& id)
{
    return parameter(id, DeviceParameter::AllDeviceStatus).toMap().value("statusMessage").toString();
}

// A loopback "interface": the announcer's subnet broadcast stays on loopback.
QVariantMap loopbackInterface(const QString& mac)
{
    return {
        {"ipAddress", "127.0.0.42"}, {"subnetMask", "255.255.255.254"}, {"macAddress", mac}, {"interfaceName", "lo"}};
}

} // namespace

class TestDeviceFacade : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { DeviceFacade::getInstance().setPushSessionService(&m_pushSessions); }

    void cleanup()
    {
        DeviceFacade& facade = DeviceFacade::getInstance();
        facade.removeAllDevices();
        m_pushSessions.destroyed.clear();
    }

    // A full table takes a newcomer in place of the device discovery lost
    // longest ago, never of one it sees, one logged in to or one whose push
    // channel is open: hosts that age out and others that take their place
    // leave it as large as it was. It says so once.
    void fullTableTakesNewcomersInPlaceOfLostDevices()
    {
        DeviceFacade& facade = DeviceFacade::getInstance();
        QSignalSpy full(&facade, &DeviceFacade::deviceTableFull);
        const int capacity = DeviceFacade::kDefaultMaxDevices;
        const auto id = [](int generation, int i) { return QString::asprintf("02:00:00:00:%02X:%02X", generation, i); };
        for (int i = 0; i < capacity; ++i)
            facade.activateDevice("10.0.0.5", "TQ-730", "Old", id(1, i));
        facade.setDeviceParameter(id(1, 0), DeviceParameter::LoggedInStatus, true, DeviceFindPolicy::ById);
        facade.onConnectedDeviceNotification(id(1, 1), 60010);
        for (int i = 0; i < capacity; ++i)
            facade.inactivateDevice(id(1, i));
        for (int i = 0; i < capacity; ++i) {
            facade.activateDevice("10.0.0.6", "TQ-730", "New", id(2, i));
            QCOMPARE(int(facade.deviceIDs().size()), capacity);
        }
        QCOMPARE(full.size(), 1);
        QVERIFY(facade.deviceIDs().contains(id(1, 0)) && facade.deviceIDs().contains(id(1, 1)));
        QVERIFY(facade.deviceIDs().contains(id(2, capacity - 3)) && !facade.deviceIDs().contains(id(2, capacity - 2)));
    }

    void discoveryReportsAddAndRefresh()
    {
        DeviceFacade& facade = DeviceFacade::getInstance();
        QSignalSpy ids(&facade, &DeviceFacade::deviceIDsChanged);

        facade.activateDevice("10.0.0.5", "TQ-730", "Desk", "02:00:00:00:00:05");
        QCOMPARE(ids.size(), 1);
        QCOMPARE(activitiesOf(ids.first()), (std::list<DeviceActivity>{{DeviceActivity::Added, "02:00:00:00:00:05"}}));
        QCOMPARE(facade.deviceIDs(), QStringList{"02:00:00:00:00:05"});
        QCOMPARE(parameter("02:00:00:00:00:05", DeviceParameter::ConnectionStatus).toInt(), 1);
        QCOMPARE(statusText("02:00:00:00:00:05"), QStringLiteral("Login required"));

        std::shared_ptr<DeviceData> record;
        QVERIFY(facade.getDeviceData("02:00:00:00:00:05", record));
        QSignalSpy notices(record.get(), &DeviceData::dataChanged);
        facade.activateDevice("10.0.0.6", "TQ-360", "Desk 2", "02:00:00:00:00:05");
        QCOMPARE(ids.size(), 1);
        QCOMPARE(parameter("02:00:00:00:00:05", DeviceParameter::IpAddress).toString(), QStringLiteral("10.0.0.6"));
        QCOMPARE(parameter("02:00:00:00:00:05", DeviceParameter::HostName).toString(), QStringLiteral("Desk 2"));
        // 24 re-announced parameters, then the connection status once more.
        QCOMPARE(notices.size(), 25);
        QCOMPARE(notices.last().at(1).value<DeviceParameter>(), DeviceParameter::ConnectionStatus);
    }

    // Also when another record claims the device's address: channel news
    // go by device.
    void pushChannelOutranksDiscovery()
    {
        DeviceFacade& facade = DeviceFacade::getInstance();
        const QString id = "02:00:00:00:00:07";
        const QString decoy = "00:00:00:00:00:01";
        facade.activateDevice("10.0.0.7", "TQ-730", "Decoy", decoy);
        facade.activateDevice("10.0.0.7", "TQ-730", "Hall", id);
        QCOMPARE(facade.devicesSeenAt("10.0.0.7"), (QStringList{decoy, id}));
        QCOMPARE(statusText(decoy), QStringLiteral("Address shared"));

        Q_EMIT m_pushSessions.connected(id, 60010); // queued to the facade
        QTRY_COMPARE(parameter(id, DeviceParameter::ConnectionStatus).toInt(), 3);
        QCOMPARE(parameter(decoy, DeviceParameter::ConnectionStatus).toInt(), 1);
        QVERIFY(facade.isConnected(id));
        facade.activateDevice("10.0.0.7", "TQ-730", "Hall", id);
        QCOMPARE(parameter(id, DeviceParameter::ConnectionStatus).toInt(), 3);
        facade.inactivateDevice(id);
        QCOMPARE(parameter(id, DeviceParameter::ConnectionStatus).toInt(), 3);

        Q_EMIT m_pushSessions.disconnected(id, 60010);
        QTRY_COMPARE(parameter(id, DeviceParameter::ConnectionStatus).toInt(), 0);
        QCOMPARE(statusText(id), QStringLiteral("Disconnected"));
        facade.activateDevice("10.0.0.7", "TQ-730", "Hall", id);
        QCOMPARE(parameter(id, DeviceParameter::ConnectionStatus).toInt(), 1);
        facade.inactivateDevice(id);
        QCOMPARE(parameter(id, DeviceParameter::ConnectionStatus).toInt(), 0);
        QCOMPARE(facade.deviceIDs(), (QStringList{decoy, id})); // a lost device stays listed
        QCOMPARE(facade.devicesSeenAt("10.0.0.7"), QStringList{decoy});
        QCOMPARE(statusText(decoy), QStringLiteral("Login required"));
    }

    void removingAllDevicesClosesTheirSessions()
    {
        DeviceFacade& facade = DeviceFacade::getInstance();
        facade.activateDevice("10.0.0.9", "TQ-730", "B", "02:00:00:00:00:0B");
        facade.activateDevice("10.0.0.8", "TQ-730", "A", "02:00:00:00:00:0A");
        QSignalSpy ids(&facade, &DeviceFacade::deviceIDsChanged);
        facade.removeAllDevices();
        QCOMPARE(ids.size(), 1);
        QCOMPARE(activitiesOf(ids.first()),
                 (std::list<DeviceActivity>{{DeviceActivity::Removed, "02:00:00:00:00:0B"},
                                            {DeviceActivity::Removed, "02:00:00:00:00:0A"}}));
        QCOMPARE(m_pushSessions.destroyed, (QStringList{"02:00:00:00:00:0B:60010", "02:00:00:00:00:0A:60010"}));
        QVERIFY(facade.deviceIDs().isEmpty());
        facade.removeAllDevices();
        QCOMPARE(ids.size(), 1);
    }

    void parameterAccessByPolicy()
    {
        DeviceFacade& facade = DeviceFacade::getInstance();
        facade.activateDevice("10.0.0.3", "TQ-730", "C", "02:00:00:00:00:0C");
        QVERIFY(facade.setDeviceParameter("10.0.0.3", DeviceParameter::Version, "1.2", DeviceFindPolicy::ByIpAddress));
        QVariant value = "untouched";
        QVERIFY(
            facade.getDeviceParameter("02:00:00:00:00:0C", DeviceParameter::Version, value, DeviceFindPolicy::ById));
        QCOMPARE(value.toString(), QStringLiteral("1.2"));
        QVERIFY(!facade.getDeviceParameter("02:00:00:00:00:0C", DeviceParameter::Version, value,
                                           static_cast<DeviceFindPolicy>(2)));
        QVERIFY(!facade.setDeviceParameter("10.0.0.4", DeviceParameter::Version, "x", DeviceFindPolicy::ByIpAddress));
        QVERIFY(
            !facade.getDeviceParameter("02:00:00:00:00:0D", DeviceParameter::Version, value, DeviceFindPolicy::ById));
        QCOMPARE(value.toString(), QStringLiteral("1.2"));
    }

    void interfaceMapConversion_data()
    {
        QTest::addColumn<QVariantMap>("map");
        QTest::addColumn<bool>("ok");
        const QVariantMap good{{"ipAddress", "192.168.0.10"},
                               {"subnetMask", "255.255.255.0"},
                               {"macAddress", "02:1a:2b:3c:4d:5e"},
                               {"interfaceName", "eth0"}};
        auto with = [&good](const QString& key, const QVariant& value) {
            QVariantMap map = good;
            map.insert(key, value);
            return map;
        };
        QTest::newRow("good") << good << true;
        QTest::newRow("short address") << with("ipAddress", "1.2.3") << false;
        QTest::newRow("long address") << with("ipAddress", "1.2.3.4.5") << false;
        QTest::newRow("letters") << with("ipAddress", "1.2.x.4") << false;
        QTest::newRow("empty piece") << with("ipAddress", "1..2.3") << false;
        QTest::newRow("octet above 255") << with("ipAddress", "192.168.1.300") << false;
        QTest::newRow("bad mask") << with("subnetMask", "255.255.0") << false;
        QTest::newRow("dashed mac") << with("macAddress", "02-1A-2B-3C-4D-5E") << false;
        QTest::newRow("no name") << with("interfaceName", "") << false;
        QTest::newRow("name too long") << with("interfaceName", QString(256, 'n')) << false;
        QTest::newRow("longest name") << with("interfaceName", QString(255, 'n')) << true;
        QVariantMap missing = good;
        missing.remove("macAddress");
        QTest::newRow("missing mac") << missing << false;
    }
    void interfaceMapConversion()
    {
        QFETCH(QVariantMap, map);
        QFETCH(bool, ok);
        NI_INFO_T info;
        QCOMPARE(DeviceFacade::convertNetworkInterfaceInfo(map, info), ok);
        if (ok && map.value("ipAddress") == "192.168.0.10") {
            QCOMPARE(info.ipAddress, 0xC0A8000Au);
            QCOMPARE(info.subnetMask, 0xFFFFFF00u);
            QCOMPARE(info.macAddress[5], uint8_t(0x5E));
        }
    }

    void ownFacadeDoesNotScanBeforeInitialize()
    {
        DeviceFacade own;
        QSignalSpy scanning(&own, &DeviceFacade::scanningChanged);
        QVERIFY(!own.startScan(loopbackInterface("02:00:00:00:00:01")));
        QVERIFY(!own.scanning());
        QCOMPARE(scanning.size(), 0);
        // The registry works without discovery.
        own.activateDevice("10.0.0.6", "TQ-730", "Hall", "02:00:00:00:00:06");
        QCOMPARE(own.deviceIDs(), QStringList{"02:00:00:00:00:06"});
    }

    void scanStartAndStop()
    {
        DeviceFacade& facade = DeviceFacade::getInstance();
        QSignalSpy scanning(&facade, &DeviceFacade::scanningChanged);
        QVERIFY(!facade.startScan({{"ipAddress", "127.0.0.42"}}));
        QVariantMap noAddress = loopbackInterface("02:00:00:00:00:99");
        noAddress.insert("ipAddress", "0.0.0.0");
        QVERIFY(!facade.startScan(noAddress));
        QCOMPARE(scanning.size(), 0);

        const QVariantMap lab = loopbackInterface("02:00:00:00:00:01");
        QVERIFY(facade.startScan(lab));
        QVERIFY(facade.scanning());
        QCOMPARE(scanning.size(), 1);
        QVERIFY(facade.startScan(lab));
        QCOMPARE(scanning.size(), 1);

        facade.activateDevice("10.0.0.5", "TQ-730", "Desk", "02:00:00:00:00:05");
        // Restarting on the same interface keeps the devices.
        facade.stopScan(lab);
        QVERIFY(!facade.scanning());
        QCOMPARE(scanning.size(), 2);
        QCOMPARE(facade.deviceIDs().size(), 1);

        QVERIFY(facade.startScan(lab));
        QCOMPARE(scanning.size(), 3);
        // Switching to another interface empties the list.
        QSignalSpy ids(&facade, &DeviceFacade::deviceIDsChanged);
        facade.stopScan(loopbackInterface("02:00:00:00:00:02"));
        QCOMPARE(ids.size(), 1);
        QVERIFY(facade.deviceIDs().isEmpty());
        QCOMPARE(scanning.size(), 4);
        facade.stopScan(loopbackInterface("02:00:00:00:00:02"));
        QCOMPARE(scanning.size(), 4);
    }

private:
    RecordingPushSessions m_pushSessions;
};

QTEST_GUILESS_MAIN(TestDeviceFacade)
#include "tst_devicefacade.moc"
