// The push channel's client against virtual devices over real TLS on
// loopback addresses of its own: keep-alive with and without pongs, text
// relayed unchanged, a channel the device closes or drops, and handshakes
// that never end in an upgrade (refused, stalled, TLS stalled, connection
// refused or dropped), which must still end in an error; and hostile
// devices, which must neither grow memory nor hold up this thread.

#include "BlockMeter.h"
#include "Connection.h"
#include "DeviceProcess.h"
#include "HostileTlsServer.h"
#include "MessageCapture.h"
#include "WebSocketClient.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslKey>
#include <QTemporaryDir>
#include <QTest>
#include <QWebSocket>
#include <QWebSocketServer>

#include <memory>

namespace {

constexpr char kKeepAliveAddress[] = "127.0.121.1"; // d1: answers pings
constexpr char kDeafAddress[] = "127.0.121.2"; // d2: stops answering
constexpr char kFaultAddress[] = "127.0.121.3"; // d3: faults per case
constexpr char kPassword[] = "push-121";
constexpr int kHandshakeTimeoutMs = 1500;

constexpr int32_t code(uint32_t value)
{
    return static_cast<int32_t>(value);
}

// The test's devices differ in their addresses only.
void addDevice(DeviceArguments& arguments, const char* address, const char* mac)
{
    arguments.device(address).mac(mac).model("TQ-730").name("Push").password(kPassword).version("1.0.0");
}

// What one Connection reported, in order.
struct Recorder
{
    explicit Recorder(Connection& connection)
        : connected(&connection, &Connection::connected)
        , disconnected(&connection, &Connection::disconnected)
        , messages(&connection, &Connection::receivedTextMessage)
        , states(&connection, &Connection::stateChanged)
        , errors(&connection, &Connection::errored)
    {
    }

    QList<int32_t> errorCodes() const
    {
        QList<int32_t> out;
        for (const QList<QVariant>& e : errors)
            out << e.at(0).value<int32_t>();
        return out;
    }
    QAbstractSocket::SocketState lastState() const
    {
        return states.isEmpty() ? QAbstractSocket::UnconnectedState
                                : states.last().at(0).value<QAbstractSocket::SocketState>();
    }

    QSignalSpy connected;
    QSignalSpy disconnected;
    QSignalSpy messages;
    QSignalSpy states;
    QSignalSpy errors;
};

} // namespace

class TestWebSocketClient : public QObject
{
    Q_OBJECT

private:
    DeviceProcess m_devices;
    QByteArray m_code;

    void open(Connection& connection, int index)
    {
        const QByteArray host = m_devices.address(index).toLatin1();
        connection.openConnection(host.constData(), m_devices.httpsPort(index), m_code.constData());
    }

private Q_SLOTS:
    void initTestCase()
    {
        qRegisterMetaType<QAbstractSocket::SocketState>();
        DeviceArguments arguments;
        addDevice(arguments, kKeepAliveAddress, "02:00:7F:79:01:01");
        addDevice(arguments, kDeafAddress, "02:00:7F:79:01:02");
        addDevice(arguments, kFaultAddress, "02:00:7F:79:01:03");
        QVERIFY2(m_devices.start(arguments), qPrintable(m_devices.errorText()));
        // The authentication code: the MD5 hex of the password.
        m_code = m_devices.credentials(0).section(QLatin1Char(':'), 1).toLatin1();
        QCOMPARE(m_code.size(), 32);
    }

    void cleanup() { QCOMPARE(m_devices.command(QStringLiteral("fault d3 clear")), QStringLiteral("ok")); }

    void errorCodeCarriesTheSocketError_data()
    {
        QTest::addColumn<int>("socketError");
        QTest::addColumn<int32_t>("expected");
        QTest::newRow("connection refused") << int(QAbstractSocket::ConnectionRefusedError) << code(0x80070000);
        QTest::newRow("remote host closed") << int(QAbstractSocket::RemoteHostClosedError) << code(0x80070001);
        QTest::newRow("host not found") << int(QAbstractSocket::HostNotFoundError) << code(0x80070002);
        QTest::newRow("time-out") << int(QAbstractSocket::SocketTimeoutError) << code(0x80070005);
        QTest::newRow("TLS handshake") << int(QAbstractSocket::SslHandshakeFailedError) << code(0x8007000D);
        QTest::newRow("unknown") << int(QAbstractSocket::UnknownSocketError) << code(0x8007FFFF);
    }
    void errorCodeCarriesTheSocketError()
    {
        QFETCH(int, socketError);
        QFETCH(int32_t, expected);
        QCOMPARE(WebSocketClient::errorCode(QAbstractSocket::SocketError(socketError)), expected);
    }

