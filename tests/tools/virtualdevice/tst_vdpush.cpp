// The virtual device's push channel through a WebSocket client and raw TLS
// sockets: authorisation, pings, the notifications that follow uploads and
// state changes, and each injected fault.

#include "DeviceProcess.h"
#include "PushClient.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QNetworkRequest>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QWebSocket>

#include <memory>

namespace {

// The body of a notification, after checking that the envelope is exactly
// the accepted one: two members, a command of exactly type and device.
QJsonObject bodyOf(const QString& message)
{
    const QJsonObject top = QJsonDocument::fromJson(message.toUtf8()).object();
    if (top.keys() != QStringList{QStringLiteral("body"), QStringLiteral("command")})
        return QJsonObject();
    const QJsonObject command = top.value(QStringLiteral("command")).toObject();
    if (command
        != QJsonObject{{QStringLiteral("type"), QStringLiteral("settings-notification")},
                       {QStringLiteral("device"), QStringLiteral("self")}})
        return QJsonObject();
    return top.value(QStringLiteral("body")).toObject();
}

QJsonObject sys(const QJsonValue& v)
{
    return QJsonObject{{QStringLiteral("sys"), v.toObject()}};
}

} // namespace

class TestPush : public QObject
{
    Q_OBJECT

private:
    DeviceProcess m_devices;
    QTemporaryDir m_dir;

    std::unique_ptr<PushClient> connectClient()
    {
        auto client = std::make_unique<PushClient>(m_devices.authorization(0));
        if (!client->open(m_devices.address(0), m_devices.httpsPort(0)))
            return nullptr;
        return client;
    }

    int upload(const QString& endpoint, const QString& field, const QString& name, const QByteArray& content,
               const QString& type)
    {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            return -1;
        file.close();
        return curlStatus(curl({QStringLiteral("-u"), m_devices.credentials(0), QStringLiteral("-F"),
                                QStringLiteral("hash_value=") + QString::fromLatin1(md5Of(path)), QStringLiteral("-F"),
                                QStringLiteral("%1=@%2;type=%3").arg(field, path, type),
                                m_devices.url(0, QStringLiteral("/api/v1/files/") + endpoint)}));
    }

    // Opens a TLS connection, sends an upgrade request and returns the
    // status line, or an empty string when nothing came within waitMs.
    QByteArray upgradeStatus(const QByteArray& authorization, int waitMs)
    {
        QSslSocket socket;
        socket.setPeerVerifyMode(QSslSocket::VerifyNone);
        socket.connectToHostEncrypted(m_devices.address(0), m_devices.httpsPort(0));
        if (!socket.waitForEncrypted(10000))
            return "no TLS";
        QByteArray request = "GET /api/v1/push HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                             "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";
        if (!authorization.isEmpty())
            request += "Authorization: " + authorization + "\r\n";
        socket.write(request + "\r\n");
        QByteArray answer;
        QElapsedTimer clock;
        clock.start();
        while (!answer.contains("\r\n") && clock.elapsed() < waitMs) {
            socket.waitForReadyRead(50);
            answer += socket.readAll();
        }
        return answer.left(answer.indexOf("\r\n"));
    }

    // Notifications the device put on its channels so far ("sent=" of list).
    qint64 sentCount()
    {
        const int from = m_devices.lineCount();
        if (m_devices.command(QStringLiteral("list")) != QLatin1String("ok"))
            return -1;
        const QStringList lines = m_devices.lines().mid(from);
        for (const QString& line : lines) {
            const qsizetype at = line.indexOf(QLatin1String(" sent="));
            if (line.startsWith(QLatin1String("device d1 ")) && at >= 0)
                return line.mid(at + 6).section(QLatin1Char(' '), 0, 0).toLongLong();
        }
        return -1;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY2(m_devices.start(DeviceArguments()
                                     .device("127.0.0.2")
                                     .model("TQ-360")
                                     .name("Desk")
                                     .password("pw")
                                     .version("1.0.0")
                                     .updateSteps(10, 25)
                                     // One update after another on the same channel: no reboot in between.
                                     .rebootMs(0)),
                 qPrintable(m_devices.errorText()));
    }

