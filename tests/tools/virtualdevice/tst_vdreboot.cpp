// The virtual device's reboot, seen from outside: after a successful firmware
// update or on command it drops its push channels and connections, stays
// silent on discovery and HTTPS for its reboot time, and comes back with the
// version it now runs and the settings it had.

#include "DeviceProcess.h"
#include "LndpAnnouncement.h"
#include "PushClient.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <memory>

namespace {

const QString kAddress = QStringLiteral("127.0.41.2");
constexpr int kRebootMs = 2500; // room for the checks made while the device is down

} // namespace

class TestReboot : public QObject
{
    Q_OBJECT

private:
    DeviceProcess m_devices;
    QTemporaryDir m_dir;
    QUdpSocket m_lndp;
    int m_answers = 0;

    std::unique_ptr<PushClient> connectClient()
    {
        auto client = std::make_unique<PushClient>(m_devices.authorization(0));
        if (!client->open(m_devices.address(0), m_devices.httpsPort(0)))
            return nullptr;
        return client;
    }

    int uploadFirmware(const QString& name)
    {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        const QByteArray content(5000, 'f');
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            return -1;
        file.close();
        return curlStatus(curl({QStringLiteral("-u"), m_devices.credentials(0), QStringLiteral("-F"),
                                QStringLiteral("hash_value=") + QString::fromLatin1(md5Of(path)), QStringLiteral("-F"),
                                QStringLiteral("firmware_file=@%1;type=application/octet-stream").arg(path),
                                m_devices.url(0, QStringLiteral("/api/v1/files/firmware"))}));
    }

    QJsonObject settings()
    {
        const ToolResult r = curl({QStringLiteral("-u"), m_devices.credentials(0),
                                   m_devices.url(0, QStringLiteral("/api/v1/settings/self"))});
        if (curlStatus(r) != 200)
            return QJsonObject();
        const QByteArray body = r.out.left(r.out.lastIndexOf("status="));
        return QJsonDocument::fromJson(body).object();
    }

    // One announcement; true when the device answered within waitMs. A
    // silence can only be watched for a while.
    bool answersDiscovery(int waitMs)
    {
        const int before = m_answers;
        const QByteArray datagram = lndpAnnouncement(QHostAddress(QStringLiteral("127.0.41.1")));
        if (m_lndp.writeDatagram(datagram, QHostAddress(kAddress), m_devices.lndpPort()) != datagram.size())
            return false;
        QDeadlineTimer deadline(waitMs);
        while (m_answers == before && !deadline.hasExpired())
            QTest::qWait(20);
        return m_answers > before;
    }

    // What becomes of a TCP connection attempt on the HTTPS port.
    QString connectOutcome()
    {
        QTcpSocket socket;
        socket.connectToHost(kAddress, m_devices.httpsPort(0));
        if (socket.waitForConnected(5000))
            return QStringLiteral("connected");
        if (socket.error() == QAbstractSocket::ConnectionRefusedError)
            return QStringLiteral("refused");
        return socket.errorString();
    }

    QString listLine()
    {
        const int from = m_devices.lineCount();
        if (m_devices.command(QStringLiteral("list")) != QLatin1String("ok"))
            return QString();
        const QStringList lines = m_devices.lines();
        for (int i = from; i < lines.size(); ++i) {
            if (lines.at(i).startsWith(QLatin1String("device d1 ")))
                return lines.at(i);
        }
        return QString();
    }

    // While the device is down: no discovery answer, connections refused.
    void checkDown()
    {
        QVERIFY2(listLine().endsWith(QLatin1String(" power=rebooting")), qPrintable(listLine()));
        QCOMPARE(connectOutcome(), QStringLiteral("refused"));
        QVERIFY(!answersDiscovery(500));
    }

    // Back up: discovery, HTTPS and a new push channel work again.
    void checkUp(const QString& version)
    {
        QVERIFY2(listLine().endsWith(QLatin1String(" power=up")), qPrintable(listLine()));
        QVERIFY(answersDiscovery(5000));
        const QJsonObject sys = settings().value(QStringLiteral("sys")).toObject();
        QCOMPARE(sys.value(QStringLiteral("base-ver")).toString(), version);
        QCOMPARE(sys.value(QStringLiteral("device-status")).toInt(-1), 0);
        QCOMPARE(sys.value(QStringLiteral("device-name")).toString(), QStringLiteral("Rack"));
        QVERIFY(connectClient());
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY2(m_devices.start(DeviceArguments()
                                     .device(kAddress)
                                     .name("Rack")
                                     .password("rb")
                                     .version("1.0.0")
                                     .key("dns1", "127.0.0.53")
                                     .updateSteps(10, 50)
                                     .rebootMs(kRebootMs)),
                 qPrintable(m_devices.errorText()));
        QVERIFY(m_lndp.bind(QHostAddress(QStringLiteral("127.0.41.1")), 0));
        connect(&m_lndp, &QUdpSocket::readyRead, this, [this] {
            while (m_lndp.hasPendingDatagrams()) {
                const QNetworkDatagram datagram = m_lndp.receiveDatagram();
                if (QHostAddress(datagram.senderAddress().toIPv4Address()) == QHostAddress(kAddress))
                    ++m_answers;
            }
        });
        QVERIFY(answersDiscovery(5000));
    }

