#include "DeviceDiscoveryCollection.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

using namespace std::chrono_literals;

namespace {

const QString kMacA = QStringLiteral("02:1A:2B:3C:4D:5E");
const QString kMacB = QStringLiteral("02:1A:2B:3C:4D:5F");
const QString kMacC = QStringLiteral("02:1A:2B:3C:4D:60");

QStringList macsOf(const QSignalSpy& spy)
{
    QStringList macs;
    for (const QList<QVariant>& arguments : spy)
        macs.append(arguments.at(3).toString());
    return macs;
}

} // namespace

class TestDeviceDiscoveryCollection : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void everyDetectionIsAnnounced()
    {
        DeviceDiscoveryCollection collection;
        QSignalSpy found(&collection, &DeviceDiscoveryCollection::found);
        QCOMPARE(collection.update("10.0.0.2", "TQ-730", "Desk", kMacA, DISCOVERY_DETECTED), 0);
        QCOMPARE(collection.detected("10.0.0.3", "TQ-730", "Desk 2", kMacA), 0);
        QCOMPARE(found.size(), 2);
        QCOMPARE(found.at(1), (QList<QVariant>{"10.0.0.3", "TQ-730", "Desk 2", kMacA}));
        QVERIFY(collection.exists(kMacA));
        // Keys are exact: the system always writes upper case.
        QVERIFY(!collection.exists(kMacA.toLower()));
        QCOMPARE(collection.update("10.0.0.2", "TQ-730", "Desk", kMacA, 7), 0);
        QCOMPARE(found.size(), 2);
    }

    void lostReportForUnknownDeviceChangesNothing()
    {
        DeviceDiscoveryCollection collection(nullptr, 5ms, 20ms);
        QSignalSpy lost(&collection, &DeviceDiscoveryCollection::lost);
        QCOMPARE(collection.undetected(kMacA), DeviceDiscoveryCollection::kUnknownDevice);
        QCOMPARE(collection.update({}, {}, {}, kMacA, DISCOVERY_LOST), DeviceDiscoveryCollection::kUnknownDevice);
        QVERIFY(!collection.exists(kMacA));
        collection.detectLostDevices();
        QCOMPARE(lost.size(), 0);
    }

    void deviceBackWithinThresholdIsNeverLost()
    {
        DeviceDiscoveryCollection collection(nullptr, 10ms, 1500ms);
        QSignalSpy lost(&collection, &DeviceDiscoveryCollection::lost);
        collection.detected("10.0.0.2", "TQ-730", "Desk", kMacA);
        collection.detected("10.0.0.3", "TQ-360", "Hall", kMacB);
        QElapsedTimer sinceReport;
        sinceReport.start();
        QCOMPARE(collection.undetected(kMacA), 0);
        QCOMPARE(collection.undetected(kMacB), 0);
        // A answers again before the threshold, B stays silent.
        collection.detected("10.0.0.2", "TQ-730", "Desk", kMacA);

        QTRY_COMPARE_WITH_TIMEOUT(lost.size(), 1, 10000);
        QVERIFY(sinceReport.elapsed() >= 1500);
        QCOMPARE(lost.first(), (QList<QVariant>{"10.0.0.3", "TQ-360", "Hall", kMacB}));
        QVERIFY(collection.exists(kMacA));
        QVERIFY(!collection.exists(kMacB));
    }

    void repeatedLostReportPostponesTheLoss()
    {
        DeviceDiscoveryCollection collection(nullptr, 10ms, 300ms);
        QSignalSpy lost(&collection, &DeviceDiscoveryCollection::lost);
        collection.detected("10.0.0.2", "TQ-730", "Desk", kMacA);
        collection.undetected(kMacA);
        // Report again once the first report has aged a while; the loss must
        // then count from the second report.
        QElapsedTimer sinceSecond;
        QTest::qWait(100);
        sinceSecond.start();
        collection.undetected(kMacA);
        QTRY_COMPARE_WITH_TIMEOUT(lost.size(), 1, 10000);
        QVERIFY2(sinceSecond.elapsed() >= 300, "lost before the threshold counted from the last report");
        QCOMPARE(macsOf(lost), QStringList{kMacA});
    }

    // Full, it takes a new device in place of a lost one, reported lost at
    // once; while every device it holds is seen, none. A loss at another
    // address is another host's that claimed the MAC.
    void fullCollectionMakesRoomWithLostDevices()
    {
        DeviceDiscoveryCollection collection(nullptr, 1h, 1h, 2);
        QSignalSpy found(&collection, &DeviceDiscoveryCollection::found);
        QSignalSpy lost(&collection, &DeviceDiscoveryCollection::lost);
        collection.detected("10.0.0.2", "TQ-730", "A", kMacA);
        collection.detected("10.0.0.3", "TQ-730", "B", kMacB);
        QCOMPARE(collection.detected("10.0.0.4", "TQ-730", "C", kMacC), DeviceDiscoveryCollection::kFull);
        QCOMPARE(collection.undetected(kMacA, "10.0.0.9"), DeviceDiscoveryCollection::kUnknownDevice);
        QCOMPARE(collection.undetected(kMacB, "10.0.0.3"), 0);
        QCOMPARE(collection.detected("10.0.0.4", "TQ-730", "C", kMacC), 0);
        QCOMPARE(macsOf(lost), QStringList{kMacB});
        QCOMPARE(macsOf(found), (QStringList{kMacA, kMacB, kMacC}));
        QCOMPARE(collection.size(), 2);
    }

    void reportsFromTheEngineThreadArriveQueued()
    {
        DeviceDiscoveryCollection collection(nullptr, 10ms, 100ms);
        QList<QThread*> receivedOn;
        QStringList order;
        QObject receiver;
        connect(
            &collection, &DeviceDiscoveryCollection::found, &receiver,
            [&](const QString&, const QString&, const QString&, const QString& mac) {
                receivedOn.append(QThread::currentThread());
                order.append("found " + mac);
            },
            Qt::QueuedConnection);
        connect(
            &collection, &DeviceDiscoveryCollection::lost, &receiver,
            [&](const QString&, const QString&, const QString&, const QString& mac) {
                receivedOn.append(QThread::currentThread());
                order.append("lost " + mac);
            },
            Qt::QueuedConnection);

        QThread* engine = QThread::create([&collection] {
            collection.update("10.0.0.2", "TQ-730", "Desk", kMacA, DISCOVERY_DETECTED);
            collection.update("10.0.0.3", "TQ-730", "Desk", kMacB, DISCOVERY_DETECTED);
            collection.update({}, {}, {}, kMacB, DISCOVERY_LOST);
        });
        engine->start();
        QVERIFY(engine->wait(10000));
        delete engine;

        QTRY_COMPARE_WITH_TIMEOUT(order.size(), 3, 10000);
        QCOMPARE(order, (QStringList{"found " + kMacA, "found " + kMacB, "lost " + kMacB}));
        for (QThread* thread : std::as_const(receivedOn))
            QCOMPARE(thread, QThread::currentThread());
    }
};

QTEST_GUILESS_MAIN(TestDeviceDiscoveryCollection)
#include "tst_devicediscoverycollection.moc"
