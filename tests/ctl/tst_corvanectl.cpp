#include "LabNetwork.h"
#include "TestPrograms.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

namespace {

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    qint64 ms = 0;
};

Run corvanectl(const QStringList& arguments)
{
    QProcess process;
    QElapsedTimer clock;
    clock.start();
    process.start(TestPrograms::corvanectl(), arguments);
    Run run;
    if (!process.waitForFinished(60000))
        return run;
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    run.ms = clock.elapsed();
    return run;
}

// The lab's devices answer from 10.213.0.10 on.
QString labDevice(int index)
{
    return QStringLiteral("10.213.0.%1").arg(10 + index);
}

} // namespace

// corvanectl as a script runs it, inside the private test network with four
// virtual devices: what it prints, in text and JSON, and its exit status.
class TestCorvanectl : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (!LabNetwork::inside())
            QSKIP("needs the private test network (scripts/lab-network.sh)");
    }

    void commands_data()
    {
        QTest::addColumn<QString>("before"); // a console command for the devices first, or ""
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<int>("devices"); // lab devices listed; -1: not a device list
        QTest::addColumn<bool>("json");
        QTest::addColumn<QString>("expected"); // in the output (or, when it fails, on standard error)

        const QString lab = LabNetwork::kInterface;
        QTest::newRow("interfaces") << "" << QStringList{"interfaces"} << 0 << -1 << false
                                    << "corvane-lab             10.213.0.1  ";
        QTest::newRow("interfaces as JSON")
            << "" << QStringList{"interfaces", "--json"} << 0 << -1 << true << "\"interfaceName\":\"corvane-lab\"";
        QTest::newRow("discover") << "" << QStringList{"discover", "--interface", lab, "--seconds", "3"} << 0 << 4
                                  << false << "Model";
        QTest::newRow("discover as JSON")
            << "" << QStringList{"discover", "--interface", lab, "--seconds", "3", "--json"} << 0 << 4 << true
            << "\"interface\":\"corvane-lab\"";
        QTest::newRow("discover by address until two answered")
            << "" << QStringList{"discover", "--interface", "10.213.0.1", "--count", "2", "--seconds", "30"} << 0 << 2
            << false << "IP Address";
        QTest::newRow("nobody answers") << "fault all lndp off"
                                        << QStringList{"discover", "--interface", lab, "--seconds", "2"} << 3 << 0
                                        << false << "no device answered on corvane-lab within 2 s";
        QTest::newRow("no such interface") << "" << QStringList{"discover", "--interface", "nope"} << 2 << -1 << false
                                           << "'corvanectl interfaces' lists them";
        QTest::newRow("interface missing")
            << "" << QStringList{"discover"} << 2 << -1 << false << "--interface is needed";
        QTest::newRow("seconds not a number") << "" << QStringList{"discover", "--interface", lab, "--seconds", "x"}
                                              << 2 << -1 << false << "--seconds takes a whole number";
        QTest::newRow("no such command") << "" << QStringList{"upgrade"} << 2 << -1 << false
                                         << "no command \"upgrade\"";
        QTest::newRow("no command") << "" << QStringList{} << 2 << -1 << false << "Usage: corvanectl <command>";
        QTest::newRow("help") << "" << QStringList{"discover", "--help"} << 0 << -1 << false
                              << "Usage: corvanectl discover [options]";
    }

    void commands()
    {
        QFETCH(QString, before);
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(int, devices);
        QFETCH(bool, json);
        QFETCH(QString, expected);
        if (!before.isEmpty())
            QVERIFY(LabNetwork::control(before));
        const Run run = corvanectl(arguments);
        if (!before.isEmpty())
            QVERIFY(LabNetwork::control(QStringLiteral("fault all clear")));
        QVERIFY2(run.exitCode == exitCode, run.err.constData());
        const QByteArray shown = exitCode == 0 ? run.out : run.err;
        QVERIFY2(shown.contains(expected.toUtf8()), shown.constData());
        if (devices < 0)
            return;

        // Every device listed once, with its model, name, address and MAC.
        QStringList addresses;
        if (json) {
            const QJsonArray listed
                = QJsonDocument::fromJson(run.out).object().value(QStringLiteral("devices")).toArray();
            for (const QJsonValue& device : listed) {
                const QJsonObject object = device.toObject();
                QVERIFY(object.value(QStringLiteral("model")).toString().startsWith(QLatin1String("TQ-")));
                QVERIFY(!object.value(QStringLiteral("hostName")).toString().isEmpty());
                QVERIFY(object.value(QStringLiteral("macAddress"))
                            .toString()
                            .contains(QRegularExpression(QStringLiteral("^([0-9A-F]{2}:){5}[0-9A-F]{2}$"))));
                addresses << object.value(QStringLiteral("ipAddress")).toString();
            }
        } else {
            const QList<QByteArray> lines = run.out.trimmed().split('\n');
            for (const QByteArray& line : lines.mid(1)) {
                const QStringList cells = QString::fromUtf8(line).split(QLatin1Char(' '), Qt::SkipEmptyParts);
                QVERIFY2(cells.size() >= 4, line.constData());
                addresses << cells.at(cells.size() - 2);
            }
        }
        if (arguments.contains(QLatin1String("--count"))) {
            QVERIFY(addresses.size() >= devices);
            QVERIFY2(run.ms < 15000, QByteArray::number(run.ms).constData()); // did not wait the 30 s out
            return;
        }
        QStringList expectedAddresses;
        for (int i = 0; i < devices; ++i)
            expectedAddresses << labDevice(i);
        QCOMPARE(addresses, expectedAddresses);
    }
};

QTEST_GUILESS_MAIN(TestCorvanectl)
#include "tst_corvanectl.moc"
