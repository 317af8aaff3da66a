#include "LabNetwork.h"
#include "TestPrograms.h"
#include "TestTools.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

#include <csignal>

namespace {

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    qint64 ms = 0;
};

// What to do once the output (either stream) shows a text.
struct Step
{
    QByteArray trigger;
    std::function<void(QProcess&)> action;
};

// Runs the program as a script would, taking the steps in order; on a
// terminal of its own (script(1): standard input, output and error a pty,
// the last two read merged as output) when `terminal` is set.
Run corvanectl(const QStringList& arguments, const QString& password, const QList<Step>& steps = {},
               bool terminal = false)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("CORVANE_PASSWORD"));
    if (!password.isEmpty())
        environment.insert(QStringLiteral("CORVANE_PASSWORD"), password);
    process.setProcessEnvironment(environment);
    QElapsedTimer clock;
    clock.start();
    Run run;
    qsizetype next = 0;
    const auto read = [&] {
        run.out += process.readAllStandardOutput();
        run.err += process.readAllStandardError();
        while (next < steps.size() && (run.out + run.err).contains(steps.at(next).trigger))
            steps.at(next++).action(process);
    };
    QObject::connect(&process, &QProcess::readyReadStandardOutput, &process, read);
    QObject::connect(&process, &QProcess::readyReadStandardError, &process, read);
    if (terminal) {
        QStringList quoted{TestPrograms::corvanectl()};
        quoted += arguments;
        for (QString& argument : quoted)
            argument
                = QLatin1Char('\'') + argument.replace(QLatin1Char('\''), QLatin1String("'\\''")) + QLatin1Char('\'');
        process.start(QStringLiteral("script"),
                      {QStringLiteral("-qefc"), quoted.join(QLatin1Char(' ')), QStringLiteral("/dev/null")});
    } else {
        process.start(TestPrograms::corvanectl(), arguments);
    }
    if (!process.waitForFinished(90000))
        return run;
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out += process.readAllStandardOutput();
    run.err += process.readAllStandardError();
    run.ms = clock.elapsed();
    return run;
}

// "<IP address> <result> <code> <attempts>" of every device in a report,
// JSON or CSV, after checking that each entry has every field.
QStringList verdicts(const QString& path, QString& problem)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        problem = QStringLiteral("no report");
        return {};
    }
    const QByteArray content = file.readAll();
    const QStringList fields{"model",        "hostName",   "ipAddress",       "macAddress", "versionBefore",
                             "versionAfter", "fileName",   "fileSize",        "fileMd5",    "result",
                             "code",         "httpStatus", "message",         "attempts",   "bytesSent",
                             "start",        "end",        "durationSeconds", "key"};
    QList<QMap<QString, QString>> entries;
    const auto take = [&](const QJsonObject& object) {
        QMap<QString, QString> entry;
        for (const QString& field : fields) {
            if (!object.contains(field))
                problem = QStringLiteral("no %1").arg(field);
            const QJsonValue member = object.value(field);
            entry.insert(field, member.isDouble() ? QString::number(member.toDouble()) : member.toString());
        }
        entries.append(entry);
    };
    if (path.endsWith(QLatin1String(".jsonl"))) {
        // The journal: a line per device, in the order they ended.
        for (const QByteArray& line : content.trimmed().split('\n'))
            take(QJsonDocument::fromJson(line).object());
    } else if (path.endsWith(QLatin1String(".json"))) {
        const QJsonObject report = QJsonDocument::fromJson(content).object();
        for (const QJsonValue& value : report.value(QStringLiteral("devices")).toArray())
            take(value.toObject());
    } else {
        // Spreadsheets take the file for UTF-8 by its mark.
        if (!content.startsWith("\xEF\xBB\xBF"))
            problem = QStringLiteral("no byte-order mark");
        const QList<QByteArray> lines = content.mid(3).trimmed().split('\n');
        if (QString::fromUtf8(lines.value(0)).split(QLatin1Char(',')) != fields)
            problem = QStringLiteral("CSV columns: %1").arg(QString::fromUtf8(lines.value(0)));
        for (const QByteArray& line : lines.mid(1)) {
            // No field of these rows holds a comma but a quoted message.
            const QString text = QString::fromUtf8(line);
            const QStringList cells
                = text.split(QRegularExpression(QStringLiteral(",(?=(?:[^\"]*\"[^\"]*\")*[^\"]*$)")));
            QMap<QString, QString> entry;
            for (int i = 0; i < fields.size(); ++i)
                entry.insert(fields.at(i), cells.value(i));
            entries.append(entry);
        }
    }
    QStringList result;
    for (const auto& entry : std::as_const(entries)) {
        if (entry.value(QStringLiteral("fileMd5")).size() != 32 || entry.value(QStringLiteral("fileName")).isEmpty())
            problem = QStringLiteral("file fields of %1").arg(entry.value(QStringLiteral("ipAddress")));
        QString verdict = QStringLiteral("%1 %2 %3 %4")
                              .arg(entry.value(QStringLiteral("ipAddress")), entry.value(QStringLiteral("result")),
                                   entry.value(QStringLiteral("code")), entry.value(QStringLiteral("attempts")));
        // A version that changed follows.
        const QString after = entry.value(QStringLiteral("versionAfter"));
        if (!after.isEmpty() && after != entry.value(QStringLiteral("versionBefore")))
            verdict += QLatin1Char(' ') + after;
        result << verdict;
    }
    return result;
}

