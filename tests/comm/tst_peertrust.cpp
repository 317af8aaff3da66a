// A device's key judged before the credential goes, on each way a connection
// is made (a request, a streamed upload, the push channel), against a TLS
// server that records what reached it: one row per situation of the store
// and of the devices, for each of the three ways and for each type of key a
// device may have. The key is judged against the pin of the device the
// connection is for, whatever else claims its address.

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
const QString kOtherMac = QStringLiteral("02:00:0A:D5:00:0B");
const QString kDecoy = QStringLiteral("00:00:00:00:00:01");
const QString kOtherKey = QStringLiteral("sha256//") + QString(43, QLatin1Char('B')) + QLatin1Char('=');

enum class Way { Request, Upload, Push };
enum class Store {
    NoTrust,
    OwnKey, // the device's key is its pin
    OtherKey, // another key is its pin
    NoPin,
    KeyOfAnother, // its key is another device's pin
    SharedNoPin, // a decoy claims its address; no pin
    SharedOwnKey, // a decoy claims its address; its key is its pin
    NoDevice, // the connection names no device
    Damaged, // the store lost an entry; no pin for it
    DamagedOwnKey, // the store lost an entry; its own is there
    Unreadable,
};

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
        for (const char* type : {"ec", "rsa", "ed25519"})
            QVERIFY(makeTlsIdentity(m_dir, QLatin1String(type), m_tls[QLatin1String(type)], QLatin1String(type)));
        m_file = writeTestFile(m_dir, QStringLiteral("image.png"), randomBytes(4096));
        QVERIFY(!m_file.isEmpty());
    }

    // A manager per case: a connection one case left in the pool must not
    // meet the next case's server on a port used again.
    void init() { m_http = std::make_unique<HttpAccessManager>(); }
    void cleanup() { m_http.reset(); }

    void credentialOnlyToTheDevicesOwnKey_data()
    {
        QTest::addColumn<Way>("way");
        QTest::addColumn<QString>("keyType");
        QTest::addColumn<Store>("store");
        QTest::addColumn<int32_t>("result"); // 0: the request reached the device
        const QList<QPair<const char*, Way>> ways{
            {"request", Way::Request}, {"upload", Way::Upload}, {"push", Way::Push}};
        const QList<std::tuple<const char*, Store, int32_t>> stores{
            {"no trust", Store::NoTrust, 0},
            {"its own key pinned", Store::OwnKey, 0},
            {"another key pinned", Store::OtherKey, HttpAccessManager::kKeyRefused},
            {"no pin", Store::NoPin, HttpAccessManager::kKeyNew},
            {"its key pinned to another device", Store::KeyOfAnother, HttpAccessManager::kKeyOfAnother},
            {"a decoy at its address, no pin", Store::SharedNoPin, HttpAccessManager::kAddressShared},
            {"a decoy at its address, its key pinned", Store::SharedOwnKey, 0},
            {"for no device", Store::NoDevice, HttpAccessManager::kTrustUnavailable},
            {"the store lost an entry, no pin", Store::Damaged, HttpAccessManager::kTrustUnavailable},
            {"the store lost an entry, its key pinned", Store::DamagedOwnKey, 0},
            {"the store cannot be read", Store::Unreadable, HttpAccessManager::kTrustUnavailable},
        };
        for (const auto& [wayName, way] : ways) {
            for (const auto& [storeName, store, result] : stores)
                QTest::newRow(
                    qPrintable(QStringLiteral("%1: %2").arg(QLatin1String(wayName), QLatin1String(storeName))))
                    << way << QStringLiteral("ec") << store << result;
            for (const char* type : {"rsa", "ed25519"}) {
                QTest::newRow(qPrintable(QStringLiteral("%1, %2 key: pinned").arg(QLatin1String(wayName), type)))
                    << way << QString::fromLatin1(type) << Store::OwnKey << 0;
                QTest::newRow(
                    qPrintable(QStringLiteral("%1, %2 key: another pinned").arg(QLatin1String(wayName), type)))
                    << way << QString::fromLatin1(type) << Store::OtherKey << HttpAccessManager::kKeyRefused;
            }
        }
    }

    void credentialOnlyToTheDevicesOwnKey()
    {
        QFETCH(Way, way);
        QFETCH(QString, keyType);
        QFETCH(Store, store);
        QFETCH(int32_t, result);

        QTemporaryDir config;
        // A store under a file, not a folder, cannot be read.
        const QString path = store == Store::Unreadable
                                 ? writeTestFile(m_dir, QStringLiteral("not-a-folder"), "x") + "/known-devices.json"
                                 : config.filePath(QStringLiteral("known-devices.json"));
        const QSslConfiguration& tls = m_tls.value(keyType);
        const QString deviceKey = KnownDevices::digestOf(tls.localCertificate());
        QVERIFY(KnownDevices::validDigest(deviceKey));
        if (store == Store::OwnKey || store == Store::SharedOwnKey || store == Store::DamagedOwnKey)
            QVERIFY(KnownDevices(path).accept({kMac, deviceKey, {}, {}, {}}));
        if (store == Store::OtherKey)
            QVERIFY(KnownDevices(path).accept({kMac, kOtherKey, {}, {}, {}}));
        if (store == Store::KeyOfAnother)
            QVERIFY(KnownDevices(path).accept({kOtherMac, deviceKey, {}, {}, {}}));
        if (store == Store::Damaged || store == Store::DamagedOwnKey) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::Append));
            file.write("\"02:00\": {\"publicKey\": \"lost\"}\n");
        }
        std::shared_ptr<PinnedPeerTrust> trust;
        if (store != Store::NoTrust) {
            PinnedPeerTrust::Devices devices;
            devices.sharing = [store](const QString&, const QString&) {
                return store == Store::SharedNoPin || store == Store::SharedOwnKey ? QStringList{kDecoy}
                                                                                   : QStringList();
            };
            trust = std::make_shared<PinnedPeerTrust>(path, devices);
            m_http->setPeerTrust(trust);
        }

        RecordingHttpServer server(tls);
        QVERIFY(server.listen());
        const QString deviceId = store == Store::NoDevice ? QString() : kMac;
        const int32_t started = connectTo(way, server.port(), deviceId, trust);
        QCOMPARE(started, 0);

        if (result == 0) {
            QTRY_COMPARE(server.requests().size(), 1);
            QCOMPARE(headerLines(server.requests().first(), "Authorization").size(), 1);
        } else {
            // Refused in the handshake: the connection ends before any byte
            // of the request.
            if (way != Way::Push) {
                QTRY_VERIFY(m_ended);
                int status = 0;
                QCOMPARE(m_http->getResponseStatusCode(m_id, status), result);
            } else {
                QTRY_VERIFY(m_pushFailed);
            }
            QCOMPARE(server.requests().size(), 0);
        }
        // A refusal keeps the key shown, whichever way it came; a first
        // contact pins nothing by itself.
        const std::optional<PinnedPeerTrust::Refusal> refusal = trust ? trust->refusalOf(kMac) : std::nullopt;
        QCOMPARE(refusal.has_value(), result != 0 && store != Store::NoDevice);
        if (refusal)
            QCOMPARE(refusal->shown, deviceKey);
        if (store == Store::NoPin)
            QVERIFY(!KnownDevices(path).find(kMac));
    }

    // A pooled connection that took the pinned key asks again at its next
    // handshake: the device's address, answered by another key meanwhile,
    // gets no request.
    void aPooledConnectionAsksAgain()
    {
        QTemporaryDir config;
        const QString path = config.filePath(QStringLiteral("known-devices.json"));
        const QSslConfiguration& tls = m_tls.value(QStringLiteral("ec"));
        QVERIFY(KnownDevices(path).accept({kMac, KnownDevices::digestOf(tls.localCertificate()), {}, {}, {}}));
        m_http->setPeerTrust(std::make_shared<PinnedPeerTrust>(path));
        auto device = std::make_unique<RecordingHttpServer>(tls);
        QVERIFY(device->listen());
        const quint16 port = device->port();
        QCOMPARE(connectTo(Way::Request, port, kMac, nullptr), 0);
        QTRY_VERIFY(m_ended);
        QCOMPARE(device->requests().size(), 1);

        device.reset();
        device = std::make_unique<RecordingHttpServer>(m_tls.value(QStringLiteral("rsa")));
        QVERIFY(device->listen(port));
        QCOMPARE(connectTo(Way::Request, port, kMac, nullptr), 0);
        QTRY_VERIFY(m_ended);
        QCOMPARE(device->requests().size(), 0);
        int status = 0;
        QCOMPARE(m_http->getResponseStatusCode(m_id, status), HttpAccessManager::kKeyRefused);
    }

