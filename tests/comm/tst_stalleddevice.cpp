// Waits under interleaving: one device that stalls (its TLS handshake, or a
// request on an open connection) beside a healthy one. Whatever the stalling
// device does, the healthy one's exchanges return in their own time and
// report what became of their own reply; the stalled device is reached
// again soon after it answers.

#include "DeviceFacade.h"
#include "DeviceNotificationObserver.h"
#include "DeviceProcess.h"
#include "DeviceRecord.h"
#include "FileUploader.h"
#include "HttpAccessManager.h"
#include "MultiPartBody.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

constexpr char kHealthy[] = "127.0.124.1";
constexpr char kStalling[] = "127.0.124.2";
constexpr char kPassword[] = "Stall-124";
constexpr int kPort = 60010;

QByteArray authCode()
{
    return md5Hex(kPassword).toLatin1();
}

QString deviceId(int index)
{
    return QStringLiteral("02:00:7F:00:7C:0%1").arg(index + 1);
}

enum class Situation {
    AnsweredInsideAnotherWait, // a reply answered at once, its wait outlasted by another inside it
    QuitDuringWait, // the application quits while a send waits
    ReloginBesideUpload, // a stalled device's re-logins run during an upload elsewhere
    FreshConnectionAfterTimeout, // a time-out while an upload to another device is in flight
};

} // namespace

Q_DECLARE_METATYPE(Situation)

class TestStalledDevice : public QObject
{
    Q_OBJECT

private:
    DeviceProcess m_devices;
    QTemporaryDir m_dir;

    QString fault(int index, const QString& what)
    {
        return m_devices.command(QStringLiteral("fault d%1 %2").arg(index + 1).arg(what));
    }

    // A synchronous GET of the settings: the send's result, the status.
    static int32_t get(HttpAccessManager& http, const char* host, unsigned timeoutMs, int& status)
    {
        int id = -1;
        http.createSyncRequest("https", host, "/api/v1/settings/self", nullptr, kPort, id, authCode().constData());
        http.setTimeout(id, timeoutMs);
        int32_t result = http.sendGetRequest(id);
        if (result == 0)
            result = http.getResponseStatusCode(id, status);
        http.deleteRequest(id);
        return result;
    }

    // A firmware file of `bytes` for the uploads.
    QString firmware(qint64 bytes)
    {
        const QString path = m_dir.filePath(QStringLiteral("tq-1.0.1.bundle"));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || !file.resize(bytes))
            return QString();
        return path;
    }

