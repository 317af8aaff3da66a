// The HTTP access manager against real sockets on loopback: the virtual
// device over TLS (self-signed certificate) and small servers of the test's
// own (one that records the raw request and answers, one that accepts and
// never answers, a closed port).
//
// Request ids are process-wide: requestIdsStartAtOne must stay the first test
// that creates a request.

#include "DeviceProcess.h"
#include "HttpAccessManager.h"
#include "MessageCapture.h"
#include "MultiPartBody.h"
#include "RecordingHttpServer.h"
#include "StreamedBody.h"
#include "TestTools.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <optional>

namespace {

constexpr int32_t kRemoved = 0x00010000;
constexpr int32_t kNoSuchRequest = int32_t(0x800101F5);
constexpr int32_t kTimedOut = int32_t(0x800101F6);
constexpr int32_t kZeroTimeout = int32_t(0x800101F7);
constexpr int32_t kNotSent = int32_t(0x800101F8);
constexpr int32_t kNoStatus = int32_t(0x800101F9);
constexpr int32_t kHeaderAbsent = int32_t(0x800101FA);

const QByteArray kPassword = "s3cret";
const QByteArray kCode = md5Hex(kPassword).toLatin1();

QByteArray tinyPng()
{
    return QByteArray::fromHex("89504e470d0a1a0a0000000d49484452000000010000000108060000001f15c489"
                               "0000000d4944415478da6364f8ffbf1e000502027f3f1d4a4b0000000049454e44ae426082");
}

} // namespace

class TestHttpAccessManager : public QObject
{
    Q_OBJECT

private:
    DeviceProcess m_device;
    std::unique_ptr<MessageCapture> m_capture;
    QStringList m_logLines;
    // One per test function: the requests of a failed test (and callbacks
    // into its stack) end with it. Ids still count on across managers.
    std::unique_ptr<HttpAccessManager> m_manager;

    QByteArray host() const { return m_device.address(0).toUtf8(); }
    int devicePort() const { return m_device.httpsPort(0); }

    // Returns once everything queued so far has crossed two queued hops (the
    // progress relay's reply-to-request and request-to-manager), because a
    // marker that crosses two hops as well has arrived.
    void settleTwoHops()
    {
        bool passed = false;
        QMetaObject::invokeMethod(
            this,
            [this, &passed] {
                QMetaObject::invokeMethod(
                    this, [&passed] { passed = true; }, Qt::QueuedConnection);
            },
            Qt::QueuedConnection);
        QTRY_VERIFY(passed);
    }

