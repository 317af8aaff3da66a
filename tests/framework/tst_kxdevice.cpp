// The device object for the views: fronts of one id sharing one
// implementation (and a fresh one once all of them are gone), record changes
// turned into property signals, the defaults without an implementation and
// for an id the facade does not know, and the login through sendEvent against
// a virtual device on a loopback address of its own (port 60010).

#include "AlertNotifier.h"
#include "DeviceFacade.h"
#include "DeviceNotificationObserver.h"
#include "DeviceProcess.h"
#include "HttpAccessManager.h"
#include "KxDevice.h"
#include "KxDeviceImpl.h"

#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {

constexpr char kLoginAddress[] = "127.0.136.1";
constexpr char kLoginId[] = "02:00:7F:00:88:01";
constexpr char kPassword[] = "Kx-Device-136";
constexpr int kPushPort = 60010;

// Ids registered with the process-wide facade by the cases that need them.
constexpr char kSharedId[] = "02:00:7F:00:88:11";
constexpr char kTableId[] = "02:00:7F:00:88:12";
constexpr char kLateId[] = "02:00:7F:00:88:13";

DeviceFacade& facade()
{
    return DeviceFacade::getInstance();
}

void registerDevice(const QString& id, const QString& hostName)
{
    facade().updateDevice(id, QStringLiteral("TQ-730"), hostName, QStringLiteral("127.0.136.9"));
}

// The names of the front's eight property signals, in the order they come.
class PropertySignals
{
public:
    explicit PropertySignals(KxDevice& device)
    {
        const std::pair<void (KxDevice::*)(), const char*> signalNames[] = {
            {&KxDevice::deviceIDChanged, "deviceIDChanged"},
            {&KxDevice::availableChanged, "availableChanged"},
            {&KxDevice::metaDataChanged, "metaDataChanged"},
            {&KxDevice::modelIDChanged, "modelIDChanged"},
            {&KxDevice::deviceNameChanged, "deviceNameChanged"},
            {&KxDevice::versionChanged, "versionChanged"},
            {&KxDevice::statusChanged, "statusChanged"},
            {&KxDevice::statusOptionsChanged, "statusOptionsChanged"},
        };
        for (const auto& [signal, name] : signalNames) {
            const QString text = QLatin1String(name);
            QObject::connect(&device, signal, &device, [this, text] { m_names << text; });
        }
    }
    QStringList take() { return std::exchange(m_names, {}); }

private:
    QStringList m_names;
};

const QStringList kAllEight{"deviceIDChanged",   "availableChanged", "metaDataChanged", "modelIDChanged",
                            "deviceNameChanged", "versionChanged",   "statusChanged",   "statusOptionsChanged"};

} // namespace

class TestKxDevice : public QObject
{
    Q_OBJECT

private:
    DeviceProcess m_device;

private Q_SLOTS:
    void initTestCase()
    {
        registerDeviceMetaTypes();
        QCOMPARE(AlertNotifier::initialize(), 0);
        QVERIFY2(m_device.start(DeviceArguments()
                                    .device(kLoginAddress)
                                    .mac(kLoginId)
                                    .model("TQ-730")
                                    .name("KxDevice")
                                    .password(kPassword)
                                    .version("1.0.0")
                                    .httpsPort(kPushPort)),
                 qPrintable(m_device.errorText()));
        QCOMPARE(m_device.httpsPort(0), quint16(kPushPort));
    }

    void sharedImplementation()
    {
        registerDevice(QLatin1String(kSharedId), QStringLiteral("Before"));
        KxDevice first;
        KxDevice second;
        first.setDeviceID(QLatin1String(kSharedId));
        second.setDeviceID(QLatin1String(kSharedId));
        QSignalSpy firstNames(&first, &KxDevice::deviceNameChanged);
        QSignalSpy secondNames(&second, &KxDevice::deviceNameChanged);

        QVERIFY(facade().setDeviceParameter(QLatin1String(kSharedId), DeviceParameter::HostName,
                                            QStringLiteral("After"), DeviceFindPolicy::ById));
        QCOMPARE(firstNames.size(), 1);
        QCOMPARE(secondNames.size(), 1);
        QCOMPARE(first.deviceName(), QStringLiteral("After"));
        QCOMPARE(second.deviceName(), QStringLiteral("After"));
        QCOMPARE(first.modelID(), QStringLiteral("TQ-730"));
        QCOMPARE(first.metaData().value(QStringLiteral("networkSettings")).toMap().value(QStringLiteral("ipAddress")),
                 QVariant(QStringLiteral("127.0.136.9")));
        QCOMPARE(first.status(), KxDevice::InvalidDeviceStatus);
    }