    // Both channels run side by side, so the whole case takes as long as
    // the deaf one's two errors (about 25 s).
    void keepAliveFailsOnTheFourthTickAfterTheLastPong()
    {
        QCOMPARE(m_devices.command(QStringLiteral("fault d2 pings off")), QStringLiteral("ok"));
        auto alive = std::make_unique<Connection>(nullptr, kHandshakeTimeoutMs);
        auto deaf = std::make_unique<Connection>(nullptr, kHandshakeTimeoutMs);
        Recorder aliveReport(*alive);
        Recorder deafReport(*deaf);
        const int from = m_devices.lineCount();
        open(*alive, 0);
        open(*deaf, 1);
        QTRY_COMPARE_WITH_TIMEOUT(aliveReport.connected.size(), 1, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(deafReport.connected.size(), 1, 10000);
        QElapsedTimer sinceConnected;
        sinceConnected.start();

        // Ticks at 5, 10, 15 s send pings; the one at 20 s reports instead.
        QTRY_COMPARE_WITH_TIMEOUT(deafReport.errors.size(), 1, 24000);
        const qint64 first = sinceConnected.elapsed();
        // Qt's coarse timers may fire up to 5 % early on every tick.
        QVERIFY2(first >= 18800 && first <= 22000, qPrintable(QString::number(first)));
        QTRY_COMPARE_WITH_TIMEOUT(deafReport.errors.size(), 2, 8000);
        const qint64 second = sinceConnected.elapsed() - first;
        QVERIFY2(second >= 4700 && second <= 5600, qPrintable(QString::number(second)));
        QCOMPARE(deafReport.errorCodes(), (QList<int32_t>{code(0x80070002), code(0x80070002)}));
        // The keep-alive only reports; the link stays up.
        QCOMPARE(deafReport.disconnected.size(), 0);

        // Five pings answered meanwhile: no error, still connected.
        QCOMPARE(aliveReport.errors.size(), 0);
        QCOMPARE(aliveReport.disconnected.size(), 0);
        QCOMPARE(aliveReport.lastState(), QAbstractSocket::ConnectedState);
        const QStringList lines = m_devices.lines().mid(from);
        QCOMPARE(lines.filter(QStringLiteral("event d1 push connected")).size(), 1);
        QCOMPARE(lines.filter(QStringLiteral("event d1 push closed")).size(), 0);

        deaf.reset();
        QCOMPARE(m_devices.command(QStringLiteral("fault d2 pings on")), QStringLiteral("ok"));
    }

    void textIsPassedOnUnchanged_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("JSON") << QStringLiteral("{\"command\":{\"type\":\"settings-notification\"},\"body\":{}}");
        QTest::newRow("not JSON") << QStringLiteral("hello device");
        QTest::newRow("non-ASCII") << QStringLiteral("Gr\u00fc\u00dfe \u20ac \u65e5\u672c");
    }
    void textIsPassedOnUnchanged()
    {
        QFETCH(QString, text);
        auto connection = std::make_unique<Connection>(nullptr, kHandshakeTimeoutMs);
        Recorder report(*connection);
        open(*connection, 2);
        QTRY_COMPARE_WITH_TIMEOUT(report.connected.size(), 1, 10000);
        QCOMPARE(m_devices.command(QStringLiteral("push d3 raw ") + text), QStringLiteral("ok sent=1"));
        QTRY_COMPARE_WITH_TIMEOUT(report.messages.size(), 1, 10000);
        QCOMPARE(report.messages.at(0).at(0).toString(), text);
    }

