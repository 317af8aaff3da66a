// The store of known devices: what a first, a same and another key give,
// the operator's accept and forget, a damaged file, writers at once, and a
// digest in the form libcurl and openssl make it.

#include "KnownDevices.h"
#include "TestTools.h"

#include <QDir>
#include <QFile>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QTest>

#include <thread>
#include <vector>

namespace {

const QString kMac = QStringLiteral("02:00:0A:D5:00:0A");
// Two keys' digests in the store's form (43 base64 digits and "=").
const QString kKey1 = QStringLiteral("sha256//") + QString(43, QLatin1Char('A')) + QLatin1Char('=');
const QString kKey2 = QStringLiteral("sha256//") + QString(43, QLatin1Char('B')) + QLatin1Char('=');

// One call on the store and what it gave, as text.
struct Step
{
    QString call; // check, accept, forget
    QString mac;
    QString digest;
    QString gives; // Pinned, Match, Mismatch, Unusable, true, false
};

QString run(KnownDevices& store, const Step& step)
{
    const KnownDevices::Entry entry{
        step.mac, step.digest, {}, QStringLiteral("TQ-730"), QStringLiteral("Lobby Display")};
    if (step.call == QLatin1String("accept"))
        return store.accept(entry) ? QStringLiteral("true") : QStringLiteral("false");
    if (step.call == QLatin1String("forget"))
        return store.forget(step.mac) ? QStringLiteral("true") : QStringLiteral("false");
    switch (store.check(entry)) {
    case KnownDevices::Verdict::Pinned:
        return QStringLiteral("Pinned");
    case KnownDevices::Verdict::Match:
        return QStringLiteral("Match");
    case KnownDevices::Verdict::Mismatch:
        return QStringLiteral("Mismatch");
    case KnownDevices::Verdict::Unusable:
        break;
    }
    return QStringLiteral("Unusable");
}

} // namespace

Q_DECLARE_METATYPE(QList<Step>)

