#include "CorvaneProcess.h"
#include "TestPrograms.h"

#include <QTemporaryDir>
#include <QTest>

class TestCorvane : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void startsAndEndsCleanlyOnTermination()
    {
        QTemporaryDir runtimeDir;
        QVERIFY(runtimeDir.isValid());
        CorvaneProcess corvane(TestPrograms::corvane(), runtimeDir.path(), QStringLiteral("offscreen"));
        QVERIFY(corvane.start());
        QVERIFY2(corvane.waitForMainView(), corvane.standardError().constData());

        QVERIFY(corvane.terminateAndWait());
        QCOMPARE(corvane.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(corvane.process().exitCode(), 0);
        // QML warnings about the main view would show a broken window.
        QVERIFY2(!corvane.standardError().contains("qrc:/"), corvane.standardError().constData());
    }

    void secondStartWithoutAScreenSaysWhyAndEnds()
    {
        QTemporaryDir runtimeDir;
        QVERIFY(runtimeDir.isValid());
        CorvaneProcess first(TestPrograms::corvane(), runtimeDir.path(), QStringLiteral("offscreen"));
        QVERIFY(first.start());
        QVERIFY2(first.waitForMainView(), first.standardError().constData());

        // Nobody can answer a window here: the message goes to the log and
        // the second start ends on its own.
        CorvaneProcess second(TestPrograms::corvane(), runtimeDir.path(), QStringLiteral("offscreen"));
        QVERIFY(second.start());
        QVERIFY2(second.waitForExit(), second.standardError().constData());
        QCOMPARE(second.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(static_cast<qint8>(second.process().exitCode()), qint8(-1));
        QVERIFY2(second.standardError().contains("Log:Launch error: Corvane is already running.\n"),
                 second.standardError().constData());
        QVERIFY2(!second.standardError().contains("main view created"), second.standardError().constData());

        QVERIFY(first.isRunning());
        QVERIFY(first.terminateAndWait());
        QCOMPARE(first.process().exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestCorvane)
#include "tst_corvane.moc"