    void upgradeNeedsTheRightCredentials()
    {
        QCOMPARE(upgradeStatus(QByteArray(), 10000), QByteArray("HTTP/1.1 403 Forbidden"));
        QCOMPARE(upgradeStatus("Basic " + QByteArray("admin:00000000000000000000000000000000").toBase64(), 10000),
                 QByteArray("HTTP/1.1 403 Forbidden"));
        QCOMPARE(upgradeStatus(m_devices.authorization(0), 10000), QByteArray("HTTP/1.1 101 Switching Protocols"));
    }

    void answersPings()
    {
        auto client = connectClient();
        QVERIFY(client);
        client->socket().ping();
        QTRY_COMPARE_WITH_TIMEOUT(client->pongs, 1, 5000);
        client->socket().ping();
        QTRY_COMPARE_WITH_TIMEOUT(client->pongs, 2, 5000);
    }

    void firmwareUpdateIsReportedStepByStep()
    {
        auto client = connectClient();
        QVERIFY(client);
        QCOMPARE(upload(QStringLiteral("firmware"), QStringLiteral("firmware_file"), QStringLiteral("tq-2.7.1.bundle"),
                        QByteArray(10000, 'x'), QStringLiteral("application/octet-stream")),
                 200);
        const QList<QJsonObject> expected{
            sys(QJsonObject{{QStringLiteral("device-status"), 1}}),
            sys(QJsonObject{{QStringLiteral("upgrade-status"), 0}}),
            sys(QJsonObject{{QStringLiteral("upgrade-status"), 25}}),
            sys(QJsonObject{{QStringLiteral("upgrade-status"), 50}}),
            sys(QJsonObject{{QStringLiteral("upgrade-status"), 75}}),
            sys(QJsonObject{{QStringLiteral("upgrade-status"), 100}}),
            sys(QJsonObject{{QStringLiteral("upgrade-result"), 0},
                            {QStringLiteral("base-ver"), QStringLiteral("2.7.1")}}),
            sys(QJsonObject{{QStringLiteral("device-status"), 0}}),
        };
        QTRY_COMPARE_WITH_TIMEOUT(client->messages.size(), expected.size(), 10000);
        for (int i = 0; i < expected.size(); ++i)
            QCOMPARE(bodyOf(client->messages.at(i)), expected.at(i));

        // A failing update keeps the old version.
        client->messages.clear();
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 update-result 1")), QStringLiteral("ok"));
        QCOMPARE(upload(QStringLiteral("firmware"), QStringLiteral("firmware_file"), QStringLiteral("tq-3.0.0.bundle"),
                        QByteArray(100, 'y'), QStringLiteral("application/octet-stream")),
                 200);
        QTRY_COMPARE_WITH_TIMEOUT(client->messages.size(), expected.size(), 10000);
        QCOMPARE(bodyOf(client->messages.at(6)),
                 sys(QJsonObject{{QStringLiteral("upgrade-result"), 1},
                                 {QStringLiteral("base-ver"), QStringLiteral("2.7.1")}}));
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 update-result 0")), QStringLiteral("ok"));
    }