    void init()
    {
        // A test that failed while the device was down leaves it up for the next.
        if (listLine().endsWith(QLatin1String(" power=rebooting"))) {
            QCOMPARE(m_devices.command(QStringLiteral("fault d1 reboot-ms 0")), QStringLiteral("ok"));
            QCOMPARE(m_devices.command(QStringLiteral("reboot d1")), QStringLiteral("ok"));
        }
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 clear")), QStringLiteral("ok"));
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 reboot-ms %1").arg(kRebootMs)), QStringLiteral("ok"));
    }

    void updateEndsWithARebootOnlyWhenInstalled_data()
    {
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("rebootMs");
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("reboots");
        QTest::addColumn<QString>("versionAfter");
        QTest::newRow("installed") << 0 << kRebootMs << "tq-2.7.1.bundle" << true << "2.7.1";
        QTest::newRow("failed") << 1 << kRebootMs << "tq-3.0.0.bundle" << false << "2.7.1";
        QTest::newRow("skipped") << 2 << kRebootMs << "tq-3.0.1.bundle" << false << "2.7.1";
        QTest::newRow("installed, no reboot time") << 0 << 0 << "tq-3.1.0.bundle" << false << "3.1.0";
        QTest::newRow("installed again") << 0 << kRebootMs << "tq-3.2.0.bundle" << true << "3.2.0";
    }