    void channelTheDeviceEnds_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QList<int32_t>>("errors");
        QTest::newRow("closed by the device") << QStringLiteral("push d3 close") << QList<int32_t>{};
        QTest::newRow("dropped by the device") << QStringLiteral("push d3 drop") << QList<int32_t>{code(0x80070001)};
        // Not buffered up to Qt's 2 GiB: cut off, and a failure, not a close.
        QTest::newRow("message too large")
            << QStringLiteral("push d3 oversize 70k") << QList<int32_t>{code(0x800703F1)};
    }
    void channelTheDeviceEnds()
    {
        QFETCH(QString, command);
        QFETCH(QList<int32_t>, errors);
        auto connection = std::make_unique<Connection>(nullptr, kHandshakeTimeoutMs);
        Recorder report(*connection);
        open(*connection, 2);
        QTRY_COMPARE_WITH_TIMEOUT(report.connected.size(), 1, 10000);
        QVERIFY(m_devices.command(command).startsWith(QLatin1String("ok")));
        QTRY_COMPARE_WITH_TIMEOUT(report.disconnected.size(), 1, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(report.lastState(), QAbstractSocket::UnconnectedState, 5000);
        QCOMPARE(report.errorCodes(), errors);
    }

    // However the attempt fails, it ends in an error and unconnected, never
    // connecting for ever, and never reports a connection.
    void handshakeThatNeverUpgradesEndsInAnError_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int32_t>("error");
        QTest::addColumn<bool>("exactlyOne"); // the socket reports a refused upgrade as it likes
        QTest::newRow("upgrade refused (403)") << QStringLiteral("push refuse") << code(0x80070000) << false;
        QTest::newRow("upgrade stalled") << QStringLiteral("push stall") << code(0x80070005) << true;
        QTest::newRow("TLS stalled") << QStringLiteral("connect stall-tls") << code(0x80070005) << true;
        QTest::newRow("connection refused") << QStringLiteral("connect refuse") << code(0x80070000) << true;
        QTest::newRow("connection dropped") << QStringLiteral("connect drop") << code(0x80070001) << true;
    }
    void handshakeThatNeverUpgradesEndsInAnError()
    {
        QFETCH(QString, fault);
        QFETCH(int32_t, error);
        QFETCH(bool, exactlyOne);
        // Nor does taking the failed channel down write to a dead socket.
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
        QCOMPARE(m_devices.command(QStringLiteral("fault d3 ") + fault), QStringLiteral("ok"));
        auto connection = std::make_unique<Connection>(nullptr, kHandshakeTimeoutMs);
        Recorder report(*connection);
        open(*connection, 2);
        QTRY_VERIFY_WITH_TIMEOUT(!report.errors.isEmpty(), kHandshakeTimeoutMs + 5000);
        QCOMPARE(report.errorCodes().first(), error);
        QTRY_COMPARE_WITH_TIMEOUT(report.lastState(), QAbstractSocket::UnconnectedState, 5000);
        // Our own time-out and refusal reports never double the socket's.
        if (exactlyOne)
            QCOMPARE(report.errorCodes().size(), 1);
        connection.reset();
        QCOMPARE(report.connected.size(), 0);
        QCOMPARE(report.disconnected.size(), 0);
    }

    // The close is reported at once; the device sees the closing handshake
    // even while it keeps pushing (a socket closed with unread data would be
    // reset) or reads late, and even when the client is gone meanwhile.
    void closingReportsTheDisconnectionDuringTheCall_data()
    {
        QTest::addColumn<QString>("during"); // a control command while the close runs, "" for none
        QTest::addColumn<QString>("after"); // undoes it
        QTest::addColumn<bool>("clientGoes");
        QTest::newRow("quiet device") << QString() << QString() << false;
        QTest::newRow("pushing device") << QStringLiteral("push-rate d3 1") << QStringLiteral("push-rate d3 off")
                                        << false;
        QTest::newRow("pushing device, client destroyed")
            << QStringLiteral("push-rate d3 1") << QStringLiteral("push-rate d3 off") << true;
        QTest::newRow("device reading late")
            << QStringLiteral("fault d3 pings off") << QStringLiteral("fault d3 pings on") << true;
    }

    void closingReportsTheDisconnectionDuringTheCall()
    {
        QFETCH(QString, during);
        QFETCH(QString, after);
        QFETCH(bool, clientGoes);
        auto connection = std::make_unique<Connection>(nullptr, kHandshakeTimeoutMs);
        Recorder report(*connection);
        open(*connection, 2);
        QTRY_COMPARE_WITH_TIMEOUT(report.connected.size(), 1, 10000);
        if (!during.isEmpty()) {
            QCOMPARE(m_devices.command(during), QStringLiteral("ok"));
            QTest::qWait(50); // let the pushes pile up, or the reading stop
        }
        const int from = m_devices.lineCount();
        connection->closeConnection();
        QCOMPARE(report.disconnected.size(), 1);
        QCOMPARE(report.lastState(), QAbstractSocket::UnconnectedState);
        QCOMPARE(report.errors.size(), 0);
        // Closing again changes nothing.
        connection->closeConnection();
        QCOMPARE(report.disconnected.size(), 1);
        if (clientGoes)
            connection.reset();
        if (!after.isEmpty())
            QCOMPARE(m_devices.command(after), QStringLiteral("ok"));
        QVERIFY(WebSocketClient::finishClosing(5000));
        const bool seen
            = m_devices.waitForLineContaining(QStringLiteral("event d3 push closed code=1000"), 10000, from);
        QVERIFY2(seen, qPrintable(m_devices.lines().mid(from).filter(QStringLiteral("push closed")).join(u'\n')));
    }

    void closingAClientThatNeverConnectedReportsNothing()
    {
        QCOMPARE(m_devices.command(QStringLiteral("fault d3 push stall")), QStringLiteral("ok"));
        auto connection = std::make_unique<Connection>(nullptr, 60000);
        Recorder report(*connection);
        const int from = m_devices.lineCount();
        open(*connection, 2);
        QVERIFY(m_devices.waitForLineContaining(QStringLiteral("event d3 push upgrade stalled"), 10000, from));
        QCOMPARE(report.lastState(), QAbstractSocket::ConnectingState);
        connection->closeConnection();
        QCOMPARE(report.disconnected.size(), 0);
        QCOMPARE(report.errors.size(), 0);
        QCOMPARE(report.connected.size(), 0);
        // Nothing arrives later either: the socket is detached.
        const int before = report.states.size();
        QTest::qWait(300);
        QCOMPARE(report.states.size(), before);
    }

    // A WebSocket server of the test's own, to see the channel from the
    // device's side: the upgrade request, an empty message, the close code.
    void channelAsTheDeviceSeesIt()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString keyPath = dir.filePath(QStringLiteral("key.pem"));
        const QString certPath = dir.filePath(QStringLiteral("cert.pem"));
        const ToolResult made = runTool(
            QStringLiteral("openssl"),
            {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
             QStringLiteral("-nodes"), QStringLiteral("-keyout"), keyPath, QStringLiteral("-out"), certPath,
             QStringLiteral("-subj"), QStringLiteral("/CN=127.0.121.9"), QStringLiteral("-days"), QStringLiteral("1")});
        QVERIFY2(made.exitCode == 0, made.err.constData());
        QFile keyFile(keyPath);
        QFile certFile(certPath);
        QVERIFY(keyFile.open(QIODevice::ReadOnly) && certFile.open(QIODevice::ReadOnly));
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setLocalCertificate(QSslCertificate(certFile.readAll()));
        tls.setPrivateKey(QSslKey(keyFile.readAll(), QSsl::Rsa));
        tls.setPeerVerifyMode(QSslSocket::VerifyNone);

        QWebSocketServer server(QStringLiteral("tst_websocketclient"), QWebSocketServer::SecureMode);
        server.setSslConfiguration(tls);
        QVERIFY(server.listen(QHostAddress(QStringLiteral("127.0.121.9")), 0));
        QWebSocket* peer = nullptr;
        int closeCode = -1;
        connect(&server, &QWebSocketServer::newConnection, this, [&] {
            peer = server.nextPendingConnection();
            peer->setParent(&server);
            connect(peer, &QWebSocket::disconnected, this, [&] { closeCode = int(peer->closeCode()); });
        });

        auto connection = std::make_unique<Connection>(nullptr, kHandshakeTimeoutMs);
        Recorder report(*connection);
        connection->openConnection("127.0.121.9", server.serverPort(), m_code.constData());
        QTRY_COMPARE_WITH_TIMEOUT(report.connected.size(), 1, 10000);
        QVERIFY(peer != nullptr);
        QCOMPARE(peer->requestUrl().path(), QStringLiteral("/api/v1/push"));
        QVERIFY(!peer->requestUrl().hasQuery());
        QCOMPARE(peer->request().rawHeader("Authorization"), "Basic " + ("admin:" + m_code).toBase64());
        QVERIFY(!peer->request().hasRawHeader("Sec-WebSocket-Protocol"));
        QVERIFY(peer->origin().isEmpty());

        peer->sendTextMessage(QString());
        peer->sendTextMessage(QStringLiteral("after the empty one"));
        QTRY_COMPARE_WITH_TIMEOUT(report.messages.size(), 2, 10000);
        QCOMPARE(report.messages.at(0).at(0).toString(), QString());
        QCOMPARE(report.messages.at(1).at(0).toString(), QStringLiteral("after the empty one"));

        connection->closeConnection();
        QCOMPARE(report.disconnected.size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(closeCode, 1000, 10000);
        QCOMPARE(report.errors.size(), 0);
    }

    // Each row's verdict, and its figures beside the targets: memory grows
    // less than 64 MB, this thread is never kept busy 50 ms at a stretch
    // (CPU time, so that a loaded machine does not count; sanitizers slow
    // the work itself down, hence their allowance).
    void hostileDevice_data()
    {
        using Play = HostileTlsServer::Play;
        QTest::addColumn<Play>("play");
        QTest::addColumn<int32_t>("error"); // 0: none, the messages come and "done" last; -1: any, never up
        QTest::addColumn<int>("messages"); // those before "done"
        QTest::newRow("ping flood, nothing read") << Play::PushPingFlood << WebSocketClient::kPeerNotReading << 0;
        QTest::newRow("empty fragments") << Play::PushEmptyFragments << WebSocketClient::kMessageTooFragmented << 0;
        QTest::newRow("binary frames") << Play::PushBinaryFrames << 0 << 0;
        QTest::newRow("60 KB message stream") << Play::PushMessageStream << 0 << 200;
        QTest::newRow("upgrade header bomb") << Play::PushUpgradeHeaderBomb << -1 << 0;
        QTest::newRow("text not UTF-8") << Play::PushInvalidText << WebSocketClient::closedOnFault(1007) << 0;
        QTest::newRow("100 MB frame") << Play::PushOverlongFrame << WebSocketClient::kMessageTooLarge << 0;
    }
    void hostileDevice()
    {
        QFETCH(HostileTlsServer::Play, play);
        QFETCH(int32_t, error);
        QFETCH(int, messages);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        constexpr double kBusyLimitMs = 200;
#else
        constexpr double kBusyLimitMs = 50;
#endif
        HostileTlsServer device(play);
        QVERIFY(device.port() != 0);
        auto capture = std::make_unique<MessageCapture>();
        BlockMeter meter;
        auto connection = std::make_unique<Connection>(nullptr, kHandshakeTimeoutMs);
        Recorder report(*connection);
        meter.start();
        connection->openConnection("127.0.0.1", device.port(), m_code.constData());
        if (error == 0) {
            QTRY_VERIFY_WITH_TIMEOUT(
                !report.messages.isEmpty() && report.messages.last().at(0).toString() == QLatin1String("done"), 30000);
            QCOMPARE(report.messages.size(), messages + 1);
            QCOMPARE(report.errors.size(), 0);
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(!report.errors.isEmpty(), 30000);
            QTRY_COMPARE_WITH_TIMEOUT(report.lastState(), QAbstractSocket::UnconnectedState, 10000);
            if (error == -1) {
                QCOMPARE(report.connected.size(), 0);
            } else {
                QCOMPARE(report.errorCodes().first(), error);
                QVERIFY(WebSocketClient::isChannelFault(error));
                QCOMPARE(report.disconnected.size(), 1);
                // Named as the program's close, with its reason.
                QVERIFY(capture->takeTexts().filter(QStringLiteral("closed by the program")).size() == 1);
            }
        }
        meter.stop();
        connection.reset();
        capture.reset(); // the figures are for the output
        qInfo("hostile push row %s: peak memory +%.1f MB (target < 64), longest block %.1f ms, of it busy %.1f ms "
              "(target < 50)",
              QTest::currentDataTag(), meter.peakGrowthMiB(), meter.longestMs(), meter.longestBusyMs());
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) // they keep freed memory
        QVERIFY2(meter.peakGrowthMiB() < 64, qPrintable(QString::number(meter.peakGrowthMiB())));