// What a batch row's "during" does: "terminal <answer>" answers the
// question of --all on a terminal; "rewrite" changes the file once its
// first upload has begun; "signal INT|TERM ..." sends the signals once the
// first device has ended, each after the program told of the one before;
// anything else is a console command sent once an upload started.
QList<Step> duringSteps(const QString& during, const QString& file)
{
    if (during.isEmpty())
        return {};
    if (during.startsWith(QLatin1String("terminal "))) {
        const QByteArray answer = during.mid(9).toUtf8() + '\n';
        return {{"[y/N]", [answer](QProcess& process) { process.write(answer); }}};
    }
    if (during == QLatin1String("rewrite")) {
        return {{"\"event\":\"progress\"", [file](QProcess&) {
                     QFile changed(file);
                     if (changed.open(QIODevice::Append))
                         changed.write("x");
                 }}};
    }
    if (!during.startsWith(QLatin1String("signal"))) {
        return {{"\"state\":\"uploading\"", [during](QProcess&) {
                     for (const QString& command : during.split(QLatin1Char(';')))
                         LabNetwork::control(command);
                 }}};
    }
    QList<Step> steps;
    QByteArray trigger = "\"event\":\"succeeded\"";
    for (const QString& name : during.split(QLatin1Char(' ')).mid(1)) {
        const int signal = name == QLatin1String("TERM") ? SIGTERM : SIGINT;
        steps.append({trigger, [signal](QProcess& process) { ::kill(pid_t(process.processId()), signal); }});
        trigger = "interrupt again to stop at once";
    }
    return steps;
}

// How many requests and push upgrades with a credential the lab device
// `device` ("d5") received, by its own count.
int credentialsOf(const QString& device)
{
    const QString line
        = LabNetwork::controlReply(QStringLiteral("list")).filter(QLatin1Char(' ') + device + ' ').value(0);
    const QRegularExpressionMatch seen = QRegularExpression(QStringLiteral(" credentials=(\\d+)")).match(line);
    return seen.hasMatch() ? seen.captured(1).toInt() : -1;
}

// The lab's devices answer from 10.213.0.10 on.
QString labDevice(int index)
{
    return QStringLiteral("10.213.0.%1").arg(10 + index);
}

} // namespace

