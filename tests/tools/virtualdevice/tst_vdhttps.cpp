// The virtual device's HTTPS interface through independent clients: curl for
// requests and multipart uploads, openssl s_client for TLS, Qt's network
// access manager for the exact body that the program builds, and raw TLS
// sockets for malformed requests.

#include "DeviceProcess.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHttpMultiPart>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

QByteArray tinyPng()
{
    return QByteArray::fromHex("89504e470d0a1a0a0000000d49484452000000010000000108060000001f15c489"
                               "0000000d4944415478da6364f8ffbf1e000502027f3f1d4a4b0000000049454e44ae426082");
}

} // namespace

class TestHttps : public QObject
{
    Q_OBJECT

private:
    DeviceProcess m_devices;
    QTemporaryDir m_dir;

    QString writeFile(const QString& name, const QByteArray& content) { return writeTestFile(m_dir, name, content); }

    // curl -F upload of one file with its digest.
    // To the first device unless another is named.
    ToolResult upload(const QString& endpoint, const QString& field, const QString& path, const QString& type,
                      const QStringList& extra = {}, const QByteArray& digest = QByteArray(), int device = 0)
    {
        const QByteArray hash = digest.isEmpty() ? md5Of(path) : digest;
        return curl(QStringList{QStringLiteral("-u"), m_devices.credentials(device), QStringLiteral("-F"),
                                QStringLiteral("hash_value=") + QString::fromLatin1(hash), QStringLiteral("-F"),
                                QStringLiteral("%1=@%2;type=%3").arg(field, path, type)}
                    + extra + QStringList{m_devices.url(device, QStringLiteral("/api/v1/files/") + endpoint)});
    }

    // The digest of the certificate a device shows now; empty without TLS.
    static QByteArray shownCertificate(const QString& address, int port)
    {
        QSslSocket socket;
        socket.setPeerVerifyMode(QSslSocket::VerifyNone);
        socket.connectToHostEncrypted(address, quint16(port));
        return socket.waitForEncrypted(10000) ? socket.peerCertificate().digest(QCryptographicHash::Sha256).toHex()
                                              : QByteArray();
    }

    // Sends raw bytes over TLS and returns what the device answered before closing.
    QByteArray rawExchange(const QByteArray& request)
    {
        QSslSocket socket;
        socket.setPeerVerifyMode(QSslSocket::VerifyNone);
        socket.connectToHostEncrypted(m_devices.address(0), m_devices.httpsPort(0));
        if (!socket.waitForEncrypted(10000))
            return "no TLS: " + socket.errorString().toUtf8();
        socket.write(request);
        QByteArray answer;
        QElapsedTimer clock;
        clock.start();
        while (socket.state() == QAbstractSocket::ConnectedState && clock.elapsed() < 10000) {
            socket.waitForReadyRead(200);
            answer += socket.readAll();
        }
        return answer + socket.readAll();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY2(m_devices.start(DeviceArguments()
                                     .device("127.0.0.2")
                                     .model("TQ-730")
                                     .name("Desk")
                                     .password("s3cret")
                                     .version("1.2.3")
                                     .keys("serial=SN-1,subnet=255.255.255.0,gateway=127.0.0.1,dns1=127.0.0.53,dns2=")
                                     // Throttled from the start, with no command.
                                     .device("127.0.0.3")
                                     .throttle("1m")
                                     .updateSteps(20, 50)
                                     // Later requests follow a firmware upload at once: no reboot.
                                     .rebootMs(0)),
                 qPrintable(m_devices.errorText()));
    }

