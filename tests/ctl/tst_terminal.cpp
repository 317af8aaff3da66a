#include "Terminal.h"

#include <QTest>

#include <csignal>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

// The password prompt on a pseudo-terminal of the test's own: however the
// prompt ends, the terminal shows what is typed again.
class TestTerminal : public QObject
{
    Q_OBJECT

    static bool echoes(int terminal)
    {
        termios mode{};
        return tcgetattr(terminal, &mode) == 0 && (mode.c_lflag & ECHO) != 0;
    }

private Q_SLOTS:
    void promptRestoresEcho_data()
    {
        QTest::addColumn<int>("signal"); // 0: the password is typed
        QTest::newRow("answered") << 0;
        QTest::newRow("Ctrl-C") << int(SIGINT);
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }

    void promptRestoresEcho()
    {
        QFETCH(int, signal);
        int master = -1;
        int terminal = -1;
        QVERIFY(openpty(&master, &terminal, nullptr, nullptr, nullptr) == 0);
        QVERIFY(echoes(terminal));
        const pid_t child = fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            dup2(terminal, STDIN_FILENO);
            dup2(terminal, STDERR_FILENO);
            const std::optional<QString> answer = promptPassword(QStringLiteral("Password: "));
            _exit(answer == QStringLiteral("s3cret") ? 0 : 1);
        }
        // The prompt hides what is typed...
        QTRY_VERIFY_WITH_TIMEOUT(!echoes(terminal), 10000);
        if (signal == 0)
            QCOMPARE(write(master, "s3cret\n", 7), ssize_t(7));
        else
            QCOMPARE(kill(child, signal), 0);
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        // ...and ends as it would have without the prompt, showing it again.
        if (signal == 0)
            QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        else
            QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == signal);
        QVERIFY(echoes(terminal));
        close(master);
        close(terminal);
    }
};

QTEST_GUILESS_MAIN(TestTerminal)
#include "tst_terminal.moc"
