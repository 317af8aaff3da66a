// The framework's registration as QML documents see it: every registered
// type created (or, for the enumeration holders, read) from QML, calls with
// enumeration arguments reaching the C++ side (parameters, meters and the
// firmware updater among them), the screen singleton being the engine's
// child, and a registration without an engine leaving no screen.

#include "KxFramework.h"
#include "KxScreen.h"

#include <QQmlApplicationEngine>
#include <QQmlComponent>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>

namespace {

const QUrl kMain(QStringLiteral("qrc:/framework-test/main.qml"));

const QByteArray kDocument = R"(
import QtQml
import com.halvorn.kxframework 1.0
QtObject {
    property KxDeviceList list: KxDeviceList {}
    property KxDevice device: KxDevice { deviceID: "02:00:7F:00:89:FE" }
    property KxSystem system: KxSystem {}
    property KxLanguageSelector selector: KxLanguageSelector {}
    property KxFirmwareUpdater updater: KxFirmwareUpdater { deviceID: "02:00:7F:00:89:FE" }
    property KxMeterDataAccessor meter: KxMeterDataAccessor {
        deviceID: "02:00:7F:00:89:FE"; meterID: KxMeterID.Meter1; channel: 1
    }
    property KxCompGraphCalc compressor: KxCompGraphCalc {}
    property KxEQGraphCalc equaliser: KxEQGraphCalc {}
    property int compressorKnee: KxCompGraphCalc.Knee
    property KxParameterAccessor parameter: KxParameterAccessor {
        deviceID: "02:00:7F:00:89:FE"; paramID: KxParamID.Param2; notification: true
    }

    property var enums: [KxDeviceEventID.RequestLogin, KxSystemStatus.FirmwareUpdating,
                         KxSystemEventID.ErrorAlertNotified, KxDevice.Connected, KxScreen.Landscape,
                         KxMeterID.Meter1, KxParamID.Param2, KxParameterAccessor.Value,
                         KxMeterDataAccessor.Text, KxFirmwareUpdater.UpdateUnavailable]
    property bool deviceEvent: device.sendEvent(KxDeviceEventID.InvalidID, {})
    property bool deviceAvailable: device.available
    property int deviceStatus: device.status
    property bool scanStarted: list.startScan({})
    property bool systemEvent: system.sendEvent(KxSystemEventID.NoErrorAlertNotified, {})
    property bool systemActive: system.status === KxSystemStatus.Active
    property string language: selector.currentLanguage
    property int orientation: KxScreen.orientation
    property QtObject screen: KxScreen
    property int parameterNotices: 0
    Component.onCompleted: parameter.currentChanged.connect(function() { parameterNotices += 1 })

    function meterText() { return meter.current(KxMeterDataAccessor.Text) }
    function meterOver() { return meter.over() }
    function parameterAfterIncDec() {
        parameter.setCurrent(5)
        parameter.incDec(3)
        return parameter.current(KxParameterAccessor.Value)
    }
    function updaterValues() {
        updater.update()
        return [updater.available, updater.updateAvailable, updater.updating, updater.updateProgress,
                updater.updateVersion["Main"]]
    }
}
)";

QVariant call(QObject* root, const char* function)
{
    QVariant result;
    if (!QMetaObject::invokeMethod(root, function, Q_RETURN_ARG(QVariant, result)))
        return QStringLiteral("no function %1").arg(QLatin1String(function));
    return result;
}

} // namespace

class TestKxFramework : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void withoutEngineNoScreen()
    {
        KxFramework::initialize(QCoreApplication::instance(), nullptr, kMain);
        QCOMPARE(g_pKxScreen, nullptr);
    }

    void typesSeenByQml()
    {
        QQmlApplicationEngine engine;
        KxFramework::initialize(QCoreApplication::instance(), &engine, kMain);
        QVERIFY(g_pKxScreen != nullptr);
        QCOMPARE(g_pKxScreen->parent(), &engine);

        QSignalSpy created(&engine, &QQmlApplicationEngine::objectCreated);
        engine.loadData(kDocument, kMain);
        QCOMPARE(created.size(), 1);
        QCOMPARE(engine.rootObjects().size(), 1);
        QObject* root = engine.rootObjects().first();

        for (const char* name :
             {"list", "device", "system", "selector", "updater", "meter", "parameter", "compressor", "equaliser"})
            QVERIFY2(root->property(name).value<QObject*>() != nullptr, name);
        QCOMPARE(root->property("enums").toList(), (QVariantList{1, 2, 4, 3, 2, 0, 1, 2, 3, 2}));
        QCOMPARE(root->property("compressorKnee").toInt(), 2);
        QCOMPARE(root->property("deviceEvent").toBool(), true);
        QCOMPARE(root->property("deviceAvailable").toBool(), true);
        QCOMPARE(root->property("deviceStatus").toInt(), 0);
        QCOMPARE(root->property("scanStarted").toBool(), false);
        QCOMPARE(root->property("systemEvent").toBool(), false);
        QCOMPARE(root->property("systemActive").toBool(), true);
        QCOMPARE(root->property("language").toString(), QString());
        QCOMPARE(root->property("orientation").toInt(), int(KxScreen::Uninitialized));
        QCOMPARE(root->property("screen").value<QObject*>(), g_pKxScreen);

        QCOMPARE(call(root, "meterText"), QVariant(QStringLiteral("100dB")));
        QCOMPARE(call(root, "meterOver"), QVariant(true));
        QCOMPARE(call(root, "parameterAfterIncDec").toInt(), 8);
        QCOMPARE(root->property("parameterNotices").toInt(), 2);
        QCOMPARE(call(root, "updaterValues").toList(), (QVariantList{true, true, false, 0, "TestVer1.2.x"}));
    }

    void enumerationHoldersAreNotCreatable_data()
    {
        QTest::addColumn<QString>("type");
        QTest::newRow("device events") << "KxDeviceEventID";
        QTest::newRow("system status") << "KxSystemStatus";
        QTest::newRow("system events") << "KxSystemEventID";
        QTest::newRow("meter ids") << "KxMeterID";
        QTest::newRow("parameter ids") << "KxParamID";
    }

    void enumerationHoldersAreNotCreatable()
    {
        QFETCH(QString, type);
        QQmlEngine engine;
        QQmlComponent component(&engine);
        component.setData(QStringLiteral("import com.halvorn.kxframework 1.0\n%1 {}\n").arg(type).toUtf8(),
                          QUrl(QStringLiteral("qrc:/framework-test/holder.qml")));
        QVERIFY(component.isError());
        QVERIFY2(component.errorString().contains(QStringLiteral("only holds an enumeration")),
                 qPrintable(component.errorString()));
    }

    void screenGoesWithTheEngine()
    {
        {
            QQmlApplicationEngine engine;
            KxFramework::initialize(QCoreApplication::instance(), &engine, kMain);
            QVERIFY(g_pKxScreen != nullptr);
        }
        QCOMPARE(g_pKxScreen, nullptr);
    }
};

QTEST_MAIN(TestKxFramework)
#include "tst_kxframework.moc"
