// The discovery controller: the host capacity it starts the engine with,
// host records to device identities, the debounced found and lost signals,
// scans on loopback (127.0.16.x), a device found through a probe, and what
// counts as the interface being scanned.
#include "lndp_api.h"
#include "lndp_manage.h"
#include "LndpController.h"

#include "LndpTestPeer.h"
#include "StdoutCapture.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr uint16_t kPort = LNDP_SERVICE_PORT;

QByteArray entry(const QByteArray& text)
{
    return char(text.size()) + text;
}

// A record as the engine hands it over.
_LNDP_HOST_INFO hostRecord(const QByteArray& exInfo, const QByteArray& mac, uint8_t flags = 0x80, uint8_t family = 4)
{
    _LNDP_HOST_INFO host = {};
    host.senderRole = LNDP_ROLE_RESPONDER;
    host.rawFlags = flags;
    host.rawAddrFamily = family;
    host.hostAddr = lndpV4("10.213.0.10");
    if (family == 6) {
        host.hostAddr.family = NETC_AF_INET6;
        std::memset(host.hostAddr.addr, 0, sizeof(host.hostAddr.addr));
        host.hostAddr.addr[0] = 0xFE;
        host.hostAddr.addr[1] = 0x80;
        host.hostAddr.addr[15] = 1;
    }
    std::memcpy(host.macAddr, mac.constData(), 6);
    host.exInfoLen = static_cast<uint16_t>(exInfo.size());
    std::memcpy(host.exInfo, exInfo.constData(), static_cast<size_t>(exInfo.size()));
    return host;
}

NI_INFO_T interface(uint32_t ip, uint32_t mask, uint8_t macLast, const char* name = "lo")
{
    NI_INFO_T ni;
    ni.ipAddress = ip;
    ni.subnetMask = mask;
    const uint8_t mac[6] = {0x02, 0x16, 0x00, 0x00, 0x00, macLast};
    std::memcpy(ni.macAddress, mac, sizeof(mac));
    std::strncpy(ni.interfaceName, name, sizeof(ni.interfaceName) - 1);
    return ni;
}

constexpr uint32_t ip4(uint32_t a, uint32_t b, uint32_t c, uint32_t d)
{
    return (a << 24) | (b << 16) | (c << 8) | d;
}
constexpr uint32_t kSlash31 = 0xFFFFFFFEu;
constexpr uint32_t kHostCapacity = 256; // as the command-line tool asks

} // namespace

