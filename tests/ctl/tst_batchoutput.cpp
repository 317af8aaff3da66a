#include "BatchProgress.h"
#include "BatchReport.h"
#include "BatchRun.h"
#include "CtlCommon.h"
#include "CtlDevices.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

using namespace Ctl;

// What a batch prints and writes, without devices: the text a terminal or a
// spreadsheet is given, the live view's size, the exit status and the pauses
// between tries.
class TestBatchOutput : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void printable_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("shown");
        QTest::newRow("plain, accents kept") << QStringLiteral("Salle Réunion 2") << QStringLiteral("Salle Réunion 2");
        QTest::newRow("escape sequence") << QStringLiteral("\x1b[2J\x1b]0;pwned\x07")
                                         << QStringLiteral("\\x1b[2J\\x1b]0;pwned\\x07");
        QTest::newRow("a row split") << QStringLiteral("Lobby\r\nFake row") << QStringLiteral("Lobby\\r\\nFake row");
        QTest::newRow("DEL and C1") << QStringLiteral("a\x7f\u009bb") << QStringLiteral("a\\x7f\\x9bb");
        QTest::newRow("direction turned") << QStringLiteral("ab\u202Ecd") << QStringLiteral("ab\\u{202e}cd");
    }

    void printable()
    {
        QFETCH(QString, name);
        QFETCH(QString, shown);
        QCOMPARE(Ctl::printable(name), shown);
    }

    // Where the report and its journal may go: a regular file or a new path,
    // refused before anything is sent otherwise, and never written through;
    // a FIFO never holds the run; a full disk fails the write.
    void filesWritten_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("refusal"); // empty: written
        QTest::newRow("a new path") << "new"
                                    << "";
        QTest::newRow("a regular file") << "file"
                                        << "";
        QTest::newRow("standard output") << "-"
                                         << "";
        QTest::newRow("a FIFO") << "fifo"
                                << "it is a FIFO";
        QTest::newRow("a device node") << "node"
                                       << "not a regular file";
        QTest::newRow("a symbolic link") << "link"
                                         << "it is a symbolic link";
        QTest::newRow("a folder") << "folder"
                                  << "it is a folder";
        QTest::newRow("a journal path that is a FIFO") << "journal fifo"
                                                       << "journal";
        QTest::newRow("a full disk") << "full"
                                     << "";
    }

    void filesWritten()
    {
        QFETCH(QString, kind);
        QFETCH(QString, refusal);
        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("target"));
        QVERIFY(QFile(target).open(QIODevice::WriteOnly));
        QString path = kind == QLatin1String("-") ? kind : dir.filePath(QStringLiteral("report.json"));
        const QByteArray name = QFile::encodeName(path);
        if (kind == QLatin1String("file") || kind == QLatin1String("full"))
            QVERIFY(QFile(path).open(QIODevice::WriteOnly));
        if (kind == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(name.constData(), 0600), 0);
        if (kind == QLatin1String("journal fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(ReportJournal::pathFor(path)).constData(), 0600), 0);
        if (kind == QLatin1String("node") && ::mknod(name.constData(), S_IFCHR | 0600, makedev(1, 3)) != 0)
            QSKIP("a device node needs root");
        if (kind == QLatin1String("link"))
            QVERIFY(QFile::link(target, path));
        if (kind == QLatin1String("folder"))
            QVERIFY(QDir().mkdir(path));

        QString said;
        QString printed;
        QTextStream err(&said);
        QTextStream out(&printed);
        QCOMPARE(reportWritable(path, err), refusal.isEmpty());
        err.flush();
        QVERIFY2(said.contains(refusal), qPrintable(said));
        // What a run got past the check would meet: a link, a FIFO or a node
        // put there after it is refused by the journal, and never waited on.
        ReportJournal journal;
        if (kind != QLatin1String("-"))
            QCOMPARE(journal.open(path, err), !kind.contains(QLatin1String("journal")));
        QCOMPARE(QFileInfo(target).size(), 0);
        if (!refusal.isEmpty())
            return;

        const QJsonArray entries{QJsonObject{{QStringLiteral("hostName"), QString(4096, QLatin1Char('x'))}}};
        rlimit before{};
        if (kind == QLatin1String("full")) {
            // As a full disk: no file may grow past 1 KiB.
            ::signal(SIGXFSZ, SIG_IGN);
            QCOMPARE(::getrlimit(RLIMIT_FSIZE, &before), 0);
            const rlimit small{1024, before.rlim_max};
            QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        }
        journal.append(entries.first().toObject(), err);
        const bool written = writeReport(path, entries, QJsonObject(), err, out);
        if (kind == QLatin1String("full"))
            QCOMPARE(::setrlimit(RLIMIT_FSIZE, &before), 0);
        err.flush();
        out.flush();
        QCOMPARE(written, kind != QLatin1String("full"));
        QCOMPARE(journal.failed(), kind == QLatin1String("full"));
        if (kind == QLatin1String("full")) {
            QVERIFY2(said.contains(QStringLiteral("cannot write the report")), qPrintable(said));
            QCOMPARE(QFileInfo(path).size(), 0); // the old report stays whole
        } else if (kind == QLatin1String("-")) {
            QVERIFY(printed.contains(QStringLiteral("\"devices\"")));
        }
    }

    // A devices file: ids, or a report's rows fed back (a CSV report as
    // written, its cells quoted; the journal's JSON lines).
    void devicesFile_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("names");
        QTest::newRow("ids, comments, CRLF") << "# failed\r\n10.0.0.5\r\n\r\nMeeting Room 2\r\n"
                                             << QStringList{"10.0.0.5", "Meeting Room 2"};
        QTest::newRow("CSV report rows") << QStringLiteral(
            "\uFEFFmodel,hostName,ipAddress,macAddress,result\n"
            "TQ-730,\"Desk, \"\"east\"\"\",10.0.0.5,02:00:00:00:00:05,failed\n"
            "TQ-360,Hall,10.0.0.6,02:00:00:00:00:06,failed\n")
                                         << QStringList{"02:00:00:00:00:05", "02:00:00:00:00:06"};
        QTest::newRow("journal lines")
            << "{\"macAddress\":\"02:00:00:00:00:07\",\"result\":\"failed\"}\n{\"result\":\"failed\"}\n"
            << QStringList{"02:00:00:00:00:07"};
    }

    void devicesFile()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, names);
        QCOMPARE(devicesListed(text), names);
    }

    void csvCells_data()
    {
        QTest::addColumn<QString>("hostName");
        QTest::addColumn<QByteArray>("cell");
        QTest::newRow("plain") << QStringLiteral("Lobby") << QByteArray("Lobby");
        QTest::newRow("comma and quote") << QStringLiteral("a,\"b\"") << QByteArray("\"a,\"\"b\"\"\"");
        QTest::newRow("CR alone") << QStringLiteral("a\rb") << QByteArray("a\\rb");
        QTest::newRow("line break") << QStringLiteral("a\nb,c") << QByteArray("\"a\\nb,c\"");
        QTest::newRow("ESC, BEL, NUL") << QStringLiteral("a\x1b[2Jb\x07") + QChar(0)
                                       << QByteArray("a\\x1b[2Jb\\x07\\x00");
        QTest::newRow("direction override") << QStringLiteral("a\u202Eb") << QByteArray("a\\u{202e}b");
        QTest::newRow("formula") << QStringLiteral("=HYPERLINK(\"x\")") << QByteArray("\"'=HYPERLINK(\"\"x\"\")\"");
        QTest::newRow("plus") << QStringLiteral("+1") << QByteArray("'+1");
        QTest::newRow("at") << QStringLiteral("@SUM(A1)") << QByteArray("'@SUM(A1)");
        QTest::newRow("tab first") << QStringLiteral("\tx") << QByteArray("\\tx");
        QTest::newRow("UTF-8") << QStringLiteral("Café") << QByteArray("Caf\xc3\xa9");
    }

    void csvCells()
    {
        QFETCH(QString, hostName);
        QFETCH(QByteArray, cell);
        const QByteArray csv = csvReport(
            QJsonArray{QJsonObject{{QStringLiteral("hostName"), hostName}, {QStringLiteral("fileSize"), 3145728}}});
        QVERIFY(csv.startsWith("\xEF\xBB\xBFmodel,hostName,ipAddress,"));
        const QByteArray row = csv.mid(csv.indexOf('\n') + 1);
        QCOMPARE(row, "," + cell + ",,,,,,3145728,,,,,,,,,,,\n");
    }

    // A run's end: its exit status and its summary line, from its devices' outcomes.
    void runEnd_data()
    {
        QTest::addColumn<QList<Outcome>>("outcomes");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("summary");
        const auto counts
            = [](const char* text) { return QStringLiteral("update: %1 in 1.5 s").arg(QLatin1String(text)); };
        QTest::newRow("all succeeded") << QList<Outcome>{Outcome::Succeeded, Outcome::Succeeded} << 0
                                       << counts("2 succeeded, 0 failed, 0 skipped");
        QTest::newRow("dry run") << QList<Outcome>{Outcome::Ready, Outcome::Skipped} << 1
                                 << "update: 1 of 2 devices ready for tq-1.2.3.bundle (md5 0a0b); nothing sent";
        QTest::newRow("one unknown") << QList<Outcome>{Outcome::Succeeded, Outcome::Unknown} << 4
                                     << counts("1 succeeded, 0 failed, 0 skipped, 1 unknown");
        QTest::newRow("failure outweighs unknown") << QList<Outcome>{Outcome::Unknown, Outcome::Failed} << 1
                                                   << counts("0 succeeded, 1 failed, 0 skipped, 1 unknown");
        QTest::newRow("skipped") << QList<Outcome>{Outcome::Skipped, Outcome::Succeeded} << 1
                                 << counts("1 succeeded, 0 failed, 1 skipped");
        QTest::newRow("interrupted") << QList<Outcome>{Outcome::Interrupted, Outcome::Succeeded} << 1
                                     << counts("1 succeeded, 0 failed, 0 skipped, 1 interrupted");
        QTest::newRow("unchanged is no failure") << QList<Outcome>{Outcome::Unchanged, Outcome::Succeeded} << 0
                                                 << counts("1 succeeded, 0 failed, 0 skipped, 1 unchanged");
        QTest::newRow("no device") << QList<Outcome>{} << 0 << counts("0 succeeded, 0 failed, 0 skipped");
    }

    void runEnd()
    {
        QFETCH(QList<Outcome>, outcomes);
        QFETCH(int, status);
        QFETCH(QString, summary);
        QCOMPARE(exitStatusOf(outcomes), status);
        std::vector<std::unique_ptr<DeviceRun>> runs;
        QList<const DeviceRun*> devices;
        for (Outcome outcome : std::as_const(outcomes)) {
            runs.push_back(std::make_unique<DeviceRun>());
            runs.back()->outcome = outcome;
            devices << runs.back().get();
        }
        BatchSettings settings;
        settings.filePath = QStringLiteral("/tmp/tq-1.2.3.bundle");
        settings.digest = QByteArray::fromHex("0a0b");
        const QJsonObject counted = batchSummary(QStringLiteral("update"), devices, 1.46);
        QCOMPARE(counted.value(QStringLiteral("unchanged")).toInt(), int(outcomes.count(Outcome::Unchanged)));
        QCOMPARE(summaryText(counted, settings, false), summary);
    }

    void retryDelays_data()
    {
        QTest::addColumn<int>("first");
        QTest::addColumn<QList<int>>("delaysMs"); // after tries 1, 2, ...
        QTest::newRow("doubled") << 1 << QList<int>{1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000};
        QTest::newRow("capped at once") << 90 << QList<int>{60000, 60000};
        QTest::newRow("no overflow") << 600 << QList<int>{60000, 60000, 60000};
    }

    void retryDelays()
    {
        QFETCH(int, first);
        QFETCH(QList<int>, delaysMs);
        for (int attempt = 1; attempt <= delaysMs.size(); ++attempt)
            QCOMPARE(retryDelayMs(first, attempt), delaysMs.at(attempt - 1));
        QCOMPARE(retryDelayMs(first, 40), 60000);
    }

    // 100 devices uploading at once on a 24-line terminal: the live view
    // stays within the screen and is redrawn a few times a second at most,
    // and every ended device is printed once.
    void liveViewBounded()
    {
        std::vector<std::unique_ptr<DeviceRun>> runs;
        QList<const DeviceRun*> all;
        for (int i = 0; i < 100; ++i) {
            runs.push_back(std::make_unique<DeviceRun>());
            runs.back()->identity.ipAddress = QStringLiteral("10.0.0.%1").arg(i);
            runs.back()->identity.macAddress = QStringLiteral("02:00:00:00:00:%1").arg(i, 2, 16, QLatin1Char('0'));
            runs.back()->attempts = 1;
            runs.back()->state = QStringLiteral("uploading");
            all << runs.back().get();
        }
        QString out;
        QString err;
        QTextStream outStream(&out);
        QTextStream errStream(&err);
        BatchProgress progress(outStream, errStream, BatchProgress::Mode::Live, all, 24);
        for (int percent = 1; percent <= 100; ++percent) {
            for (const auto& run : runs) {
                run->percent = percent;
                progress.event(*run, QStringLiteral("progress"));
            }
        }
        for (const auto& run : runs) {
            run->outcome = Outcome::Succeeded;
            run->state = outcomeName(Outcome::Succeeded);
            progress.event(*run, run->state);
        }
        QTRY_VERIFY(progress.draws() >= 2); // the last state is drawn, later
        progress.close();
        QVERIFY2(progress.draws() <= 3, qPrintable(QString::number(progress.draws())));
        QVERIFY2(err.size() < 4 * 24 * 80, qPrintable(QString::number(err.size())));
        QCOMPARE(out.count(QLatin1String("succeeded")), 100);
        QVERIFY(err.contains(QLatin1String("more running")));
    }
};

QTEST_GUILESS_MAIN(TestBatchOutput)
#include "tst_batchoutput.moc"