#endif
        QVERIFY2(meter.longestBusyMs() < kBusyLimitMs, qPrintable(QString::number(meter.longestBusyMs())));
    }

    void neitherCodeNorHeaderIsLogged()
    {
        MessageCapture capture;
        {
            auto connection = std::make_unique<Connection>(nullptr, kHandshakeTimeoutMs);
            Recorder report(*connection);
            open(*connection, 2);
            QTRY_COMPARE_WITH_TIMEOUT(report.connected.size(), 1, 10000);
        }
        QCOMPARE(m_devices.command(QStringLiteral("fault d3 push refuse")), QStringLiteral("ok"));
        {
            auto connection = std::make_unique<Connection>(nullptr, kHandshakeTimeoutMs);
            Recorder report(*connection);
            open(*connection, 2);
            QTRY_VERIFY_WITH_TIMEOUT(!report.errors.isEmpty(), 10000);
        }
        const QString authorization = QString::fromLatin1(m_devices.authorization(0));
        const QStringList lines = capture.takeTexts();
        QVERIFY(!lines.isEmpty()); // the refusal was logged
        for (const QString& line : lines) {
            QVERIFY2(!line.contains(QString::fromLatin1(m_code)), qPrintable(line));
            QVERIFY2(!line.contains(authorization.section(QLatin1Char(' '), 1)), qPrintable(line));
        }
    }
};

QTEST_GUILESS_MAIN(TestWebSocketClient)
#include "tst_websocketclient.moc"
