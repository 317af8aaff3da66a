#include "LabNetwork.h"
#include "TestPrograms.h"
#include "TestTools.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    qint64 ms = 0;
};

Run corvanectl(const QStringList& arguments, const QString& password)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("CORVANE_PASSWORD"));
    if (!password.isEmpty())
        environment.insert(QStringLiteral("CORVANE_PASSWORD"), password);
    process.setProcessEnvironment(environment);
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

    QTemporaryDir m_dir;

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
        QTest::addColumn<QStringList>("expected"); // in the output (or, when it fails, on standard error)
        QTest::addColumn<QString>("password"); // CORVANE_PASSWORD, unset when empty
        QTest::addColumn<QString>("passwordFile"); // given with --password-file unless empty

        const QString lab = LabNetwork::kInterface;
        const auto row = [](const char* name, const QString& before, const QStringList& arguments, int exitCode,
                            int devices, bool json, const QStringList& expected, const QString& password = {},
                            const QString& passwordFile = {}) {
            QTest::newRow(name) << before << arguments << exitCode << devices << json << expected << password
                                << passwordFile;
        };
        row("interfaces", "", {"interfaces"}, 0, -1, false, {"corvane-lab             10.213.0.1  "});
        row("interfaces as JSON", "", {"interfaces", "--json"}, 0, -1, true, {"\"interfaceName\":\"corvane-lab\""});
        row("discover", "", {"discover", "--interface", lab, "--seconds", "3"}, 0, 4, false, {"Model"});
        row("discover as JSON", "", {"discover", "--interface", lab, "--seconds", "3", "--json"}, 0, 4, true,
            {"\"interface\":\"corvane-lab\""});
        row("discover by address until two answered", "",
            {"discover", "--interface", "10.213.0.1", "--count", "2", "--seconds", "30"}, 0, 2, false, {"IP Address"});
        row("nobody answers", "fault all lndp off", {"discover", "--interface", lab, "--seconds", "2"}, 3, 0, false,
            {"no device answered on corvane-lab within 2 s"});
        row("no such interface", "", {"discover", "--interface", "nope"}, 2, -1, false,
            {"'corvanectl interfaces' lists them"});
        row("interface missing", "", {"discover"}, 2, -1, false, {"--interface is needed"});
        row("seconds not a number", "", {"discover", "--interface", lab, "--seconds", "x"}, 2, -1, false,
            {"--seconds takes a whole number"});
        row("no such command", "", {"upgrade"}, 2, -1, false, {"no command \"upgrade\""});
        row("no command", "", {}, 2, -1, false, {"Usage: corvanectl <command>"});
        row("help", "", {"discover", "--help"}, 0, -1, false, {"Usage: corvanectl discover [options]"});

        // The lab's devices: d1 10.213.0.10 TQ-730 2.0.0, d3 "Reception" 2.2.2; password "corvane".
        row("info by address and host name", "",
            {"info", "--interface", lab, "--device", "10.213.0.10", "--device", "Reception"}, 0, -1, false,
            {"2.0.0", "2.2.2", "TQ730-", "idle"}, "corvane");
        row("info, one password wrong", "state d4 busy", {"info", "--interface", lab, "--all", "--json"}, 1, -1, false,
            {"\"message\":\"Invalid password, please retry.\"", "\"runningStatus\":\"busy\"", "\"version\":\"2.0.0\""},
            "", "# per device, the rest share one\n10.213.0.11 wrong\n* corvane\n");
        row("info of a device that is not there", "",
            {"info", "--interface", lab, "--device", "02:00:0A:D5:00:99", "--seconds", "2"}, 3, -1, false,
            {"no device 02:00:0A:D5:00:99 answered"}, "corvane");
        row("info without a password", "", {"info", "--interface", lab, "--all"}, 2, -1, false,
            {"no password: give --password-file"});
    }

    void commands()
    {
        QFETCH(QString, before);
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(int, devices);
        QFETCH(bool, json);
        QFETCH(QStringList, expected);
        QFETCH(QString, password);
        QFETCH(QString, passwordFile);
        if (!passwordFile.isEmpty()) {
            QVERIFY(m_dir.isValid());
            const QString path = writeTestFile(m_dir, QStringLiteral("passwords"), passwordFile.toUtf8());
            QVERIFY(!path.isEmpty());
            arguments << QStringLiteral("--password-file") << path;
        }
        if (!before.isEmpty())
            QVERIFY(LabNetwork::control(before));
        const Run run = corvanectl(arguments, password);
        if (!before.isEmpty())
            QVERIFY(LabNetwork::control(QStringLiteral("fault all clear")));
        QVERIFY2(run.exitCode == exitCode, run.err.constData());
        const QByteArray shown = exitCode == 2 || exitCode == 3 ? run.err : run.out;
        for (const QString& text : std::as_const(expected))
            QVERIFY2(shown.contains(text.toUtf8()), shown.constData());
        // Never a password, in any output.
        for (const QByteArray& secret : {QByteArray("corvane\n"), QByteArray(" corvane "), QByteArray("wrong")})
            QVERIFY(!run.out.contains(secret) && !run.err.contains(secret));
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