    void updateEndsWithARebootOnlyWhenInstalled()
    {
        QFETCH(int, result);
        QFETCH(int, rebootMs);
        QFETCH(QString, file);
        QFETCH(bool, reboots);
        QFETCH(QString, versionAfter);
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 update-result %1").arg(result)), QStringLiteral("ok"));
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 reboot-ms %1").arg(rebootMs)), QStringLiteral("ok"));
        auto client = connectClient();
        QVERIFY(client);
        QSignalSpy closed(&client->socket(), &QWebSocket::disconnected);
        const int from = m_devices.lineCount();
        QCOMPARE(uploadFirmware(file), 200);
        QVERIFY(m_devices.waitForLineContaining(QStringLiteral("update finished result=%1").arg(result), 10000, from));

        // Every report of the update reached the channel before it went:
        // device busy, 0, 50, 100 %, the result, device idle.
        QTRY_COMPARE_WITH_TIMEOUT(client->messages.size(), 6, 5000);
        QVERIFY(client->messages.at(4).contains(QStringLiteral("\"upgrade-result\":%1").arg(result)));
        QVERIFY(client->messages.at(5).contains(QStringLiteral("{\"device-status\":0}")));

        if (!reboots) {
            // Still the same channel.
            QCOMPARE(m_devices.command(QStringLiteral("state d1 busy")), QStringLiteral("ok"));
            QTRY_COMPARE_WITH_TIMEOUT(client->messages.size(), 7, 5000);
            QCOMPARE(m_devices.command(QStringLiteral("state d1 idle")), QStringLiteral("ok"));
            QCOMPARE(closed.count(), 0);
            QVERIFY(!m_devices.lines().mid(from).join(QLatin1Char('\n')).contains(QLatin1String("reboot started")));
            QCOMPARE(settings().value(QStringLiteral("sys")).toObject().value(QStringLiteral("base-ver")).toString(),
                     versionAfter);
            return;
        }
        QVERIFY(m_devices.waitForLineContaining(QStringLiteral("reboot started ms=%1 dropped=1").arg(rebootMs), 5000,
                                                from));
        // Dropped, not closed: no closing handshake from the device.
        QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, 5000);
        QVERIFY(client->socket().closeCode() != QWebSocketProtocol::CloseCodeGoingAway);
        checkDown();
        if (QTest::currentTestFailed())
            return;
        QVERIFY(m_devices.waitForLineContaining(QStringLiteral("reboot finished version=%1").arg(versionAfter), 10000,
                                                from));
        checkUp(versionAfter);
    }

    void rebootOnCommand()
    {
        QCOMPARE(m_devices.command(QStringLiteral("set d1 dns1 127.0.0.99")), QStringLiteral("ok"));
        auto client = connectClient();
        QVERIFY(client);
        QSignalSpy closed(&client->socket(), &QWebSocket::disconnected);
        // A plain HTTPS connection, idle between requests.
        QSslSocket idle;
        idle.setPeerVerifyMode(QSslSocket::VerifyNone);
        idle.connectToHostEncrypted(kAddress, m_devices.httpsPort(0));
        QVERIFY(idle.waitForEncrypted(10000));
        QSignalSpy idleClosed(&idle, &QAbstractSocket::disconnected);
        const QString version
            = settings().value(QStringLiteral("sys")).toObject().value(QStringLiteral("base-ver")).toString();
        QVERIFY(!version.isEmpty());

        const int from = m_devices.lineCount();
        QCOMPARE(m_devices.command(QStringLiteral("reboot d1")), QStringLiteral("ok"));
        QVERIFY(m_devices.waitForLineContaining(QStringLiteral("reboot started ms=%1 dropped=1").arg(kRebootMs), 5000,
                                                from));
        QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(idleClosed.count(), 1, 5000);
        checkDown();
        if (QTest::currentTestFailed())
            return;
        QVERIFY(
            m_devices.waitForLineContaining(QStringLiteral("reboot finished version=%1").arg(version), 10000, from));
        checkUp(version);
        if (QTest::currentTestFailed())
            return;
        // Settings survive a reboot.
        QCOMPARE(settings().value(QStringLiteral("net")).toObject().value(QStringLiteral("ipv4-dns1")).toString(),
                 QStringLiteral("127.0.0.99"));
    }

    void rebootComesBackBusyNoMore()
    {
        QCOMPARE(m_devices.command(QStringLiteral("state d1 in-call")), QStringLiteral("ok"));
        const int from = m_devices.lineCount();
        QCOMPARE(m_devices.command(QStringLiteral("reboot d1")), QStringLiteral("ok"));
        QVERIFY(m_devices.waitForLineContaining(QStringLiteral("reboot finished"), 10000, from));
        QCOMPARE(settings().value(QStringLiteral("sys")).toObject().value(QStringLiteral("device-status")).toInt(-1),
                 0);
    }

    void faultsOutlastTheReboot()
    {
        // A device told to refuse connections still refuses after its reboot,
        // and listens again as soon as the fault goes.
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 connect refuse")), QStringLiteral("ok"));
        const int from = m_devices.lineCount();
        QCOMPARE(m_devices.command(QStringLiteral("reboot d1")), QStringLiteral("ok"));
        QVERIFY(m_devices.waitForLineContaining(QStringLiteral("reboot finished"), 10000, from));
        QCOMPARE(connectOutcome(), QStringLiteral("refused"));
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 connect normal")), QStringLiteral("ok"));
        QCOMPARE(connectOutcome(), QStringLiteral("connected"));

        // And the other way round: a fault cleared while down does not open
        // the device before its time.
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 reboot-ms 60000")), QStringLiteral("ok"));
        QCOMPARE(m_devices.command(QStringLiteral("reboot d1")), QStringLiteral("ok"));
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 connect normal")), QStringLiteral("ok"));
        QCOMPARE(connectOutcome(), QStringLiteral("refused"));
        // A reboot time of 0 makes a direct reboot instant.
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 reboot-ms 0")), QStringLiteral("ok"));
        QCOMPARE(m_devices.command(QStringLiteral("reboot d1")), QStringLiteral("ok"));
        QCOMPARE(connectOutcome(), QStringLiteral("connected"));
        QVERIFY(answersDiscovery(5000));
    }

    void controlCommands_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("reply");
        QTest::newRow("reboot with argument") << "reboot d1 now"
                                              << "error reboot takes no arguments";
        QTest::newRow("reboot unknown device") << "reboot d9"
                                               << "error no device \"d9\"";
        QTest::newRow("reboot-ms negative") << "fault d1 reboot-ms -1"
                                            << "error reboot-ms needs 0 to 600000";
        QTest::newRow("reboot-ms too long") << "fault d1 reboot-ms 600001"
                                            << "error reboot-ms needs 0 to 600000";
        QTest::newRow("reboot-ms not a number") << "fault d1 reboot-ms soon"
                                                << "error reboot-ms needs 0 to 600000";
        QTest::newRow("reboot-ms longest") << "fault d1 reboot-ms 600000"
                                           << "ok";
        QTest::newRow("push-rate zero") << "push-rate d1 0"
                                        << "error push-rate needs an interval of 1 to 60000 ms or off";
        QTest::newRow("push-rate too slow") << "push-rate d1 60001"
                                            << "error push-rate needs an interval of 1 to 60000 ms or off";
        QTest::newRow("push-rate word") << "push-rate d1 fast"
                                        << "error push-rate needs an interval of 1 to 60000 ms or off";
        QTest::newRow("push-rate missing") << "push-rate d1"
                                           << "error push-rate needs an interval of 1 to 60000 ms or off";
        QTest::newRow("push-rate off when off") << "push-rate all off"
                                                << "ok";
    }

    void controlCommands()
    {
        QFETCH(QString, command);
        QFETCH(QString, reply);
        QCOMPARE(m_devices.command(command), reply);
        QVERIFY2(listLine().endsWith(QLatin1String(" push-rate=0 power=up")), qPrintable(listLine()));
    }

    void cleanupTestCase() { QVERIFY(m_devices.stop()); }
};

QTEST_GUILESS_MAIN(TestReboot)
#include "tst_vdreboot.moc"
