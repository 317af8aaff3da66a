// The meter object for the views: the placeholder's readings per channel and
// expression type, with their value types, accessors of one device and meter
// sharing one implementation, the defaults for ids that get no
// implementation, the signals of attaching and the log lines.

#include "KxMeterDataAccessor.h"
#include "MessageCapture.h"
#include "SignalRecorder.h"

#include <QTest>

#include <memory>

namespace {

std::unique_ptr<KxMeterDataAccessor> makeMeter(const QString& deviceId, KxMeterID::ID meterId, int channel = 0)
{
    auto meter = std::make_unique<KxMeterDataAccessor>();
    meter->setDeviceID(deviceId);
    meter->setMeterID(meterId);
    meter->setChannel(channel);
    return meter;
}

} // namespace

class TestKxMeterDataAccessor : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readings_data()
    {
        QTest::addColumn<int>("channel");
        QTest::addColumn<int>("type");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<bool>("available");
        QTest::addColumn<bool>("peak");
        QTest::addColumn<bool>("over");

        using M = KxMeterDataAccessor;
        QTest::newRow("0 normalized") << 0 << int(M::Normalized) << QVariant(0.0f) << true << true << false;
        QTest::newRow("0 linear dB") << 0 << int(M::LinearNormalizedWithDecibel) << QVariant(0.5f) << true << true
                                     << false;
        QTest::newRow("0 raw") << 0 << int(M::RawData) << QVariant(8) << true << true << false;
        QTest::newRow("0 text") << 0 << int(M::Text) << QVariant(QStringLiteral("10dB")) << true << true << false;
        QTest::newRow("1 normalized") << 1 << int(M::Normalized) << QVariant(1.0f) << true << false << true;
        QTest::newRow("1 linear dB") << 1 << int(M::LinearNormalizedWithDecibel) << QVariant(0.8f) << true << false
                                     << true;
        QTest::newRow("1 raw") << 1 << int(M::RawData) << QVariant(100) << true << false << true;
        QTest::newRow("1 text") << 1 << int(M::Text) << QVariant(QStringLiteral("100dB")) << true << false << true;
        QTest::newRow("0 invalid type") << 0 << int(M::InvalidExpressionType) << QVariant() << true << true << false;
        QTest::newRow("1 type past the end")
            << 1 << int(M::NumberOfExpressionTypes) << QVariant() << true << false << true;
        QTest::newRow("0 type far out") << 0 << 9 << QVariant() << true << true << false;
        QTest::newRow("2 normalized") << 2 << int(M::Normalized) << QVariant() << false << false << false;
        QTest::newRow("2 text") << 2 << int(M::Text) << QVariant() << false << false << false;
        QTest::newRow("-1 raw") << -1 << int(M::RawData) << QVariant() << false << false << false;
    }

    void readings()
    {
        QFETCH(int, channel);
        QFETCH(int, type);
        QFETCH(QVariant, value);
        QFETCH(bool, available);
        QFETCH(bool, peak);
        QFETCH(bool, over);

        auto meter = makeMeter(QStringLiteral("meter-readings"), KxMeterID::Meter1, channel);
        const QVariant read = meter->current(KxMeterDataAccessor::ExpressionType(type));
        QCOMPARE(read, value);
        QCOMPARE(read.metaType(), value.metaType());
        QCOMPARE(meter->isAvailable(), available);
        QCOMPARE(meter->peak(), peak);
        QCOMPARE(meter->over(), over);
        QCOMPARE(meter->channelMax(), 1);
    }

    void implementationByIds_data()
    {
        QTest::addColumn<QString>("deviceId");
        QTest::addColumn<int>("meterId");
        QTest::addColumn<bool>("implemented");

        QTest::newRow("Meter1") << "meter-ids" << int(KxMeterID::Meter1) << true;
        QTest::newRow("empty device id") << "" << int(KxMeterID::Meter1) << false;
        QTest::newRow("InvalidID") << "meter-ids" << int(KxMeterID::InvalidID) << false;
        QTest::newRow("NumberOfIDs") << "meter-ids" << int(KxMeterID::NumberOfIDs) << false;
        QTest::newRow("far below") << "meter-ids" << -3 << false;
    }

    void implementationByIds()
    {
        QFETCH(QString, deviceId);
        QFETCH(int, meterId);
        QFETCH(bool, implemented);

        MessageCapture capture;
        {
            // Channel 1 reads true for `over` and a text of its own.
            auto meter = makeMeter(deviceId, KxMeterID::ID(meterId), 1);
            auto sharing = makeMeter(deviceId, KxMeterID::ID(meterId), 0);
            QCOMPARE(meter->isAvailable(), implemented);
            QCOMPARE(meter->channelMax(), implemented ? 1 : 0);
            QCOMPARE(meter->current(KxMeterDataAccessor::Text),
                     implemented ? QVariant(QStringLiteral("100dB")) : QVariant());
            QCOMPARE(meter->over(), implemented);
            QCOMPARE(sharing->peak(), implemented);
        }
        const QStringList lines = capture.takeLogTexts();
        const QStringList created = lines.filter(QStringLiteral("[KxMeterDataAccessorImpl_Template] >>> Created."));
        // Two accessors of one device and meter: one implementation.
        QCOMPARE(created.size(), implemented ? 1 : 0);
        if (implemented)
            QVERIFY2(created.first().contains(deviceId), qPrintable(created.first()));
        QCOMPARE(lines.count(QStringLiteral("[KxMeterDataAccessorImpl_Template] >>> Deleted.")), implemented ? 1 : 0);
    }

    void attachingAnnouncesTheValues()
    {
        KxMeterDataAccessor meter;
        SignalRecorder recorder(&meter);

        meter.setMeterID(KxMeterID::Meter1);
        QCOMPARE(recorder.take(), (QStringList{"meterIDChanged", "availableChanged", "channelMaxChanged"}));
        QVERIFY(!meter.isAvailable());
        meter.setDeviceID(QStringLiteral("meter-signals"));
        QCOMPARE(recorder.take(), (QStringList{"deviceIDChanged", "availableChanged", "channelMaxChanged"}));
        QVERIFY(meter.isAvailable());

        meter.setMeterID(KxMeterID::Meter1);
        meter.setDeviceID(QStringLiteral("meter-signals"));
        meter.setChannel(0);
        QCOMPARE(recorder.take(), QStringList());

        meter.setChannel(2);
        QCOMPARE(recorder.take(), (QStringList{"channelChanged", "availableChanged"}));
        QVERIFY(!meter.isAvailable());
    }

    void callsAreLogged()
    {
        auto meter = makeMeter(QStringLiteral("meter-log"), KxMeterID::Meter1, 1);
        MessageCapture capture;
        meter->current(KxMeterDataAccessor::Text);
        meter->current();
        meter->peak();
        meter->over();
        QCOMPARE(capture.takeLogTexts(), (QStringList{"KxMeterDataAccessorImpl_Template::current(3, 1) has been called",
                                                      "KxMeterDataAccessorImpl_Template::current(0, 1) has been called",
                                                      "KxMeterDataAccessorImpl_Template::peak() has been called",
                                                      "KxMeterDataAccessorImpl_Template::over() has been called"}));
    }
};

QTEST_GUILESS_MAIN(TestKxMeterDataAccessor)
#include "tst_kxmeterdataaccessor.moc"
