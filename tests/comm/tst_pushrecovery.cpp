// A logged-in device whose push channel goes away, end to end on a loopback
// address of its own (port 60010, as devices listen): the channel dropped,
// the device rebooting after a firmware update, the device rebooting for
// longer than a retry period. With no operator action the record comes back
// connected and logged in, with the version the device now runs, within 10 s
// of the device being back.

#include "DeviceProcess.h"
#include "DeviceRecord.h"
#include "FileUploader.h"
#include "MultiPartBody.h"
#include "PushSessionFixture.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

#include <memory>

namespace {

constexpr char kAddress[] = "127.0.118.1";
constexpr char kDeviceId[] = "02:00:7F:00:76:01";
constexpr char kPassword[] = "reboot-118";
constexpr int kPort = 60010;
constexpr int kBackWithinMs = 10000;

} // namespace

class TestPushRecovery : public QObject
{
    Q_OBJECT

private:
    DeviceProcess m_device;
    QTemporaryDir m_dir;
    std::unique_ptr<PushSessionFixture> m_push;
    QList<int> m_connection; // every connection status the record was given

    QVariant value(DeviceParameter parameter) const
    {
        return recordValue(m_push->facade(), QLatin1String(kDeviceId), parameter);
    }

    bool connectedAndLoggedIn() const
    {
        return value(DeviceParameter::ConnectionStatus).toInt() == toInt(ConnectionStatus::Connected)
               && value(DeviceParameter::LoggedInStatus).toBool();
    }

    int32_t uploadFirmware(const QString& name, int& status)
    {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        const QByteArray content(20000, 'f');
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            return -1;
        file.close();
        MultiPartBody body(path);
        const int32_t built = body.generate();
        if (built != 0)
            return built;
        FileUploader uploader(QLatin1String(kAddress), "/api/v1/files/firmware", &body);
        const int32_t sent = uploader.upload(md5Hex(kPassword), 60000);
        if (sent != 0)
            return sent;
        return uploader.getResponseStatusCode(status);
    }

private Q_SLOTS:
    void initTestCase()
    {
        registerDeviceMetaTypes();
        QVERIFY(m_dir.isValid());
        QVERIFY2(m_device.start(DeviceArguments()
                                    .device(kAddress)
                                    .mac(kDeviceId)
                                    .model("TQ-730")
                                    .name("Recovery")
                                    .password(kPassword)
                                    .version("1.0.0")
                                    .httpsPort(kPort)
                                    .updateSteps(20, 50)),
                 qPrintable(m_device.errorText()));
    }

    void init()
    {
        // Discovery saw the device; the operator logged in once.
        m_connection.clear();
        m_push = std::make_unique<PushSessionFixture>();
        QVERIFY(m_push->isWired());
        m_push->facade().activateDevice(QLatin1String(kAddress), QStringLiteral("TQ-730"), QStringLiteral("Recovery"),
                                        QLatin1String(kDeviceId));
        std::shared_ptr<DeviceData> record;
        QVERIFY(m_push->facade().getDeviceData(QLatin1String(kDeviceId), record));
        connect(record.get(), &DeviceData::dataChanged, this, [this](const QString&, DeviceParameter type) {
            if (type == DeviceParameter::ConnectionStatus)
                m_connection.append(value(DeviceParameter::ConnectionStatus).toInt());
        });
        QCOMPARE(m_push->logIn(QLatin1String(kDeviceId), md5Hex(kPassword)), 0);
        QCOMPARE(m_push->openSession(QLatin1String(kDeviceId), kPort), 0);
        QTRY_VERIFY_WITH_TIMEOUT(connectedAndLoggedIn(), 10000);
        m_connection.clear();
    }

    void cleanup()
    {
        QCOMPARE(m_device.command(QStringLiteral("fault d1 clear")), QStringLiteral("ok"));
        QCOMPARE(m_device.command(QStringLiteral("set d1 version 1.0.0")), QStringLiteral("ok"));
        m_push.reset();
    }

