// corvanectl trust over the store the window shares: what each call prints,
// its exit status, and the pins left.

#include "Ctl.h"
#include "KnownDevices.h"

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
