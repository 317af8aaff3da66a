// The store of known devices: what a check gives for a pinned, another, a
// new and another device's key, the operator's accept and forget, a store
// that lost entries (kept what it could, refuses what it cannot vouch for),
// writers at once, the store's mode, and a digest in the form libcurl and
// openssl make it for every type of key.

#include "KnownDevices.h"
#include "TestTools.h"

#include <QDir>
#include <QFile>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <thread>
#include <vector>

namespace {

const QString kMac = QStringLiteral("02:00:0A:D5:00:0A");
const QString kOther = QStringLiteral("02:00:0A:D5:00:0B");
// Two keys' digests in the store's form (43 base64 digits and "=").
const QString kKey1 = QStringLiteral("sha256//") + QString(43, QLatin1Char('A')) + QLatin1Char('=');
const QString kKey2 = QStringLiteral("sha256//") + QString(43, QLatin1Char('B')) + QLatin1Char('=');
// The owner's, the group's and the others' bits (Qt adds the current user's).
const QFile::Permissions kModeBits = QFile::Permissions(0x7077);

// One call on the store and what it gave, as text.
struct Step
{
    QString call; // check, accept, stage, forget
    QString mac;
    QString digest;
    QString gives; // Match, Mismatch, NoPin, KeyOfAnother, Unusable, true, false
};

QString run(KnownDevices& store, const Step& step)
{
    const KnownDevices::Entry entry{
        step.mac, step.digest, {}, QStringLiteral("TQ-730"), QStringLiteral("Lobby Display")};
    if (step.call == QLatin1String("accept"))
        return store.accept(entry) ? QStringLiteral("true") : QStringLiteral("false");
    if (step.call == QLatin1String("stage"))
        return store.stage(entry) ? QStringLiteral("true") : QStringLiteral("false");
    if (step.call == QLatin1String("forget"))
        return store.forget(step.mac) ? QStringLiteral("true") : QStringLiteral("false");
    switch (store.check(step.mac, step.digest)) {
    case KnownDevices::Verdict::Match:
        return QStringLiteral("Match");
    case KnownDevices::Verdict::Mismatch:
        return QStringLiteral("Mismatch");
    case KnownDevices::Verdict::NoPin:
        return QStringLiteral("NoPin");
    case KnownDevices::Verdict::KeyOfAnother:
        return QStringLiteral("KeyOfAnother");
    case KnownDevices::Verdict::Unusable:
        break;
    }
    return QStringLiteral("Unusable");
}

QByteArray line(const QString& mac, const QString& key)
{
    return QStringLiteral("\"%1\": {\"publicKey\": \"%2\", \"model\": \"TQ-730\"}").arg(mac, key).toUtf8();
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
        QTest::newRow("a check pins nothing") << QList<Step>{{"check", kMac, kKey1, "NoPin"}} << QString();
        QTest::newRow("accepted: the key matches, another does not") << QList<Step>{{"accept", kMac, kKey1, "true"},
                                                                                    {"check", kMac, kKey1, "Match"},
                                                                                    {"check", kMac, kKey2, "Mismatch"}}
                                                                     << kKey1;
        QTest::newRow("another device's key is no first contact") << QList<Step>{{"accept", kOther, kKey1, "true"},
                                                                                 {"check", kMac, kKey1, "KeyOfAnother"},
                                                                                 {"check", kMac, kKey2, "NoPin"}}
                                                                  << QString();
        QTest::newRow("accepted anew, the new key matches") << QList<Step>{{"accept", kMac, kKey1, "true"},
                                                                           {"accept", kMac, kKey2, "true"},
                                                                           {"check", kMac, kKey2, "Match"},
                                                                           {"check", kMac, kKey1, "Mismatch"}}
                                                            << kKey2;
        QTest::newRow("staged: judged by at once, written when the store goes")
            << QList<Step>{{"stage", kMac, kKey1, "true"},
                           {"check", kMac, kKey2, "Mismatch"},
                           {"check", kOther, kKey1, "KeyOfAnother"}}
            << kKey1;
        QTest::newRow("staged, then forgotten: nothing is written") << QList<Step>{{"stage", kMac, kKey1, "true"},
                                                                                   {"forget", kMac, "", "true"},
                                                                                   {"check", kMac, kKey1, "NoPin"}}
                                                                    << QString();
        QTest::newRow("forgotten, the device has no pin") << QList<Step>{{"accept", kMac, kKey1, "true"},
                                                                         {"forget", kMac, "", "true"},
                                                                         {"forget", kMac, "", "false"},
                                                                         {"check", kMac, kKey2, "NoPin"}}
                                                          << QString();
        QTest::newRow("one device by any way of writing its MAC")
            << QList<Step>{{"accept", "02-00-0a-d5-00-0a", kKey1, "true"}, {"check", kMac, kKey2, "Mismatch"}} << kKey1;
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
        auto store = std::make_unique<KnownDevices>(path);
        QStringList gave;
        QStringList wanted;
        for (const Step& step : steps) {
            gave << run(*store, step);
            wanted << step.gives;
        }
        QCOMPARE(gave, wanted);
        QVERIFY(store->warnings().isEmpty());
        store.reset(); // what it staged is written as it goes
        // A second object, as another process would read the file.
        const std::optional<KnownDevices::Entry> entry = KnownDevices(path).find(kMac);
        QCOMPARE(entry.has_value() ? entry->digest : QString(), pinned);
        if (entry) {
            QCOMPARE(entry->model, QStringLiteral("TQ-730"));
            QCOMPARE(entry->name, QStringLiteral("Lobby Display"));
            QVERIFY(qAbs(entry->firstSeen.secsTo(QDateTime::currentDateTimeUtc())) < 60);
            // Its owner's alone, also where the folder was made.
            QCOMPARE(QFile::permissions(path) & kModeBits, QFile::ReadOwner | QFile::WriteOwner);
        }
    }