    // An implementation made before its device was registered never hears of
    // the record; one that outlives all its fronts would keep that blindness.
    void sharingEndsWithTheLastFront()
    {
        const QString id = QLatin1String(kLateId);
        auto early = std::make_unique<KxDevice>();
        early->setDeviceID(id);
        QCOMPARE(early->status(), KxDevice::Lost);
        registerDevice(id, QStringLiteral("Late"));

        auto sharing = std::make_unique<KxDevice>();
        sharing->setDeviceID(id);
        QSignalSpy shared(sharing.get(), &KxDevice::deviceNameChanged);
        QVERIFY(facade().setDeviceParameter(id, DeviceParameter::HostName, QStringLiteral("Later"),
                                            DeviceFindPolicy::ById));
        QCOMPARE(shared.size(), 0);
        QCOMPARE(sharing->deviceName(), QStringLiteral("Later"));

        early.reset();
        sharing.reset();
        KxDevice fresh;
        fresh.setDeviceID(id);
        QSignalSpy names(&fresh, &KxDevice::deviceNameChanged);
        QVERIFY(facade().setDeviceParameter(id, DeviceParameter::HostName, QStringLiteral("Latest"),
                                            DeviceFindPolicy::ById));
        QCOMPARE(names.size(), 1);
    }

    void recordChangeSignals_data()
    {
        QTest::addColumn<DeviceParameter>("parameter");
        QTest::addColumn<QStringList>("emitted");

        const QStringList none;
        const QStringList metaData{"metaDataChanged"};
        const QStringList statusOptions{"statusOptionsChanged"};
        QTest::newRow("0 device id") << DeviceParameter::DeviceId << none;
        QTest::newRow("1 host name") << DeviceParameter::HostName << QStringList{"deviceNameChanged"};
        QTest::newRow("2 model name") << DeviceParameter::ModelName << QStringList{"modelIDChanged"};
        QTest::newRow("3 version") << DeviceParameter::Version << QStringList{"versionChanged"};
        QTest::newRow("4 serial number") << DeviceParameter::SerialNumber << metaData;
        QTest::newRow("5 connection status")
            << DeviceParameter::ConnectionStatus << QStringList{"statusChanged", "statusOptionsChanged"};
        QTest::newRow("6 authentication code") << DeviceParameter::AcceptedMd5Password << none;
        QTest::newRow("7 network settings") << DeviceParameter::AllNetworkSettings << metaData;
        QTest::newRow("8 ip address") << DeviceParameter::IpAddress << metaData;
        QTest::newRow("9 subnet mask") << DeviceParameter::SubnetMask << metaData;
        QTest::newRow("10 default gateway") << DeviceParameter::DefaultGateway << metaData;
        QTest::newRow("11 dns 1") << DeviceParameter::DnsServer1 << metaData;
        QTest::newRow("12 dns 2") << DeviceParameter::DnsServer2 << metaData;
        QTest::newRow("13 device status") << DeviceParameter::AllDeviceStatus << statusOptions;
        QTest::newRow("14 logged in") << DeviceParameter::LoggedInStatus << statusOptions;
        QTest::newRow("15 running status") << DeviceParameter::RunningStatus << statusOptions;
        QTest::newRow("16 firmware upload") << DeviceParameter::FirmwareUploadProgress << statusOptions;
        QTest::newRow("17 update progress") << DeviceParameter::UpdateProgress << statusOptions;
        QTest::newRow("18 update result") << DeviceParameter::UpdateResult << statusOptions;
        QTest::newRow("19 config upload") << DeviceParameter::ConfigUploadProgress << statusOptions;
        QTest::newRow("20 import result") << DeviceParameter::ImportResult << statusOptions;
        QTest::newRow("21 image upload") << DeviceParameter::StandbyScreenImageUploadProgress << statusOptions;
        QTest::newRow("22 image result") << DeviceParameter::StandbyImageResult << statusOptions;
    }

    void recordChangeSignals()
    {
        QFETCH(DeviceParameter, parameter);
        QFETCH(QStringList, emitted);

        registerDevice(QLatin1String(kTableId), QStringLiteral("Table"));
        KxDevice device;
        device.setDeviceID(QLatin1String(kTableId));
        PropertySignals names(device);
        std::shared_ptr<DeviceData> record;
        QVERIFY(facade().getDeviceData(QLatin1String(kTableId), record));
        record->notify(parameter);
        QCOMPARE(names.take(), emitted);
    }

