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
};

QTEST_GUILESS_MAIN(TestCorvane)
#include "tst_corvane.moc"