    void tlsWithSelfSignedCertificate()
    {
        const ToolResult r = runTool(QStringLiteral("openssl"),
                                     {QStringLiteral("s_client"), QStringLiteral("-connect"),
                                      QStringLiteral("%1:%2").arg(m_devices.address(0)).arg(m_devices.httpsPort(0)),
                                      QStringLiteral("-tls1_2")},
                                     30000, "Q\n");
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.out.contains("self-signed certificate") || r.out.contains("self signed certificate"),
                 r.out.constData());
        // Named after the MAC address, which is short whatever the device's name.
        QVERIFY2(r.out.contains("subject=CN = Virtual device 02:00:7F:00:00:02\n"), r.out.constData());
    }

    void authentication()
    {
        const QString url = m_devices.url(0, QStringLiteral("/api/v1/auth/authenticate"));
        QCOMPARE(curlStatus(curl({QStringLiteral("-X"), QStringLiteral("POST"), QStringLiteral("-u"),
                                  m_devices.credentials(0), url})),
                 200);
        const QByteArray wrongCode = md5Hex("wrong").toLatin1();
        QCOMPARE(curlStatus(curl({QStringLiteral("-X"), QStringLiteral("POST"), QStringLiteral("-u"),
                                  QStringLiteral("admin:") + QString::fromLatin1(wrongCode), url})),
                 403);
        QCOMPARE(curlStatus(curl({QStringLiteral("-X"), QStringLiteral("POST"), QStringLiteral("-u"),
                                  QStringLiteral("admin:s3cret"), url})),
                 403);
        QCOMPARE(
            curlStatus(curl({QStringLiteral("-X"), QStringLiteral("POST"), QStringLiteral("-u"),
                             m_devices.credentials(0).replace(QStringLiteral("admin"), QStringLiteral("root")), url})),
            403);
        QCOMPARE(curlStatus(curl({QStringLiteral("-X"), QStringLiteral("POST"), url})), 403);
        QCOMPARE(curlStatus(curl({QStringLiteral("-u"), m_devices.credentials(0), url})), 405); // GET
        QCOMPARE(curlStatus(curl({QStringLiteral("-u"), m_devices.credentials(0),
                                  m_devices.url(0, QStringLiteral("/api/v1/nothing"))})),
                 404);
    }

    void settingsDocument()
    {
        const ToolResult r = curl({QStringLiteral("-u"), m_devices.credentials(0),
                                   m_devices.url(0, QStringLiteral("/api/v1/settings/self"))});
        QCOMPARE(curlStatus(r), 200);
        const QJsonObject doc = QJsonDocument::fromJson(r.out.left(r.out.lastIndexOf("\nstatus="))).object();
        const QJsonObject sys = doc.value(QStringLiteral("sys")).toObject();
        const QJsonObject net = doc.value(QStringLiteral("net")).toObject();
        QVERIFY(doc.value(QStringLiteral("display")).isObject());
        QCOMPARE(sys.value(QStringLiteral("base-ver")).toString(), QStringLiteral("1.2.3"));
        QCOMPARE(sys.value(QStringLiteral("base-sernum")).toString(), QStringLiteral("SN-1"));
        QVERIFY(sys.value(QStringLiteral("device-status")).isDouble());
        QCOMPARE(sys.value(QStringLiteral("device-status")).toInt(-1), 0);
        QCOMPARE(net.value(QStringLiteral("ipv4-subnet")).toString(), QStringLiteral("255.255.255.0"));
        QCOMPARE(net.value(QStringLiteral("ipv4-gateway")).toString(), QStringLiteral("127.0.0.1"));
        QCOMPARE(net.value(QStringLiteral("ipv4-dns1")).toString(), QStringLiteral("127.0.0.53"));
        QVERIFY(net.value(QStringLiteral("ipv4-dns2")).isString());
        QCOMPARE(curlStatus(curl({m_devices.url(0, QStringLiteral("/api/v1/settings/self"))})), 403);
    }

    void uploadsWithGoodBodies()
    {
        const QString firmware = writeFile(QStringLiteral("fw-4.5.6.bundle"), QByteArray(300000, 'f'));
        const QString config = writeFile(QStringLiteral("site.xml"), "<?xml version=\"1.0\"?><config><a/></config>");
        const QString image = writeFile(QStringLiteral("idle.png"), tinyPng());
        int from = m_devices.lineCount();
        ToolResult r = upload(QStringLiteral("firmware"), QStringLiteral("firmware_file"), firmware,
                              QStringLiteral("application/octet-stream"));
        QCOMPARE(curlStatus(r), 200);
        QVERIFY(r.out.contains(md5Of(firmware)));
        QVERIFY(m_devices.waitForLineContaining(QStringLiteral("event d1 update finished result=0 version=4.5.6"),
                                                10000, from));
        // The body exactly as multipart/mixed, as the program sends it.
        r = upload(QStringLiteral("import"), QStringLiteral("configuration_file"), config, QStringLiteral("text/xml"),
                   {QStringLiteral("-H"), QStringLiteral("Content-Type: multipart/mixed")});
        QCOMPARE(curlStatus(r), 200);
        QVERIFY(m_devices.waitForLineContaining(QStringLiteral("event d1 import result=0"), 10000, from));
        // Chunked transfer coding.
        r = upload(QStringLiteral("standby-image"), QStringLiteral("standby_screen_image_file"), image,
                   QStringLiteral("image/png"), {QStringLiteral("-H"), QStringLiteral("Transfer-Encoding: chunked")});
        QCOMPARE(curlStatus(r), 200);
        QVERIFY(m_devices.waitForLineContaining(QStringLiteral("event d1 standby-image valid=1"), 10000, from));
    }

    void uploadOfTheProgramsOwnBodyShape()
    {
        // QHttpMultiPart with its default kind: multipart/mixed, a quoted
        // boundary, the digest part first, the file streamed from disk.
        const QString path = writeFile(QStringLiteral("big.bundle"), QByteArray(2 * 1024 * 1024, 'q'));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QHttpMultiPart multipart;
        QHttpPart hash;
        hash.setHeader(QNetworkRequest::ContentDispositionHeader, QStringLiteral("form-data; name=\"hash_value\""));
        hash.setBody(md5Of(path));
        QHttpPart data;
        data.setHeader(QNetworkRequest::ContentDispositionHeader,
                       QStringLiteral("form-data; name=\"firmware_file\"; filename=\"big.bundle\""));
        data.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/octet-stream"));
        data.setBodyDevice(&file);
        multipart.append(hash);
        multipart.append(data);
        const int from = m_devices.lineCount();
        QNetworkAccessManager manager;
        manager.setProxy(QNetworkProxy::NoProxy);
        QNetworkRequest request(QUrl(m_devices.url(0, QStringLiteral("/api/v1/files/firmware"))));
        request.setRawHeader("Authorization", m_devices.authorization(0));
        QNetworkReply* reply = manager.post(request, &multipart);
        connect(reply, &QNetworkReply::sslErrors, reply, [reply] { reply->ignoreSslErrors(); });
        QSignalSpy finished(reply, &QNetworkReply::finished);
        QVERIFY(finished.wait(30000));
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        delete reply;
        QVERIFY(m_devices.waitForLineContaining(QStringLiteral("update finished"), 10000, from));
    }

    void uploadsWithBadBodies()
    {
        const QString firmware = writeFile(QStringLiteral("a.bundle"), "firmware bytes");
        const QString octet = QStringLiteral("application/octet-stream");
        QCOMPARE(curlStatus(upload(QStringLiteral("firmware"), QStringLiteral("firmware_file"), firmware, octet, {},
                                   QByteArray(32, 'a'))),
                 400);
        QCOMPARE(curlStatus(upload(QStringLiteral("firmware"), QStringLiteral("configuration_file"), firmware,
                                   QStringLiteral("text/xml"))),
                 400);
        QCOMPARE(curlStatus(upload(QStringLiteral("firmware"), QStringLiteral("firmware_file"), firmware,
                                   QStringLiteral("text/plain"))),
                 415);
        QCOMPARE(curlStatus(upload(QStringLiteral("import"), QStringLiteral("configuration_file"), firmware, octet)),
                 415);
        QCOMPARE(curlStatus(upload(QStringLiteral("standby-image"), QStringLiteral("standby_screen_image_file"),
                                   firmware, QStringLiteral("image/gif"))),
                 415);
        // Only the file, no digest.
        QCOMPARE(curlStatus(curl({QStringLiteral("-u"), m_devices.credentials(0), QStringLiteral("-F"),
                                  QStringLiteral("firmware_file=@%1;type=%2").arg(firmware, octet),
                                  m_devices.url(0, QStringLiteral("/api/v1/files/firmware"))})),
                 400);
        // Not multipart at all, and a multipart type without a boundary.
        QCOMPARE(curlStatus(curl({QStringLiteral("-u"), m_devices.credentials(0), QStringLiteral("--data-binary"),
                                  QStringLiteral("x"), m_devices.url(0, QStringLiteral("/api/v1/files/firmware"))})),
                 415);
        QCOMPARE(curlStatus(curl({QStringLiteral("-u"), m_devices.credentials(0), QStringLiteral("-H"),
                                  QStringLiteral("Content-Type: multipart/mixed"), QStringLiteral("--data-binary"),
                                  QStringLiteral("x"), m_devices.url(0, QStringLiteral("/api/v1/files/firmware"))})),
                 400);
        // Right body, wrong credentials.
        const ToolResult denied
            = curl({QStringLiteral("-u"), QStringLiteral("admin:nope"), QStringLiteral("-F"),
                    QStringLiteral("hash_value=") + QString::fromLatin1(md5Of(firmware)), QStringLiteral("-F"),
                    QStringLiteral("firmware_file=@%1;type=%2").arg(firmware, octet),
                    m_devices.url(0, QStringLiteral("/api/v1/files/firmware"))});
        QCOMPARE(curlStatus(denied), 403);
        // The device still serves after all of that.
        const int from = m_devices.lineCount();
        QCOMPARE(curlStatus(upload(QStringLiteral("firmware"), QStringLiteral("firmware_file"), firmware, octet)), 200);
        QVERIFY(m_devices.waitForLineContaining(QStringLiteral("update finished"), 10000, from));
    }

    void malformedRequestsGetAnAnswerAndAClose()
    {
        QVERIFY(rawExchange("BLAH\r\n\r\n").startsWith("HTTP/1.1 400 "));
        QVERIFY(rawExchange("GET / HTTP/3.0\r\n\r\n").startsWith("HTTP/1.1 505 "));
        QVERIFY(rawExchange("POST /api/v1/files/firmware HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nqq\r\n")
                    .startsWith("HTTP/1.1 400 "));
        QVERIFY(rawExchange("GET / HTTP/1.1\r\nX: " + QByteArray(70000, 'x') + "\r\n\r\n").startsWith("HTTP/1.1 431 "));
        // Two requests on one kept-alive connection, then a close.
        const QByteArray pair
            = "GET /api/v1/settings/self HTTP/1.1\r\nAuthorization: " + m_devices.authorization(0)
              + "\r\n\r\nPOST /api/v1/auth/authenticate HTTP/1.1\r\nAuthorization: x\r\nConnection: close\r\n\r\n";
        const QByteArray two = rawExchange(pair);
        QVERIFY2(two.startsWith("HTTP/1.1 200 ") && two.contains("}HTTP/1.1 403 ") && two.contains("Connection: close"),
                 two.constData());
        // The second one waits behind a streamed answer, then gets its turn.
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 settings-size 2m")), QStringLiteral("ok"));
        const QByteArray streamed = rawExchange(pair);
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 settings-size normal")), QStringLiteral("ok"));
        QVERIFY2(streamed.startsWith("HTTP/1.1 200 ") && streamed.indexOf("}HTTP/1.1 403 ") > 2 * 1024 * 1024,
                 streamed.right(300).constData());
    }

    void busyDeviceRefusesFirmwareAndImport()
    {
        const QString firmware = writeFile(QStringLiteral("b.bundle"), "fw");
        const QString image = writeFile(QStringLiteral("b.png"), tinyPng());
        QCOMPARE(m_devices.command(QStringLiteral("state d1 in-call")), QStringLiteral("ok"));
        QCOMPARE(curlStatus(upload(QStringLiteral("firmware"), QStringLiteral("firmware_file"), firmware,
                                   QStringLiteral("application/octet-stream"))),
                 409);
        // A device in a call still takes a standby image.
        QCOMPARE(curlStatus(upload(QStringLiteral("standby-image"), QStringLiteral("standby_screen_image_file"), image,
                                   QStringLiteral("image/png"))),
                 200);
        QCOMPARE(m_devices.command(QStringLiteral("state d1 busy")), QStringLiteral("ok"));
        QCOMPARE(curlStatus(upload(QStringLiteral("standby-image"), QStringLiteral("standby_screen_image_file"), image,
                                   QStringLiteral("image/png"))),
                 409);
        QCOMPARE(m_devices.command(QStringLiteral("state d1 idle")), QStringLiteral("ok"));
        const int from = m_devices.lineCount();
        QCOMPARE(curlStatus(upload(QStringLiteral("firmware"), QStringLiteral("firmware_file"), firmware,
                                   QStringLiteral("application/octet-stream"))),
                 200);
        QVERIFY(m_devices.waitForLineContaining(QStringLiteral("update finished"), 10000, from));
    }

    void injectedUploadAnswers()
    {
        const QString firmware = writeFile(QStringLiteral("c.bundle"), QByteArray(5000, 'c'));
        for (const char* status : {"403", "500"}) {
            QCOMPARE(m_devices.command(QStringLiteral("fault d1 upload ") + QLatin1String(status)),
                     QStringLiteral("ok"));
            QCOMPARE(curlStatus(upload(QStringLiteral("firmware"), QStringLiteral("firmware_file"), firmware,
                                       QStringLiteral("application/octet-stream"))),
                     QByteArray(status).toInt());
        }
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 upload normal")), QStringLiteral("ok"));
        const int from = m_devices.lineCount();
        QCOMPARE(curlStatus(upload(QStringLiteral("firmware"), QStringLiteral("firmware_file"), firmware,
                                   QStringLiteral("application/octet-stream"))),
                 200);
        QVERIFY(m_devices.waitForLineContaining(QStringLiteral("update finished"), 10000, from));
    }

    void injectedConnectionFaults()
    {
        const QString url = m_devices.url(0, QStringLiteral("/api/v1/auth/authenticate"));
        const QStringList post{QStringLiteral("-X"),
                               QStringLiteral("POST"),
                               QStringLiteral("-u"),
                               m_devices.credentials(0),
                               QStringLiteral("--max-time"),
                               QStringLiteral("3"),
                               url};
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 connect refuse")), QStringLiteral("ok"));
        QCOMPARE(curl(post).exitCode, 7); // could not connect
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 connect drop")), QStringLiteral("ok"));
        const int dropped = curl(post).exitCode;
        QVERIFY2(dropped == 35 || dropped == 56 || dropped == 52,
                 qPrintable(QString::number(dropped))); // TLS or receive failure
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 connect stall-tls")), QStringLiteral("ok"));
        QCOMPARE(curl(post).exitCode, 28); // timed out in the handshake
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 connect normal")), QStringLiteral("ok"));
        QCOMPARE(curlStatus(curl(post)), 200);
    }

    void injectedLoginAnswers_data()
    {
        QTest::addColumn<QString>("faults"); // separated by "; "
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("sections"); // of a settings answer; "-" for none
        QTest::addColumn<QString>("location"); // "" for no Location header
        QTest::addColumn<int>("size"); // of the body; 0 for any

        const QString auth = QStringLiteral("/api/v1/auth/authenticate");
        const QString settings = QStringLiteral("/api/v1/settings/self");
        const QString elsewhere = QStringLiteral("https://127.0.0.9:8443/api/v1/elsewhere");
        QTest::newRow("auth-status 401") << "auth-status 401" << auth << 401 << "-"
                                         << "" << 0;
        QTest::newRow("auth-status 500") << "auth-status 500" << auth << 500 << "-"
                                         << "" << 0;
        QTest::newRow("auth-status 204") << "auth-status 204" << auth << 204 << "-"
                                         << "" << 0;
        QTest::newRow("auth-status leaves settings alone") << "auth-status 500" << settings << 200 << "display net sys"
                                                           << "" << 0;
        QTest::newRow("settings-status 202 keeps the document")
            << "settings-status 202" << settings << 202 << "display net sys"
            << "" << 0;
        QTest::newRow("settings-status 404 still sends the document")
            << "settings-status 404" << settings << 404 << "display net sys"
            << "" << 0;
        QTest::newRow("settings-status 204 has no body") << "settings-status 204" << settings << 204 << "-"
                                                         << "" << 0;
        QTest::newRow("settings-status leaves auth alone") << "settings-status 500" << auth << 200 << "-"
                                                           << "" << 0;
        QTest::newRow("settings-drop net") << "settings-drop net" << settings << 200 << "display sys"
                                           << "" << 0;
        QTest::newRow("settings-drop sys") << "settings-drop sys" << settings << 200 << "display net"
                                           << "" << 0;
        QTest::newRow("settings-drop display") << "settings-drop display" << settings << 200 << "net sys"
                                               << "" << 0;
        QTest::newRow("auth-status 302 redirected")
            << "redirect " + elsewhere + "; auth-status 302" << auth << 302 << "-" << elsewhere << 0;
        QTest::newRow("settings-status 307 redirected keeps the document")
            << "redirect " + elsewhere + "; settings-status 307" << settings << 307 << "display net sys" << elsewhere
            << 0;
        QTest::newRow("redirect only on 3xx") << "redirect " + elsewhere + "; auth-status 401" << auth << 401 << "-"
                                              << "" << 0;
        QTest::newRow("settings-size pads to the byte")
            << "settings-size 3m" << settings << 200 << "display net padding sys"
            << "" << 3 * 1024 * 1024;
        QTest::newRow("settings-size with a status and a section left out")
            << "settings-size 100000; settings-status 404; settings-drop net" << settings << 404
            << "display padding sys"
            << "" << 100000;
    }

    void injectedLoginAnswers()
    {
        QFETCH(QString, faults);
        QFETCH(QString, path);
        QFETCH(int, status);
        QFETCH(QString, sections);
        QFETCH(QString, location);
        QFETCH(int, size);
        for (const QString& fault : faults.split(QStringLiteral("; ")))
            QCOMPARE(m_devices.command(QStringLiteral("fault d1 ") + fault), QStringLiteral("ok"));
        // The head goes to standard error, the body to standard output.
        QStringList args{QStringLiteral("-u"), m_devices.credentials(0), QStringLiteral("-D"),
                         QStringLiteral("/dev/stderr")};
        if (path.endsWith(QLatin1String("authenticate")))
            args << QStringLiteral("-X") << QStringLiteral("POST");
        const ToolResult r = curl(args << m_devices.url(0, path));
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 clear")), QStringLiteral("ok"));
        QCOMPARE(curlStatus(r), status);
        QString answeredLocation;
        for (const QByteArray& line : r.err.split('\n')) {
            if (line.toLower().startsWith("location:"))
                answeredLocation = QString::fromLatin1(line.mid(9).trimmed());
        }
        QCOMPARE(answeredLocation, location);
        const QByteArray body = r.out.left(r.out.lastIndexOf("\nstatus="));
        if (size > 0)
            QCOMPARE(body.size(), size);
        if (sections == QLatin1String("-")) {
            if (status == 204)
                QVERIFY2(body.isEmpty(), body.constData());
            return;
        }
        const QJsonObject document = QJsonDocument::fromJson(body).object();
        QCOMPARE(document.keys().join(QLatin1Char(' ')), sections);
    }

    void injectedFaultsNeedTheRightPassword()
    {
        // An injected answer is for an authorised client; others still get 403.
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 auth-status 500")), QStringLiteral("ok"));
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 settings-status 202")), QStringLiteral("ok"));
        const ToolResult auth
            = curl({QStringLiteral("-X"), QStringLiteral("POST"), QStringLiteral("-u"), QStringLiteral("admin:wrong"),
                    m_devices.url(0, QStringLiteral("/api/v1/auth/authenticate"))});
        const ToolResult settings = curl({QStringLiteral("-u"), QStringLiteral("admin:wrong"),
                                          m_devices.url(0, QStringLiteral("/api/v1/settings/self"))});
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 clear")), QStringLiteral("ok"));
        QCOMPARE(curlStatus(auth), 403);
        QCOMPARE(curlStatus(settings), 403);
    }

    void badLoginFaultValues_data()
    {
        QTest::addColumn<QString>("command");
        QTest::newRow("auth-status text") << "fault d1 auth-status often";
        QTest::newRow("auth-status interim") << "fault d1 auth-status 100";
        QTest::newRow("auth-status beyond 599") << "fault d1 auth-status 600";
        QTest::newRow("settings-status empty") << "fault d1 settings-status";
        QTest::newRow("settings-status negative") << "fault d1 settings-status -200";
        QTest::newRow("settings-drop unknown") << "fault d1 settings-drop all";
        QTest::newRow("vanish-after-auth yes") << "fault d1 vanish-after-auth yes";
        QTest::newRow("request unknown") << "fault d1 request slow";
        QTest::newRow("redirect relative") << "fault d1 redirect /api/v1/settings/self";
        QTest::newRow("settings-size zero") << "fault d1 settings-size 0";
        QTest::newRow("settings-size beyond 64 MiB") << "fault d1 settings-size 65m";
    }

    void badLoginFaultValues()
    {
        QFETCH(QString, command);
        QVERIFY(m_devices.command(command).startsWith(QLatin1String("error ")));
        // Nothing changed: the device still answers normally.
        QCOMPARE(
            curlStatus(curl({QStringLiteral("-X"), QStringLiteral("POST"), QStringLiteral("-u"),
                             m_devices.credentials(0), m_devices.url(0, QStringLiteral("/api/v1/auth/authenticate"))})),
            200);
    }

    void settingsReadClosedWithoutAnswer()
    {
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 settings-status close")), QStringLiteral("ok"));
        const QStringList auth{QStringLiteral("-u"), m_devices.credentials(0)};
        const ToolResult closed = curl(auth
                                       + QStringList{QStringLiteral("--max-time"), QStringLiteral("10"),
                                                     m_devices.url(0, QStringLiteral("/api/v1/settings/self"))});
        const ToolResult post = curl(auth
                                     + QStringList{QStringLiteral("-X"), QStringLiteral("POST"),
                                                   m_devices.url(0, QStringLiteral("/api/v1/auth/authenticate"))});
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 settings-status normal")), QStringLiteral("ok"));
        QVERIFY2(closed.exitCode == 52 || closed.exitCode == 56,
                 qPrintable(QString::number(closed.exitCode))); // nothing or a reset
        QCOMPARE(curlStatus(post), 200);
        QCOMPARE(curlStatus(curl(auth + QStringList{m_devices.url(0, QStringLiteral("/api/v1/settings/self"))})), 200);
    }

    void stalledRequests()
    {
        // The first answer is padded, so the stalled request goes out on a
        // kept-alive connection that has just streamed a long body.
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 settings-size 1m")), QStringLiteral("ok"));
        QNetworkAccessManager manager;
        manager.setProxy(QNetworkProxy::NoProxy);
        const auto get = [&] {
            QNetworkRequest request(QUrl(m_devices.url(0, QStringLiteral("/api/v1/settings/self"))));
            request.setRawHeader("Authorization", m_devices.authorization(0));
            QNetworkReply* reply = manager.get(request);
            connect(reply, &QNetworkReply::sslErrors, reply, [reply] { reply->ignoreSslErrors(); });
            return std::unique_ptr<QNetworkReply>(reply);
        };
        const auto first = get();
        QSignalSpy firstDone(first.get(), &QNetworkReply::finished);
        QVERIFY(firstDone.wait(30000));
        QCOMPARE(first->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        QCOMPARE(first->readAll().size(), 1024 * 1024);

        QCOMPARE(m_devices.command(QStringLiteral("fault d1 request stall")), QStringLiteral("ok"));
        const int from = m_devices.lineCount();
        const auto stalled = get();
        QVERIFY(m_devices.waitForLineContaining(QStringLiteral("request stalled GET /api/v1/settings/self request=2"),
                                                10000, from));
        // Later requests are answered again, on another connection; the
        // stalled one still waits.
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 request normal")), QStringLiteral("ok"));
        const auto later = get();
        QSignalSpy laterDone(later.get(), &QNetworkReply::finished);
        QVERIFY(laterDone.wait(30000));
        QCOMPARE(later->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        QVERIFY(!stalled->isFinished());
        stalled->abort();
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 clear")), QStringLiteral("ok"));
    }

    void vanishAfterAuthenticate()
    {
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 vanish-after-auth on")), QStringLiteral("ok"));
        const QStringList auth{QStringLiteral("-u"), m_devices.credentials(0), QStringLiteral("--max-time"),
                               QStringLiteral("10")};
        const int from = m_devices.lineCount();
        const ToolResult answered = curl(auth
                                         + QStringList{QStringLiteral("-X"), QStringLiteral("POST"),
                                                       m_devices.url(0, QStringLiteral("/api/v1/auth/authenticate"))});
        const ToolResult gone = curl(auth + QStringList{m_devices.url(0, QStringLiteral("/api/v1/settings/self"))});
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 clear")), QStringLiteral("ok"));
        QCOMPARE(curlStatus(answered), 200);
        QVERIFY(m_devices.waitForLineContaining(QStringLiteral("vanished after authenticate"), 10000, from));
        QCOMPARE(gone.exitCode, 7); // could not connect
        // Cleared: back on the network.
        QCOMPARE(curlStatus(curl(auth + QStringList{m_devices.url(0, QStringLiteral("/api/v1/settings/self"))})), 200);
    }

    void throttledUploadTakesItsTime_data()
    {
        QTest::addColumn<int>("device");
        QTest::addColumn<QString>("throttle"); // the command, none for a device started throttled
        QTest::newRow("console fault") << 0 << QStringLiteral("fault d1 throttle 1m");
        QTest::newRow("start-up key") << 1 << QString();
    }

    void throttledUploadTakesItsTime()
    {
        QFETCH(int, device);
        QFETCH(QString, throttle);
        const QString path = writeFile(QStringLiteral("slow.bundle"), QByteArray(3 * 1024 * 1024, 's'));
        if (!throttle.isEmpty())
            QCOMPARE(m_devices.command(throttle), QStringLiteral("ok"));
        const QString id = m_devices.device(device).value(QStringLiteral("id")).toString();
        const int from = m_devices.lineCount();
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(curlStatus(upload(QStringLiteral("firmware"), QStringLiteral("firmware_file"), path,
                                   QStringLiteral("application/octet-stream"), {}, QByteArray(), device)),
                 200);
        // 3 MiB at 1 MiB/s: well above a second even with socket buffers filled.
        QVERIFY2(clock.elapsed() >= 1500, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(m_devices.command(QStringLiteral("fault %1 throttle off").arg(id)), QStringLiteral("ok"));
        QVERIFY(m_devices.waitForLineContaining(QStringLiteral("event %1 update finished").arg(id), 10000, from));
    }

    void largeUploadStreamsThroughLittleMemory()
    {
        // A sparse file: 192 MiB on the wire, nothing on the disk.
        const qint64 size = 192LL * 1024 * 1024;
        const QString path = m_dir.filePath(QStringLiteral("large.bundle"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(size));
        file.close();
        const qint64 before = m_devices.memoryKiB("VmRSS");
        const int from = m_devices.lineCount();
        QVERIFY(before > 0);
        const ToolResult r = upload(QStringLiteral("firmware"), QStringLiteral("firmware_file"), path,
                                    QStringLiteral("application/octet-stream"));
        QCOMPARE(curlStatus(r), 200);
        QVERIFY(r.out.contains(QByteArray("\"size\":") + QByteArray::number(size)));
        const qint64 peak = m_devices.memoryKiB("VmHWM");
        qInfo("device memory: %lld KiB before, %lld KiB peak, for a %lld KiB upload", before, peak, size / 1024);
        QVERIFY2(peak - before < 32 * 1024, qPrintable(QStringLiteral("peak grew by %1 KiB").arg(peak - before)));
        QVERIFY(m_devices.waitForLineContaining(QStringLiteral("update finished"), 10000, from));
    }

    // A device keeps its key across restarts in a key folder, and plays a
    // replaced device (or an impostor) with another key until set back.
    void keyKeptAcrossRestartsAndSwapped()
    {
        const QString folder = m_dir.filePath(QStringLiteral("keys"));
        const QStringList arguments = QStringList(DeviceArguments().device(QStringLiteral("127.0.0.4")))
                                      << QStringLiteral("--key-dir") << folder;
        QByteArray first;
        for (int start = 0; start < 2; ++start) {
            DeviceProcess device;
            QVERIFY2(device.start(arguments), qPrintable(device.errorText()));
            const QByteArray shown = shownCertificate(device.address(0), device.httpsPort(0));
            QVERIFY(!shown.isEmpty());
            if (start == 0)
                first = shown;
            QCOMPARE(shown, first);
            if (start == 1) {
                QCOMPARE(device.command(QStringLiteral("fault all key swap")), QStringLiteral("ok"));
                const QByteArray swapped = shownCertificate(device.address(0), device.httpsPort(0));
                QVERIFY(!swapped.isEmpty() && swapped != first);
                QCOMPARE(device.command(QStringLiteral("fault all key original")), QStringLiteral("ok"));
                QCOMPARE(shownCertificate(device.address(0), device.httpsPort(0)), first);
                QCOMPARE(device.command(QStringLiteral("fault all key sideways")).left(5), QStringLiteral("error"));
            }
            QVERIFY(device.stop());
        }
        QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList{QStringLiteral("02007F000004.pem")});
        // Without a key folder every start has a key of its own.
        DeviceProcess fresh;
        QVERIFY2(fresh.start(QStringList(DeviceArguments().device(QStringLiteral("127.0.0.4")))
                             << QStringLiteral("--key-dir") << QString()),
                 qPrintable(fresh.errorText()));
        QVERIFY(shownCertificate(fresh.address(0), fresh.httpsPort(0)) != first);
        QVERIFY(fresh.stop());
    }

    void cleanupTestCase() { QVERIFY(m_devices.stop()); }
};

QTEST_GUILESS_MAIN(TestHttps)
#include "tst_vdhttps.moc"