class TestLndpController : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QCOMPARE(m_controller.initialize(kHostCapacity), 0); }
    void cleanupTestCase() { m_controller.finalize(); }
    void cleanup() { m_controller.stopScanDevice(); }

    void hostCapacityReachesTheEngine()
    {
        QCOMPARE(LNDP::gl_manage.hostCapacity(), kHostCapacity);
        // Refused before anything starts.
        LndpController other;
        QCOMPARE(other.initialize(0), -1);
        QCOMPARE(other.initialize(LNDP_HOSTS_MAX + 1), -1);
    }

    void hostRecordMapping_data()
    {
        QTest::addColumn<QByteArray>("exInfo");
        QTest::addColumn<QByteArray>("mac");
        QTest::addColumn<int>("flags");
        QTest::addColumn<int>("family");
        QTest::addColumn<QStringList>("found"); // empty: not a supported device
        QTest::addColumn<QString>("unsupported"); // the model told for a device of another model
        const QByteArray desk = entry("") + entry("TQ-730") + entry("Desk");
        const QByteArray mac = QByteArray::fromHex("021a2b3c4d5e");
        QTest::newRow("supported device")
            << desk << mac << 0x80 << 4 << QStringList{"10.213.0.10", "TQ-730", "Desk", "02:1A:2B:3C:4D:5E"}
            << QString();
        QTest::newRow("other supported model, UTF-8 name")
            << entry("x") + entry("TQ-360") + entry("B\xC3\xBChne") << QByteArray::fromHex("00000000000a") << 0x80 << 4
            << QStringList{"10.213.0.10", "TQ-360", QStringLiteral("B\u00FChne"), "00:00:00:00:00:0A"} << QString();
        QTest::newRow("unknown model") << entry("") + entry("TQ-731") + entry("Desk") << mac << 0x80 << 4
                                       << QStringList() << QStringLiteral("TQ-731");
        QTest::newRow("status set") << desk << mac << 0x81 << 4 << QStringList() << QString();
        QTest::newRow("announcer") << desk << mac << 0x00 << 4 << QStringList() << QString();
        QTest::newRow("no name") << entry("") + entry("TQ-360") << mac << 0x80 << 4 << QStringList() << QString();
        QTest::newRow("IPv6 address") << desk << mac << 0x80 << 6 << QStringList() << QString();
    }

    // Reports reach foundDevice through the collection; records that are no
    // supported device are dropped without a signal.
    void hostRecordMapping()
    {
        QFETCH(QByteArray, exInfo);
        QFETCH(QByteArray, mac);
        QFETCH(int, flags);
        QFETCH(int, family);
        QFETCH(QStringList, found);
        QFETCH(QString, unsupported);
        QSignalSpy spy(&m_controller, &LndpController::foundDevice);
        QSignalSpy other(&m_controller, &LndpController::unsupportedDevice);
        const _LNDP_HOST_INFO host = hostRecord(exInfo, mac, static_cast<uint8_t>(flags), static_cast<uint8_t>(family));
        QCOMPARE(m_controller.onLNDPCallback(&host, 1), found.isEmpty() ? 0x80000000u : 0u);
        // A known device reported after it: once its signal is there, the
        // one before would have been too.
        const _LNDP_HOST_INFO marker
            = hostRecord(entry("") + entry("TQ-730") + entry("Marker"), QByteArray::fromHex("02ffffffff01"));
        QCOMPARE(m_controller.onLNDPCallback(&marker, 1), 0u);
        QTRY_COMPARE(spy.size(), found.isEmpty() ? 1 : 2);
        if (!found.isEmpty()) {
            QStringList got;
            for (const QVariant& v : spy.first())
                got.append(v.toString());
            QCOMPARE(got, found);
        }
        QCOMPARE(spy.last().at(2).toString(), QStringLiteral("Marker"));
        QCOMPARE(other.size(), unsupported.isEmpty() ? 0 : 1);
        if (!unsupported.isEmpty())
            QCOMPARE(other.first(), (QList<QVariant>{QStringLiteral("10.213.0.10"), unsupported}));
    }

    // The engine's loss is held back by the collection before lostDevice.
    void lossIsDebounced()
    {
        QSignalSpy found(&m_controller, &LndpController::foundDevice);
        QSignalSpy lost(&m_controller, &LndpController::lostDevice);
        const _LNDP_HOST_INFO host
            = hostRecord(entry("") + entry("TQ-730") + entry("Gone"), QByteArray::fromHex("02000000aa01"));
        QCOMPARE(m_controller.onLNDPCallback(&host, 1), 0u);
        QTRY_COMPARE(found.size(), 1);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(m_controller.onLNDPCallback(&host, 0), 0u);
        QTRY_COMPARE_WITH_TIMEOUT(lost.size(), 1, 13000);
        QVERIFY(clock.elapsed() >= 10000);
        QCOMPARE(lost.first().first().toString(), QStringLiteral("02:00:00:00:AA:01"));
        QCOMPARE(found.size(), 1);
    }

    void scanStartsAnnouncing()
    {
        UdpPeer broadcast("127.0.16.1", kPort);
        QVERIFY(broadcast.ok());
        const NI_INFO_T ni = interface(ip4(127, 0, 16, 0), kSlash31, 1);
        QVERIFY(m_controller.startScanDevice(ni));
        QVERIFY(m_controller.isScanning());
        QVERIFY(m_controller.isScanningNetworkInterface(ni));
        std::vector<uint8_t> expected = lndpDatagram(LNDP_ROLE_ANNOUNCER, "127.0.16.0", "_zel-scp");
        std::memcpy(expected.data() + 24, ni.macAddress, 6);
        QCOMPARE(broadcast.receive(3000), expected);
        // The same interface again: nothing to do.
        QCOMPARE(stdoutOf([&] { QVERIFY(m_controller.startScanDevice(ni)); }), QString());
        QVERIFY(m_controller.isScanning());

        QCOMPARE(m_controller.stopScanDevice(), 0);
        QVERIFY(!m_controller.isScanning());
        QVERIFY(!m_controller.isScanningNetworkInterface(ni));
    }

    // A device that broadcasts do not reach hears the scan's announcement by
    // unicast, and its answer is taken as any other.
    void probedDeviceIsFound()
    {
        QVERIFY(!m_controller.probeAddress(ip4(127, 0, 16, 12))); // no scan
        UdpPeer device("127.0.16.12", kPort);
        QVERIFY(device.ok());
        const NI_INFO_T ni = interface(ip4(127, 0, 16, 10), kSlash31, 10); // broadcast 127.0.16.11
        QVERIFY(m_controller.startScanDevice(ni));
        QVERIFY(!m_controller.probeAddress(ip4(224, 0, 0, 1)));
        QVERIFY(m_controller.probeAddress(ip4(127, 0, 16, 12)));
        std::vector<uint8_t> query = lndpDatagram(LNDP_ROLE_ANNOUNCER, "127.0.16.10", "_zel-scp");
        std::memcpy(query.data() + 24, ni.macAddress, 6);
        QCOMPARE(device.receive(3000), query);

        QSignalSpy found(&m_controller, &LndpController::foundDevice);
        const QByteArray exInfo = entry("") + entry("TQ-730") + entry("Probed");
        QVERIFY(device.sendTo(lndpDatagram(LNDP_ROLE_RESPONDER, "127.0.16.12", "_zel-scp",
                                           std::vector<uint8_t>(exInfo.cbegin(), exInfo.cend())),
                              "127.0.16.10", kPort));
        QTRY_COMPARE(found.size(), 1);
        QCOMPARE(found.first().at(0).toString(), QStringLiteral("127.0.16.12"));
        QCOMPARE(found.first().at(2).toString(), QStringLiteral("Probed"));
    }

    void scanWithoutAddressIsRefused()
    {
        QVERIFY(!m_controller.startScanDevice(interface(0, kSlash31, 2)));
        QVERIFY(!m_controller.isScanning());
        // A running scan is left as it was.
        const NI_INFO_T ni = interface(ip4(127, 0, 16, 2), kSlash31, 2);
        QVERIFY(m_controller.startScanDevice(ni));
        QVERIFY(!m_controller.startScanDevice(interface(0, kSlash31, 3)));
        QVERIFY(m_controller.isScanning());
        QVERIFY(m_controller.isScanningNetworkInterface(ni));
    }

    void refusedSetupPrintsItsLine()
    {
        // Another announcer of the service already holds the address.
        const _T_LNDP_NETWORK_SETUP_PROPERTY prop = lndpCompetingAnnouncer("127.0.16.4", kPort);
        int other = -1;
        QCOMPARE(lndp2_setup(&other, &prop), LNDP_OK);
        bool started = true;
        QCOMPARE(stdoutOf([&] { started = m_controller.startScanDevice(interface(ip4(127, 0, 16, 4), kSlash31, 4)); }),
                 QStringLiteral(" lndp_setup Error 80000005\n"));
        QVERIFY(!started);
        QVERIFY(!m_controller.isScanning());
        QCOMPARE(lndp2_clear(other), LNDP_OK);
        QVERIFY(m_controller.startScanDevice(interface(ip4(127, 0, 16, 4), kSlash31, 4)));
    }

    void whatCountsAsTheScannedInterface_data()
    {
        QTest::addColumn<quint32>("ip");
        QTest::addColumn<quint32>("mask");
        QTest::addColumn<int>("macLast");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("same");
        QTest::newRow("same") << ip4(127, 0, 16, 6) << kSlash31 << 6 << "lo" << true;
        QTest::newRow("renewed address") << ip4(127, 0, 16, 8) << kSlash31 << 6 << "lo" << false;
        QTest::newRow("new mask") << ip4(127, 0, 16, 6) << 0xFFFFFFF0u << 6 << "lo" << false;
        QTest::newRow("other adapter") << ip4(127, 0, 16, 6) << kSlash31 << 7 << "lo" << false;
        QTest::newRow("VLAN on the same adapter") << ip4(127, 0, 16, 6) << kSlash31 << 6 << "lo.10" << false;
    }

    void whatCountsAsTheScannedInterface()
    {
        QFETCH(quint32, ip);
        QFETCH(quint32, mask);
        QFETCH(int, macLast);
        QFETCH(QString, name);
        QFETCH(bool, same);
        QVERIFY(m_controller.startScanDevice(interface(ip4(127, 0, 16, 6), kSlash31, 6)));
        const QByteArray nameBytes = name.toUtf8();
        const NI_INFO_T ni = interface(ip, mask, static_cast<uint8_t>(macLast), nameBytes.constData());
        QCOMPARE(m_controller.isScanningNetworkInterface(ni), same);
        // Starting there runs the scan on it.
        QVERIFY(m_controller.startScanDevice(ni));
        QVERIFY(m_controller.isScanning());
        QVERIFY(m_controller.isScanningNetworkInterface(ni));
    }

private:
    LndpController m_controller;
};

QTEST_GUILESS_MAIN(TestLndpController)
#include "tst_lndpcontroller.moc"