private Q_SLOTS:
    void initTestCase()
    {
        registerDeviceMetaTypes();
        QVERIFY(m_dir.isValid());
        DeviceArguments arguments;
        for (const char* address : {kHealthy, kStalling})
            arguments.device(address).mac(deviceId(address == kHealthy ? 0 : 1)).model("TQ-730").password(kPassword);
        QVERIFY2(m_devices.start(arguments.httpsPort(kPort).updateSteps(1, 100).rebootMs(0)),
                 qPrintable(m_devices.errorText()));
    }

    void cleanup() { QCOMPARE(m_devices.command(QStringLiteral("fault all clear")), QStringLiteral("ok")); }

    void waits_data()
    {
        QTest::addColumn<Situation>("situation");
        QTest::addColumn<QString>("stall");
        QTest::newRow("answered while another wait ran inside")
            << Situation::AnsweredInsideAnotherWait << QStringLiteral("request stall");
        QTest::newRow("application quits during a wait")
            << Situation::QuitDuringWait << QStringLiteral("request stall");
        QTest::newRow("stalled re-login beside an upload")
            << Situation::ReloginBesideUpload << QStringLiteral("connect stall-tls");
        QTest::newRow("stalled handshake beside an upload")
            << Situation::FreshConnectionAfterTimeout << QStringLiteral("connect stall-tls");
    }

    void waits()
    {
        QFETCH(Situation, situation);
        QFETCH(QString, stall);
        HttpAccessManager http;
        int status = 0;
        // A healthy first exchange with each: pooled connections to both,
        // on which a request then stalls.
        if (stall == QLatin1String("request stall")) {
            QCOMPARE(get(http, kHealthy, 5000, status), 0);
            QCOMPARE(get(http, kStalling, 5000, status), 0);
        }
        QCOMPARE(fault(1, stall), QStringLiteral("ok"));
        QElapsedTimer clock;
        clock.start();

        switch (situation) {
        case Situation::AnsweredInsideAnotherWait: {
            // The inner wait (the stalling device, 2 s) outlasts the outer
            // one's time-out (1 s); the outer reply was answered at once.
            int32_t inner = 0;
            QTimer::singleShot(0, this, [&] {
                int innerStatus = 0;
                inner = get(http, kStalling, 2000, innerStatus);
            });
            status = 0;
            QCOMPARE(get(http, kHealthy, 1000, status), 0);
            QCOMPARE(status, 200);
            QCOMPARE(inner, HttpAccessManager::kTimedOut);
            break;
        }
        case Situation::QuitDuringWait: {
            QTimer::singleShot(200, qApp, [] { QCoreApplication::exit(0); });
            int id = -1;
            QCOMPARE(http.createSyncRequest("https", kStalling, "/api/v1/settings/self", nullptr, kPort, id,
                                            authCode().constData()),
                     0);
            QCOMPARE(http.sendGetRequest(id), HttpAccessManager::kNoStatus);
            http.deleteRequest(id);
            QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
            // A quit leaves every later loop of this thread ending at once
            // until an application loop has run out.
            QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
            QCoreApplication::exec();
            break;
        }
        case Situation::ReloginBesideUpload: {
            // The stalling device's channel fails; its re-logins (every
            // second, each stalling 10 s) must not hold the upload's wait.
            DeviceFacade facade;
            DeviceNotificationObserver observer(facade, http, {1000, 10000});
            for (int i = 0; i < 2; ++i) {
                facade.activateDevice(QLatin1String(i == 0 ? kHealthy : kStalling), QStringLiteral("TQ-730"),
                                      QStringLiteral("Stall"), deviceId(i));
                facade.setDeviceParameter(deviceId(i), DeviceParameter::AcceptedMd5Password,
                                          QString::fromLatin1(authCode()), DeviceFindPolicy::ById);
                facade.setDeviceParameter(deviceId(i), DeviceParameter::LoggedInStatus, true, DeviceFindPolicy::ById);
            }

            // 2.5 MiB at 1 MiB/s: about two and a half seconds on the healthy
            // device, measured once before and once while the re-logins run.
            QCOMPARE(fault(0, QStringLiteral("throttle 1m")), QStringLiteral("ok"));
            const auto upload = [&] {
                MultiPartBody body(firmware(5 * 512 * 1024));
                FileUploader uploader(QLatin1String(kHealthy), "/api/v1/files/firmware", &body);
                QElapsedTimer took;
                took.start();
                int answer = 0;
                if (body.generate() != 0 || uploader.upload(QString::fromLatin1(authCode()), 60000) != 0
                    || uploader.getResponseStatusCode(answer) != 0 || answer != 200)
                    return qint64(-1);
                return took.elapsed();
            };
            const qint64 alone = upload();
            QVERIFY(alone > 0);
            observer.startReconnect(deviceId(1), kPort);
            QTRY_VERIFY(observer.isReconnecting(deviceId(1), kPort));
            // Ticks every second: re-logins start, and stall, during the upload.
            const qint64 beside = upload();
            QVERIFY(beside > 0);
            QVERIFY2(beside < alone + 1000, qPrintable(QStringLiteral("%1 ms, alone %2 ms").arg(beside).arg(alone)));

            // Reached again soon after it answers normally.
            QCOMPARE(fault(1, QStringLiteral("clear")), QStringLiteral("ok"));
            clock.restart();
            const auto connection
                = [&facade] { return recordValue(facade, deviceId(1), DeviceParameter::ConnectionStatus).toInt(); };
            QTRY_COMPARE_WITH_TIMEOUT(connection(), toInt(ConnectionStatus::Connected), 12000);
            QVERIFY2(clock.elapsed() <= 10000, qPrintable(QString::number(clock.elapsed())));
            break;
        }
        case Situation::FreshConnectionAfterTimeout: {
            // An upload to the healthy device stays in flight throughout.
            QCOMPARE(fault(0, QStringLiteral("throttle 512k")), QStringLiteral("ok"));
            MultiPartBody body(firmware(2 * 1024 * 1024));
            QCOMPARE(body.generate(), 0);
            int uploadId = -1;
            bool uploaded = false;
            QCOMPARE(http.createAsyncRequest(
                         "https", kHealthy, "/api/v1/files/firmware", nullptr, kPort,
                         [&uploaded](int) { uploaded = true; }, uploadId, authCode().constData()),
                     0);
            QCOMPARE(http.sendPostRequest(uploadId, body.takeStreamedBody()), 0);

            QCOMPARE(get(http, kStalling, 500, status), HttpAccessManager::kTimedOut);
            QCOMPARE(fault(1, QStringLiteral("connect normal")), QStringLiteral("ok"));
            status = 0;
            QCOMPARE(get(http, kStalling, 3000, status), 0);
            QCOMPARE(status, 200);
            QVERIFY(!uploaded);
            QTRY_VERIFY_WITH_TIMEOUT(uploaded, 20000);
            QCOMPARE(http.getResponseStatusCode(uploadId, status), 0);
            QCOMPARE(status, 200);
            http.deleteRequest(uploadId);
            break;
        }
        }
    }

    void cleanupTestCase() { QVERIFY(m_devices.stop()); }
};

QTEST_GUILESS_MAIN(TestStalledDevice)
#include "tst_stalleddevice.moc"
