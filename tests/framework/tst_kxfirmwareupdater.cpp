// The firmware-updater object for the views: the placeholder's values and
// their defaults without an implementation, requests that change nothing and
// signal nothing, updaters of one id sharing one implementation, and the
// signals and log lines of attaching.

#include "KxFirmwareUpdater.h"
#include "MessageCapture.h"
#include "SignalRecorder.h"

#include <QTest>

#include <memory>

namespace {

const QVariantMap kVersions{{"Main", "TestVer1.2.x"}, {"Sub", "TestVer3.4.y"}, {"Boot", "TestVer5.6.z"}};

QVariantMap valuesOf(const KxFirmwareUpdater& updater)
{
    return {{"available", updater.isAvailable()},
            {"options", updater.options()},
            {"updateAvailable", updater.updateAvailable()},
            {"updating", updater.updating()},
            {"updateProgress", updater.updateProgress()},
            {"updateSize", updater.updateSize()},
            {"updateStatusMessage", updater.updateStatusMessage()},
            {"updateVersion", updater.updateVersion()}};
}

} // namespace

class TestKxFirmwareUpdater : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void values_data()
    {
        QTest::addColumn<QString>("deviceId");
        QTest::addColumn<QVariantMap>("values");

        const QVariantMap without{{"available", false},
                                  {"options", QVariantMap()},
                                  {"updateAvailable", false},
                                  {"updating", false},
                                  {"updateProgress", -1.0},
                                  {"updateSize", -1.0},
                                  {"updateStatusMessage", QString()},
                                  {"updateVersion", QVariantMap()}};
        const QVariantMap with{{"available", true},
                               {"options", QVariantMap()},
                               {"updateAvailable", true},
                               {"updating", false},
                               {"updateProgress", 0.0},
                               {"updateSize", 0.0},
                               {"updateStatusMessage", QString()},
                               {"updateVersion", kVersions}};
        QTest::newRow("no id") << QString() << without;
        QTest::newRow("a device id") << QStringLiteral("02:00:7F:00:8A:01") << with;
        QTest::newRow("any other text") << QStringLiteral("fw updater") << with;
    }

    void values()
    {
        QFETCH(QString, deviceId);
        QFETCH(QVariantMap, values);

        KxFirmwareUpdater updater;
        updater.setDeviceID(deviceId);
        QCOMPARE(valuesOf(updater), values);

        // Nothing a view asks of the placeholder changes or announces anything.
        SignalRecorder recorder(&updater);
        updater.setOptions({{"force", true}});
        updater.update();
        updater.cancelUpdate();
        QCOMPARE(recorder.take(), QStringList());
        QCOMPARE(valuesOf(updater), values);
    }

    void sharingByDeviceId_data()
    {
        QTest::addColumn<QStringList>("deviceIds");
        QTest::addColumn<int>("implementations");

        QTest::newRow("one id twice") << QStringList{"fw-a", "fw-a"} << 1;
        QTest::newRow("two ids") << QStringList{"fw-a", "fw-b"} << 2;
        QTest::newRow("two ids, one of them twice") << QStringList{"fw-a", "fw-b", "fw-a"} << 2;
        QTest::newRow("no id") << QStringList{"", ""} << 0;
    }

    void sharingByDeviceId()
    {
        QFETCH(QStringList, deviceIds);
        QFETCH(int, implementations);

        MessageCapture capture;
        {
            std::vector<std::unique_ptr<KxFirmwareUpdater>> updaters;
            for (const QString& id : deviceIds) {
                updaters.push_back(std::make_unique<KxFirmwareUpdater>());
                updaters.back()->setDeviceID(id);
            }
            QCOMPARE(capture.takeLogTexts().count(QStringLiteral("[KxFirmwareUpdaterImpl] >>> Constructed.")),
                     implementations);
        }
        QCOMPARE(capture.takeLogTexts().count(QStringLiteral("[KxFirmwareUpdaterImpl] >>> Destructed.")),
                 implementations);
    }

    void attachingAnnouncesTheValues()
    {
        KxFirmwareUpdater updater;
        SignalRecorder recorder(&updater);
        const QStringList announced{
            "deviceIDChanged",      "availableChanged",       "optionsChanged", "updateStatusMessageChanged",
            "updateVersionChanged", "updateAvailableChanged", "updatingChanged"};

        updater.setDeviceID(QStringLiteral("fw-signals"));
        QCOMPARE(recorder.take(), announced);
        updater.setDeviceID(QStringLiteral("fw-signals"));
        QCOMPARE(recorder.take(), QStringList());
        updater.setDeviceID(QString());
        QCOMPARE(recorder.take(), announced);
        QVERIFY(!updater.isAvailable());
    }
};

QTEST_GUILESS_MAIN(TestKxFirmwareUpdater)
#include "tst_kxfirmwareupdater.moc"