    // A file that cannot be read whole keeps every entry it still can; a
    // device it holds no pin for is refused, since its pin may be what was
    // lost. The operator's next word writes it anew and keeps the damaged
    // file beside it.
    void damagedStoreKeepsWhatItCan_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("named"); // where the problem says the loss is
        QTest::addColumn<bool>("kept"); // kMac's pin kKey1 survived
        QTest::addColumn<int>("after"); // entries once a new pin wrote the store anew
        const QByteArray good = line(kMac, kKey1);
        QTest::newRow("a line cut off, then good lines")
            << "{\"devices\": {\n" + good + ",\n\"02:00:0A:D5:00:0C\": {\"publicKey\": \"sha2\n" + line(kOther, kKey2)
                   + "\n}}\n"
            << "line 3" << true << 3;
        QTest::newRow("a hand edit with a 5-character MAC")
            << "{\"devices\": {\n" + good + ",\n" + line(QStringLiteral("02:00"), kKey2) + "\n}}\n"
            << "entry \"02:00\"" << true << 2;
        QTest::newRow("one device with two keys")
            << "{\"devices\": {\n" + good + ",\n" + line(QStringLiteral("02-00-0a-d5-00-0a"), kKey2) + "\n}}\n"
            << "entry \"02:00:0A:D5:00:0A\"" << false << 1;
        QTest::newRow("empty, as a full disk left it") << QByteArray() << "empty" << false << 1;
        QTest::newRow("an array") << QByteArray("[]") << "no \"devices\"" << false << 1;
    }

    void damagedStoreKeepsWhatItCan()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, named);
        QFETCH(bool, kept);
        QFETCH(int, after);
        QTemporaryDir dir;
        const QString path = writeTestFile(dir, QStringLiteral("known-devices.json"), content);
        KnownDevices store(path);
        QCOMPARE(run(store, {"check", kMac, kKey1, ""}), kept ? QStringLiteral("Match") : QStringLiteral("Unusable"));
        QCOMPARE(run(store, {"check", kMac, kKey2, ""}),
                 kept ? QStringLiteral("Mismatch") : QStringLiteral("Unusable"));
        QCOMPARE(run(store, {"check", "02:00:0A:D5:00:0D", kKey1, ""}),
                 kept ? QStringLiteral("KeyOfAnother") : QStringLiteral("Unusable"));
        QCOMPARE(run(store, {"check", "02:00:0A:D5:00:0D", QStringLiteral("sha256//") + QString(43, 'C') + '=', ""}),
                 QStringLiteral("Unusable"));
        QVERIFY(store.damaged());
        QVERIFY2(store.problem().contains(named), qPrintable(store.problem()));
        // Nothing written meanwhile.
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), content);
        file.close();

        QCOMPARE(run(store, {"accept", "02:00:0A:D5:00:0D", kKey2, ""}), QStringLiteral("true"));
        QVERIFY(!store.damaged());
        const QStringList aside = QDir(dir.path()).entryList({QStringLiteral("known-devices.json.damaged-*")});
        QCOMPARE(aside.size(), 1);
        QFile kept2(dir.filePath(aside.first()));
        QVERIFY(kept2.open(QIODevice::ReadOnly));
        QCOMPARE(kept2.readAll(), content);
        QCOMPARE(KnownDevices(path).entries().size(), after);
    }

    // An object that read the store sees what another wrote since, and
    // writers at once lose no entry.
    void writersAtOnceLoseNoEntry()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("known-devices.json"));
        KnownDevices window(path);
        QCOMPARE(run(window, {"check", kMac, kKey1, ""}), QStringLiteral("NoPin"));
        const int writers = 4;
        const int each = 25;
        std::vector<std::thread> threads;
        for (int w = 0; w < writers; ++w) {
            threads.emplace_back([&, w] {
                KnownDevices store(path);
                for (int i = 0; i < each; ++i) {
                    const KnownDevices::Entry entry{QStringLiteral("02:00:00:00:%1:%2")
                                                        .arg(w, 2, 16, QLatin1Char('0'))
                                                        .arg(i, 2, 16, QLatin1Char('0')),
                                                    kKey1,
                                                    {},
                                                    {},
                                                    {}};
                    // Half write each pin, half stage them all for one write as they go.
                    w % 2 ? store.stage(entry) : store.accept(entry);
                }
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        QCOMPARE(KnownDevices(path).entries().size(), writers * each);
        QCOMPARE(run(window, {"check", "02:00:00:00:03:18", kKey1, ""}), QStringLiteral("Match"));
        QCOMPARE(run(window, {"check", kMac, kKey1, ""}), QStringLiteral("KeyOfAnother"));
    }

    // Several pins, one write.
    void pinsGoInOneWrite()
    {
        QTemporaryDir dir;
        KnownDevices store(dir.filePath(QStringLiteral("known-devices.json")));
        QList<KnownDevices::Entry> entries;
        for (int i = 0; i < 100; ++i)
            entries.append({QStringLiteral("02:00:00:00:00:%1").arg(i, 2, 16, QLatin1Char('0')), kKey1, {}, {}, {}});
        QVERIFY(store.accept(entries));
        QVERIFY(store.accept(entries)); // nothing new: nothing written
        QCOMPARE(store.writes(), 1);
        // Staged one by one, as a batch login's first contacts: one write.
        for (KnownDevices::Entry& entry : entries)
            QVERIFY(store.stage({entry.mac, kKey2, {}, {}, {}}));
        QCOMPARE(store.writes(), 1);
        QVERIFY(store.flush());
        QCOMPARE(store.writes(), 2);
    }

    // A store others can write is said; the next write makes it its owner's.
    void writableByOthersIsWarnedOf()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("known-devices.json"));
        QVERIFY(KnownDevices(path).accept({kMac, kKey1, {}, {}, {}}));
        QVERIFY(QFile::setPermissions(path, QFile::permissions(path) | QFile::WriteOther | QFile::WriteGroup));
        QVERIFY(QFile::setPermissions(dir.path(), QFile::permissions(dir.path()) | QFile::WriteOther));
        KnownDevices store(path);
        const QStringList warnings = store.warnings();
        QCOMPARE(warnings.size(), 2);
        QVERIFY(warnings.first().contains(QStringLiteral("chmod 600")));
        QVERIFY(store.accept({kOther, kKey2, {}, {}, {}}));
        QCOMPARE(QFile::permissions(path) & kModeBits, QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(store.warnings().size(), 1);
    }

    // The digest is openssl's over the SubjectPublicKeyInfo, as libcurl's
    // pinning takes it, for every type of key a device may have.
    void digestIsOfThePublicKey_data()
    {
        QTest::addColumn<QStringList>("newKey");
        QTest::newRow("ECDSA P-256") << QStringList{"ec", "-pkeyopt", "ec_paramgen_curve:prime256v1"};
        QTest::newRow("RSA 2048") << QStringList{"rsa:2048"};
        QTest::newRow("Ed25519") << QStringList{"ed25519"};
    }

    void digestIsOfThePublicKey()
    {
        QFETCH(QStringList, newKey);
        QTemporaryDir dir;
        const QString cert = dir.filePath(QStringLiteral("cert.pem"));
        const ToolResult made
            = runTool(QStringLiteral("openssl"), QStringList{"req", "-x509", "-newkey"} + newKey
                                                     + QStringList{"-nodes", "-subj", "/CN=device", "-keyout",
                                                                   dir.filePath("key.pem"), "-out", cert});
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
        QCOMPARE(KnownDevices::digestOfDer(certificates.first().toDer()), KnownDevices::digestOf(certificates.first()));
        QCOMPARE(KnownDevices::digestOf(QSslCertificate()), QString());
        QCOMPARE(KnownDevices::digestOfDer("not a certificate"), QString());
    }
};

QTEST_GUILESS_MAIN(TestKnownDevices)
#include "tst_knowndevices.moc"