    void importAndImageResults()
    {
        auto client = connectClient();
        QVERIFY(client);
        const auto importResult = [](int code) {
            return sys(
                QJsonObject{{QStringLiteral("import-result"),
                             QJsonObject{{QStringLiteral("code"), code}, {QStringLiteral("option"), QJsonArray()}}}});
        };
        const auto imageResult = [](int valid) {
            return QJsonObject{
                {QStringLiteral("display"), QJsonObject{{QStringLiteral("upload-idle-image-valid"), valid}}}};
        };
        QCOMPARE(upload(QStringLiteral("import"), QStringLiteral("configuration_file"), QStringLiteral("a.xml"),
                        "<config><x/></config>", QStringLiteral("text/xml")),
                 200);
        QTRY_COMPARE_WITH_TIMEOUT(client->messages.size(), 1, 5000);
        QCOMPARE(bodyOf(client->messages.at(0)), importResult(0));
        QCOMPARE(upload(QStringLiteral("import"), QStringLiteral("configuration_file"), QStringLiteral("b.xml"),
                        "<config><x></config>", QStringLiteral("text/xml")),
                 200);
        QTRY_COMPARE_WITH_TIMEOUT(client->messages.size(), 2, 5000);
        QCOMPARE(bodyOf(client->messages.at(1)), importResult(5));
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 import-result 3")), QStringLiteral("ok"));
        QCOMPARE(upload(QStringLiteral("import"), QStringLiteral("configuration_file"), QStringLiteral("c.xml"), "<c/>",
                        QStringLiteral("text/xml")),
                 200);
        QTRY_COMPARE_WITH_TIMEOUT(client->messages.size(), 3, 5000);
        QCOMPARE(bodyOf(client->messages.at(2)), importResult(3));
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 import-result auto")), QStringLiteral("ok"));

        const QByteArray jpeg
            = QByteArray::fromHex("ffd8ffe000104a464946") + QByteArray(64, 'j') + QByteArray::fromHex("ffd9");
        QCOMPARE(upload(QStringLiteral("standby-image"), QStringLiteral("standby_screen_image_file"),
                        QStringLiteral("idle.jpg"), jpeg, QStringLiteral("image/jpeg")),
                 200);
        QTRY_COMPARE_WITH_TIMEOUT(client->messages.size(), 4, 5000);
        QCOMPARE(bodyOf(client->messages.at(3)), imageResult(0));
        QCOMPARE(upload(QStringLiteral("standby-image"), QStringLiteral("standby_screen_image_file"),
                        QStringLiteral("fake.png"), "plain text", QStringLiteral("image/png")),
                 200);
        QTRY_COMPARE_WITH_TIMEOUT(client->messages.size(), 5, 5000);
        QCOMPARE(bodyOf(client->messages.at(4)), imageResult(1));
    }

    void stateAndSettingChangesArePushed()
    {
        auto client = connectClient();
        QVERIFY(client);
        QCOMPARE(m_devices.command(QStringLiteral("state d1 busy")), QStringLiteral("ok"));
        QCOMPARE(m_devices.command(QStringLiteral("state d1 in-call")), QStringLiteral("ok"));
        QCOMPARE(m_devices.command(QStringLiteral("state d1 idle")), QStringLiteral("ok"));
        QCOMPARE(m_devices.command(QStringLiteral("set d1 dns1 10.0.0.53")), QStringLiteral("ok"));
        QTRY_COMPARE_WITH_TIMEOUT(client->messages.size(), 4, 5000);
        QCOMPARE(bodyOf(client->messages.at(0)), sys(QJsonObject{{QStringLiteral("device-status"), 1}}));
        QCOMPARE(bodyOf(client->messages.at(1)), sys(QJsonObject{{QStringLiteral("device-status"), 2}}));
        QCOMPARE(bodyOf(client->messages.at(2)), sys(QJsonObject{{QStringLiteral("device-status"), 0}}));
        const QJsonObject net = bodyOf(client->messages.at(3)).value(QStringLiteral("net")).toObject();
        QCOMPARE(net.keys(), (QStringList{QStringLiteral("ipv4-dns1"), QStringLiteral("ipv4-dns2"),
                                          QStringLiteral("ipv4-gateway"), QStringLiteral("ipv4-subnet")}));
        QCOMPARE(net.value(QStringLiteral("ipv4-dns1")).toString(), QStringLiteral("10.0.0.53"));
    }

    void refusedAndStalledUpgrades()
    {
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 push refuse")), QStringLiteral("ok"));
        QCOMPARE(upgradeStatus(m_devices.authorization(0), 10000), QByteArray("HTTP/1.1 403 Forbidden"));
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 push stall")), QStringLiteral("ok"));
        const int from = m_devices.lineCount();
        QCOMPARE(upgradeStatus(m_devices.authorization(0), 1500), QByteArray()); // no answer at all
        QVERIFY(m_devices.waitForLineContaining(QStringLiteral("push upgrade stalled"), 5000, from));
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 push normal")), QStringLiteral("ok"));
        QVERIFY(connectClient());
    }

