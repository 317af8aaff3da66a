// The device list for the views on the process-wide facade with its real
// discovery engine, announcing only on loopback /31 pairs of its own: a new
// scan stops the running one first (so switching interfaces empties the
// list and a restart on the same interface keeps it), stopScan leaves a scan
// running, and every front shares the facade's view.

#include "DeviceFacade.h"
#include "KxDeviceList.h"

#include <QSignalSpy>
#include <QTest>

namespace {

QVariantMap loopbackInterface(const QString& address, const QString& mac)
{
    return {{"interfaceName", "lo"}, {"ipAddress", address}, {"subnetMask", "255.255.255.254"}, {"macAddress", mac}};
}

const QVariantMap kFirst = loopbackInterface("127.0.137.0", "02:AA:00:00:89:01");
const QVariantMap kSecond = loopbackInterface("127.0.137.2", "02:AA:00:00:89:02");
// Never scanned: stopping with it empties the list.
const QVariantMap kElsewhere = loopbackInterface("127.0.137.4", "02:AA:00:00:89:03");

constexpr char kDeviceId[] = "02:00:7F:00:89:01";

DeviceFacade& facade()
{
    return DeviceFacade::getInstance();
}

} // namespace

class TestKxDeviceList : public QObject
{
    Q_OBJECT

private:
    // What the facade announced, in order, with its scanning flag at the time.
    QStringList m_facadeEvents;

private Q_SLOTS:
    void initTestCase()
    {
        connect(&facade(), &DeviceFacade::deviceIDsChanged, this, [this](const std::list<DeviceActivity>& changes) {
            for (const DeviceActivity& change : changes)
                m_facadeEvents << QStringLiteral("ids %1 %2").arg(change.kind).arg(change.deviceId);
        });
        connect(&facade(), &DeviceFacade::scanningChanged, this,
                [this] { m_facadeEvents << QStringLiteral("scanning %1").arg(facade().scanning()); });
    }

    void init()
    {
        facade().stopScan(kElsewhere);
        QVERIFY(!facade().scanning());
        QVERIFY(facade().deviceIDs().isEmpty());
        m_facadeEvents.clear();
    }

    void startScanStopsTheRunningScanFirst_data()
    {
        QTest::addColumn<bool>("scanningBefore");
        QTest::addColumn<QVariantMap>("next");
        QTest::addColumn<QStringList>("facadeEvents");
        QTest::addColumn<QStringList>("deviceIDs");

        const QString removed = QStringLiteral("ids 1 ") + kDeviceId;
        QTest::newRow("another interface")
            << true << kSecond << QStringList{removed, "scanning 0", "scanning 1"} << QStringList{};
        QTest::newRow("same interface") << true << kFirst << QStringList{"scanning 0", "scanning 1"}
                                        << QStringList{kDeviceId};
        QTest::newRow("not scanning") << false << kSecond << QStringList{"scanning 1"} << QStringList{kDeviceId};
    }

    void startScanStopsTheRunningScanFirst()
    {
        QFETCH(bool, scanningBefore);
        QFETCH(QVariantMap, next);
        QFETCH(QStringList, facadeEvents);
        QFETCH(QStringList, deviceIDs);

        KxDeviceList list;
        KxDeviceList other;
        if (scanningBefore)
            QVERIFY(list.startScan(kFirst));
        facade().updateDevice(QLatin1String(kDeviceId), QStringLiteral("TQ-730"), QStringLiteral("List"),
                              QStringLiteral("127.0.137.1"));
        QCOMPARE(list.deviceIDs(), QStringList{kDeviceId});
        QCOMPARE(list.scanning(), scanningBefore);
        m_facadeEvents.clear();

        QSignalSpy ids(&list, &KxDeviceList::deviceIDsChanged);
        QSignalSpy scanning(&list, &KxDeviceList::scanningChanged);
        QSignalSpy otherScanning(&other, &KxDeviceList::scanningChanged);
        QVERIFY(list.startScan(next));

        QCOMPARE(m_facadeEvents, facadeEvents);
        QCOMPARE(ids.size(), int(facadeEvents.filter(QStringLiteral("ids")).size()));
        QCOMPARE(scanning.size(), int(facadeEvents.filter(QStringLiteral("scanning")).size()));
        QCOMPARE(otherScanning.size(), scanning.size());
        QVERIFY(list.scanning());
        QVERIFY(other.scanning());
        QCOMPARE(list.deviceIDs(), deviceIDs);
        QCOMPARE(other.deviceIDs(), deviceIDs);
    }

    void stopScanLeavesTheScanRunning()
    {
        KxDeviceList list;
        QVERIFY(list.startScan(kFirst));
        QSignalSpy scanning(&list, &KxDeviceList::scanningChanged);
        list.stopScan();
        QVERIFY(list.scanning());
        QVERIFY(facade().scanning());
        QVERIFY(scanning.isEmpty());
    }

    void malformedInterface()
    {
        KxDeviceList list;
        QVERIFY(!list.startScan({}));
        QVERIFY(!list.startScan({{"ipAddress", "127.0.137.6"}}));
        QVERIFY(!list.scanning());
        QVERIFY(m_facadeEvents.isEmpty());
    }

    void cleanupTestCase() { facade().stopScan(kElsewhere); }
};

QTEST_GUILESS_MAIN(TestKxDeviceList)
#include "tst_kxdevicelist.moc"