// corvanectl as a script runs it, inside the private test network with eight
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
        QTest::addColumn<QString>("before"); // console commands for the devices first, ';' between them
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<int>("devices"); // lab devices listed; -1: not a device list
        QTest::addColumn<bool>("json");
        // In the output (or, when it fails, on standard error); "stderr:"
        // before a text: on standard error whatever the status.
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QString>("password"); // CORVANE_PASSWORD, unset when empty
        QTest::addColumn<QString>("passwordFile"); // given with --password-file unless empty
        QTest::addColumn<QString>("after"); // console commands that undo `before`'s settings

        const QString lab = LabNetwork::kInterface;
        const auto row = [](const char* name, const QString& before, const QStringList& arguments, int exitCode,
                            int devices, bool json, const QStringList& expected, const QString& password = {},
                            const QString& passwordFile = {}, const QString& after = {}) {
            QTest::newRow(name) << before << arguments << exitCode << devices << json << expected << password
                                << passwordFile << after;
        };
        row("interfaces", "", {"interfaces"}, 0, -1, false, {"corvane-lab             10.213.0.1  "});
        row("interfaces as JSON", "", {"interfaces", "--json"}, 0, -1, true, {"\"interfaceName\":\"corvane-lab\""});
        row("discover", "", {"discover", "--interface", lab, "--seconds", "3"}, 0, 8, false, {"Model"});
        row("discover as JSON", "", {"discover", "--interface", lab, "--seconds", "3", "--json"}, 0, 8, true,
            {"\"interface\":\"corvane-lab\""});
        row("discover of one model, any letter case", "",
            {"discover", "--interface", lab, "--seconds", "3", "--model", "tq-360", "--json"}, 0, 4, true,
            {"\"model\":\"TQ-360\""});
        row("discover as CSV", "", {"discover", "--interface", lab, "--seconds", "3", "--output", "csv"}, 0, -1, false,
            {"model,hostName,ipAddress,macAddress\nTQ-730,", ",10.213.0.17,02:00:0A:D5:00:11\n"});
        row("an output of no kind", "", {"discover", "--interface", lab, "--output", "xml"}, 2, -1, false,
            {"--output takes table, json or csv, not \"xml\""});
        row("discover by address until two answered", "",
            {"discover", "--interface", "10.213.0.1", "--count", "2", "--seconds", "30"}, 0, 2, false, {"IP Address"});
        row("discover lists no more than --count", "", {"discover", "--interface", lab, "--count", "1"}, 0, 1, false,
            {"IP Address"});
        row("a device deaf to broadcasts is missed", "fault d1 broadcast deaf",
            {"discover", "--interface", lab, "--seconds", "3"}, 0, 7, false, {"10.213.0.11"});
        row("a probe finds it", "fault d1 broadcast deaf",
            {"discover", "--interface", lab, "--seconds", "3", "--probe", "10.213.0.10", "--json"}, 0, 8, true,
            {"\"ipAddress\":\"10.213.0.10\""});
        row("a probe of a block finds it", "fault d1 broadcast deaf",
            {"discover", "--interface", lab, "--seconds", "4", "--probe", "10.213.0.8/29"}, 0, 8, false,
            {"10.213.0.10 "});
        row("a full device table is said, not hidden", "",
            {"discover", "--interface", lab, "--seconds", "3", "--max-devices", "5"}, 1, 5, false,
            {"Model", "stderr:the device table filled up at 5 devices"});
        row("other models take room in the device table", "set d8 model TQ-999",
            {"discover", "--interface", lab, "--seconds", "3", "--max-devices", "8"}, 1, 7, false,
            {"stderr:1 of them of models corvanectl does not work with"}, {}, {}, "set d8 model TQ-360");
        row("--all on a full device table sends nothing", "",
            {"info", "--interface", lab, "--all", "--max-devices", "3", "--seconds", "2"}, 2, -1, false,
            {"the device table filled up at 3 devices", "nothing was sent: --max-devices takes up to 1024"}, "corvane");
        row("a probe that is no address", "", {"discover", "--interface", lab, "--probe", "10.213.0.0/8"}, 2, -1, false,
            {"--probe takes an IPv4 address or a block"});
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
        row("help of a command, its file named", "", {"help", "update"}, 0, -1, false,
            {"Usage: corvanectl update [options] file", "--devices-file <file>", "1 to 1024"});

        // The lab's devices: d1 10.213.0.10 TQ-730 2.0.0, d3 "Reception" 2.2.2; password "corvane".
        row("info by address and host name", "",
            {"info", "--interface", lab, "--device", "10.213.0.10", "--device", "Reception"}, 0, -1, false,
            {"2.0.0", "2.2.2", "TQ730-", "idle"}, "corvane");
        row("info, one password wrong", "state d4 busy", {"info", "--interface", lab, "--all", "--json"}, 1, -1, false,
            {"\"message\":\"Wrong password: the device refused it.\"", "\"runningStatus\":\"busy\"",
             "\"version\":\"2.0.0\""},
            "", "# per device, the rest share one\n10.213.0.11 Wr0ng-Pa55\n* corvane\n");
        row("info of one device named twice", "",
            {"info", "--interface", lab, "--device", "10.213.0.12", "--device", "Reception"}, 0, -1, false,
            {"2.2.2", "stderr:\"Reception\" and \"10.213.0.12\" name the same device"}, "corvane");
        row("a host name two devices share", "set d6 name Reception",
            {"info", "--interface", lab, "--device", "Reception", "--seconds", "2"}, 2, -1, false,
            {"shared by 2 devices: 02:00:0A:D5:00:0C (10.213.0.12), 02:00:0A:D5:00:0F (10.213.0.15)"}, "corvane", {},
            "set d6 name Canteen");
        row("host names in any letter case, shared ones too", "set d6 name RECEPTION",
            {"info", "--interface", lab, "--device", "reception", "--seconds", "2"}, 2, -1, false,
            {"shared by 2 devices"}, "corvane", {}, "set d6 name Canteen");
        row("info of a device that is not there", "",
            {"info", "--interface", lab, "--device", "02:00:0A:D5:00:99", "--seconds", "2"}, 3, -1, false,
            {"no device 02:00:0A:D5:00:99 answered"}, "corvane");
        row("a named address deaf to broadcasts is asked directly", "fault d7 broadcast deaf",
            {"info", "--interface", lab, "--device", "10.213.0.16", "--seconds", "3"}, 0, -1, false, {"2.0.1"},
            "corvane");
        row("a device of another model is named as such", "set d8 model TQ-999",
            {"info", "--interface", lab, "--device", "10.213.0.17", "--seconds", "2"}, 3, -1, false,
            {"10.213.0.17 answered as a TQ-999, a model corvanectl does not work with"}, "corvane", {},
            "set d8 model TQ-360");
        row("info of a device another model leaves out", "",
            {"info", "--interface", lab, "--device", "10.213.0.10", "--model", "TQ-360", "--seconds", "2"}, 3, -1,
            false, {"10.213.0.10 is a TQ-730, which --model leaves out"}, "corvane");
        row("info as CSV", "", {"info", "--interface", lab, "--device", "Reception", "--output", "csv"}, 0, -1, false,
            {"macAddress,ipAddress,model,hostName,version,", "10.213.0.12,TQ-730,Reception,2.2.2,"}, "corvane");
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
        QFETCH(QString, after);
        if (!passwordFile.isEmpty()) {
            QVERIFY(m_dir.isValid());
            const QString path = writeTestFile(m_dir, QStringLiteral("passwords"), passwordFile.toUtf8());
            QVERIFY(!path.isEmpty());
            arguments << QStringLiteral("--password-file") << path;
        }
        for (const QString& command : before.split(QLatin1Char(';'), Qt::SkipEmptyParts))
            QVERIFY2(LabNetwork::control(command), qPrintable(command));
        const Run run = corvanectl(arguments, password);
        for (const QString& command :
             (after + QStringLiteral(";fault all clear")).split(QLatin1Char(';'), Qt::SkipEmptyParts))
            QVERIFY2(LabNetwork::control(command), qPrintable(command));
        QVERIFY2(run.exitCode == exitCode, run.err.constData());
        for (QString text : std::as_const(expected)) {
            const bool onError = exitCode == 2 || exitCode == 3 || text.startsWith(QLatin1String("stderr:"));
            if (text.startsWith(QLatin1String("stderr:")))
                text.remove(0, 7);
            const QByteArray& shown = onError ? run.err : run.out;
            QVERIFY2(shown.contains(text.toUtf8()), shown.constData());
        }
        // Never a password, in any output.
        for (const QByteArray& secret : {QByteArray("corvane\n"), QByteArray(" corvane "), QByteArray("Wr0ng-Pa55")})
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
            QCOMPARE(addresses.size(), devices);
            QVERIFY2(run.ms < 15000, QByteArray::number(run.ms).constData()); // did not wait the 30 s out
            return;
        }
        // Each a lab device, once, in address order.
        QCOMPARE(addresses.size(), devices);
        QStringList sorted = addresses;
        sorted.removeDuplicates();
        std::sort(sorted.begin(), sorted.end());
        QCOMPARE(sorted, addresses);
        for (const QString& address : std::as_const(addresses))
            QVERIFY2(address.startsWith(QLatin1String("10.213.0.1")), qPrintable(address));
    }

    // Batches over the lab's eight devices (all TQ-730 or TQ-360, password
    // "corvane"): what each device came to, in the report, and what the
    // devices' console saw.
    void batches_data()
    {
        QTest::addColumn<QString>("before"); // console commands, ';' between them
        QTest::addColumn<QStringList>("arguments"); // after "update <file> --interface corvane-lab"
        QTest::addColumn<QString>("passwords"); // the password file
        // Once an upload started: a console command, "rewrite" (the file
        // changes), or "".
        QTest::addColumn<QString>("during");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("verdicts"); // "<IP> <result> <code> <attempts>"; empty: no report
        QTest::addColumn<int>("uploads"); // firmware uploads the devices took
        QTest::addColumn<QString>("expected"); // in the output or on standard error
        // The file sent, 3 MiB unless its name starts with "empty".
        QTest::addColumn<QString>("file");
        const QString bundle = QStringLiteral("tq-9.9.9.bundle");

        const QString ok = QStringLiteral(" succeeded 0x00000000 1");
        QStringList eight;
        for (int i = 0; i < 8; ++i)
            eight << labDevice(i) + ok;
        QStringList mixed = eight;
        mixed[1] = labDevice(1) + QStringLiteral(" skipped 0x80110001 0");
        mixed[3] = labDevice(3) + QStringLiteral(" skipped 0x80040002 0");
        QTest::newRow("8 devices, 4 at once, one busy, one refusing the password")
            << "state d4 busy" << QStringList{"--all", "--parallel", "4", "--report", "report.json", "--verbose"}
            << "* corvane\n10.213.0.11 Wr0ng-Pa55\n"
            << "" << 1 << mixed << 6 << "6 succeeded, 0 failed, 2 skipped" << bundle;
        QTest::newRow("dry run sends nothing") << "" << QStringList{"--all", "--dry-run"} << "corvane"
                                               << "" << 0 << QStringList{} << 0 << "8 of 8 devices ready" << bundle;
        QTest::newRow("strict: a busy device stops the run")
            << "state d2 busy" << QStringList{"--all", "--strict", "--parallel", "8"} << "corvane"
            << "" << 2 << QStringList{} << 0 << "with --strict nothing is sent" << bundle;
        QTest::newRow("a stalled device times out, the other finishes")
            << "fault d2 throttle 16k"
            << QStringList{"--device", "10.213.0.10", "--device", "10.213.0.11", "--parallel",
                           "2",        "--timeout",   "3",        "--report",    "report.csv"}
            << "corvane"
            << "" << 1 << QStringList{labDevice(0) + ok, labDevice(1) + QStringLiteral(" failed 0x800101f6 1")} << 1
            << "1 succeeded, 1 failed" << bundle;
        QTest::newRow("a dropped connection is tried again")
            << "fault d1 throttle 1m;fault d1 reboot-ms 300"
            << QStringList{"--device", "02:00:0a:d5:00:0a", "--retries", "2", "--json", "--report", "report.csv"}
            << "corvane"
            << "reboot d1" << 0 << QStringList{labDevice(0) + QStringLiteral(" succeeded 0x00000000 2")} << 1
            << "\"event\":\"retry\"" << bundle;
        QTest::newRow("waiting for the devices' results")
            << "fault d2 update-result 1"
            << QStringList{"--device", "10.213.0.10",   "--device", "Meeting Room 2", "--parallel",
                           "2",        "--wait-result", "--report", "report.json"}
            << "corvane"
            << "" << 1
            << QStringList{labDevice(0) + ok + " 9.9.8", labDevice(1) + QStringLiteral(" failed 0x80000000 1")} << 2
            << "Update failed" << QStringLiteral("tq-9.9.8.bundle");
        // Channels dropped at the upload's start and refused since: the
        // results pushed meanwhile are lost, the logins again still work.
        QTest::newRow("results lost with the channel: the version after the reboot tells, or unknown")
            << "fault d2 update-result 1;fault d3 version off"
            << QStringList{"--device",    "10.213.0.10", "--device", "10.213.0.11",   "--device",
                           "10.213.0.12", "--parallel",  "3",        "--wait-result", "--result-timeout",
                           "25",          "--json",      "--report", "report.json"}
            << "corvane"
            << "push d1 drop;push d2 drop;fault d1 push refuse;fault d2 push refuse" << 4
            << QStringList{labDevice(0) + ok + " 9.9.10", labDevice(1) + QStringLiteral(" unknown 0x80120003 1"),
                           labDevice(2) + ok + " 9.9.10"}
            << 3 << "still at version" << QStringLiteral("tq-9.9.10.bundle");
        QStringList spared;
        for (int i = 0; i < 8; ++i)
            spared << labDevice(i) + (i < 3 ? QStringLiteral(" skipped 0x80110001 0") : " skipped 0x80120005 0");
        QTest::newRow("a shared password the first devices refuse is not tried on the rest")
            << "" << QStringList{"--all", "--report", "report.json"} << "* Wr0ng-Pa55\n"
            << "" << 1 << spared << 0 << "0 succeeded, 0 failed, 8 skipped" << bundle;
        // Two logins at once, both stalled for their 10 s: the six in line
        // behind them still log in, their time-outs counted from their turn.
        QStringList inLine = eight;
        inLine[0] = labDevice(0) + QStringLiteral(" skipped 0x800101f6 0");
        inLine[1] = labDevice(1) + QStringLiteral(" skipped 0x800101f6 0");
        QTest::newRow("logins in line behind stalled ones are not timed out for their wait")
            << "fault d1 request stall;fault d2 request stall"
            << QStringList{"--all", "--parallel", "2", "--report", "report.json"} << "corvane"
            << "" << 1 << inLine << 6 << "6 succeeded, 0 failed, 2 skipped" << bundle;
        QTest::newRow("a login that meets a reboot is tried again")
            << "fault d1 reboot-ms 2500;reboot d1"
            << QStringList{"--device", "10.213.0.10", "--retries", "3", "--report", "report.json"} << "corvane"
            << "" << 0 << QStringList{labDevice(0) + ok} << 1 << "1 succeeded" << bundle;
        const QStringList three{"--device", "10.213.0.10", "--device", "10.213.0.11",
                                "--device", "10.213.0.12", "--report", "report.json"};
        const QString refused = QStringLiteral(" failed 0x800401f4 1");
        QTest::newRow("a canary that fails keeps the file from the others")
            << "fault d1 upload 500" << three + QStringList{"--canary", "1", "--parallel", "3"} << "corvane"
            << "" << 1
            << QStringList{labDevice(0) + refused, labDevice(1) + " skipped 0x80120007 0",
                           labDevice(2) + " skipped 0x80120007 0"}
            << 0 << "0 succeeded, 1 failed, 2 skipped" << bundle;
        QTest::newRow("a canary that succeeds lets the others go")
            << "fault d3 upload 500" << three + QStringList{"--canary", "1", "--parallel", "3"} << "corvane"
            << "" << 1 << QStringList{labDevice(0) + ok, labDevice(1) + ok, labDevice(2) + refused} << 2
            << "2 succeeded, 1 failed" << bundle;
        QTest::newRow("the failure limit stops further uploads")
            << "fault d2 upload 500" << three + QStringList{"--max-failures", "1"} << "corvane"
            << "" << 1 << QStringList{labDevice(0) + ok, labDevice(1) + refused, labDevice(2) + " skipped 0x80120006 0"}
            << 1 << "1 succeeded, 1 failed, 1 skipped" << bundle;
        QTest::newRow("one device named three times takes the file once")
            << "" << QStringList{"--device", "10.213.0.10",   "--device", "02:00:0a:d5:00:0a",
                                 "--device", "Lobby Display", "--report", "report.json"}
            << "corvane"
            << "" << 0 << QStringList{labDevice(0) + ok} << 1 << "name the same device" << bundle;
        QTest::newRow("a device at the bundle's version is left alone")
            << "set d1 version 9.9.9;set d2 version 2.0.0"
            << QStringList{"--device", "10.213.0.10", "--device", "10.213.0.11", "--skip-same-version",
                           "--report", "report.json"}
            << "corvane"
            << "" << 0 << QStringList{labDevice(0) + " unchanged 0x00000000 0", labDevice(1) + ok} << 1
            << "1 succeeded, 0 failed, 0 skipped, 1 unchanged" << bundle;
        QTest::newRow("a bundle whose name tells no version")
            << "" << QStringList{"--all", "--skip-same-version"} << "corvane"
            << "" << 2 << QStringList{} << 0 << "give it with --bundle-version"
            << "firmware.bundle";
        QTest::newRow("--all on a terminal: anything but y sends nothing")
            << "" << QStringList{"--all", "--seconds", "2"} << "corvane"
            << "terminal n" << 2 << QStringList{} << 0 << "nothing was sent" << bundle;
        QStringList models;
        for (int i = 1; i < 8; i += 2)
            models << labDevice(i) + ok;
        QTest::newRow("--all on a terminal: y sends, to the model asked for")
            << "" << QStringList{"--all", "--seconds", "2", "--model", "TQ-360", "--report", "report.json"} << "corvane"
            << "terminal y" << 0 << models << 4 << "4 succeeded, 0 failed, 0 skipped" << bundle;
        QTest::newRow("--report -: the report alone on standard output")
            << "" << QStringList{"--device", "10.213.0.10", "--report", "-"} << "corvane"
            << "" << 0 << QStringList{labDevice(0) + ok} << 1 << "1 succeeded" << bundle;
        QTest::newRow("--all on a full device table sends nothing")
            << "" << QStringList{"--all", "--max-devices", "3", "--seconds", "2"} << "corvane"
            << "" << 2 << QStringList{} << 0 << "--table-full proceed works on the devices listed" << bundle;
        QTest::newRow("--table-full proceed: the summary says the site may hold more")
            << ""
            << QStringList{"--all", "--max-devices", "3", "--seconds", "2", "--table-full", "proceed", "--dry-run"}
            << "corvane"
            << "" << 1 << QStringList{} << 0
            << "nothing sent; the device table filled up at 3 devices (--max-devices): the site may hold more"
            << bundle;
        QTest::newRow("a report that cannot be written stops the run before it starts")
            << "" << QStringList{"--all", "--report", "/nonexistent/report.json"} << "corvane"
            << "" << 2 << QStringList{} << 0 << "cannot write the report /nonexistent/report.json" << bundle;
        QTest::newRow("an empty file") << "" << QStringList{"--all", "--dry-run"} << "corvane"
                                       << "" << 2 << QStringList{} << 0 << "the file is empty"
                                       << "empty-9.9.9.bundle";
        QTest::newRow("a name that cannot be sent") << "" << QStringList{"--all", "--dry-run"} << "corvane"
                                                    << "" << 2 << QStringList{} << 0 << "name cannot be sent"
                                                    << "tq\"9.9.9.bundle";
        QTest::newRow("a file that changes during the batch is not sent")
            << "fault d1 throttle 2m"
            << QStringList{"--device", "10.213.0.10", "--device", "10.213.0.11", "--json", "--report", "report.json"}
            << "corvane"
            << "rewrite" << 1 << QStringList{labDevice(0) + ok, labDevice(1) + QStringLiteral(" failed 0x80090002 1")}
            << 1 << "The file changed during the batch" << bundle;
        QTest::newRow("a file of another kind") << "" << QStringList{"--all"} << "corvane"
                                                << "" << 2 << QStringList{} << 0 << "the file must end in .bundle"
                                                << "tq-9.9.9.zip";
        const QString interrupted = QStringLiteral(" interrupted 0x80120002 ");
        QTest::newRow("Ctrl-C: nothing new starts, the running upload ends after the grace")
            << "fault d2 throttle 16k"
            << QStringList{"--device",    "10.213.0.10", "--device", "10.213.0.11", "--device",
                           "10.213.0.12", "--json",      "--report", "report.json"}
            << "corvane"
            << "signal INT" << 130
            << QStringList{labDevice(0) + ok, labDevice(1) + interrupted + "1", labDevice(2) + interrupted + "0"} << 1
            << "\"interrupted\":2" << bundle;
        QTest::newRow("SIGTERM: the running upload finishes within the grace")
            << "fault d2 throttle 1m"
            << QStringList{"--device",    "10.213.0.10", "--device", "10.213.0.11", "--device",
                           "10.213.0.12", "--json",      "--report", "report.csv"}
            << "corvane"
            << "signal TERM" << 143
            << QStringList{labDevice(0) + ok, labDevice(1) + ok, labDevice(2) + interrupted + "0"} << 2
            << "\"succeeded\":2" << bundle;
        QTest::newRow("a second signal stops at once; the journal holds what ended")
            << "fault d2 throttle 16k"
            << QStringList{"--device", "10.213.0.10", "--device", "10.213.0.11", "--json", "--report", "report.json"}
            << "corvane"
            << "signal INT INT" << 130 << QStringList{labDevice(0) + ok} << 1 << "\"event\":\"succeeded\"" << bundle;
        QTest::newRow("a device's refusal has its own code")
            << "fault d2 upload 500"
            << QStringList{"--device", "10.213.0.10", "--device", "10.213.0.11", "--report", "report.json"} << "corvane"
            << "" << 1 << QStringList{labDevice(0) + ok, labDevice(1) + QStringLiteral(" failed 0x800401f4 1")} << 1
            << "The device answered HTTP 500." << bundle;
        // Every device was met by the info rows above, and its key pinned.
        const QString changed = QStringLiteral(" identity-changed 0x800101fe ");
        QTest::newRow("a device showing another key is sent nothing, the other finishes")
            << "fault d3 key swap"
            << QStringList{"--device", "10.213.0.11", "--device", "10.213.0.12", "--report", "report.json"} << "corvane"
            << "" << 5 << QStringList{labDevice(1) + ok, labDevice(2) + changed + "0"} << 1
            << "1 succeeded, 0 failed, 0 skipped, 1 identity-changed" << bundle;
        QTest::newRow("a key swapped after the login: the upload is refused, not tried again")
            << "fault d1 throttle 1m"
            << QStringList{"--device",  "10.213.0.10", "--device", "10.213.0.11", "--parallel", "1",
                           "--retries", "2",           "--json",   "--report",    "report.json"}
            << "corvane"
            << "fault d2 key swap" << 5 << QStringList{labDevice(0) + ok, labDevice(1) + changed + "1"} << 1
            << "\"event\":\"identity-changed\"" << bundle;
    }

    void batches()
    {
        QFETCH(QString, before);
        QFETCH(QStringList, arguments);
        QFETCH(QString, passwords);
        QFETCH(QString, during);
        QFETCH(int, exitCode);
        QFETCH(QStringList, verdicts);
        QFETCH(int, uploads);
        QFETCH(QString, expected);
        QFETCH(QString, file);
        file
            = writeTestFile(m_dir, file, file.startsWith(QLatin1String("empty")) ? QByteArray() : randomBytes(3 << 20));
        const QString passwordFile = writeTestFile(m_dir, QStringLiteral("passwords"), passwords.toUtf8());
        QVERIFY(!file.isEmpty() && !passwordFile.isEmpty());
        for (QString& argument : arguments) {
            if (argument.startsWith(QLatin1String("report.")))
                argument = m_dir.filePath(argument);
        }
        for (const char* name : {"report.json", "report.csv", "report.json.jsonl", "report.csv.jsonl"})
            QFile::remove(m_dir.filePath(QLatin1String(name)));
        for (const QString& command : before.split(QLatin1Char(';'), Qt::SkipEmptyParts))
            QVERIFY2(LabNetwork::control(command), qPrintable(command));
        const qsizetype from = LabNetwork::console().size();

        const Run run = corvanectl(
            QStringList{"update", file, "--interface", LabNetwork::kInterface, "--password-file", passwordFile}
                + arguments,
            QString(), duringSteps(during, file), during.startsWith(QLatin1String("terminal ")));
        QVERIFY(LabNetwork::control(QStringLiteral("fault all clear")));
        QVERIFY(LabNetwork::control(QStringLiteral("state all idle")));
        QVERIFY2(run.exitCode == exitCode, run.err.constData());
        QVERIFY2(run.out.contains(expected.toUtf8()) || run.err.contains(expected.toUtf8()),
                 (run.out + run.err).constData());
        // No password in the output or the log (--verbose in the first row).
        for (const QByteArray& secret : {QByteArray("corvane\n"), QByteArray(" corvane "), QByteArray("Wr0ng-Pa55")})
            QVERIFY(!run.out.contains(secret) && !run.err.contains(secret));

        // A process stopped at once leaves its journal; one that ended leaves
        // the same devices in both.
        QString report = arguments.filter(QStringLiteral("report.")).value(0);
        const QString journal = report + QStringLiteral(".jsonl");
        if (arguments.contains(QStringLiteral("-"))) { // the report is all standard output holds
            report = writeTestFile(m_dir, QStringLiteral("stdout.json"), run.out);
        } else if (!verdicts.isEmpty() && QFile::exists(report)) {
            QString problem;
            QStringList journaled = ::verdicts(journal, problem);
            QStringList reported = ::verdicts(report, problem);
            std::sort(journaled.begin(), journaled.end());
            std::sort(reported.begin(), reported.end());
            QCOMPARE(journaled, reported);
        } else if (!verdicts.isEmpty()) {
            report = journal;
        }
        if (!verdicts.isEmpty()) {
            QString problem;
            const QStringList found = ::verdicts(report, problem);
            if (found != verdicts) {
                QFile shown(report);
                QVERIFY(shown.open(QIODevice::ReadOnly));
                qWarning("%s", shown.readAll().constData());
            }
            QCOMPARE(found, verdicts);
            QVERIFY2(problem.isEmpty(), qPrintable(problem));
            QFile written(report);
            QVERIFY(written.open(QIODevice::ReadOnly));
            const QByteArray content = written.readAll();
            QVERIFY(!content.contains("corvane\n") && !content.contains("Wr0ng-Pa55"));
        }
        // What the devices took, and that the installations end before the next row.
        QTRY_COMPARE_WITH_TIMEOUT(int(LabNetwork::console().mid(from).count("upload firmware ok")), uploads, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(int(LabNetwork::console().mid(from).count("update finished")), uploads, 30000);
    }

    // Whom the credential reaches, with a store of the row's own: keys never
    // met are left out without a terminal and asked about on one; enrolled
    // keys alone are sent to; a forged discovery answer (a decoy claiming a
    // device's address, with a smaller MAC) neither opens the device's
    // address to another key nor stops the device's own work. Each row reads
    // on the devices' own count that no credential reached the wrong key.
    void trustAgainstNewKeysAndForgedAnswers_data()
    {
        QTest::addColumn<QString>("before"); // console commands, ';' between them
        QTest::addColumn<QStringList>("enroll"); // devices enrolled first
        QTest::addColumn<QString>("trust"); // CORVANE_TRUST; unset when empty
        QTest::addColumn<QString>("answer"); // on a terminal of its own, the answer to its question
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("expected"); // in the output or on standard error
        QTest::addColumn<QStringList>("untouched"); // devices no credential may reach
        QTest::addColumn<QStringList>("reached"); // devices the credential must reach

        const QString lab = LabNetwork::kInterface;
        const QStringList info{"info", "--interface", lab};
        const QString d6 = LabNetwork::deviceMac(15);
        const QString d7 = LabNetwork::deviceMac(16);
        const QString decoy = QStringLiteral("set d6 claim 10.213.0.16");
        QTest::newRow("no terminal, no --trust-new: a new key is refused")
            << "" << QStringList{} << ""
            << "" << info + QStringList{"--device", "10.213.0.15"} << 6
            << QStringList{"1 device has no pinned key", "New key"} << QStringList{"d6"} << QStringList{};
        QTest::newRow("on a terminal, answered no: nothing is sent")
            << "" << QStringList{} << ""
            << "n" << info + QStringList{"--device", "10.213.0.15"} << 6 << QStringList{"not met before", d6}
            << QStringList{"d6"} << QStringList{};
        QTest::newRow("on a terminal, answered yes: pinned and said")
            << "" << QStringList{} << ""
            << "y" << info + QStringList{"--device", "10.213.0.15"} << 0
            << QStringList{"pinned at first contact: " + d6} << QStringList{} << QStringList{"d6"};
        QTest::newRow("enrolled, then --all: only the enrolled keys are sent to")
            << "" << QStringList{"10.213.0.15", "10.213.0.16"} << "refuse"
            << "" << info + QStringList{"--all"} << 6 << QStringList{"6 devices have no pinned key"}
            << QStringList{"d1", "d8"} << QStringList{"d6", "d7"};
        QTest::newRow("a decoy at a pinned device's address, another key there")
            << decoy + ";fault d7 key swap" << QStringList{"10.213.0.16"} << "accept-new"
            << "" << info + QStringList{"--device", "Lab Bench"} << 5 << QStringList{"identity changed"}
            << QStringList{"d7"} << QStringList{};
        QTest::newRow("a decoy at a pinned device's address: its work goes on")
            << decoy + ";fault d7 reboot-ms 0" << QStringList{"10.213.0.16"} << "accept-new"
            << "" << QStringList{"update", "FILE", "--interface", lab, "--device", d7, "--wait-result"} << 0
            << QStringList{"1 succeeded"} << QStringList{} << QStringList{"d7"};
        QTest::newRow("two records at one address, no pin: address shared")
            << decoy << QStringList{} << "accept-new"
            << "" << info + QStringList{"--device", d7, "--device", d6} << 6
            << QStringList{"its address is also claimed by", "Address shared"} << QStringList{"d6", "d7"}
            << QStringList{};
        QTest::newRow("another device's key at a first contact")
            << "fault d7 key d6" << QStringList{"10.213.0.15"} << "accept-new"
            << "" << info + QStringList{"--device", "10.213.0.16"} << 5 << QStringList{"shows the key pinned to " + d6}
            << QStringList{"d7"} << QStringList{};
    }

    void trustAgainstNewKeysAndForgedAnswers()
    {
        QFETCH(QString, before);
        QFETCH(QStringList, enroll);
        QFETCH(QString, trust);
        QFETCH(QString, answer);
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QStringList, expected);
        QFETCH(QStringList, untouched);
        QFETCH(QStringList, reached);
        QTemporaryDir config;
        const QByteArray home = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
        const QString bundle = writeTestFile(config, QStringLiteral("tq-9.9.7.bundle"), randomBytes(65536));
        arguments.replaceInStrings(QStringLiteral("FILE"), bundle);
        for (const QString& device : enroll) {
            const Run enrolled = corvanectl(
                {"trust", "enroll", "--interface", LabNetwork::kInterface, "--device", device, "--seconds", "3"}, {});
            QVERIFY2(enrolled.exitCode == 0 && enrolled.err.contains("enrolled: "), enrolled.err.constData());
        }
        for (const QString& command : before.split(QLatin1Char(';'), Qt::SkipEmptyParts))
            QVERIFY2(LabNetwork::control(command), qPrintable(command));
        QHash<QString, int> counted;
        for (const QString& device : untouched + reached)
            counted.insert(device, credentialsOf(device));
        trust.isEmpty() ? qunsetenv("CORVANE_TRUST") : qputenv("CORVANE_TRUST", trust.toUtf8());
        const QList<Step> steps{{"[y/N]", [answer](QProcess& process) { process.write(answer.toUtf8() + '\n'); }}};
        const Run run = corvanectl(arguments, "corvane", answer.isEmpty() ? QList<Step>{} : steps, !answer.isEmpty());
        qputenv("CORVANE_TRUST", "accept-new");
        for (const char* command : {"set d6 claim off", "fault all clear"})
            QVERIFY(LabNetwork::control(QLatin1String(command)));
        qputenv("XDG_CONFIG_HOME", home);
        QVERIFY2(run.exitCode == exitCode, (run.out + run.err).constData());
        for (const QString& text : std::as_const(expected))
            QVERIFY2((run.out + run.err).contains(text.toUtf8()), (run.out + run.err).constData());
        for (const QString& device : untouched)
            QVERIFY2(credentialsOf(device) == counted.value(device), qPrintable(device));
        for (const QString& device : reached)
            QVERIFY2(credentialsOf(device) > counted.value(device), qPrintable(device));
    }

    // A device that shows another key than the one pinned: no credential
    // reaches it until the operator accepts its key or forgets it; with
    // pinning off it is logged in to as before.
    void aReplacedDevice()
    {
        const QString address = QStringLiteral("10.213.0.14");
        const QString mac = LabNetwork::deviceMac(14);
        const QStringList info{"info", "--interface", LabNetwork::kInterface, "--device", address};
        const QStringList accept{"trust", "accept", address, "--interface", LabNetwork::kInterface};
        const auto credentials = [] { return credentialsOf(QStringLiteral("d5")); };
        const auto exitOf = [](const QStringList& arguments) { return corvanectl(arguments, "corvane").exitCode; };

        QCOMPARE(exitOf(info), 0);
        QVERIFY(corvanectl({"trust", "list", "--json"}, {}).out.contains(mac.toUtf8()));
        QVERIFY(LabNetwork::control(QStringLiteral("fault d5 key swap")));
        const int before = credentials();
        QVERIFY(before > 0);
        const Run refused = corvanectl(info, "corvane");
        QCOMPARE(refused.exitCode, 5);
        QVERIFY2(refused.out.contains("Identity changed"), refused.out.constData());
        const QRegularExpressionMatch shown = QRegularExpression(QStringLiteral("shown (sha256//[A-Za-z0-9+/=]{44})"))
                                                  .match(QString::fromUtf8(refused.err));
        QVERIFY2(shown.hasMatch(), refused.err.constData());
        // A script's accept needs a word, and the key it names.
        QCOMPARE(exitOf(accept), 2);
        QCOMPARE(exitOf(accept + QStringList{"--trust-new"}), 5);
        QCOMPARE(exitOf(accept + QStringList{"--trust-changed", "sha256//" + QString(43, 'A') + "="}), 5);
        QCOMPARE(exitOf(info), 5);
        QCOMPARE(credentials(), before);

        const Run accepted = corvanectl(accept + QStringList{"--trust-changed", shown.captured(1)}, {});
        QCOMPARE(accepted.exitCode, 0);
        QVERIFY2(accepted.out.contains(("pinned " + shown.captured(1)).toUtf8()), accepted.out.constData());
        QCOMPARE(exitOf(info), 0);
        QVERIFY(credentials() > before);

        // Its first key back is now the stranger; forgotten, it is pinned anew.
        QVERIFY(LabNetwork::control(QStringLiteral("fault d5 clear")));
        QCOMPARE(exitOf(info), 5);
        QCOMPARE(exitOf({"trust", "forget", mac}), 0);
        QCOMPARE(exitOf(info), 0);

        QVERIFY(LabNetwork::control(QStringLiteral("fault d5 key swap")));
        qputenv("CORVANE_KEY_PINNING", "off");
        const int off = exitOf(info);
        qunsetenv("CORVANE_KEY_PINNING");
        QVERIFY(LabNetwork::control(QStringLiteral("fault d5 clear")));
        QCOMPARE(off, 0);
        QCOMPARE(exitOf(info), 0);
    }
};

QTEST_GUILESS_MAIN(TestCorvanectl)
#include "tst_corvanectl.moc"
