// Discovery through the facade on loopback, with the real engine: the
// facade's announcer on one address of a /31 pair, a device played by a
// responder service of the same engine on the partner address (the
// announcer's subnet broadcast). Needs no namespace.
#include "DeviceFacade.h"
#include "lndp_api.h"
#include "lndp_packet.h"
#include "LndpListener.h"

#include "DeviceRecord.h"
#include "LndpPlayedDevice.h"
#include "LndpTestPeer.h"
#include "TestTools.h"

#include <QSignalSpy>
#include <QTest>

#include <cstring>
#include <random>

namespace {

constexpr uint16_t kPort = LNDP_SERVICE_PORT;

QVariantMap interfaceMap(const QString& ip, const QString& mask, const QString& mac, const QString& name = "lo")
{
    return {{"ipAddress", ip}, {"subnetMask", mask}, {"macAddress", mac}, {"interfaceName", name}};
}

QVariant parameter(const QString& id, DeviceParameter type)
{
    return recordValue(DeviceFacade::getInstance(), id, type);
}

// The next announcement a peer on the broadcast address hears, as the
// announcer's own address; empty when none arrives in time.
QString announcedFrom(UdpPeer& peer, int timeoutMs)
{
    const std::vector<uint8_t> datagram = peer.receive(timeoutMs);
    if (datagram.size() != 41)
        return QString();
    return QStringLiteral("%1.%2.%3.%4").arg(datagram[8]).arg(datagram[9]).arg(datagram[10]).arg(datagram[11]);
}

void drain(UdpPeer& peer)
{
    while (!peer.receive(0).empty()) { }
}

} // namespace

