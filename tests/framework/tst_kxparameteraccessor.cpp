// The parameter object for the views: accessors of one device and parameter
// sharing one placeholder implementation (and a fresh one once all of them
// are gone), the change notice filtered by notification flag and channel,
// the defaults for ids that get no implementation, the signals of attaching
// and the placeholder's arithmetic and log lines.

#include "KxParameterAccessor.h"
#include "MessageCapture.h"
#include "SignalRecorder.h"

#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {

std::unique_ptr<KxParameterAccessor> makeAccessor(const QString& deviceId, KxParamID::ID paramId, int channel = 0,
                                                  bool notification = false)
{
    auto accessor = std::make_unique<KxParameterAccessor>();
    accessor->setDeviceID(deviceId);
    accessor->setParamID(paramId);
    accessor->setChannel(channel);
    accessor->setNotification(notification);
    return accessor;
}

} // namespace

class TestKxParameterAccessor : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sharedValueAndNotification_data()
    {
        QTest::addColumn<int>("writerChannel");
        QTest::addColumn<bool>("writerNotifies");
        QTest::addColumn<int>("readerChannel");
        QTest::addColumn<bool>("readerNotifies");
        QTest::addColumn<int>("writerNotices");
        QTest::addColumn<int>("readerNotices");

        QTest::newRow("both notified on channel 0") << 0 << true << 0 << true << 1 << 1;
        QTest::newRow("reader not asking") << 0 << true << 0 << false << 1 << 0;
        QTest::newRow("writer not asking") << 0 << false << 0 << true << 0 << 1;
        QTest::newRow("reader on another channel") << 0 << true << 1 << true << 1 << 0;
        QTest::newRow("both on channel 1") << 1 << true << 1 << true << 1 << 1;
        QTest::newRow("nobody asking") << 0 << false << 0 << false << 0 << 0;
    }

    void sharedValueAndNotification()
    {
        QFETCH(int, writerChannel);
        QFETCH(bool, writerNotifies);
        QFETCH(int, readerChannel);
        QFETCH(bool, readerNotifies);
        QFETCH(int, writerNotices);
        QFETCH(int, readerNotices);

        const QString id = QStringLiteral("param-share-%1").arg(QTest::currentDataTag());
        auto writer = makeAccessor(id, KxParamID::Param2, writerChannel, writerNotifies);
        auto reader = makeAccessor(id, KxParamID::Param2, readerChannel, readerNotifies);
        // The other parameter of the same device, and the same parameter of
        // another device, keep their own values.
        auto otherParam = makeAccessor(id, KxParamID::Param1, writerChannel, true);
        auto otherDevice = makeAccessor(id + QLatin1String("-other"), KxParamID::Param2, writerChannel, true);
        QSignalSpy writerSpy(writer.get(), &KxParameterAccessor::currentChanged);
        QSignalSpy readerSpy(reader.get(), &KxParameterAccessor::currentChanged);
        QSignalSpy otherParamSpy(otherParam.get(), &KxParameterAccessor::currentChanged);
        QSignalSpy otherDeviceSpy(otherDevice.get(), &KxParameterAccessor::currentChanged);

        writer->setCurrent(5);

        QCOMPARE(reader->current(), QVariant(5));
        QCOMPARE(writer->current(KxParameterAccessor::Text), QVariant(5));
        QCOMPARE(writerSpy.size(), writerNotices);
        QCOMPARE(readerSpy.size(), readerNotices);
        QCOMPARE(otherParam->current(), QVariant(0));
        QCOMPARE(otherDevice->current(), QVariant(0));
        QCOMPARE(otherParamSpy.size(), 0);
        QCOMPARE(otherDeviceSpy.size(), 0);
    }

    void freshImplementationOnceAllAreGone()
    {
        const QString id = QStringLiteral("param-fresh");
        auto first = makeAccessor(id, KxParamID::Param1);
        first->setCurrent(7);
        auto second = makeAccessor(id, KxParamID::Param1);
        QCOMPARE(second->current(), QVariant(7));
        first.reset();
        QCOMPARE(second->current(), QVariant(7));
        second.reset();

        auto third = makeAccessor(id, KxParamID::Param1);
        QCOMPARE(third->current(), QVariant(0));
    }

    void implementationByIds_data()
    {
        QTest::addColumn<QString>("deviceId");
        QTest::addColumn<int>("paramId");
        QTest::addColumn<bool>("implemented");

        QTest::newRow("Param1") << "param-ids" << int(KxParamID::Param1) << true;
        QTest::newRow("Param2") << "param-ids" << int(KxParamID::Param2) << true;
        QTest::newRow("empty device id") << "" << int(KxParamID::Param1) << false;
        QTest::newRow("InvalidID") << "param-ids" << int(KxParamID::InvalidID) << false;
        QTest::newRow("NumberOfIDs") << "param-ids" << int(KxParamID::NumberOfIDs) << false;
        QTest::newRow("far above") << "param-ids" << 40 << false;
        QTest::newRow("far below") << "param-ids" << -7 << false;
    }

    void implementationByIds()
    {
        QFETCH(QString, deviceId);
        QFETCH(int, paramId);
        QFETCH(bool, implemented);

        MessageCapture capture;
        {
            auto accessor = makeAccessor(deviceId, KxParamID::ID(paramId));
            QSignalSpy changed(accessor.get(), &KxParameterAccessor::currentChanged);
            accessor->setNotification(true);
            accessor->setCurrent(3);
            accessor->incDec(1);

            QCOMPARE(accessor->isAvailable(), implemented);
            QCOMPARE(accessor->channelMax(), 0);
            QCOMPARE(changed.size(), implemented ? 2 : 0);
            const QVariant expected = implemented ? QVariant(4) : QVariant();
            QCOMPARE(accessor->current(), expected);
            QCOMPARE(accessor->current(KxParameterAccessor::Value), expected);
            const QVariant fixed = implemented ? QVariant(0) : QVariant();
            QCOMPARE(accessor->initial(), fixed);
            QCOMPARE(accessor->minimum(), fixed);
            QCOMPARE(accessor->maximum(KxParameterAccessor::Text), fixed);
        }
        const QStringList lines = capture.takeLogTexts();
        QCOMPARE(lines.count(QStringLiteral("KxParameterAccessorImpl_Template constructed")), implemented ? 1 : 0);
        QCOMPARE(lines.count(QStringLiteral("KxParameterAccessorImpl_Template destructed")), implemented ? 1 : 0);
    }

    void availabilityByChannel_data()
    {
        QTest::addColumn<int>("channel");
        QTest::addColumn<bool>("available");

        QTest::newRow("0") << 0 << true;
        QTest::newRow("1") << 1 << false;
        QTest::newRow("-1") << -1 << false;
    }

    void availabilityByChannel()
    {
        QFETCH(int, channel);
        QFETCH(bool, available);
        auto accessor = makeAccessor(QStringLiteral("param-channels"), KxParamID::Param1);
        accessor->setChannel(channel);
        QCOMPARE(accessor->isAvailable(), available);
    }

    void incDecAddsToCurrent_data()
    {
        QTest::addColumn<QVariant>("start");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("result");

        QTest::newRow("5 + 3") << QVariant(5) << 3 << 8;
        QTest::newRow("5 - 9") << QVariant(5) << -9 << -4;
        QTest::newRow("text 12 + 0") << QVariant(QStringLiteral("12")) << 0 << 12;
        QTest::newRow("not a number + 2") << QVariant(QStringLiteral("loud")) << 2 << 2;
    }

    void incDecAddsToCurrent()
    {
        QFETCH(QVariant, start);
        QFETCH(int, count);
        QFETCH(int, result);
        auto accessor = makeAccessor(QStringLiteral("param-incdec"), KxParamID::Param1);
        accessor->setCurrent(start);
        accessor->incDec(count);
        QCOMPARE(accessor->current(), QVariant(result));
    }

    void attachingAnnouncesTheValues()
    {
        KxParameterAccessor accessor;
        SignalRecorder recorder(&accessor);

        accessor.setDeviceID(QStringLiteral("param-signals"));
        QCOMPARE(recorder.take(),
                 (QStringList{"deviceIDChanged", "availableChanged", "currentChanged", "channelMaxChanged"}));
        QVERIFY(!accessor.isAvailable());
        accessor.setParamID(KxParamID::Param1);
        QCOMPARE(recorder.take(),
                 (QStringList{"paramIDChanged", "availableChanged", "currentChanged", "channelMaxChanged"}));
        QVERIFY(accessor.isAvailable());

        // The same values again change nothing.
        accessor.setDeviceID(QStringLiteral("param-signals"));
        accessor.setParamID(KxParamID::Param1);
        accessor.setChannel(0);
        accessor.setNotification(false);
        QCOMPARE(recorder.take(), QStringList());

        accessor.setChannel(1);
        accessor.setNotification(true);
        QCOMPARE(recorder.take(), (QStringList{"channelChanged", "availableChanged", "notificationChanged"}));
        QCOMPARE(accessor.channel(), 1);
        QVERIFY(accessor.notification());
    }

    void callsAreLogged()
    {
        auto accessor = makeAccessor(QStringLiteral("param-log"), KxParamID::Param1);
        MessageCapture capture;
        accessor->current(KxParameterAccessor::Text);
        accessor->initial(KxParameterAccessor::Value);
        accessor->minimum();
        accessor->maximum();
        accessor->setCurrent(5, KxParameterAccessor::Value, false);
        accessor->incDec(3);
        QCOMPARE(capture.takeLogTexts(),
                 (QStringList{"KxParameterAccessorImpl_Template::current(1, 0) has been called",
                              "KxParameterAccessorImpl_Template::initial(2, 0) has been called",
                              "KxParameterAccessorImpl_Template::minimum(0, 0) has been called",
                              "KxParameterAccessorImpl_Template::maximum(0, 0) has been called",
                              "KxParameterAccessorImpl_Template::setCurrent(5, 2, 0, false) has been called",
                              "KxParameterAccessorImpl_Template::incDec(3, 0, true) has been called",
                              "KxParameterAccessorImpl_Template::setCurrent(8, 0, 0, true) has been called"}));
    }
};

QTEST_GUILESS_MAIN(TestKxParameterAccessor)
#include "tst_kxparameteraccessor.moc"
