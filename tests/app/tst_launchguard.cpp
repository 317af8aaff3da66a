#include "CorvaneProcess.h"
#include "MultipleLaunchCheckerImplPosix.h"
#include "TestPrograms.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

const QString kExecutable = TestPrograms::corvane();

QByteArray runXdotool(const QStringList& arguments, int timeoutMs = 30000)
{
    QProcess xdotool;
    xdotool.start(QStringLiteral("xdotool"), arguments);
    if (!xdotool.waitForFinished(timeoutMs)) {
        qWarning("xdotool %s did not finish", qPrintable(arguments.join(QLatin1Char(' '))));
        xdotool.kill();
        xdotool.waitForFinished();
        return {};
    }
    return xdotool.readAllStandardOutput().trimmed();
}

// Waits until the launch error is on screen, then answers it with Return as an
// operator would. False when no such window appeared.
bool answerLaunchError(CorvaneProcess& second)
{
    // Polled rather than "search --sync": a window of another client that
    // vanishes mid-search makes xdotool give up early.
    QByteArray windows;
    (void)QTest::qWaitFor(
        [&windows] {
            windows = runXdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
                                  QStringLiteral("^Launch error$")});
            return !windows.isEmpty();
        },
        30000);
    if (windows.isEmpty()) {
        qWarning("no launch error window appeared");
        return false;
    }
    const QString window = QString::fromLatin1(windows.split('\n').first());
    // Still waiting for the operator: the message is modal.
    if (!second.isRunning()) {
        qWarning("the second start ended before the operator answered");
        return false;
    }
    runXdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), window});
    runXdotool({QStringLiteral("key"), QStringLiteral("--clearmodifiers"), QStringLiteral("Return")});
    return true;
}

} // namespace

class TestLaunchGuard : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(!qEnvironmentVariableIsEmpty("DISPLAY"), "run under scripts/with-xvfb.sh");
        QVERIFY2(!runXdotool({QStringLiteral("version")}).isEmpty(), "xdotool is missing (scripts/install-deps.sh)");
        QVERIFY(m_runtimeDir.isValid());
    }

    void lockNameNeverOverrunsItsBuffer()
    {
        QCOMPARE(MultipleLaunchCheckerImplPosix::buildLockName("corvane"), std::string("MutexHvncorvane"));
        const std::string longName(300, 'x');
        const std::string name = MultipleLaunchCheckerImplPosix::buildLockName(longName.c_str());
        QCOMPARE(name.size(), MultipleLaunchCheckerImplPosix::kNameBufferSize - 1);
        QCOMPARE(name, "MutexHvn" + std::string(MultipleLaunchCheckerImplPosix::kNameBufferSize - 9, 'x'));
    }

    void secondStartIsRefusedWhileTheFirstRuns()
    {
        CorvaneProcess first(kExecutable, m_runtimeDir.path(), QStringLiteral("xcb"));
        QVERIFY(first.start());
        QVERIFY2(first.waitForMainView(), first.standardError().constData());

        CorvaneProcess second(kExecutable, m_runtimeDir.path(), QStringLiteral("xcb"));
        QVERIFY(second.start());
        QVERIFY2(answerLaunchError(second), second.standardError().constData());
        QVERIFY(second.waitForExit());
        QCOMPARE(second.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(static_cast<qint8>(second.process().exitCode()), qint8(-1));
        QVERIFY2(!second.standardError().contains("main view created"), second.standardError().constData());
        QVERIFY2(second.standardError().contains("Log:Launch error: Corvane is already running.\n"),
                 second.standardError().constData());

        // A copy under another file name is another program as far as the guard goes.
        QTemporaryDir copyDir;
        QVERIFY(copyDir.isValid());
        const QString copyPath = copyDir.filePath(QStringLiteral("corvane-copy"));
        QVERIFY(QFile::copy(kExecutable, copyPath));
        CorvaneProcess copy(copyPath, m_runtimeDir.path(), QStringLiteral("xcb"));
        QVERIFY(copy.start());
        QVERIFY2(copy.waitForMainView(), copy.standardError().constData());
        QVERIFY(copy.terminateAndWait());

        QVERIFY(first.isRunning());
        QVERIFY(first.terminateAndWait());
        QCOMPARE(first.process().exitCode(), 0);
    }

    void startAfterTheFirstEndedSucceeds()
    {
        {
            CorvaneProcess first(kExecutable, m_runtimeDir.path(), QStringLiteral("xcb"));
            QVERIFY(first.start());
            QVERIFY(first.waitForMainView());
            QVERIFY(first.terminateAndWait());
        }
        CorvaneProcess again(kExecutable, m_runtimeDir.path(), QStringLiteral("xcb"));
        QVERIFY(again.start());
        QVERIFY2(again.waitForMainView(), again.standardError().constData());
        QVERIFY(again.terminateAndWait());
    }

    void startAfterTheFirstWasKilledSucceeds()
    {
        {
            CorvaneProcess first(kExecutable, m_runtimeDir.path(), QStringLiteral("xcb"));
            QVERIFY(first.start());
            QVERIFY(first.waitForMainView());
            first.process().kill(); // no chance to clean up: the kernel must release the lock
            QVERIFY(first.waitForExit());
        }
        CorvaneProcess again(kExecutable, m_runtimeDir.path(), QStringLiteral("xcb"));
        QVERIFY(again.start());
        QVERIFY2(again.waitForMainView(), again.standardError().constData());
        QVERIFY(again.terminateAndWait());
    }

private:
    QTemporaryDir m_runtimeDir;
};

QTEST_GUILESS_MAIN(TestLaunchGuard)
#include "tst_launchguard.moc"
