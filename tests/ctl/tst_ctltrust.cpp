// corvanectl trust over the store the window shares: what each call prints,
// its exit status, and the pins left.

#include "Ctl.h"
#include "KnownDevices.h"
#include "TestPrograms.h"
#include "TestTools.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

namespace {

const QString kLobby = QStringLiteral("02:00:0A:D5:00:0A");
const QString kReception = QStringLiteral("02:00:0A:D5:00:0C");
const QString kKey = QStringLiteral("sha256//") + QString(43, QLatin1Char('A')) + QLatin1Char('=');

} // namespace

class TestCtlTrust : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void callsOnTheStore_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QString>("out"); // a line it holds
        QTest::addColumn<QString>("err");
        QTest::addColumn<QStringList>("left"); // the MAC addresses pinned afterwards

        const QStringList both{kLobby, kReception};
        QTest::newRow("list as a table") << QStringList{"list"} << int(Ctl::Success) << kLobby + "  " + kKey + "  "
                                         << QString() << both;
        QTest::newRow("forget one") << QStringList{"forget", "02-00-0a-d5-00-0a"} << int(Ctl::Success)
                                    << "forgot " + kLobby << QString() << QStringList{kReception};
        QTest::newRow("forget one not known") << QStringList{"forget", "02:00:0A:D5:00:0B"} << int(Ctl::SomeFailed)
                                              << QString() << "is not a known device" << both;
        QTest::newRow("forget by its name") << QStringList{"forget", "Lobby Display"} << int(Ctl::Success)
                                            << "forgot " + kLobby << QString() << QStringList{kReception};
        QTest::newRow("forget what is no MAC nor name")
            << QStringList{"forget", "lobby"} << int(Ctl::Usage) << QString() << "is no MAC address" << both;
        QTest::newRow("forget without a MAC")
            << QStringList{"forget"} << int(Ctl::Usage) << QString() << "an argument is missing" << both;
        QTest::newRow("accept without an interface to find it on")
            << QStringList{"accept", "lobby"} << int(Ctl::Usage) << QString() << "--interface is needed" << both;
        QTest::newRow("accept without a device")
            << QStringList{"accept"} << int(Ctl::Usage) << QString() << "an argument is missing" << both;
        QTest::newRow("no action") << QStringList{} << int(Ctl::Usage) << QString() << "an argument is missing" << both;
        QTest::newRow("an unknown action")
            << QStringList{"sideways"} << int(Ctl::Usage) << QString() << "no action \"sideways\"" << both;
    }

    void callsOnTheStore()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exit);
        QFETCH(QString, out);
        QFETCH(QString, err);
        QFETCH(QStringList, left);
        QTemporaryDir config;
        qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
        KnownDevices store;
        QVERIFY(store.accept({kReception, kKey, {}, "TQ-730", "Reception"}));
        QVERIFY(store.accept({kLobby, kKey, {}, "TQ-730", "Lobby Display"}));

        QString printed;
        QString complained;
        QTextStream outStream(&printed);
        QTextStream errStream(&complained);
        QCOMPARE(Ctl::run(QStringList{"corvanectl", "trust"} + arguments, outStream, errStream), exit);
        outStream.flush();
        errStream.flush();
        QVERIFY2(printed.contains(out), qPrintable(printed));
        QVERIFY2(complained.contains(err), qPrintable(complained));
        QStringList pinned;
        for (const KnownDevices::Entry& entry : store.entries())
            pinned << entry.mac;
        QCOMPARE(pinned, left);
    }

    // On a full file system (a small tmpfs in a mount namespace of its own)
    // a write of the store fails with its reason and a non-zero status, and
    // the store stays as it was; never "forgot" over an emptied store.
    void fullDiskLeavesTheStore()
    {
        QTemporaryDir dir;
        QVERIFY(QDir().mkdir(dir.filePath(QStringLiteral("mnt"))));
        const QString store = dir.filePath(QStringLiteral("known-devices.json"));
        QVERIFY(KnownDevices(store).accept({kLobby, kKey, {}, "TQ-730", "Lobby Display"}));
        QFile written(store);
        QVERIFY(written.open(QIODevice::ReadOnly));
        const QByteArray before = written.readAll();
        const QString script = QStringLiteral(
                                   // Room for the store and its lock file, none for a new store.
                                   "set -e; mount -t tmpfs -o size=16k tmpfs \"$1\"; mkdir -p \"$1/corvane\"; cp "
                                   "\"$2\" \"$1/corvane/\"; "
                                   "dd if=/dev/zero of=\"$1/fill\" bs=4k count=2 2>/dev/null || true; set +e; "
                                   "XDG_CONFIG_HOME=\"$1\" \"$3\" trust forget %1; echo \"status=$?\"; cat "
                                   "\"$1/corvane/known-devices.json\"")
                                   .arg(kLobby);
        const ToolResult run
            = runTool(QStringLiteral("unshare"),
                      {QStringLiteral("-rm"), QStringLiteral("sh"), QStringLiteral("-c"), script, QStringLiteral("sh"),
                       dir.filePath(QStringLiteral("mnt")), store, TestPrograms::corvanectl()});
        if (!run.out.contains("status="))
            QSKIP(qPrintable(QStringLiteral("no mount namespace here: ") + QString::fromUtf8(run.err)));
        QVERIFY2(run.out.contains("status=1\n"), run.out.constData());
        QVERIFY2(run.err.contains("cannot write"), run.err.constData());
        QVERIFY(!run.out.contains("forgot"));
        QCOMPARE(run.out.mid(run.out.indexOf("status=1\n") + 9), before);
    }

    // What a script reads: one record per device, every field.
    void listAsJson()
    {
        QTemporaryDir config;
        qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
        QVERIFY(KnownDevices().accept({kLobby, kKey, {}, "TQ-730", "Lobby, \"Main\""}));
        QString printed;
        QString complained;
        QTextStream outStream(&printed);
        QTextStream errStream(&complained);
        QCOMPARE(Ctl::run({"corvanectl", "trust", "list", "--json"}, outStream, errStream), int(Ctl::Success));
        outStream.flush();
        const QJsonArray records = QJsonDocument::fromJson(printed.toUtf8()).array();
        QCOMPARE(records.size(), 1);
        const QJsonObject record = records.first().toObject();
        QCOMPARE(record.value("macAddress").toString(), kLobby);
        QCOMPARE(record.value("publicKey").toString(), kKey);
        QCOMPARE(record.value("model").toString(), QStringLiteral("TQ-730"));
        QCOMPARE(record.value("hostName").toString(), QStringLiteral("Lobby, \"Main\""));
        QVERIFY(QDateTime::fromString(record.value("firstSeen").toString(), Qt::ISODate).isValid());
    }
};

QTEST_GUILESS_MAIN(TestCtlTrust)
#include "tst_ctltrust.moc"