class TestKnownDevices : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void callsInTurn_data()
    {
        QTest::addColumn<QList<Step>>("steps");
        QTest::addColumn<QString>("pinned"); // the pin afterwards, empty for none
        QTest::newRow("first contact pins") << QList<Step>{{"check", kMac, kKey1, "Pinned"}} << kKey1;
        QTest::newRow("the same key again")
            << QList<Step>{{"check", kMac, kKey1, "Pinned"}, {"check", kMac, kKey1, "Match"}} << kKey1;
        QTest::newRow("another key keeps the pin") << QList<Step>{{"check", kMac, kKey1, "Pinned"},
                                                                  {"check", kMac, kKey2, "Mismatch"},
                                                                  {"check", kMac, kKey2, "Mismatch"}}
                                                   << kKey1;
        QTest::newRow("accepted, the new key matches") << QList<Step>{{"check", kMac, kKey1, "Pinned"},
                                                                      {"accept", kMac, kKey2, "true"},
                                                                      {"check", kMac, kKey2, "Match"},
                                                                      {"check", kMac, kKey1, "Mismatch"}}
                                                       << kKey2;
        QTest::newRow("forgotten, the next key pins") << QList<Step>{{"check", kMac, kKey1, "Pinned"},
                                                                     {"forget", kMac, "", "true"},
                                                                     {"forget", kMac, "", "false"},
                                                                     {"check", kMac, kKey2, "Pinned"}}
                                                      << kKey2;
        QTest::newRow("one device by any way of writing its MAC")
            << QList<Step>{{"check", "02-00-0a-d5-00-0a", kKey1, "Pinned"}, {"check", kMac, kKey2, "Mismatch"}}
            << kKey1;
        QTest::newRow("no MAC, no digest, a digest of another form")
            << QList<Step>{{"check", "lobby", kKey1, "Unusable"},
                           {"check", kMac, "", "Unusable"},
                           {"check", kMac, "md5//AAAA", "Unusable"},
                           {"accept", kMac, "sha256//short=", "false"}}
            << QString();
    }

    void callsInTurn()
    {
        QFETCH(QList<Step>, steps);
        QFETCH(QString, pinned);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("corvane/known-devices.json"));
        KnownDevices store(path);
        QStringList gave;
        QStringList wanted;
        for (const Step& step : steps) {
            gave << run(store, step);
            wanted << step.gives;
        }
        QCOMPARE(gave, wanted);
        // A second object, as another process would read the file.
        const std::optional<KnownDevices::Entry> entry = KnownDevices(path).find(kMac);
        QCOMPARE(entry.has_value() ? entry->digest : QString(), pinned);
        if (entry) {
            QCOMPARE(entry->model, QStringLiteral("TQ-730"));
            QCOMPARE(entry->name, QStringLiteral("Lobby Display"));
            QVERIFY(qAbs(entry->firstSeen.secsTo(QDateTime::currentDateTimeUtc())) < 60);
        }
    }

    void damagedFileIsSetAside_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("not JSON") << QByteArray("{\"devices\": {\"02:00");
        QTest::newRow("an array") << QByteArray("[]");
        QTest::newRow("devices not an object") << QByteArray("{\"devices\": []}");
        QTest::newRow("a pin without a key")
            << QByteArray("{\"devices\": {\"02:00:0A:D5:00:0A\": {\"model\": \"TQ-730\"}}}");
        QTest::newRow("a pin under no MAC")
            << QByteArray("{\"devices\": {\"lobby\": {\"publicKey\": \"") + kKey1.toLatin1() + "\"}}}";
    }

    void damagedFileIsSetAside()
    {
        QFETCH(QByteArray, content);
        QTemporaryDir dir;
        const QString path = writeTestFile(dir, QStringLiteral("known-devices.json"), content);
        KnownDevices store(path);
        QCOMPARE(run(store, {"check", kMac, kKey2, ""}), QStringLiteral("Pinned"));
        QVERIFY2(store.problem().contains(QStringLiteral("damaged")), qPrintable(store.problem()));
        const QStringList aside = QDir(dir.path()).entryList({QStringLiteral("known-devices.json.damaged-*")});
        QCOMPARE(aside.size(), 1);
        QFile kept(dir.filePath(aside.first()));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), content);
        QVERIFY(store.problem().contains(aside.first()));
    }

    // An object that read the store sees what another wrote since.
    void anotherWritersChangeIsSeen()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("known-devices.json"));
        KnownDevices window(path);
        KnownDevices ctl(path);
        QCOMPARE(run(window, {"check", kMac, kKey1, ""}), QStringLiteral("Pinned"));
        QCOMPARE(run(ctl, {"accept", kMac, kKey2, ""}), QStringLiteral("true"));
        QCOMPARE(run(window, {"check", kMac, kKey2, ""}), QStringLiteral("Match"));
        QCOMPARE(run(ctl, {"forget", kMac, "", ""}), QStringLiteral("true"));
        QCOMPARE(run(window, {"check", kMac, kKey1, ""}), QStringLiteral("Pinned"));
    }

    // The window and corvanectl pinning devices at once lose none.
    void writersAtOnceLoseNoEntry()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("known-devices.json"));
        const int writers = 4;
        const int each = 25;
        std::vector<std::thread> threads;
        std::vector<int> pinned(writers, 0);
        for (int w = 0; w < writers; ++w) {
            threads.emplace_back([&, w] {
                KnownDevices store(path);
                for (int i = 0; i < each; ++i) {
                    const QString mac = QStringLiteral("02:00:00:00:%1:%2")
                                            .arg(w, 2, 16, QLatin1Char('0'))
                                            .arg(i, 2, 16, QLatin1Char('0'));
                    if (store.check({mac, kKey1, {}, {}, {}}) == KnownDevices::Verdict::Pinned)
                        ++pinned[w];
                }
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        for (int w = 0; w < writers; ++w)
            QCOMPARE(pinned[w], each);
        QCOMPARE(KnownDevices(path).entries().size(), writers * each);
    }

    // The digest is openssl's over the SubjectPublicKeyInfo, as libcurl's
    // pinning takes it.
    void digestIsOfThePublicKey()
    {
        QTemporaryDir dir;
        const QString cert = dir.filePath(QStringLiteral("cert.pem"));
        const ToolResult made = runTool(
            QStringLiteral("openssl"),
            {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
             QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
             QStringLiteral("-subj"), QStringLiteral("/CN=device"), QStringLiteral("-keyout"),
             dir.filePath(QStringLiteral("key.pem")), QStringLiteral("-out"), cert});
        QVERIFY2(made.exitCode == 0, made.err.constData());
        const ToolResult digest = runTool(
            QStringLiteral("sh"),
            {QStringLiteral("-c"), QStringLiteral("openssl x509 -in '%1' -pubkey -noout | openssl pkey -pubin "
                                                  "-outform der | openssl dgst -sha256 -binary | base64")
                                       .arg(cert)});
        QVERIFY2(digest.exitCode == 0, digest.err.constData());
        const QList<QSslCertificate> certificates = QSslCertificate::fromPath(cert);
        QCOMPARE(certificates.size(), 1);
        QCOMPARE(KnownDevices::digestOf(certificates.first()),
                 QStringLiteral("sha256//") + QString::fromLatin1(digest.out.trimmed()));
        QCOMPARE(KnownDevices::digestOf(QSslCertificate()), QString());
    }
};

QTEST_GUILESS_MAIN(TestKnownDevices)
#include "tst_knowndevices.moc"
