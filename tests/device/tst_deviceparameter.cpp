#include "DeviceParameter.h"

#include <QDataStream>
#include <QTest>

class TestDeviceParameter : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        // Repeated registration must be harmless: several modules call it.
        registerDeviceMetaTypes();
        registerDeviceMetaTypes();
    }

    void registeredByName()
    {
        const QMetaType byName = QMetaType::fromName("DeviceParameter");
        QVERIFY(byName.isValid());
        QCOMPARE(byName, QMetaType::fromType<DeviceParameter>());
        QVERIFY(byName.hasRegisteredDataStreamOperators());
        QVERIFY(byName.hasRegisteredDebugStreamOperator());
    }

    void variantComparison()
    {
        const QVariant a = QVariant::fromValue(DeviceParameter::IpAddress);
        const QVariant b = QVariant::fromValue(DeviceParameter::IpAddress);
        const QVariant c = QVariant::fromValue(DeviceParameter::SubnetMask);
        QCOMPARE(a, b);
        QVERIFY(a != c);
        QCOMPARE(QVariant::compare(a, c), QPartialOrdering::Less);
        QCOMPARE(QVariant::compare(c, a), QPartialOrdering::Greater);
    }

    void dataStreamRoundTrip()
    {
        QByteArray bytes;
        {
            QDataStream out(&bytes, QIODevice::WriteOnly);
            for (int i = 0; i <= 22; ++i)
                out << static_cast<DeviceParameter>(i);
            // Through QVariant too: that path uses the meta type's operators.
            out << QVariant::fromValue(DeviceParameter::StandbyImageResult);
        }
        QDataStream in(bytes);
        for (int i = 0; i <= 22; ++i) {
            DeviceParameter p = DeviceParameter::DeviceId;
            in >> p;
            QCOMPARE(static_cast<int>(p), i);
        }
        QVariant v;
        in >> v;
        QCOMPARE(in.status(), QDataStream::Ok);
        QCOMPARE(v.metaType(), QMetaType::fromType<DeviceParameter>());
        QCOMPARE(v.value<DeviceParameter>(), DeviceParameter::StandbyImageResult);
    }

    void dataStreamRejectsUnknownValue_data()
    {
        QTest::addColumn<qint32>("raw");
        QTest::newRow("past last") << qint32(25);
        QTest::newRow("negative") << qint32(-1);
    }

    void dataStreamRejectsUnknownValue()
    {
        QFETCH(qint32, raw);
        QByteArray bytes;
        QDataStream(&bytes, QIODevice::WriteOnly) << raw;
        QDataStream in(bytes);
        DeviceParameter p = DeviceParameter::Version;
        in >> p;
        QCOMPARE(in.status(), QDataStream::ReadCorruptData);
        QCOMPARE(p, DeviceParameter::Version);
    }

    void truncatedStreamLeavesValue()
    {
        QDataStream in(QByteArray(2, '\0'));
        DeviceParameter p = DeviceParameter::Version;
        in >> p;
        QCOMPARE(in.status(), QDataStream::ReadPastEnd);
        QCOMPARE(p, DeviceParameter::Version);
    }

    void debugOutput()
    {
        QString text;
        QDebug(&text) << DeviceParameter::DnsServer2 << static_cast<DeviceParameter>(25);
        QCOMPARE(text, QStringLiteral("DeviceParameter::DnsServer2 DeviceParameter(25) "));

        // QVariant's debug output goes through the registered operator.
        text.clear();
        QDebug(&text) << QVariant::fromValue(DeviceParameter::UpdateResult);
        QVERIFY2(text.contains(QLatin1String("DeviceParameter::UpdateResult")), qPrintable(text));
    }

    // Which parameters travel inside AllNetworkSettings and AllDeviceStatus.
    void groups()
    {
        const QList<DeviceParameter> network{DeviceParameter::IpAddress, DeviceParameter::SubnetMask,
                                             DeviceParameter::DefaultGateway, DeviceParameter::DnsServer1,
                                             DeviceParameter::DnsServer2};
        const QList<DeviceParameter> status{
            DeviceParameter::LoggedInStatus,         DeviceParameter::RunningStatus,
            DeviceParameter::FirmwareUploadProgress, DeviceParameter::UpdateProgress,
            DeviceParameter::UpdateResult,           DeviceParameter::ConfigUploadProgress,
            DeviceParameter::ImportResult,           DeviceParameter::StandbyScreenImageUploadProgress,
            DeviceParameter::StandbyImageResult,     DeviceParameter::IdentityChanged,
            DeviceParameter::AddressShared};
        for (int i = -1; i <= static_cast<int>(kLastDeviceParameter) + 1; ++i) {
            const auto type = static_cast<DeviceParameter>(i);
            QCOMPARE(isNetworkSetting(type), network.contains(type));
            QCOMPARE(isDeviceStatus(type), status.contains(type));
        }
    }

    void connectionStatusValues_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<bool>("known");
        QTest::addColumn<int>("status");
        QTest::newRow("undetermined") << QVariant(-1) << true << -1;
        QTest::newRow("inactive") << QVariant(0) << true << 0;
        QTest::newRow("active") << QVariant(1) << true << 1;
        QTest::newRow("connected") << QVariant(3) << true << 3;
        QTest::newRow("text number") << QVariant(QStringLiteral("3")) << true << 3;
        QTest::newRow("unused 2") << QVariant(2) << false << 0;
        QTest::newRow("out of range") << QVariant(4) << false << 0;
        QTest::newRow("not a number") << QVariant(QStringLiteral("on")) << false << 0;
        QTest::newRow("empty") << QVariant() << false << 0;
    }

    void connectionStatusValues()
    {
        QFETCH(QVariant, value);
        QFETCH(bool, known);
        QFETCH(int, status);
        ConnectionStatus out = ConnectionStatus::Inactive;
        QCOMPARE(connectionStatusFromVariant(value, out), known);
        QCOMPARE(toInt(out), status); // untouched (0) when unknown
    }
};

QTEST_GUILESS_MAIN(TestDeviceParameter)
#include "tst_deviceparameter.moc"
