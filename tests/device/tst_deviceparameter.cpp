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
        QTest::newRow("past last") << qint32(23);
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
        QDebug(&text) << DeviceParameter::DnsServer2 << static_cast<DeviceParameter>(23);
        QCOMPARE(text, QStringLiteral("DeviceParameter::DnsServer2 DeviceParameter(23) "));

        // QVariant's debug output goes through the registered operator.
        text.clear();
        QDebug(&text) << QVariant::fromValue(DeviceParameter::UpdateResult);
        QVERIFY2(text.contains(QLatin1String("DeviceParameter::UpdateResult")), qPrintable(text));
    }
};

QTEST_GUILESS_MAIN(TestDeviceParameter)
#include "tst_deviceparameter.moc"
