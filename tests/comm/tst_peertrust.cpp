// A device's key checked before the credential goes, on each way a
// connection is made (a request, a streamed upload, the push channel),
// against a TLS server that records what reached it: one row per situation
// of the store, for each of the three.

#include "HttpAccessManager.h"
#include "KnownDevices.h"
#include "MultiPartBody.h"
#include "PeerTrust.h"
#include "RecordingHttpServer.h"
#include "StreamedBody.h"
#include "TestTools.h"
#include "WebSocketClient.h"

#include <QSignalSpy>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kMac = QStringLiteral("02:00:0A:D5:00:0A");
const QString kOtherKey = QStringLiteral("sha256//") + QString(43, QLatin1Char('B')) + QLatin1Char('=');

enum class Way { Request, Upload, Push };
enum class Store { NoTrust, Empty, SameKey, OtherKey, UnknownHost, Unusable };

} // namespace

Q_DECLARE_METATYPE(Way)
Q_DECLARE_METATYPE(Store)

class TestPeerTrust : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(makeTlsIdentity(m_dir, QStringLiteral("device"), m_tls));
        m_file = writeTestFile(m_dir, QStringLiteral("image.png"), randomBytes(4096));
        QVERIFY(!m_file.isEmpty());
    }

    void cleanup() { PeerTrust::install(nullptr); }

    void credentialOnlyToThePinnedKey_data()
    {
        QTest::addColumn<Way>("way");
        QTest::addColumn<Store>("store");
        QTest::addColumn<bool>("sent"); // the request reached the device
        QTest::addColumn<QString>("pinAfter"); // "device": its key; "other"; "": none

        const QList<QPair<const char*, Way>> ways{
            {"request", Way::Request}, {"upload", Way::Upload}, {"push", Way::Push}};
        for (const auto& [name, way] : ways) {
            const QString w = QLatin1String(name);
            QTest::newRow(qPrintable(w + ": no trust installed")) << way << Store::NoTrust << true << QString();
            QTest::newRow(qPrintable(w + ": another key pinned"))
                << way << Store::OtherKey << false << QStringLiteral("other");
            QTest::newRow(qPrintable(w + ": its own key pinned"))
                << way << Store::SameKey << true << QStringLiteral("device");
            QTest::newRow(qPrintable(w + ": no device at that address"))
                << way << Store::UnknownHost << true << QString();
            QTest::newRow(qPrintable(w + ": the pins cannot be read")) << way << Store::Unusable << false << QString();
        }
        // libcurl only compares with a pin; a first contact comes by a request.
        QTest::newRow("request: first contact pins")
            << Way::Request << Store::Empty << true << QStringLiteral("device");
        QTest::newRow("push: first contact pins") << Way::Push << Store::Empty << true << QStringLiteral("device");
    }

    void credentialOnlyToThePinnedKey()
    {
        QFETCH(Way, way);
        QFETCH(Store, store);
        QFETCH(bool, sent);
        QFETCH(QString, pinAfter);

        QTemporaryDir config;
        // A store under a file, not a folder, cannot even be locked.
        const QString path = store == Store::Unusable
                                 ? writeTestFile(m_dir, QStringLiteral("not-a-folder"), "x") + "/known-devices.json"
                                 : config.filePath(QStringLiteral("known-devices.json"));
        const QString deviceKey = KnownDevices::digestOf(m_tls.localCertificate());
        if (store == Store::SameKey || store == Store::OtherKey)
            QVERIFY(KnownDevices(path).accept({kMac, store == Store::SameKey ? deviceKey : kOtherKey, {}, {}, {}}));
        QStringList refused;
        if (store != Store::NoTrust) {
            const bool known = store != Store::UnknownHost;
            PeerTrust::install(std::make_shared<PinnedPeerTrust>(
                path,
                [known](const QString&) {
                    return known ? std::optional<PinnedPeerTrust::Identity>({kMac, "TQ-730", "Lobby Display"})
                                 : std::nullopt;
                },
                [&refused](const QString&, const PinnedPeerTrust::Identity& device, const QString& pinned,
                           const QString& shown) { refused << device.mac << pinned << shown; }));
        }

        RecordingHttpServer server(m_tls);
        QVERIFY(server.listen());
        const int32_t started = connectTo(way, server.port());
        // Without its pins, libcurl is not even started.
        QCOMPARE(started, store == Store::Unusable && way == Way::Upload ? HttpAccessManager::kTrustUnavailable : 0);

        if (sent) {
            QTRY_COMPARE(server.requests().size(), 1);
            QCOMPARE(headerLines(server.requests().first(), "Authorization").size(), 1);
            QVERIFY(refused.isEmpty());
        } else if (store == Store::Unusable) {
            // Give a request that would come the time to come.
            QTest::qWait(200);
            QCOMPARE(server.requests().size(), 0);
            QVERIFY(refused.isEmpty());
        } else if (way == Way::Upload) {
            // libcurl compares the pin itself: the upload ends failed.
            QTRY_VERIFY(m_ended);
            QCOMPARE(server.requests().size(), 0);
            // The trust hears of it, without the key libcurl saw.
            QCOMPARE(refused, (QStringList{kMac, kOtherKey, QString()}));
        } else {
            QTRY_COMPARE(refused, (QStringList{kMac, kOtherKey, deviceKey}));
            // Give a request that would come the time to come.
            QTest::qWait(200);
            QCOMPARE(server.requests().size(), 0);
        }
        // A refusal reads as its own failure, not as a network error.
        if (!sent && way == Way::Request) {
            QTRY_VERIFY(m_ended);
            int status = 0;
            QCOMPARE(m_http.getResponseStatusCode(m_id, status),
                     store == Store::Unusable ? HttpAccessManager::kTrustUnavailable : HttpAccessManager::kKeyRefused);
        } else if (!sent && way == Way::Upload && store != Store::Unusable) {
            QTRY_VERIFY(m_ended);
            int status = 0;
            QCOMPARE(m_http.getResponseStatusCode(m_id, status), HttpAccessManager::kKeyRefused);
        }
        if (store == Store::Unusable)
            return;
        const std::optional<KnownDevices::Entry> pin = KnownDevices(path).find(kMac);
        const QString expected = pinAfter == QLatin1String("device")  ? deviceKey
                                 : pinAfter == QLatin1String("other") ? kOtherKey
                                                                      : QString();
        QCOMPARE(pin ? pin->digest : QString(), expected);
    }

    // A pooled connection that took the pinned key asks again at its next
    // handshake: the device's address, answered by another key meanwhile,
    // gets no request.
    void aPooledConnectionAsksAgain()
    {
        QTemporaryDir config;
        const QString path = config.filePath(QStringLiteral("known-devices.json"));
        QVERIFY(KnownDevices(path).accept({kMac, KnownDevices::digestOf(m_tls.localCertificate()), {}, {}, {}}));
        PeerTrust::install(std::make_shared<PinnedPeerTrust>(path, [](const QString&) {
            return std::optional<PinnedPeerTrust::Identity>({kMac, "TQ-730", "Lobby Display"});
        }));
        auto device = std::make_unique<RecordingHttpServer>(m_tls);
        QVERIFY(device->listen());
        const quint16 port = device->port();
        QCOMPARE(connectTo(Way::Request, port), 0);
        QTRY_VERIFY(m_ended);
        QCOMPARE(device->requests().size(), 1);

        QSslConfiguration impostor;
        QVERIFY(makeTlsIdentity(m_dir, QStringLiteral("impostor"), impostor));
        device.reset();
        device = std::make_unique<RecordingHttpServer>(impostor);
        QVERIFY(device->listen(port));
        QCOMPARE(connectTo(Way::Request, port), 0);
        QTRY_VERIFY(m_ended);
        QCOMPARE(device->requests().size(), 0);
        int status = 0;
        QCOMPARE(m_http.getResponseStatusCode(m_id, status), HttpAccessManager::kKeyRefused);
    }

private:
    // The send's own result.
    int32_t connectTo(Way way, quint16 port)
    {
        m_ended = false;
        const auto ended = [this](int) { m_ended = true; };
        if (way == Way::Push) {
            m_push = std::make_unique<WebSocketClient>();
            m_push->open("127.0.0.1", "wss", port, "c0de");
            return 0;
        }
        const char* path = way == Way::Upload ? "/api/v1/files/firmware" : "/api/v1/settings/self";
        int32_t result = m_http.createAsyncRequest("https", "127.0.0.1", path, nullptr, port, ended, m_id, "c0de");
        if (result != 0)
            return result;
        if (way == Way::Request)
            return m_http.sendGetRequest(m_id);
        MultiPartBody built(m_file);
        result = built.generate();
        return result != 0 ? result : m_http.sendPostRequest(m_id, built.takeStreamedBody());
    }

    QTemporaryDir m_dir;
    QSslConfiguration m_tls;
    QString m_file;
    HttpAccessManager m_http;
    std::unique_ptr<WebSocketClient> m_push;
    bool m_ended = false;
    int m_id = -1;
};

QTEST_GUILESS_MAIN(TestPeerTrust)
#include "tst_peertrust.moc"
