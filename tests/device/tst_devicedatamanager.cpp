#include "DeviceDataManager.h"

#include <QSignalSpy>
#include <QTest>
#include <QThread>

namespace {

QList<DeviceParameter> noticedTypes(const QSignalSpy& spy)
{
    QList<DeviceParameter> types;
    for (const QList<QVariant>& arguments : spy)
        types.append(arguments.at(1).value<DeviceParameter>());
    return types;
}

QList<DeviceParameter> allButId()
{
    QList<DeviceParameter> types;
    for (int i = 1; i <= int(kLastDeviceParameter); ++i)
        types.append(static_cast<DeviceParameter>(i));
    return types;
}

} // namespace

class TestDeviceDataManager : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { registerDeviceMetaTypes(); }

    void addingNewAndKnownDevices()
    {
        DeviceDataManager registry;
        QVERIFY(registry.addDevice("02:00:00:00:00:02", "TQ-730", "Desk", "10.0.0.2"));
        QVERIFY(registry.addDevice("02:00:00:00:00:01", "TQ-360", "Hall", "10.0.0.1"));
        QCOMPARE(registry.deviceIds(), (QStringList{"02:00:00:00:00:02", "02:00:00:00:00:01"}));
        QVERIFY(registry.exist("02:00:00:00:00:01"));
        QVERIFY(!registry.exist("02:00:00:00:00:0a"));

        std::shared_ptr<DeviceData> record;
        QVERIFY(registry.getDeviceData("02:00:00:00:00:02", record));
        QCOMPARE(record->getData(DeviceParameter::DeviceId).toString(), QStringLiteral("02:00:00:00:00:02"));
        QSignalSpy spy(record.get(), &DeviceData::dataChanged);

        // A repeated report refreshes identity fields and re-announces everything.
        QVERIFY(!registry.addDevice("02:00:00:00:00:02", "TQ-360", "Desk 2", "10.0.0.20"));
        QCOMPARE(registry.deviceIds().size(), 2);
        QCOMPARE(noticedTypes(spy), allButId());
        QCOMPARE(spy.first().first().toString(), QStringLiteral("02:00:00:00:00:02"));
        QCOMPARE(record->getData(DeviceParameter::ModelName).toString(), QStringLiteral("TQ-360"));
        QCOMPARE(record->getData(DeviceParameter::HostName).toString(), QStringLiteral("Desk 2"));
        QCOMPARE(record->getData(DeviceParameter::IpAddress).toString(), QStringLiteral("10.0.0.20"));
    }

    void removingKeepsHeldRecordsAlive()
    {
        DeviceDataManager registry;
        registry.addDevice("A", "TQ-730", "a", "10.0.0.1");
        registry.addDevice("B", "TQ-730", "b", "10.0.0.2");
        QVERIFY(!registry.removeDevice("C"));
        QCOMPARE(registry.deviceIds(), (QStringList{"A", "B"}));

        std::shared_ptr<DeviceData> held;
        QVERIFY(registry.getDeviceData("A", held));
        QVERIFY(registry.removeDevice("A"));
        QCOMPARE(registry.deviceIds(), QStringList{"B"});
        QVERIFY(!registry.exist("A"));
        QVariant value = QStringLiteral("untouched");
        QVERIFY(!registry.getDeviceParameter("A", DeviceParameter::HostName, value));
        QCOMPARE(value.toString(), QStringLiteral("untouched"));
        // The holder still reads its record after the registry let go.
        QCOMPARE(held->getData(DeviceParameter::HostName).toString(), QStringLiteral("a"));

        std::shared_ptr<DeviceData> other = held;
        QVERIFY(!registry.getDeviceData("A", other));
        QCOMPARE(other, held);
    }

    void settingAnnouncesAfterWriting()
    {
        DeviceDataManager registry;
        registry.addDevice("A", "TQ-730", "a", "10.0.0.1");
        std::shared_ptr<DeviceData> record;
        QVERIFY(registry.getDeviceData("A", record));

        QVariant seen;
        // A receiver may read back through the registry: the lock is free by then.
        QObject::connect(record.get(), &DeviceData::dataChanged, [&](const QString& id, DeviceParameter type) {
            QVERIFY(registry.getDeviceParameter(id, type, seen));
        });
        QSignalSpy spy(record.get(), &DeviceData::dataChanged);
        QVERIFY(registry.setAndNotifyDeviceParameter("A", DeviceParameter::Version, QStringLiteral("2.1.0")));
        QCOMPARE(noticedTypes(spy), QList<DeviceParameter>{DeviceParameter::Version});
        QCOMPARE(seen.toString(), QStringLiteral("2.1.0"));

        QVERIFY(!registry.setAndNotifyDeviceParameter("B", DeviceParameter::Version, QStringLiteral("x")));
        registry.notifyParameterChanged("B", DeviceParameter::Version);
        QCOMPARE(spy.size(), 1);
    }

    void accessByIpAddress()
    {
        DeviceDataManager registry;
        registry.addDevice("B", "TQ-730", "b", "10.0.0.7");
        registry.addDevice("A", "TQ-730", "a", "10.0.0.7"); // stale twin: the smaller id wins
        registry.addDevice("C", "TQ-730", "c", "10.0.0.8");

        QString id = QStringLiteral("unchanged");
        QVERIFY(!registry.findDeviceIdByIpAddress("10.0.0.9", id));
        QCOMPARE(id, QStringLiteral("unchanged"));
        QVERIFY(registry.findDeviceIdByIpAddress("10.0.0.7", id));
        QCOMPARE(id, QStringLiteral("A"));

        QVariant value;
        QVERIFY(registry.getDeviceParameterByIpAddress("10.0.0.8", DeviceParameter::HostName, value));
        QCOMPARE(value.toString(), QStringLiteral("c"));
        QVERIFY(registry.setAndNotifyDeviceParameterByIpAddress("10.0.0.7", DeviceParameter::ConnectionStatus, 3));
        QVERIFY(registry.getDeviceParameter("A", DeviceParameter::ConnectionStatus, value));
        QCOMPARE(value.toInt(), 3);
        QVERIFY(registry.getDeviceParameter("B", DeviceParameter::ConnectionStatus, value));
        QCOMPARE(value.toInt(), -1);
        QVERIFY(!registry.setAndNotifyDeviceParameterByIpAddress("10.0.0.9", DeviceParameter::ConnectionStatus, 3));

        // A record that moves or goes is no longer found at its old address.
        QVERIFY(registry.setAndNotifyDeviceParameter("A", DeviceParameter::IpAddress, QStringLiteral("10.0.0.8")));
        QCOMPARE(registry.deviceIdsAtIpAddress("10.0.0.8"), QStringList({"A", "C"}));
        QVERIFY(registry.removeDevice("B"));
        QVERIFY(!registry.findDeviceIdByIpAddress("10.0.0.7", id));
    }

    void concurrentWritersAndReaders()
    {
        // Discovery adds and refreshes records while other threads read and
        // write them; the lock must keep every record whole.
        DeviceDataManager registry;
        constexpr int kDevices = 16;
        auto idOf = [](int i) { return QStringLiteral("02:00:00:00:00:%1").arg(i, 2, 16, QLatin1Char('0')).toUpper(); };
        QThread* adder = QThread::create([&] {
            for (int round = 0; round < 50; ++round)
                for (int i = 0; i < kDevices; ++i)
                    registry.addDevice(idOf(i), "TQ-730", QStringLiteral("name %1").arg(round), "10.0.0.1");
        });
        QThread* writer = QThread::create([&] {
            for (int round = 0; round < 200; ++round)
                for (int i = 0; i < kDevices; ++i)
                    registry.setAndNotifyDeviceParameter(idOf(i), DeviceParameter::UpdateProgress, round % 101);
        });
        adder->start();
        writer->start();
        // Reads while the others write, as long as they do (a loaded machine
        // may finish them first), then once more: every record is there.
        const auto readable = [&] {
            int records = 0;
            QVariant value;
            for (int i = 0; i < kDevices; ++i)
                records += registry.getDeviceParameter(idOf(i), DeviceParameter::AllDeviceStatus, value) ? 1 : 0;
            return records;
        };
        while (!adder->isFinished() || !writer->isFinished())
            readable();
        QVERIFY(adder->wait(30000));
        QVERIFY(writer->wait(30000));
        delete adder;
        delete writer;
        QCOMPARE(registry.deviceIds().size(), kDevices);
        QCOMPARE(readable(), kDevices);
        QVariant name;
        QVERIFY(registry.getDeviceParameter(idOf(3), DeviceParameter::HostName, name));
        QCOMPARE(name.toString(), QStringLiteral("name 49"));
    }
};

QTEST_GUILESS_MAIN(TestDeviceDataManager)
#include "tst_devicedatamanager.moc"