    // Any text that must never reach a log line.
    QList<QByteArray> secrets() const
    {
        return {kPassword, kCode, ("admin:" + kCode).toBase64(), QByteArray("admin:").toBase64(), "YWRtaW46"};
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_device.start(DeviceArguments()
                                    .device("127.0.0.2")
                                    .model("TQ-730")
                                    .name("Desk")
                                    .password(QString::fromLatin1(kPassword))
                                    .version("1.2.3")
                                    .keys("serial=SN-1,subnet=255.255.255.0,gateway=127.0.0.1,dns1=127.0.0.53,dns2=")),
                 qPrintable(m_device.errorText()));
        m_capture = std::make_unique<MessageCapture>();
    }

    void init() { m_manager = std::make_unique<HttpAccessManager>(); }

    void cleanup()
    {
        m_manager.reset();
        const QStringList lines = m_capture->takeTexts();
        m_logLines += lines;
        for (const QString& line : lines) {
            for (const QByteArray& secret : secrets())
                QVERIFY2(!line.toUtf8().contains(secret), qPrintable(QStringLiteral("secret in log line: ") + line));
            QVERIFY2(!line.contains(QLatin1String("Basic "), Qt::CaseInsensitive), qPrintable(line));
        }
    }

    void cleanupTestCase()
    {
        m_capture.reset();
        QVERIFY(m_device.stop());
    }

    void requestIdsStartAtOneAndAreNeverReused()
    {
        int first = -1;
        QCOMPARE(m_manager->createSyncRequest("https", host(), "/", nullptr, devicePort(), first, kCode), 0);
        QCOMPARE(first, 1);
        QCOMPARE(m_manager->deleteRequest(first), kRemoved);

        int second = -1;
        QCOMPARE(m_manager->createAsyncRequest(
                     "https", host(), "/", nullptr, devicePort(), [](int) {}, second, kCode),
                 0);
        QCOMPARE(second, 2);

        // Another manager (the process-wide one) goes on counting.
        HttpAccessManager& shared = HttpAccessManager::getInstance();
        QCOMPARE(&shared, &HttpAccessManager::getInstance());
        int third = -1;
        QCOMPARE(shared.createSyncRequest("https", host(), "/", nullptr, devicePort(), third, nullptr), 0);
        QCOMPARE(third, 3);
        QCOMPARE(m_manager->deleteRequest(third), kNoSuchRequest); // not this manager's
        QCOMPARE(shared.deleteRequest(third), kRemoved);
        QCOMPARE(m_manager->deleteRequest(second), kRemoved);

        int fourth = -1;
        QCOMPARE(m_manager->createSyncRequest("https", host(), "/", nullptr, devicePort(), fourth, kCode), 0);
        QCOMPARE(fourth, 4);
        QCOMPARE(m_manager->deleteRequest(fourth), kRemoved);
    }

    void setTimeout_data()
    {
        QTest::addColumn<bool>("known");
        QTest::addColumn<unsigned>("milliseconds");
        QTest::addColumn<int>("expected");

        QTest::newRow("zero, unknown id") << false << 0u << kZeroTimeout;
        QTest::newRow("zero, known id") << true << 0u << kZeroTimeout;
        QTest::newRow("unknown id") << false << 1000u << kNoSuchRequest;
        QTest::newRow("known id") << true << 1u << 0;
        QTest::newRow("longest") << true << 0xFFFFFFFFu << 0;
    }

    void setTimeout()
    {
        QFETCH(bool, known);
        QFETCH(unsigned, milliseconds);
        QFETCH(int, expected);
        int id = -1;
        QCOMPARE(m_manager->createSyncRequest("https", host(), "/", nullptr, devicePort(), id, kCode), 0);
        QCOMPARE(m_manager->setTimeout(known ? id : id + 1000, milliseconds), expected);
        // The stall limit of streamed uploads takes the same rules, in seconds.
        QCOMPARE(m_manager->setStallTimeout(known ? id : id + 1000, milliseconds), expected);
        QCOMPARE(m_manager->deleteRequest(id), kRemoved);
    }

    void deletion()
    {
        QCOMPARE(m_manager->deleteRequest(-1), 0);
        QCOMPARE(m_manager->deleteRequest(-1), 0);

        // Never sent.
        int id = -1;
        QCOMPARE(m_manager->createSyncRequest("https", host(), "/", nullptr, devicePort(), id, kCode), 0);
        QCOMPARE(m_manager->deleteRequest(id), kRemoved);
        QCOMPARE(m_manager->deleteRequest(id), kNoSuchRequest);
        int status = 0;
        QCOMPARE(m_manager->getResponseStatusCode(id, status), kNoSuchRequest);

        // Sent and finished: readable until deleted, gone after.
        QCOMPARE(
            m_manager->createSyncRequest("https", host(), "/api/v1/settings/self", nullptr, devicePort(), id, kCode),
            0);
        QCOMPARE(m_manager->sendGetRequest(id), 0);
        QCOMPARE(m_manager->getResponseStatusCode(id, status), 0);
        QCOMPARE(status, 200);
        QCOMPARE(m_manager->deleteRequest(id), kRemoved);
        QCOMPARE(m_manager->deleteRequest(id), kNoSuchRequest);
        QCOMPARE(m_manager->getResponseStatusCode(id, status), kNoSuchRequest);
        QCOMPARE(m_manager->deleteRequest(0), kNoSuchRequest);
    }

    void unknownId_data()
    {
        QTest::addColumn<QString>("operation");
        for (const char* operation : {"get", "post bytes", "post streamed", "status", "header", "body", "delete"})
            QTest::newRow(operation) << QString::fromLatin1(operation);
    }

    void unknownId()
    {
        QFETCH(QString, operation);
        const int id = 999999;
        int status = 7;
        std::string header = "untouched";
        QByteArray body = "untouched";
        int32_t result = 0;
        if (operation == QLatin1String("get"))
            result = m_manager->sendGetRequest(id);
        else if (operation == QLatin1String("post bytes"))
            result = m_manager->sendPostRequest(id, QByteArray("x"));
        else if (operation == QLatin1String("post streamed"))
            result = m_manager->sendPostRequest(id, std::make_unique<StreamedBody>());
        else if (operation == QLatin1String("status"))
            result = m_manager->getResponseStatusCode(id, status);
        else if (operation == QLatin1String("header"))
            result = m_manager->getResponseHeader(id, "Content-Type", header);
        else if (operation == QLatin1String("body"))
            result = m_manager->getResponseBody(id, body);
        else
            result = m_manager->deleteRequest(id);
        QCOMPARE(result, kNoSuchRequest);
        QCOMPARE(status, 7);
        QCOMPARE(header, std::string("untouched"));
        QCOMPARE(body, QByteArray("untouched"));
    }

    void readsBeforeSending()
    {
        int id = -1;
        QCOMPARE(m_manager->createAsyncRequest(
                     "https", host(), "/", nullptr, devicePort(), [](int) {}, id, kCode),
                 0);
        int status = 7;
        std::string header = "untouched";
        QByteArray body = "untouched";
        QCOMPARE(m_manager->getResponseStatusCode(id, status), kNotSent);
        QCOMPARE(m_manager->getResponseHeader(id, "Content-Type", header), kNotSent);
        QCOMPARE(m_manager->getResponseBody(id, body), kNotSent);
        QCOMPARE(status, 7);
        QCOMPARE(header, std::string("untouched"));
        QCOMPARE(body, QByteArray("untouched"));
        QCOMPARE(m_manager->deleteRequest(id), kRemoved);
    }

    // Both modes against the device's self-signed certificate; the manager
    // hands back whatever status the device chose.
    void statusCodes_data()
    {
        QTest::addColumn<bool>("sync");
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<std::optional<QByteArray>>("code");
        QTest::addColumn<int>("expected");

        const std::optional<QByteArray> right = kCode;
        const std::optional<QByteArray> wrong = md5Hex("wrong").toLatin1();
        for (const bool sync : {true, false}) {
            const char* mode = sync ? "sync" : "async";
            QTest::addRow("%s settings", mode)
                << sync << QByteArray("GET") << QByteArray("/api/v1/settings/self") << right << 200;
            QTest::addRow("%s authenticate", mode)
                << sync << QByteArray("POST") << QByteArray("/api/v1/auth/authenticate") << right << 200;
            QTest::addRow("%s wrong code", mode)
                << sync << QByteArray("POST") << QByteArray("/api/v1/auth/authenticate") << wrong << 403;
            QTest::addRow("%s empty code", mode) << sync << QByteArray("GET") << QByteArray("/api/v1/settings/self")
                                                 << std::optional<QByteArray>(QByteArray("")) << 403;
            QTest::addRow("%s no code", mode) << sync << QByteArray("GET") << QByteArray("/api/v1/settings/self")
                                              << std::optional<QByteArray>() << 403;
            QTest::addRow("%s wrong method", mode)
                << sync << QByteArray("GET") << QByteArray("/api/v1/auth/authenticate") << right << 405;
            QTest::addRow("%s no such path", mode)
                << sync << QByteArray("GET") << QByteArray("/api/v1/nothing") << right << 404;
        }
    }

    void statusCodes()
    {
        QFETCH(bool, sync);
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, path);
        QFETCH(std::optional<QByteArray>, code);
        QFETCH(int, expected);

        QList<int> called;
        int id = -1;
        const char* authCode = code ? code->constData() : nullptr;
        if (sync)
            QCOMPARE(m_manager->createSyncRequest("https", host(), path, nullptr, devicePort(), id, authCode), 0);
        else
            QCOMPARE(m_manager->createAsyncRequest(
                         "https", host(), path, nullptr, devicePort(),
                         [&called](int requestId) { called.append(requestId); }, id, authCode),
                     0);
        QCOMPARE(m_manager->setTimeout(id, 10000), 0);
        const int32_t sent
            = method == "GET" ? m_manager->sendGetRequest(id) : m_manager->sendPostRequest(id, QByteArray());
        QCOMPARE(sent, 0);
        int status = 0;
        if (sync) {
            // The send came back with the reply finished.
            QCOMPARE(m_manager->getResponseStatusCode(id, status), 0);
            QVERIFY(called.isEmpty());
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(called.size(), 1, 10000);
            QCOMPARE(called.first(), id);
            QCOMPARE(m_manager->getResponseStatusCode(id, status), 0);
        }
        QCOMPARE(status, expected);
        QCOMPARE(m_manager->deleteRequest(id), kRemoved);
        QTest::qWait(0);
        QCOMPARE(called.size(), sync ? 0 : 1); // called once only
    }

    // The header exactly as a server receives it.
    void authorizationOnTheWire_data()
    {
        QTest::addColumn<std::optional<QByteArray>>("code");
        QTest::addColumn<QList<QByteArray>>("expected");

        QTest::newRow("code") << std::optional<QByteArray>(kCode)
                              << QList<QByteArray>{"Authorization: Basic " + ("admin:" + kCode).toBase64()};
        QTest::newRow("empty code") << std::optional<QByteArray>(QByteArray(""))
                                    << QList<QByteArray>{"Authorization: Basic YWRtaW46"};
        QTest::newRow("null code") << std::optional<QByteArray>() << QList<QByteArray>{};
    }

    void authorizationOnTheWire()
    {
        QFETCH(std::optional<QByteArray>, code);
        QFETCH(QList<QByteArray>, expected);
        RecordingHttpServer server;
        QVERIFY(server.listen());
        int id = -1;
        QCOMPARE(m_manager->createSyncRequest("http", "127.0.0.1", "/api/v1/settings/self", nullptr, server.port(), id,
                                              code ? code->constData() : nullptr),
                 0);
        QCOMPARE(m_manager->setTimeout(id, 10000), 0);
        QCOMPARE(m_manager->sendGetRequest(id), 0);
        QCOMPARE(server.requests().size(), 1);
        QVERIFY(server.requests().first().startsWith("GET /api/v1/settings/self HTTP/1.1\r\n"));
        QCOMPARE(headerLines(server.requests().first(), "Authorization"), expected);
        QCOMPARE(m_manager->deleteRequest(id), kRemoved);
    }

    void headerAndBodyReads()
    {
        int id = -1;
        QCOMPARE(m_manager->createSyncRequest("https", host(), "/api/v1/settings/self", "", devicePort(), id, kCode),
                 0);
        QCOMPARE(m_manager->sendGetRequest(id), 0);

        std::string value = "untouched";
        QCOMPARE(m_manager->getResponseHeader(id, "Content-Type", value), 0);
        QCOMPARE(value, std::string("application/json"));
        QCOMPARE(m_manager->getResponseHeader(id, "content-type", value), 0);
        QCOMPARE(value, std::string("application/json"));
        QCOMPARE(m_manager->getResponseHeader(id, "X-Not-There", value), kHeaderAbsent);
        QCOMPARE(value, std::string());
        value = "untouched";
        QCOMPARE(m_manager->getResponseHeader(id, nullptr, value), kHeaderAbsent);
        QCOMPARE(value, std::string());

        QByteArray body;
        QCOMPARE(m_manager->getResponseBody(id, body), 0);
        const QJsonObject document = QJsonDocument::fromJson(body).object();
        QCOMPARE(document.value(QStringLiteral("sys")).toObject().value(QStringLiteral("base-ver")).toString(),
                 QStringLiteral("1.2.3"));
        // Drained by the first read.
        QCOMPARE(m_manager->getResponseBody(id, body), 0);
        QCOMPARE(body, QByteArray());
        QCOMPARE(m_manager->deleteRequest(id), kRemoved);
    }

    // A server that accepts and never answers: the send ends at the
    // time-out (an asynchronous one is called back then, once), and no
    // status came.
    void timeout_data()
    {
        QTest::addColumn<QByteArray>("scheme");
        QTest::addColumn<bool>("post");
        QTest::addColumn<bool>("sync");
        QTest::newRow("https get") << QByteArray("https") << false << true;
        QTest::newRow("https post") << QByteArray("https") << true << true;
        QTest::newRow("http get") << QByteArray("http") << false << true;
        QTest::newRow("https get, async") << QByteArray("https") << false << false;
    }

    void timeout()
    {
        QFETCH(QByteArray, scheme);
        QFETCH(bool, post);
        QFETCH(bool, sync);
        RecordingHttpServer server(RecordingHttpServer::Silent);
        QVERIFY(server.listen());
        QSignalSpy progress(m_manager.get(), &HttpAccessManager::uploadProgress);
        int id = -1;
        QList<int32_t> called;
        const char* path = "/api/v1/auth/authenticate";
        QCOMPARE(sync ? m_manager->createSyncRequest(scheme, "127.0.0.1", path, nullptr, server.port(), id, kCode)
                      : m_manager->createAsyncRequest(
                          scheme, "127.0.0.1", path, nullptr, server.port(),
                          [this, &called](int requestId) { called.append(m_manager->getSendResult(requestId)); }, id,
                          kCode),
                 0);
        QCOMPARE(m_manager->setTimeout(id, 300), 0);
        QElapsedTimer clock;
        clock.start();
        int32_t sent = post ? m_manager->sendPostRequest(id, QByteArray()) : m_manager->sendGetRequest(id);
        if (!sync) {
            QCOMPARE(sent, 0);
            QTRY_COMPARE_WITH_TIMEOUT(called.size(), 1, 10000);
            sent = called.first();
        }
        const qint64 elapsed = clock.elapsed();
        QCOMPARE(sent, kTimedOut);
        QVERIFY2(elapsed >= 300 && elapsed < 5000, qPrintable(QString::number(elapsed)));
        QCOMPARE(server.connections(), 1);
        int status = 0;
        QCOMPARE(m_manager->getResponseStatusCode(id, status), kNoStatus);
        QCOMPARE(status, 0);
        // The aborted exchange's end does not disturb anything later.
        settleTwoHops();
        QCOMPARE(m_manager->getResponseStatusCode(id, status), kNoStatus);
        QCOMPARE(called.size(), sync ? 0 : 1);
        QCOMPARE(m_manager->deleteRequest(id), kRemoved);
        const QStringList lines = m_capture->takeTexts();
        m_logLines += lines;
        QVERIFY2(
            lines.filter(QStringLiteral("request %1 ").arg(id)).filter(QStringLiteral("timed out after 300 ms")).size()
                == 1,
            qPrintable(lines.join(QLatin1Char('\n'))));
        for (const QString& line : lines)
            QVERIFY(!line.toUtf8().contains(kCode));
    }

    // A device whose TLS handshake once stalled is reached again as soon as it
    // answers: the timed-out attempt leaves no connection behind that later
    // requests would queue behind.
    void deviceReachedAgainAfterAStalledHandshake()
    {
        QCOMPARE(m_device.command(QStringLiteral("fault d1 connect stall-tls")), QStringLiteral("ok"));
        int id = -1;
        QCOMPARE(m_manager->createSyncRequest("https", host(), "/api/v1/settings/self", nullptr, devicePort(), id,
                                              kCode.constData()),
                 0);
        QCOMPARE(m_manager->setTimeout(id, 500), 0);
        QCOMPARE(m_manager->sendGetRequest(id), kTimedOut);
        QCOMPARE(m_manager->deleteRequest(id), kRemoved);
        QCOMPARE(m_device.command(QStringLiteral("fault d1 connect normal")), QStringLiteral("ok"));

        for (int attempt = 0; attempt < 2; ++attempt) {
            QCOMPARE(m_manager->createSyncRequest("https", host(), "/api/v1/settings/self", nullptr, devicePort(), id,
                                                  kCode.constData()),
                     0);
            QCOMPARE(m_manager->setTimeout(id, 5000), 0);
            QCOMPARE(m_manager->sendGetRequest(id), 0);
            int status = 0;
            QCOMPARE(m_manager->getResponseStatusCode(id, status), 0);
            QCOMPARE(status, 200);
            QCOMPARE(m_manager->deleteRequest(id), kRemoved);
        }
    }

    // An upload streamed from its own thread goes out whole, with its
    // multipart's fields and exact length, and one still running when its
    // manager goes ends with it, unanswered.
    void streamedUpload_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("managerGoes");
        QTest::newRow("image") << QStringLiteral("standby-\u00e4.png") << qint64(3000) << false;
        QTest::newRow("firmware") << QStringLiteral("tq-2.0.bundle") << qint64(3 << 20) << false;
        QTest::newRow("manager goes mid-upload") << QStringLiteral("tq-2.1.bundle") << qint64(64 << 20) << true;
    }

    void streamedUpload()
    {
        QFETCH(QString, fileName);
        QFETCH(qint64, size);
        QFETCH(bool, managerGoes);
        QTemporaryDir dir;
        const QString path = writeTestFile(dir, fileName, randomBytes(size));
        MultiPartBody body(path);
        QCOMPARE(body.generate(), 0);
        RecordingHttpServer server(managerGoes ? RecordingHttpServer::Silent : RecordingHttpServer::Answers);
        QVERIFY(server.listen());
        const auto post = [&](const std::function<void(int)>& done) {
            int id = -1;
            const char* path = "/api/v1/files/firmware";
            const int32_t created
                = done ? m_manager->createAsyncRequest("http", "127.0.0.1", path, nullptr, server.port(), done, id,
                                                       kCode)
                       : m_manager->createSyncRequest("http", "127.0.0.1", path, nullptr, server.port(), id, kCode);
            if (created != 0)
                return -1;
            return m_manager->sendPostRequest(id, body.takeStreamedBody());
        };

        if (managerGoes) {
            bool called = false;
            QCOMPARE(post([&called](int) { called = true; }), 0);
            QTRY_COMPARE(server.connections(), 1);
            m_manager.reset();
            QTest::qWait(0);
            QVERIFY(!called);
            QVERIFY(server.requests().isEmpty());
            return;
        }
        QCOMPARE(post({}), 0);
        QCOMPARE(server.requests().size(), 1);
        const QByteArray sent = server.body(0);
        QCOMPARE(headerLines(server.requests().at(0), "Content-Length"),
                 QList<QByteArray>{"Content-Length: " + QByteArray::number(sent.size())});
        QCOMPARE(headerLines(server.requests().at(0), "MIME-Version"), QList<QByteArray>{"MIME-Version: 1.0"});
        const QByteArray type = headerLines(server.requests().at(0), "Content-Type").value(0);
        const QByteArray boundary = type.mid(type.indexOf("boundary=\"") + 10).chopped(1);
        QVERIFY2(type.startsWith("Content-Type: multipart/mixed; ") && !boundary.isEmpty(), type.constData());
        QVERIFY(sent.startsWith("--" + boundary + "\r\n"));
        QVERIFY(sent.endsWith("\r\n--" + boundary + "--\r\n"));
        QVERIFY(sent.contains("\r\n\r\n" + randomBytes(size) + "\r\n--" + boundary + "--"));
    }

    void refusedConnection_data()
    {
        QTest::addColumn<bool>("sync");
        QTest::newRow("sync") << true;
        QTest::newRow("async") << false;
    }

    void refusedConnection()
    {
        QFETCH(bool, sync);
        quint16 closedPort = 0;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress(QStringLiteral("127.0.0.1")), 0));
            closedPort = probe.serverPort();
        }
        QList<int> called;
        int id = -1;
        if (sync)
            QCOMPARE(m_manager->createSyncRequest("https", "127.0.0.1", "/", nullptr, closedPort, id, kCode), 0);
        else
            QCOMPARE(m_manager->createAsyncRequest(
                         "https", "127.0.0.1", "/", nullptr, closedPort,
                         [&called](int requestId) { called.append(requestId); }, id, kCode),
                     0);
        QCOMPARE(m_manager->setTimeout(id, 10000), 0);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(m_manager->sendGetRequest(id), 0);
        if (sync)
            QVERIFY(clock.elapsed() < 10000); // ended by the refusal, not the time-out
        else
            QTRY_COMPARE_WITH_TIMEOUT(called, QList<int>{id}, 10000);
        int status = 0;
        QCOMPARE(m_manager->getResponseStatusCode(id, status), kNoStatus);
        QCOMPARE(m_manager->deleteRequest(id), kRemoved);
    }

    // Progress reaches the manager's signal for POSTs only, with the request id.
    void uploadProgressRelay_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("relayed");
        QTest::newRow("get") << QStringLiteral("get") << false;
        QTest::newRow("post bytes") << QStringLiteral("post bytes") << true;
        QTest::newRow("post empty") << QStringLiteral("post empty") << false;
        QTest::newRow("post streamed") << QStringLiteral("post streamed") << true;
    }

    void uploadProgressRelay()
    {
        QFETCH(QString, kind);
        QFETCH(bool, relayed);
        QSignalSpy progress(m_manager.get(), &HttpAccessManager::uploadProgress);
        int id = -1;
        int32_t sent = -1;
        qint64 size = 0;
        if (kind == QLatin1String("post streamed")) {
            // A standby-screen image upload to the device.
            QTemporaryDir dir;
            MultiPartBody body(writeTestFile(dir, QStringLiteral("idle.png"), tinyPng()));
            QCOMPARE(body.generate(), 0);
            QCOMPARE(m_manager->createSyncRequest("https", host(), "/api/v1/files/standby-image", nullptr, devicePort(),
                                                  id, kCode),
                     0);
            sent = m_manager->sendPostRequest(id, body.takeStreamedBody());
            QCOMPARE(sent, 0);
            int status = 0;
            QCOMPARE(m_manager->getResponseStatusCode(id, status), 0);
            QCOMPARE(status, 200);
            QTRY_VERIFY(!progress.isEmpty());
            size = progress.last().at(1).toLongLong();
            QVERIFY(size > tinyPng().size());
        } else {
            // Big enough to need several writes.
            RecordingHttpServer server;
            QVERIFY(server.listen());
            QCOMPARE(m_manager->createSyncRequest("http", "127.0.0.1", "/upload", nullptr, server.port(), id, kCode),
                     0);
            size = kind == QLatin1String("post empty") ? 0 : 4 * 1024 * 1024;
            sent = kind == QLatin1String("get") ? m_manager->sendGetRequest(id)
                                                : m_manager->sendPostRequest(id, QByteArray(size, 'p'));
            QCOMPARE(sent, 0);
            QCOMPARE(server.requests().size(), 1);
            if (relayed)
                QTRY_VERIFY(!progress.isEmpty());
        }
        settleTwoHops();
        if (QTest::currentTestFailed())
            return;
        if (!relayed) {
            QCOMPARE(progress.size(), 0);
        } else {
            for (const QList<QVariant>& arguments : std::as_const(progress)) {
                QCOMPARE(arguments.at(2).toInt(), id);
                QCOMPARE(arguments.at(1).toLongLong(), size);
                QVERIFY(arguments.at(0).toLongLong() <= size);
            }
            QCOMPARE(progress.last().at(0).toLongLong(), size);
        }
        QCOMPARE(m_manager->deleteRequest(id), kRemoved);
    }

    // While a synchronous send waits, other events keep being delivered: an
    // asynchronous request finishes and is reported meanwhile.
    void syncWaitKeepsEventsFlowing()
    {
        RecordingHttpServer silent(RecordingHttpServer::Silent);
        QVERIFY(silent.listen());
        bool waiting = false;
        QList<bool> calledWhileWaiting;
        int asyncId = -1;
        QCOMPARE(m_manager->createAsyncRequest(
                     "https", host(), "/api/v1/settings/self", nullptr, devicePort(),
                     [&](int) { calledWhileWaiting.append(waiting); }, asyncId, kCode),
                 0);
        int syncId = -1;
        QCOMPARE(m_manager->createSyncRequest("https", "127.0.0.1", "/", nullptr, silent.port(), syncId, kCode), 0);
        QCOMPARE(m_manager->setTimeout(syncId, 3000), 0);
        QCOMPARE(m_manager->sendGetRequest(asyncId), 0);
        waiting = true;
        QCOMPARE(m_manager->sendGetRequest(syncId), kTimedOut);
        waiting = false;
        QCOMPARE(calledWhileWaiting, QList<bool>{true});
        int status = 0;
        QCOMPARE(m_manager->getResponseStatusCode(asyncId, status), 0);
        QCOMPARE(status, 200);
        QCOMPARE(m_manager->deleteRequest(asyncId), kRemoved);
        QCOMPARE(m_manager->deleteRequest(syncId), kRemoved);
    }

    // Deleting a request whose synchronous send is still waiting (from a
    // callback that runs in the wait) ends the send, which returns at once;
    // the id is gone afterwards.
    void deleteDuringSyncWait()
    {
        RecordingHttpServer silent(RecordingHttpServer::Silent);
        QVERIFY(silent.listen());
        int syncId = -1;
        QCOMPARE(m_manager->createSyncRequest("https", "127.0.0.1", "/", nullptr, silent.port(), syncId, kCode), 0);
        QList<int> deleted;
        int asyncId = -1;
        QCOMPARE(m_manager->createAsyncRequest(
                     "https", host(), "/api/v1/settings/self", nullptr, devicePort(),
                     [this, &deleted, syncId](int) { deleted.append(m_manager->deleteRequest(syncId)); }, asyncId,
                     kCode),
                 0);
        QCOMPARE(m_manager->setTimeout(syncId, 60000), 0);
        QCOMPARE(m_manager->sendGetRequest(asyncId), 0);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(m_manager->sendGetRequest(syncId), HttpAccessManager::kAborted);
        QVERIFY(clock.elapsed() < 30000);
        QCOMPARE(deleted, QList<int>{kRemoved});
        int status = 0;
        QCOMPARE(m_manager->getResponseStatusCode(syncId, status), kNoSuchRequest);
        QCOMPARE(m_manager->deleteRequest(syncId), kNoSuchRequest);
        QCOMPARE(m_manager->deleteRequest(asyncId), kRemoved);
    }

    void callbackMayDeleteItsRequest()
    {
        int id = -1;
        QList<int> results;
        QCOMPARE(m_manager->createAsyncRequest(
                     "https", host(), "/api/v1/settings/self", nullptr, devicePort(),
                     [this, &results](int requestId) {
                         int status = 0;
                         results.append(m_manager->getResponseStatusCode(requestId, status));
                         results.append(status);
                         results.append(m_manager->deleteRequest(requestId));
                     },
                     id, kCode),
                 0);
        QCOMPARE(m_manager->sendGetRequest(id), 0);
        QTRY_COMPARE_WITH_TIMEOUT(results, (QList<int>{0, 200, kRemoved}), 10000);
        QCOMPARE(m_manager->deleteRequest(id), kNoSuchRequest);
    }

    // A programming error the program survives: the missing callback is
    // reported when the request is made and when its reply ends, and the
    // result stays readable.
    void asyncWithoutCallback()
    {
        m_logLines += m_capture->takeTexts();
        int id = -1;
        QCOMPARE(m_manager->createAsyncRequest("https", host(), "/api/v1/settings/self", nullptr, devicePort(),
                                               std::function<void(int)>(), id, kCode),
                 0);
        QVERIFY(id > 0);
        QStringList lines = m_capture->takeTexts();
        QVERIFY2(lines.filter(QStringLiteral("asynchronous request %1 ").arg(id))
                         .filter(QStringLiteral("has no callback"))
                         .size()
                     == 1,
                 qPrintable(lines.join(QLatin1Char('\n'))));
        QCOMPARE(m_manager->sendGetRequest(id), 0);
        QTRY_VERIFY_WITH_TIMEOUT(
            (lines += m_capture->takeTexts(), lines.filter(QStringLiteral("asynchronous request %1 ").arg(id))
                                                      .filter(QStringLiteral("finished without a callback"))
                                                      .size()
                                                  == 1),
            10000);
        m_logLines += lines;
        int status = 0;
        QCOMPARE(m_manager->getResponseStatusCode(id, status), 0);
        QCOMPARE(status, 200);
        QCOMPARE(m_manager->deleteRequest(id), kRemoved);
    }

    // A streamed body without a file is posted as an empty body rather than
    // crashing.
    void bodyWithoutFile()
    {
        RecordingHttpServer server;
        QVERIFY(server.listen());
        int id = -1;
        QCOMPARE(m_manager->createSyncRequest("http", "127.0.0.1", "/upload", nullptr, server.port(), id, kCode), 0);
        QCOMPARE(m_manager->setTimeout(id, 10000), 0);
        QCOMPARE(m_manager->sendPostRequest(id, std::make_unique<StreamedBody>()), 0);
        QCOMPARE(server.requests().size(), 1);
        QVERIFY(server.requests().first().startsWith("POST /upload HTTP/1.1\r\n"));
        QCOMPARE(headerLines(server.requests().first(), "Content-Length"), QList<QByteArray>{"Content-Length: 0"});
        int status = 0;
        QCOMPARE(m_manager->getResponseStatusCode(id, status), 0);
        QCOMPARE(status, 200);
        std::string probe;
        QCOMPARE(m_manager->getResponseHeader(id, "X-Probe", probe), 0);
        QCOMPARE(probe, std::string("raw server"));
        QCOMPARE(m_manager->deleteRequest(id), kRemoved);
    }

    // The lines the manager writes about a request (here a time-out and a
    // missing callback) name it without its credentials; cleanup() checks
    // every other test's lines the same way.
    void logLinesCarryNoSecrets()
    {
        m_logLines += m_capture->takeTexts();
        RecordingHttpServer silent(RecordingHttpServer::Silent);
        QVERIFY(silent.listen());
        int timedOut = -1;
        QCOMPARE(m_manager->createSyncRequest("https", "127.0.0.1", "/api/v1/auth/authenticate", nullptr, silent.port(),
                                              timedOut, kCode),
                 0);
        QCOMPARE(m_manager->setTimeout(timedOut, 100), 0);
        QCOMPARE(m_manager->sendPostRequest(timedOut, QByteArray()), kTimedOut);
        int unreported = -1;
        QCOMPARE(m_manager->createAsyncRequest("https", "127.0.0.1", "/", nullptr, silent.port(), {}, unreported, ""),
                 0);
        const QStringList lines = m_capture->takeTexts();
        QCOMPARE(lines.filter(QStringLiteral("request %1 ").arg(timedOut)).size(), 1);
        QCOMPARE(lines.filter(QStringLiteral("request %1 ").arg(unreported)).size(), 1);
        m_logLines += lines;
        for (const QString& line : std::as_const(m_logLines)) {
            for (const QByteArray& secret : secrets())
                QVERIFY2(!line.toUtf8().contains(secret), qPrintable(line));
        }
        QCOMPARE(m_manager->deleteRequest(timedOut), kRemoved);
        QCOMPARE(m_manager->deleteRequest(unreported), kRemoved);
    }
};

QTEST_GUILESS_MAIN(TestHttpAccessManager)
#include "tst_httpaccessmanager.moc"