    void withoutImplementation()
    {
        registerDevice(QLatin1String(kTableId), QStringLiteral("Table"));
        KxDevice device;
        PropertySignals names(device);
        device.setDeviceID(QLatin1String(kTableId));
        QCOMPARE(names.take(), kAllEight);
        QVERIFY(device.isAvailable());
        QCOMPARE(device.deviceName(), QStringLiteral("Table"));

        device.setDeviceID(QString());
        QCOMPARE(names.take(), kAllEight);
        device.setDeviceID(QString());
        QCOMPARE(names.take(), QStringList());

        QCOMPARE(device.deviceID(), QString());
        QCOMPARE(device.isAvailable(), false);
        QCOMPARE(device.status(), KxDevice::InvalidDeviceStatus);
        QCOMPARE(device.deviceName(), QString());
        QCOMPARE(device.modelID(), QString());
        QCOMPARE(device.version(), QString());
        QCOMPARE(device.metaData(), QVariantMap());
        QCOMPARE(device.statusOptions(), QVariantMap());
        QCOMPARE(device.requestConnect(), false);
        QCOMPARE(device.disconnect(), false);
        QCOMPARE(device.sendEvent(KxDeviceEventID::RequestLogin, {{"password", "x"}}), false);

        // The record still changes; the detached front hears nothing of it.
        std::shared_ptr<DeviceData> record;
        QVERIFY(facade().getDeviceData(QLatin1String(kTableId), record));
        record->notifyAllParameters();
        QCOMPARE(names.take(), QStringList());
    }

    void unknownDevice()
    {
        const QString id = QStringLiteral("02:00:7F:00:88:EE");
        KxDevice device;
        device.setDeviceID(id);
        PropertySignals names(device);
        QCOMPARE(device.isAvailable(), true);
        QCOMPARE(device.status(), KxDevice::Lost);
        QCOMPARE(device.deviceName(), QString());
        QCOMPARE(device.metaData(), QVariantMap());
        QCOMPARE(device.statusOptions(), QVariantMap());
        QCOMPARE(device.requestConnect(), false);
        QCOMPARE(device.sendEvent(KxDeviceEventID::InvalidID), true);

        registerDevice(id, QStringLiteral("Unknown"));
        facade().activateDevice(QStringLiteral("127.0.136.9"), QStringLiteral("TQ-730"), QStringLiteral("Seen"), id);
        QCOMPARE(names.take(), QStringList());
        // Reads still go to the facade at the moment of the read.
        QCOMPARE(device.deviceName(), QStringLiteral("Seen"));
        QCOMPARE(device.status(), KxDevice::Found);
    }

    void login_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QList<unsigned int>>("alerts");
        QTest::addColumn<bool>("loggedIn");
        QTest::addColumn<int>("sessions");

        QTest::newRow("wrong password") << "kx-device-136" << QList<unsigned int>{0x80110001u} << false << 0;
        QTest::newRow("no password") << "" << QList<unsigned int>{0x80110001u} << false << 0;
        QTest::newRow("right password") << QString::fromLatin1(kPassword) << QList<unsigned int>{} << true << 1;
    }

    void login()
    {
        QFETCH(QString, password);
        QFETCH(QList<unsigned int>, alerts);
        QFETCH(bool, loggedIn);
        QFETCH(int, sessions);

        DeviceFacade ownFacade;
        HttpAccessManager http;
        DeviceNotificationObserver observer(ownFacade, http);
        const QString id = QLatin1String(kLoginId);
        ownFacade.activateDevice(QLatin1String(kLoginAddress), QStringLiteral("TQ-730"), QStringLiteral("KxDevice"),
                                 id);
        KxDeviceImpl device(id, ownFacade, http, &observer);
        QSignalSpy alerted(AlertNotifier::getInstance(), &AlertNotifier::notifyAlert);
        QSignalSpy status(&device, &KxDeviceAbstractImpl::statusChanged);

        QVariantMap options;
        if (!password.isEmpty())
            options.insert(QStringLiteral("password"), password);
        QVERIFY(device.sendEvent(KxDeviceEventID::RequestLogin, options));

        // The views read the flag right after the call returns.
        QCOMPARE(device.statusOptions().value(QStringLiteral("loggedIn")).toBool(), loggedIn);
        QList<unsigned int> codes;
        for (const QList<QVariant>& alert : alerted)
            codes << alert.first().toUInt();
        QCOMPARE(codes, alerts);
        QCOMPARE(observer.sessionCount(), sessions);
        if (sessions > 0) {
            QTRY_COMPARE_WITH_TIMEOUT(device.status(), int(KxDevice::Connected), 10000);
            QCOMPARE(status.size(), 1);
            QCOMPARE(device.version(), QStringLiteral("1.0.0"));
            QCOMPARE(observer.destroySession(QLatin1String(kLoginId), kPushPort), 0);
        } else {
            QCOMPARE(device.status(), int(KxDevice::Found));
            QVERIFY(status.isEmpty());
        }
    }

    void cleanupTestCase()
    {
        QVERIFY(m_device.stop());
        AlertNotifier::finalize();
    }
};

QTEST_GUILESS_MAIN(TestKxDevice)
#include "tst_kxdevice.moc"