private:
    // The send's own result.
    int32_t connectTo(Way way, quint16 port, const QString& deviceId, const std::shared_ptr<PeerTrust>& trust)
    {
        m_ended = false;
        m_pushFailed = false;
        const auto ended = [this](int) { m_ended = true; };
        if (way == Way::Push) {
            m_push = std::make_unique<WebSocketClient>();
            connect(m_push.get(), &WebSocketClient::errored, this, [this] { m_pushFailed = true; });
            m_push->setPeer(trust, deviceId);
            m_push->open("127.0.0.1", "wss", port, "c0de");
            return 0;
        }
        const char* path = way == Way::Upload ? "/api/v1/files/firmware" : "/api/v1/settings/self";
        int32_t result = m_http->createAsyncRequest("https", "127.0.0.1", path, nullptr, port, ended, m_id, "c0de");
        if (result == 0)
            result = m_http->setPeerDevice(m_id, deviceId);
        if (result != 0)
            return result;
        if (way == Way::Request)
            return m_http->sendGetRequest(m_id);
        MultiPartBody built(m_file);
        result = built.generate();
        return result != 0 ? result : m_http->sendPostRequest(m_id, built.takeStreamedBody());
    }

    QTemporaryDir m_dir;
    QHash<QString, QSslConfiguration> m_tls; // by key type
    QString m_file;
    std::unique_ptr<HttpAccessManager> m_http;
    std::unique_ptr<WebSocketClient> m_push;
    bool m_ended = false;
    bool m_pushFailed = false;
    int m_id = -1;
};

QTEST_GUILESS_MAIN(TestPeerTrust)
#include "tst_peertrust.moc"
