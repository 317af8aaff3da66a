#include "DeviceData.h"

#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <memory>

namespace {

const QString kId = QStringLiteral("02:1A:2B:3C:4D:5E");

QVariantMap statusMap(const DeviceData& data)
{
    return data.getData(DeviceParameter::AllDeviceStatus).toMap();
}

QString statusMessage(const DeviceData& data)
{
    return statusMap(data).value(QStringLiteral("statusMessage")).toString();
}

// Every readable parameter, for "nothing changed" comparisons.
QVariantList snapshot(const DeviceData& data)
{
    QVariantList values;
    for (int i = 0; i <= 22; ++i)
        values << data.getData(static_cast<DeviceParameter>(i));
    return values;
}

} // namespace

// Lives on the test thread; records where and with what the change arrived.
class Receiver : public QObject
{
    Q_OBJECT

public:
    QThread* deliveredOn = nullptr;
    QString id;
    DeviceParameter type = DeviceParameter::DeviceId;

public Q_SLOTS:
    void onDataChanged(const QString& deviceID, DeviceParameter parameter)
    {
        deliveredOn = QThread::currentThread();
        id = deviceID;
        type = parameter;
        Q_EMIT received();
    }

Q_SIGNALS:
    void received();
};

class TestDeviceData : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { registerDeviceMetaTypes(); }

    void initialValues()
    {
        const DeviceData data(kId, QStringLiteral("Model X"), QStringLiteral("host-1"), QStringLiteral("10.0.0.5"));
        QCOMPARE(data.parent(), nullptr);
        QCOMPARE(QString::fromLatin1(data.metaObject()->className()), QStringLiteral("DeviceData"));
        QCOMPARE(data.getData(DeviceParameter::DeviceId), QVariant(kId));
        QCOMPARE(data.getData(DeviceParameter::ModelName), QVariant(QStringLiteral("Model X")));
        QCOMPARE(data.getData(DeviceParameter::HostName), QVariant(QStringLiteral("host-1")));
        QCOMPARE(data.getData(DeviceParameter::IpAddress), QVariant(QStringLiteral("10.0.0.5")));
        QCOMPARE(data.getData(DeviceParameter::Version), QVariant(QString()));
        QCOMPARE(data.getData(DeviceParameter::ConnectionStatus), QVariant(-1));
        QCOMPARE(data.getData(DeviceParameter::DnsServer2), QVariant(QString()));

        const QVariantMap network = data.getData(DeviceParameter::AllNetworkSettings).toMap();
        QCOMPARE(network.keys(), (QStringList{"defaultGateway", "dnsServer", "ipAddress", "subnetMask"}));
        QCOMPARE(network.value("dnsServer").toList().size(), 2);

        const QVariantMap status = statusMap(data);
        QCOMPARE(status.size(), 12);
        QCOMPARE(status.value("loggedIn"), QVariant(false));
        QCOMPARE(status.value("operationUnderWay"), QVariant(false));
        QCOMPARE(status.value("operationOutcome"), QVariant(QString()));
        QCOMPARE(status.value("statusMessage"), QVariant(QString()));
        for (const char* key :
             {"runningStatus", "firmwareUploadProgress", "updateProgress", "updateResult", "configUploadProgress",
              "importResult", "standbyScreenImageUploadProgress", "standbyImageResult"})
            QVERIFY2(status.value(key) == QVariant(-1), key);

        const DeviceData bare(kId);
        QCOMPARE(bare.getData(DeviceParameter::IpAddress), QVariant(QString()));
        QCOMPARE(bare.getData(DeviceParameter::HostName), QVariant(QString()));
    }

    void idAndUnknownParameters()
    {
        DeviceData data(kId);
        const QVariantList before = snapshot(data);
        data.setData(DeviceParameter::DeviceId, QStringLiteral("other"));
        data.setData(static_cast<DeviceParameter>(25), 1);
        data.setData(static_cast<DeviceParameter>(-1), 1);
        QCOMPARE(snapshot(data), before);
        QVERIFY(!data.getData(static_cast<DeviceParameter>(25)).isValid());
        QVERIFY(!data.getData(static_cast<DeviceParameter>(-1)).isValid());
    }

    void readBackWhatWasWritten_data()
    {
        QTest::addColumn<DeviceParameter>("type");
        QTest::addColumn<QVariant>("value");
        QTest::newRow("host") << DeviceParameter::HostName << QVariant("h");
        QTest::newRow("model") << DeviceParameter::ModelName << QVariant("m");
        QTest::newRow("version") << DeviceParameter::Version << QVariant("1.2.3");
        QTest::newRow("serial") << DeviceParameter::SerialNumber << QVariant("S1");
        QTest::newRow("password") << DeviceParameter::AcceptedMd5Password << QVariant("abc");
        QTest::newRow("ip") << DeviceParameter::IpAddress << QVariant("1.2.3.4");
        QTest::newRow("mask") << DeviceParameter::SubnetMask << QVariant("255.0.0.0");
        QTest::newRow("gateway") << DeviceParameter::DefaultGateway << QVariant("1.0.0.1");
        QTest::newRow("dns1") << DeviceParameter::DnsServer1 << QVariant("8.8.8.8");
        QTest::newRow("dns2") << DeviceParameter::DnsServer2 << QVariant("8.8.4.4");
        QTest::newRow("connection") << DeviceParameter::ConnectionStatus << QVariant(3);
        QTest::newRow("logged in") << DeviceParameter::LoggedInStatus << QVariant(true);
        QTest::newRow("running") << DeviceParameter::RunningStatus << QVariant(2);
        QTest::newRow("fw upload") << DeviceParameter::FirmwareUploadProgress << QVariant(11.5);
        QTest::newRow("update") << DeviceParameter::UpdateProgress << QVariant(12);
        QTest::newRow("update result") << DeviceParameter::UpdateResult << QVariant(1);
        QTest::newRow("cfg upload") << DeviceParameter::ConfigUploadProgress << QVariant(13);
        QTest::newRow("import") << DeviceParameter::ImportResult << QVariant(6);
        QTest::newRow("img upload") << DeviceParameter::StandbyScreenImageUploadProgress << QVariant(14);
        QTest::newRow("img result") << DeviceParameter::StandbyImageResult << QVariant(0);
    }

    void readBackWhatWasWritten()
    {
        QFETCH(DeviceParameter, type);
        QFETCH(QVariant, value);
        DeviceData data(kId);
        QVariantList expected = snapshot(data);
        data.setData(type, value);
        QCOMPARE(data.getData(type), value);
        // No other plain value moved (the maps hold the written one too).
        QVariantList after = snapshot(data);
        for (const DeviceParameter aggregate :
             {DeviceParameter::AllNetworkSettings, DeviceParameter::AllDeviceStatus, type}) {
            expected[int(aggregate)] = QVariant();
            after[int(aggregate)] = QVariant();
        }
        QCOMPARE(after, expected);
    }

    void statusMessageFollowsStatus()
    {
        DeviceData data(kId);
        data.setData(DeviceParameter::ConnectionStatus, 1);
        QCOMPARE(statusMessage(data), QStringLiteral("Login required"));
        data.setData(DeviceParameter::LoggedInStatus, true);
        QCOMPARE(statusMessage(data), QStringLiteral("Ready"));
        data.setData(DeviceParameter::FirmwareUploadProgress, 40);
        QCOMPARE(statusMessage(data), QStringLiteral("Uploading firmware 40% complete"));
        data.setData(DeviceParameter::ConnectionStatus, 0);
        QCOMPARE(statusMessage(data), QStringLiteral("Disconnected"));

        // The raw value is stored even when the board ignores it.
        DeviceData fresh(kId);
        fresh.setData(DeviceParameter::UpdateProgress, 150);
        QCOMPARE(fresh.getData(DeviceParameter::UpdateProgress), QVariant(150));
        QCOMPARE(statusMessage(fresh), QStringLiteral("Ready"));
    }

    void dnsServer()
    {
        DeviceData data(kId);
        data.setDnsServer(1, QStringLiteral("9.9.9.9"));
        data.setDnsServer(1, QStringLiteral("9.9.9.9"));
        data.setDnsServer(2, QStringLiteral("1.1.1.1"));
        data.setDnsServer(-1, QStringLiteral("1.1.1.1"));
        const QVariantList servers
            = data.getData(DeviceParameter::AllNetworkSettings).toMap().value("dnsServer").toList();
        QCOMPARE(servers, (QVariantList{QString(), QStringLiteral("9.9.9.9")}));
    }

    void setAllNetworkSettings()
    {
        DeviceData data(kId, QString(), QString(), QStringLiteral("10.0.0.5"));
        data.setData(DeviceParameter::DnsServer1, QStringLiteral("old1"));
        data.setData(DeviceParameter::DnsServer2, QStringLiteral("old2"));

        // A short list replaces only the entries it has.
        data.setData(DeviceParameter::AllNetworkSettings, QVariantMap{{"subnetMask", "255.255.255.0"},
                                                                      {"defaultGateway", "10.0.0.1"},
                                                                      {"dnsServer", QVariantList{"new1"}}});
        QCOMPARE(data.getData(DeviceParameter::SubnetMask), QVariant("255.255.255.0"));
        QCOMPARE(data.getData(DeviceParameter::DefaultGateway), QVariant("10.0.0.1"));
        QCOMPARE(data.getData(DeviceParameter::DnsServer1), QVariant("new1"));
        QCOMPARE(data.getData(DeviceParameter::DnsServer2), QVariant("old2"));
        // The settings document is authoritative for the addresses.
        QVERIFY(!data.getData(DeviceParameter::IpAddress).isValid());

        // A text is not a list; a string list is.
        data.setAllNetworkSettings(QVariantMap{{"dnsServer", "new3"}});
        QCOMPARE(data.getData(DeviceParameter::DnsServer1), QVariant("new1"));
        data.setAllNetworkSettings(QVariantMap{{"dnsServer", QStringList{"a", "b", "c"}}});
        QCOMPARE(data.getData(DeviceParameter::DnsServer1), QVariant("a"));
        QCOMPARE(data.getData(DeviceParameter::DnsServer2), QVariant("b"));
        QCOMPARE(data.getData(DeviceParameter::AllNetworkSettings).toMap().size(), 4);
    }

    void setAllDeviceStatusAppliesOnlyPresentKeys()
    {
        DeviceData data(kId);
        data.setData(DeviceParameter::UpdateResult, 1);
        data.setData(DeviceParameter::ConfigUploadProgress, 30);

        // A missing "updateResult" must not turn into "Update successful"
        // (the upload under way took the earlier result off the board).
        data.setData(DeviceParameter::AllDeviceStatus, QVariantMap{{"runningStatus", 0}});
        QCOMPARE(data.getData(DeviceParameter::UpdateResult), QVariant(1));
        QCOMPARE(data.getData(DeviceParameter::RunningStatus), QVariant(0));
        QCOMPARE(statusMessage(data), QStringLiteral("Ready"));

        // Own upload progress and the derived text are not taken over.
        data.setAllDeviceStatus(QVariantMap{{"firmwareUploadProgress", 70},
                                            {"configUploadProgress", 70},
                                            {"standbyScreenImageUploadProgress", 70},
                                            {"statusMessage", "bogus"}});
        QCOMPARE(data.getData(DeviceParameter::FirmwareUploadProgress), QVariant(-1));
        QCOMPARE(data.getData(DeviceParameter::ConfigUploadProgress), QVariant(30));
        QCOMPARE(statusMessage(data), QStringLiteral("Ready"));

        data.setAllDeviceStatus(QStringLiteral("not a map"));
        QCOMPARE(data.getData(DeviceParameter::UpdateResult), QVariant(1));
    }

    void setAllDeviceStatusOrder()
    {
        // Progress is applied before the result, so the result ends it.
        DeviceData data(kId);
        data.setAllDeviceStatus(QVariantMap{{"updateResult", 0}, {"updateProgress", 50}, {"loggedIn", true}});
        QCOMPARE(data.getData(DeviceParameter::UpdateProgress), QVariant(50));
        QCOMPARE(data.getData(DeviceParameter::LoggedInStatus), QVariant(true));
        QCOMPARE(statusMessage(data), QStringLiteral("Update successful"));
    }

    void copy()
    {
        DeviceData source(QStringLiteral("AA:AA:AA:AA:AA:AA"), QStringLiteral("M"), QStringLiteral("H"),
                          QStringLiteral("1.1.1.1"));
        source.setData(DeviceParameter::Version, QStringLiteral("2.0"));
        source.setData(DeviceParameter::SerialNumber, QStringLiteral("SN"));
        source.setData(DeviceParameter::AcceptedMd5Password, QStringLiteral("secret"));
        source.setData(DeviceParameter::ConnectionStatus, 3);
        source.setData(DeviceParameter::LoggedInStatus, true);
        source.setData(DeviceParameter::DnsServer2, QStringLiteral("8.8.8.8"));
        source.setData(DeviceParameter::ImportResult, 5);

        DeviceData target(kId);
        target.setData(DeviceParameter::AcceptedMd5Password, QStringLiteral("mine"));
        target.copy(source);

        QCOMPARE(target.getData(DeviceParameter::DeviceId), QVariant(kId));
        QCOMPARE(target.getData(DeviceParameter::AcceptedMd5Password), QVariant("mine"));
        for (const DeviceParameter p :
             {DeviceParameter::HostName, DeviceParameter::ModelName, DeviceParameter::Version,
              DeviceParameter::SerialNumber, DeviceParameter::ConnectionStatus, DeviceParameter::AllNetworkSettings,
              DeviceParameter::LoggedInStatus, DeviceParameter::ImportResult})
            QCOMPARE(target.getData(p), source.getData(p));
        // The status text is rebuilt from the copied state, not left empty.
        QCOMPARE(statusMessage(target), QStringLiteral("Import failed"));
        QCOMPARE(statusMap(target), statusMap(source));
    }

    void notifications()
    {
        DeviceData data(kId);
        QSignalSpy spy(&data, &DeviceData::dataChanged);
        // Writing never announces; the registry does that after unlocking.
        data.setData(DeviceParameter::HostName, QStringLiteral("x"));
        data.setData(DeviceParameter::LoggedInStatus, true);
        QCOMPARE(spy.count(), 0);

        data.notifyAllParameters();
        QCOMPARE(spy.count(), 24);
        for (int i = 0; i < spy.count(); ++i) {
            QCOMPARE(spy.at(i).at(0).toString(), kId);
            QCOMPARE(spy.at(i).at(1).value<DeviceParameter>(), static_cast<DeviceParameter>(i + 1));
        }
    }

    void queuedAcrossThreads()
    {
        DeviceData data(kId);
        Receiver receiver;
        // By name: this only works once the type is registered by name.
        QVERIFY(connect(&data, SIGNAL(dataChanged(QString, DeviceParameter)), &receiver,
                        SLOT(onDataChanged(QString, DeviceParameter)), Qt::QueuedConnection));
        QSignalSpy received(&receiver, &Receiver::received);

        const std::unique_ptr<QThread> worker(QThread::create([&data] { data.notify(DeviceParameter::UpdateResult); }));
        worker->start();

        QVERIFY(received.wait(10000));
        QVERIFY(worker->wait(10000));
        QCOMPARE(received.count(), 1);
        QCOMPARE(receiver.deliveredOn, QThread::currentThread());
        QCOMPARE(receiver.id, kId);
        QCOMPARE(receiver.type, DeviceParameter::UpdateResult);
    }
};

QTEST_GUILESS_MAIN(TestDeviceData)
#include "tst_devicedata.moc"