    void recovers_data()
    {
        QTest::addColumn<QString>(
            "trigger"); // "drop": the channel only; "update": a firmware file; "reboot": on command
        QTest::addColumn<int>("rebootMs");
        QTest::addColumn<QString>("version"); // what the record shows afterwards

        QTest::newRow("channel dropped") << "drop" << 3000 << "1.0.0";
        QTest::newRow("reboot after a firmware update") << "update" << 3000 << "2.7.1";
        // Installed by other means before the reboot: only a new login shows it.
        QTest::newRow("reboot longer than a retry period") << "reboot" << 7000 << "3.0.0";
    }

    void recovers()
    {
        QFETCH(QString, trigger);
        QFETCH(int, rebootMs);
        QFETCH(QString, version);
        QCOMPARE(m_device.command(QStringLiteral("fault d1 reboot-ms %1").arg(rebootMs)), QStringLiteral("ok"));
        QSignalSpy relogins(&m_push->observer(), &DeviceNotificationObserver::reloginAttempted);
        const int from = m_device.lineCount();

        if (trigger == QLatin1String("drop")) {
            QCOMPARE(m_device.command(QStringLiteral("push d1 drop")), QStringLiteral("ok dropped=1"));
        } else if (trigger == QLatin1String("reboot")) {
            QCOMPARE(m_device.command(QStringLiteral("set d1 version %1").arg(version)), QStringLiteral("ok"));
            QCOMPARE(m_device.command(QStringLiteral("reboot d1")), QStringLiteral("ok"));
        } else {
            int status = 0;
            QCOMPARE(uploadFirmware(QStringLiteral("tq-%1.bundle").arg(version), status), 0);
            QCOMPARE(status, 200);
            // The installation's reports reach the record through the channel.
            QTRY_COMPARE_WITH_TIMEOUT(value(DeviceParameter::UpdateResult).toInt(), 0, 10000);
            QCOMPARE(value(DeviceParameter::UpdateProgress).toInt(), 100);
        }
        if (trigger != QLatin1String("drop")) {
            QVERIFY(m_device.waitForLineContaining(QStringLiteral("reboot started"), 10000, from));
            QTRY_VERIFY_WITH_TIMEOUT(!connectedAndLoggedIn(), 5000);
            QVERIFY(m_device.waitForLineContaining(QStringLiteral("reboot finished version=%1").arg(version),
                                                   rebootMs + 10000, from));
        }
        QElapsedTimer back;
        back.start();
        QTRY_VERIFY_WITH_TIMEOUT(connectedAndLoggedIn(), kBackWithinMs + 2000);
        QVERIFY2(back.elapsed() <= kBackWithinMs, qPrintable(QString::number(back.elapsed())));
        qInfo("back %lld ms after the device, %lld login attempts", static_cast<long long>(back.elapsed()),
              static_cast<long long>(relogins.size()));
        QCOMPARE(value(DeviceParameter::Version).toString(), version);

        // The channel went and came back, through a fresh login.
        QVERIFY(!m_connection.isEmpty());
        QCOMPARE(m_connection.last(), toInt(ConnectionStatus::Connected));
        QVERIFY(std::any_of(m_connection.cbegin(), m_connection.cend(),
                            [](int status) { return status != toInt(ConnectionStatus::Connected); }));
        QVERIFY(!relogins.isEmpty());
        QCOMPARE(relogins.last().at(2).toInt(), 0);
        if (rebootMs > 5000 && trigger == QLatin1String("reboot"))
            QVERIFY2(relogins.size() >= 2, "a login attempt failed while the device was down");
        QTRY_COMPARE_WITH_TIMEOUT(m_push->observer().reconnectCount(), 0, 5000);
        QCOMPARE(m_push->observer().sessionCount(), 1);

        // And the channel works: a change on the device reaches the record.
        QCOMPARE(m_device.command(QStringLiteral("state d1 busy")), QStringLiteral("ok"));
        QTRY_COMPARE_WITH_TIMEOUT(value(DeviceParameter::RunningStatus).toInt(), 1, 5000);
        QCOMPARE(m_device.command(QStringLiteral("state d1 idle")), QStringLiteral("ok"));
        QTRY_COMPARE_WITH_TIMEOUT(value(DeviceParameter::RunningStatus).toInt(), 0, 5000);
    }

    void cleanupTestCase() { QVERIFY(m_device.stop()); }
};

QTEST_GUILESS_MAIN(TestPushRecovery)
#include "tst_pushrecovery.moc"
