// RecordingHttpServer: requests framed by Content-Length, recorded and
// answered one by one; header lines looked up by name.

#include "RecordingHttpServer.h"

#include <QTcpSocket>
#include <QTest>

namespace {

const QByteArray kGet = "GET /a HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
const QByteArray kPost = "POST /b HTTP/1.1\r\ncontent-LENGTH: 5\r\n\r\nhello";
// A body that holds the blank line of a head.
const QByteArray kPostBlankLines = "POST /c HTTP/1.1\r\nContent-Length: 6\r\n\r\n\r\n\r\nab";

} // namespace

class TestRecordingHttpServer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void recordsAndAnswers_data()
    {
        QTest::addColumn<bool>("silent");
        QTest::addColumn<QList<QByteArray>>("writes");
        QTest::addColumn<QList<QByteArray>>("requests");
        QTest::addColumn<QByteArray>("firstHead");
        QTest::addColumn<QByteArray>("firstBody");
        QTest::newRow("get") << false << QList<QByteArray>{kGet} << QList<QByteArray>{kGet}
                             << QByteArray("GET /a HTTP/1.1\r\nHost: 127.0.0.1") << QByteArray();
        QTest::newRow("post, length in any case")
            << false << QList<QByteArray>{kPost} << QList<QByteArray>{kPost}
            << QByteArray("POST /b HTTP/1.1\r\ncontent-LENGTH: 5") << QByteArray("hello");
        QTest::newRow("body in pieces") << false << QList<QByteArray>{kPost.left(20), kPost.mid(20, 20), kPost.mid(40)}
                                        << QList<QByteArray>{kPost}
                                        << QByteArray("POST /b HTTP/1.1\r\ncontent-LENGTH: 5") << QByteArray("hello");
        QTest::newRow("blank lines in the body")
            << false << QList<QByteArray>{kPostBlankLines} << QList<QByteArray>{kPostBlankLines}
            << QByteArray("POST /c HTTP/1.1\r\nContent-Length: 6") << QByteArray("\r\n\r\nab");
        QTest::newRow("three in one write")
            << false << QList<QByteArray>{kPost + kGet + kPostBlankLines}
            << QList<QByteArray>{kPost, kGet, kPostBlankLines} << QByteArray("POST /b HTTP/1.1\r\ncontent-LENGTH: 5")
            << QByteArray("hello");
        QTest::newRow("silent records too") << true << QList<QByteArray>{kGet, kPost} << QList<QByteArray>{kGet, kPost}
                                            << QByteArray("GET /a HTTP/1.1\r\nHost: 127.0.0.1") << QByteArray();
    }

    void recordsAndAnswers()
    {
        QFETCH(bool, silent);
        QFETCH(QList<QByteArray>, writes);
        QFETCH(QList<QByteArray>, requests);
        QFETCH(QByteArray, firstHead);
        QFETCH(QByteArray, firstBody);
        RecordingHttpServer server(silent ? RecordingHttpServer::Silent : RecordingHttpServer::Answers);
        QVERIFY(server.listen());
        QTcpSocket client;
        client.connectToHost(QHostAddress(QStringLiteral("127.0.0.1")), server.port());
        QVERIFY(client.waitForConnected(10000));
        for (const QByteArray& bytes : writes)
            QCOMPARE(client.write(bytes), qint64(bytes.size()));
        QTRY_COMPARE(server.requests(), requests);
        QCOMPARE(server.connections(), 1);
        QCOMPARE(server.head(), firstHead);
        QCOMPARE(server.body(), firstBody);
        if (!silent) {
            const QByteArray answer = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nX-Probe: raw server\r\n"
                                      "Connection: keep-alive\r\n\r\nhello";
            QByteArray received;
            QTRY_VERIFY((received += client.readAll()).size() >= requests.size() * answer.size());
            QCOMPARE(received, answer.repeated(requests.size()));
        }
    }

    void headerLines_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QList<QByteArray>>("lines");
        const QByteArray request = "POST / HTTP/1.1\r\nAuthorization: Basic YQ==\r\nX-Two: 1\r\nx-two: 2\r\n"
                                   "Content-Length: 14\r\n\r\nAuthorization:";
        QTest::newRow("one") << request << QByteArray("Authorization")
                             << QList<QByteArray>{"Authorization: Basic YQ=="};
        QTest::newRow("any case, all of them")
            << request << QByteArray("X-TWO") << QList<QByteArray>{"X-Two: 1", "x-two: 2"};
        QTest::newRow("absent") << request << QByteArray("Host") << QList<QByteArray>{};
        QTest::newRow("a prefix of a name is not the name") << request << QByteArray("X-Tw") << QList<QByteArray>{};
        QTest::newRow("the body is not looked at") << QByteArray("GET / HTTP/1.1\r\n\r\nAuthorization: x\r\n")
                                                   << QByteArray("Authorization") << QList<QByteArray>{};
    }

    void headerLines()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, name);
        QFETCH(QList<QByteArray>, lines);
        QCOMPARE(::headerLines(request, name), lines);
    }
};

QTEST_GUILESS_MAIN(TestRecordingHttpServer)
#include "tst_recordinghttpserver.moc"