    void unansweredPings()
    {
        auto client = connectClient();
        QVERIFY(client);
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 pings off")), QStringLiteral("ok"));
        client->socket().ping();
        // The channel still carries notifications while pings go unanswered.
        QCOMPARE(m_devices.command(QStringLiteral("state d1 busy")), QStringLiteral("ok"));
        QTRY_COMPARE_WITH_TIMEOUT(client->messages.size(), 1, 5000);
        QTest::qWait(1000); // an absence can only be watched for a while
        QCOMPARE(client->pongs, 0);
        // Reading resumes: the ping that waited is answered.
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 pings on")), QStringLiteral("ok"));
        QTRY_COMPARE_WITH_TIMEOUT(client->pongs, 1, 5000);
        QCOMPARE(m_devices.command(QStringLiteral("state d1 idle")), QStringLiteral("ok"));
    }

    void deviceEndsTheChannel()
    {
        auto closed = connectClient();
        QVERIFY(closed);
        QSignalSpy closedSpy(&closed->socket(), &QWebSocket::disconnected);
        QCOMPARE(m_devices.command(QStringLiteral("push d1 close")), QStringLiteral("ok closed=1"));
        QTRY_COMPARE_WITH_TIMEOUT(closedSpy.count(), 1, 5000);
        QCOMPARE(closed->socket().closeCode(), QWebSocketProtocol::CloseCodeGoingAway);

        auto dropped = connectClient();
        QVERIFY(dropped);
        QSignalSpy droppedSpy(&dropped->socket(), &QWebSocket::disconnected);
        QCOMPARE(m_devices.command(QStringLiteral("push d1 drop")), QStringLiteral("ok dropped=1"));
        QTRY_COMPARE_WITH_TIMEOUT(droppedSpy.count(), 1, 5000);
        QVERIFY(dropped->socket().closeCode() != QWebSocketProtocol::CloseCodeGoingAway);
    }

    void malformedMessages()
    {
        auto client = connectClient();
        QVERIFY(client);
        const QStringList kinds{QStringLiteral("json"),   QStringLiteral("extra-member"), QStringLiteral("type-case"),
                                QStringLiteral("device"), QStringLiteral("body"),         QStringLiteral("top-level"),
                                QStringLiteral("value")};
        for (const QString& kind : kinds)
            QCOMPARE(m_devices.command(QStringLiteral("push d1 malformed ") + kind), QStringLiteral("ok sent=1"));
        QCOMPARE(m_devices.command(QStringLiteral("push d1 malformed binary")), QStringLiteral("ok sent=1"));
        QTRY_COMPARE_WITH_TIMEOUT(client->messages.size(), int(kinds.size()), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(client->binaryMessages, 1, 5000);
        // None of them passes as a settings notification, and each fails in its own way.
        QJsonParseError error;
        QJsonDocument::fromJson(client->messages.at(0).toUtf8(), &error);
        QVERIFY(error.error != QJsonParseError::NoError);
        for (const QString& message : client->messages)
            QVERIFY2(bodyOf(message).isEmpty()
                         || bodyOf(message)
                                .value(QStringLiteral("sys"))
                                .toObject()
                                .value(QStringLiteral("device-status"))
                                .isString(),
                     qPrintable(message));
        QCOMPARE(QJsonDocument::fromJson(client->messages.at(1).toUtf8())
                     .object()
                     .value(QStringLiteral("command"))
                     .toObject()
                     .size(),
                 3);
        QCOMPARE(m_devices.command(QStringLiteral("push d1 notify {\"sys\":{\"device-status\":2}}")),
                 QStringLiteral("ok sent=1"));
        QTRY_COMPARE_WITH_TIMEOUT(client->messages.size(), int(kinds.size()) + 1, 5000);
        QCOMPARE(bodyOf(client->messages.last()), sys(QJsonObject{{QStringLiteral("device-status"), 2}}));
    }

    void pushRateTogglesTheStatusAndCountsWhatWentOut()
    {
        auto first = connectClient();
        auto second = connectClient();
        QVERIFY(first && second);
        const qint64 before = sentCount();
        QVERIFY(before >= 0);
        QCOMPARE(m_devices.command(QStringLiteral("push-rate d1 20")), QStringLiteral("ok"));
        QTRY_VERIFY_WITH_TIMEOUT(first->messages.size() >= 10, 10000);
        QCOMPARE(m_devices.command(QStringLiteral("push-rate d1 off")), QStringLiteral("ok"));
        // Every notification went to both channels and was counted once per channel.
        const qint64 sent = sentCount() - before;
        QVERIFY(sent >= 20);
        QTRY_COMPARE_WITH_TIMEOUT(qint64(first->messages.size() + second->messages.size()), sent, 5000);
        QCOMPARE(first->messages, second->messages);
        // Busy and idle in turn, each one a change; stopping leaves the device
        // idle, as it was before.
        for (int i = 0; i < first->messages.size(); ++i)
            QCOMPARE(bodyOf(first->messages.at(i)),
                     sys(QJsonObject{{QStringLiteral("device-status"), i % 2 == 0 ? 1 : 0}}));
        QCOMPARE(bodyOf(first->messages.last()), sys(QJsonObject{{QStringLiteral("device-status"), 0}}));
        // Nothing more after it was stopped.
        QCOMPARE(m_devices.command(QStringLiteral("state d1 busy")), QStringLiteral("ok"));
        QCOMPARE(m_devices.command(QStringLiteral("state d1 idle")), QStringLiteral("ok"));
        QCOMPARE(sentCount() - before, sent + 4);
        QTRY_COMPARE_WITH_TIMEOUT(qint64(first->messages.size() + second->messages.size()), sent + 4, 5000);
    }

    void oversizeNotification_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("deaf"); // pings unanswered: the device's socket signals are blocked
        QTest::newRow("one fragment") << 4096 << false;
        QTest::newRow("many fragments") << 3 * 1024 * 1024 << false;
        QTest::newRow("while pings go unanswered") << 2 * 1024 * 1024 << true;
    }

