// The requests built for a device: URL parts, TLS floor and the exact
// "Authorization" header.

#include "NetworkUtils.h"

#include <QSslConfiguration>
#include <QTest>

class TestNetworkUtils : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void url_data()
    {
        QTest::addColumn<QByteArray>("scheme");
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<bool>("hasQuery");
        QTest::addColumn<QByteArray>("query");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("expected");

        QTest::newRow("rest") << QByteArray("https") << QByteArray("192.168.1.20")
                              << QByteArray("/api/v1/settings/self") << false << QByteArray() << 60010
                              << "https://192.168.1.20:60010/api/v1/settings/self";
        QTest::newRow("query") << QByteArray("https") << QByteArray("10.0.0.1") << QByteArray("/a") << true
                               << QByteArray("x=1&y=two") << 443 << "https://10.0.0.1:443/a?x=1&y=two";
        QTest::newRow("empty query is none") << QByteArray("https") << QByteArray("10.0.0.1") << QByteArray("/a")
                                             << true << QByteArray("") << 60010 << "https://10.0.0.1:60010/a";
        QTest::newRow("push") << QByteArray("wss") << QByteArray("127.0.0.2") << QByteArray("/api/v1/push") << false
                              << QByteArray() << 60010 << "wss://127.0.0.2:60010/api/v1/push";
        QTest::newRow("decoded path") << QByteArray("https") << QByteArray("h") << QByteArray("/a b%") << false
                                      << QByteArray() << 1 << "https://h:1/a%20b%25";
    }

    void url()
    {
        QFETCH(QByteArray, scheme);
        QFETCH(QByteArray, host);
        QFETCH(QByteArray, path);
        QFETCH(bool, hasQuery);
        QFETCH(QByteArray, query);
        QFETCH(int, port);
        QFETCH(QString, expected);
        const QNetworkRequest request = NetworkUtils::createNetworkRequest(
            scheme.constData(), host.constData(), path.constData(), hasQuery ? query.constData() : nullptr, port, "c");
        QCOMPARE(request.url().toString(QUrl::FullyEncoded), expected);
        QVERIFY(request.url().isValid());
    }

    void tlsOneTwoOrLater()
    {
        const QNetworkRequest request = NetworkUtils::createNetworkRequest("https", "h", "/", nullptr, 60010, nullptr);
        QCOMPARE(request.sslConfiguration().protocol(), QSsl::TlsV1_2OrLater);
        // Verification stays at the platform default; errors are ignored per reply.
        QCOMPARE(request.sslConfiguration().peerVerifyMode(),
                 QSslConfiguration::defaultConfiguration().peerVerifyMode());
    }

    void authorization_data()
    {
        QTest::addColumn<bool>("hasCode");
        QTest::addColumn<QByteArray>("code");
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("md5 code") << true << QByteArray("0f359740bd1cda994f8b55330c86d845")
                                  << QByteArray("Basic YWRtaW46MGYzNTk3NDBiZDFjZGE5OTRmOGI1NTMzMGM4NmQ4NDU=");
        QTest::newRow("empty code: admin and colon") << true << QByteArray("") << QByteArray("Basic YWRtaW46");
        QTest::newRow("padding") << true << QByteArray("a") << QByteArray("Basic YWRtaW46YQ==");
        QTest::newRow("null code: no header") << false << QByteArray() << QByteArray();
    }

    void authorization()
    {
        QFETCH(bool, hasCode);
        QFETCH(QByteArray, code);
        QFETCH(QByteArray, expected);
        const QNetworkRequest request = NetworkUtils::createNetworkRequest(
            "https", "127.0.0.1", "/api/v1/auth/authenticate", nullptr, 60010, hasCode ? code.constData() : nullptr);
        QCOMPARE(request.hasRawHeader("Authorization"), hasCode);
        QCOMPARE(request.rawHeader("Authorization"), expected);
        // Nothing else: the multipart body brings its own content type.
        QCOMPARE(request.rawHeaderList().size(), hasCode ? 1 : 0);
        QVERIFY(!request.header(QNetworkRequest::ContentTypeHeader).isValid());
    }

    void nullTextsDoNotCrash()
    {
        const QNetworkRequest request
            = NetworkUtils::createNetworkRequest(nullptr, nullptr, nullptr, nullptr, -1, nullptr);
        QVERIFY(request.url().host().isEmpty());
        QVERIFY(!request.hasRawHeader("Authorization"));
    }
};

QTEST_GUILESS_MAIN(TestNetworkUtils)
#include "tst_networkutils.moc"
