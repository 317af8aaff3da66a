#include "TestPrograms.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

// The help and the version of both programs, asked for where no display is
// reachable, as in a package check or a build chroot.
class TestCorvaneOptions : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void printsAndEndsWithoutDisplay_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("expected");

        const QString version = QStringLiteral(CORVANE_VERSION);
        QTest::newRow("corvane --version") << TestPrograms::corvane() << QStringList{QStringLiteral("--version")}
                                           << QStringList{QStringLiteral("corvane %1\n").arg(version)};
        QTest::newRow("corvane -v") << TestPrograms::corvane() << QStringList{QStringLiteral("-v")}
                                    << QStringList{QStringLiteral("corvane %1\n").arg(version)};
        // The help names the program's options and those Qt takes.
        const QStringList help{QStringLiteral("Usage: "),
                               QStringLiteral("--version"),
                               QStringLiteral("--help"),
                               QStringLiteral("--max-devices <n>"),
                               QStringLiteral("256 unless given, at most 1024"),
                               QStringLiteral("-platform"),
                               QStringLiteral("--qwindowtitle")};
        QTest::newRow("corvane --help") << TestPrograms::corvane() << QStringList{QStringLiteral("--help")} << help;
        QTest::newRow("corvane -?") << TestPrograms::corvane() << QStringList{QStringLiteral("-?")} << help;
        // Other arguments are ignored as at a normal start.
        QTest::newRow("corvane --unknown -h")
            << TestPrograms::corvane() << QStringList{QStringLiteral("--unknown"), QStringLiteral("-h")} << help;
        // A list size out of range is refused on stderr, before anything starts.
        QTest::newRow("corvane --max-devices 1025")
            << TestPrograms::corvane() << QStringList{QStringLiteral("--max-devices"), QStringLiteral("1025")}
            << QStringList{
                   QStringLiteral("corvane: --max-devices takes a whole number from 1 to 1024, not \"1025\"\n")};
        QTest::newRow("corvane --max-devices=x")
            << TestPrograms::corvane() << QStringList{QStringLiteral("--max-devices=x")}
            << QStringList{QStringLiteral("not \"x\"")};
        QTest::newRow("corvanectl --version") << TestPrograms::corvanectl() << QStringList{QStringLiteral("--version")}
                                              << QStringList{QStringLiteral("corvanectl %1\n").arg(version)};
    }

    void printsAndEndsWithoutDisplay()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, expected);

        QTemporaryDir runtimeDir;
        QVERIFY(runtimeDir.isValid());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QLatin1String(name));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir.path());
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(program, arguments);
        QVERIFY(process.waitForFinished(30000));
        const bool refused = arguments.first().startsWith(QLatin1String("--max-devices"));
        const QString out
            = QString::fromUtf8(refused ? process.readAllStandardError() : process.readAllStandardOutput());
        const QByteArray err = refused ? QByteArray() : process.readAllStandardError();

        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QVERIFY2(process.exitCode() == (refused ? 2 : 0), err.constData());
        if (expected.size() == 1 && expected.first().endsWith(QLatin1Char('\n')))
            QCOMPARE(out, expected.first());
        for (const QString& text : expected)
            QVERIFY2(out.contains(text), qPrintable(out));
        // Nothing of the program ran: no launch guard, no window.
        QVERIFY2(QDir(runtimeDir.path()).isEmpty(), qPrintable(QDir(runtimeDir.path()).entryList().join(u' ')));
        QVERIFY2(!err.contains("main view created"), err.constData());
    }
};

QTEST_GUILESS_MAIN(TestCorvaneOptions)
#include "tst_corvane_options.moc"