class TestDeviceFacadeDiscovery : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup()
    {
        DeviceFacade& facade = DeviceFacade::getInstance();
        facade.stopScan(interfaceMap("127.0.0.1", "255.0.0.0", "02:FF:FF:FF:FF:FF"));
        QVERIFY(!facade.scanning());
        QVERIFY(facade.deviceIDs().isEmpty());
    }

    void discoveredDeviceReachesTheRegistry()
    {
        DeviceFacade& facade = DeviceFacade::getInstance();
        const uint8_t mac[6] = {0x02, 0x0D, 0x00, 0x00, 0x00, 0x01};
        LndpPlayedDevice device("127.0.12.1", mac, "Desk");
        QVERIFY(device.ok());
        QSignalSpy ids(&facade, &DeviceFacade::deviceIDsChanged);

        QVERIFY(facade.startScan(interfaceMap("127.0.12.0", "255.255.255.254", "02:AA:00:00:00:01")));
        const QString id = "02:0D:00:00:00:01";
        QTRY_VERIFY_WITH_TIMEOUT(facade.deviceIDs().contains(id), 3000);
        QCOMPARE(ids.size(), 1);
        QCOMPARE(ids.first().first().value<std::list<DeviceActivity>>(),
                 (std::list<DeviceActivity>{{DeviceActivity::Added, id}}));
        QCOMPARE(parameter(id, DeviceParameter::IpAddress).toString(), QStringLiteral("127.0.12.1"));
        QCOMPARE(parameter(id, DeviceParameter::ModelName).toString(), QStringLiteral("TQ-730"));
        QCOMPARE(parameter(id, DeviceParameter::HostName).toString(), QStringLiteral("Desk"));
        QTRY_COMPARE(parameter(id, DeviceParameter::ConnectionStatus).toInt(), 1);
        QCOMPARE(facade.deviceIDs(), QStringList{id});
    }

    // Switching to another interface and back within the devices' age: the
    // engine still holds them on the first interface, and they must come
    // back to the registry the facade emptied on the switch.
    void deviceComesBackAfterSwitchingAwayAndBack()
    {
        DeviceFacade& facade = DeviceFacade::getInstance();
        const uint8_t mac[6] = {0x02, 0x0D, 0x00, 0x00, 0x00, 0x02};
        LndpPlayedDevice device("127.0.12.3", mac, "Stage");
        QVERIFY(device.ok());
        const QVariantMap a = interfaceMap("127.0.12.2", "255.255.255.254", "02:AA:00:00:00:02");
        const QVariantMap b = interfaceMap("127.0.12.4", "255.255.255.254", "02:AA:00:00:00:03", "lo2");
        const QString id = "02:0D:00:00:00:02";

        QVERIFY(facade.startScan(a));
        QTRY_VERIFY_WITH_TIMEOUT(facade.deviceIDs().contains(id), 3000);

        QSignalSpy ids(&facade, &DeviceFacade::deviceIDsChanged);
        facade.stopScan(b);
        QVERIFY(facade.deviceIDs().isEmpty());
        QVERIFY(facade.startScan(b));
        QTest::qWait(1000); // the operator looks at the other interface for a moment

        facade.stopScan(a);
        QVERIFY(facade.startScan(a));
        QTRY_VERIFY_WITH_TIMEOUT(facade.deviceIDs().contains(id), 2000);
        QCOMPARE(ids.size(), 2);
        QCOMPARE(ids.last().first().value<std::list<DeviceActivity>>(),
                 (std::list<DeviceActivity>{{DeviceActivity::Added, id}}));
        QTRY_COMPARE(parameter(id, DeviceParameter::ConnectionStatus).toInt(), 1);
    }

    // The same adapter under a new address or mask (a renewed lease) is a
    // new interface: the announcer moves there.
    void sameAdapterWithNewAddressMovesTheAnnouncer_data()
    {
        QTest::addColumn<QString>("newAddress");
        QTest::addColumn<QString>("newMask");
        QTest::addColumn<QString>("newBroadcast");
        QTest::newRow("new address") << "127.0.12.8"
                                     << "255.255.255.254"
                                     << "127.0.12.9";
        QTest::newRow("new mask") << "127.0.12.6"
                                  << "255.255.255.240"
                                  << "127.0.12.15";
    }

    void sameAdapterWithNewAddressMovesTheAnnouncer()
    {
        QFETCH(QString, newAddress);
        QFETCH(QString, newMask);
        QFETCH(QString, newBroadcast);
        DeviceFacade& facade = DeviceFacade::getInstance();
        UdpPeer before("127.0.12.7", kPort); // broadcast of 127.0.12.6/31
        UdpPeer after(newBroadcast.toLatin1().constData(), kPort);
        QVERIFY(before.ok());
        QVERIFY(after.ok());

        QVERIFY(facade.startScan(interfaceMap("127.0.12.6", "255.255.255.254", "02:AA:00:00:00:04")));
        QCOMPARE(announcedFrom(before, 3000), QStringLiteral("127.0.12.6"));
        QSignalSpy scanning(&facade, &DeviceFacade::scanningChanged);

        QVERIFY(facade.startScan(interfaceMap(newAddress, newMask, "02:AA:00:00:00:04")));
        QVERIFY(facade.scanning());
        QCOMPARE(scanning.size(), 0);
        QCOMPARE(announcedFrom(after, 3000), newAddress);
        // The old announcer is gone: once what it sent before is read, the
        // old broadcast address hears nothing while the new one hears the
        // next announcement.
        drain(before);
        QCOMPARE(announcedFrom(after, 3000), newAddress);
        QVERIFY(before.receive(0).empty());
    }

    // A restart that fails has stopped the scan before it: the facade says so.
    void failedRestartEndsTheScan()
    {
        DeviceFacade& facade = DeviceFacade::getInstance();
        QVERIFY(facade.startScan(interfaceMap("127.0.12.10", "255.255.255.254", "02:AA:00:00:00:05")));
        QVERIFY(facade.scanning());
        // Another announcer of the service already holds the next address.
        const _T_LNDP_NETWORK_SETUP_PROPERTY prop = lndpCompetingAnnouncer("127.0.12.12", kPort);
        int other = -1;
        QCOMPARE(lndp2_setup(&other, &prop), LNDP_OK);

        QSignalSpy scanning(&facade, &DeviceFacade::scanningChanged);
        QVERIFY(!facade.startScan(interfaceMap("127.0.12.12", "255.255.255.254", "02:AA:00:00:00:06")));
        QVERIFY(!facade.scanning());
        QCOMPARE(scanning.size(), 1);
        QCOMPARE(lndp2_clear(other), LNDP_OK);

        // Starting again works and is told again.
        QVERIFY(facade.startScan(interfaceMap("127.0.12.12", "255.255.255.254", "02:AA:00:00:00:06")));
        QVERIFY(facade.scanning());
        QCOMPARE(scanning.size(), 2);
    }

    // 100,000 answers from one address, each with a MAC address of its own:
    // devices are listed while the table (32, the window's) has room, and
    // nothing grows with the datagrams. Last: the engine keeps the hosts.
    void madeUpMacsFromOneAddressHoldTheTable()
    {
        DeviceFacade& facade = DeviceFacade::getInstance();
        UdpPeer sender("127.0.12.15", 0);
        uint32_t hosts = 0;
        // The hosts of the cases before have aged out of the engine's table.
        QTRY_COMPARE_WITH_TIMEOUT((lndp_getNumOfHost(&hosts), hosts), 0u, 15000);
        QVERIFY(facade.startScan(interfaceMap("127.0.12.14", "255.255.255.254", "02:AA:00:00:00:07")));
        const auto answer = [](const char* name) {
            std::vector<uint8_t> exInfo{0, 6, 'T', 'Q', '-', '7', '3', '0', uint8_t(std::strlen(name))};
            exInfo.insert(exInfo.end(), name, name + std::strlen(name));
            return lndpDatagram(LNDP_ROLE_RESPONDER, "127.0.12.15", "_zel-scp", exInfo);
        };
        // The first device (02:00:00:00:00:01) renames itself after each
        // round: once the new name is listed, the round has been read.
        const auto roundRead = [&](int round) {
            const QString name = QString::number(round);
            for (int tries = 0; tries < 10; ++tries) {
                sender.sendTo(answer(qPrintable(name)), "127.0.12.14", kPort);
                if (QTest::qWaitFor(
                        [&] { return parameter("02:00:00:00:00:01", DeviceParameter::HostName).toString() == name; },
                        1000))
                    return true;
            }
            return false;
        };
        std::vector<uint8_t> made = answer("Made up");
        std::mt19937 random(7);
        qint64 before = 0;
        for (int round = 0; round <= 400; ++round) {
            QVERIFY(roundRead(round));
            QCOMPARE(int(facade.deviceIDs().size()), round == 0 ? 1 : DeviceFacade::kDefaultMaxDevices);
            QCOMPARE(lndp_getNumOfHost(&hosts), LNDP_OK);
            QCOMPARE(hosts, uint32_t(round == 0 ? 1 : DeviceFacade::kDefaultMaxDevices));
            before = round == 1 ? residentKiB() : before;
            for (int i = 0; i < 250 && round < 400; ++i) {
                for (int b = 25; b < 30; ++b)
                    made[size_t(b)] = uint8_t(random());
                sender.sendTo(made, "127.0.12.14", kPort);
            }
        }
        qInfo("hostile discovery row 100,000 made-up MACs from one address: hosts %u (capacity %d), devices %d, "
              "resident memory %+lld KiB (flat: < 4096)",
              hosts, DeviceFacade::kDefaultMaxDevices, int(facade.deviceIDs().size()),
              static_cast<long long>(residentKiB() - before));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) // they keep freed memory
        QVERIFY2(residentKiB() - before < 4096, qPrintable(QString::number(residentKiB() - before)));
#endif
    }
};

QTEST_GUILESS_MAIN(TestDeviceFacadeDiscovery)
#include "tst_devicefacade_discovery.moc"