    void oversizeNotification()
    {
        QFETCH(int, size);
        QFETCH(bool, deaf);
        auto client = connectClient();
        QVERIFY(client);
        QVERIFY(m_devices.command(QStringLiteral("push d1 oversize 20"))
                    .startsWith(QLatin1String("error "))); // below the bare message
        QVERIFY(m_devices.command(QStringLiteral("push d1 oversize 65m")).startsWith(QLatin1String("error ")));
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 pings ") + (deaf ? "off" : "on")), QStringLiteral("ok"));
        // Both lines reach the device in one read, so the notification is
        // sent while the long message is still going out: it must follow it.
        const int from = m_devices.lineCount();
        QCOMPARE(m_devices.command(QStringLiteral("push d1 oversize %1\nstate d1 busy").arg(size)),
                 QStringLiteral("ok sent=1"));
        QVERIFY(m_devices.waitForLine([](const QString& line) { return line == QLatin1String("ok"); }, 10000, from));
        QTRY_COMPARE_WITH_TIMEOUT(client->messages.size(), 2, 30000);
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 pings on")), QStringLiteral("ok"));
        QCOMPARE(m_devices.command(QStringLiteral("state d1 idle")), QStringLiteral("ok"));
        QCOMPARE(client->messages.at(0).toUtf8().size(), size);
        const QJsonObject body = bodyOf(client->messages.at(0));
        QCOMPARE(body.keys(), (QStringList{QStringLiteral("padding"), QStringLiteral("sys")}));
        QCOMPARE(body.value(QStringLiteral("sys")).toObject(), (QJsonObject{{QStringLiteral("device-status"), 0}}));
        QCOMPARE(bodyOf(client->messages.at(1)), sys(QJsonObject{{QStringLiteral("device-status"), 1}}));
    }

    void endsCleanlyWithOpenChannels()
    {
        auto first = connectClient();
        auto second = connectClient();
        QVERIFY(first && second);
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 pings off")), QStringLiteral("ok"));
        QVERIFY(m_devices.stop()); // exit code 0, no crash while tearing down
    }

    void cleanupTestCase() { QVERIFY(m_devices.stop()); }
};

QTEST_GUILESS_MAIN(TestPush)
#include "tst_vdpush.moc"
