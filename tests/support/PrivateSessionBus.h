#pragma once

// A D-Bus session bus of a test's own, with everything it starts, and the
// helpers to see that all of it ended.

#include <QDir>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>
#include <sys/prctl.h>

namespace PrivateSession {

// Process ids whose parent chain leads to the given process.
inline QSet<qint64> descendantsOf(qint64 root)
{
    QHash<qint64, qint64> parents;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (!numeric)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (comm) state ppid ...": the command may hold spaces and parentheses.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1)
            parents.insert(pid, fields.at(1).toLongLong());
    }
    QSet<qint64> found;
    bool grew = true;
    while (grew) {
        grew = false;
        for (auto it = parents.cbegin(); it != parents.cend(); ++it) {
            if (!found.contains(it.key()) && (it.value() == root || found.contains(it.value()))) {
                found.insert(it.key());
                grew = true;
            }
        }
    }
    return found;
}

// A zombie has ended: only its parent's wait is missing, and a parent that
// ended before it leaves that to whoever adopts it.
inline bool processRuns(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    return line.mid(line.lastIndexOf(')') + 2, 1) != "Z";
}

// A D-Bus session bus for this test alone. The daemon runs as the first
// process of a PID namespace of its own, so that whatever it starts on
// demand (the AT-SPI bus launcher with its accessibility bus, the registry)
// ends with it: the kernel ends a namespace's processes when its first one
// goes. unshare ignores SIGTERM and hands its own end on to the daemon as
// SIGTERM (--kill-child), so it is ended with SIGKILL, by the test or, when
// the test dies, by the kernel (PR_SET_PDEATHSIG). HOME and XDG_RUNTIME_DIR
// are private, since the launcher puts its socket there.
class Bus
{
public:
    ~Bus() { stop(); }

    bool start(QString& error)
    {
        if (!m_home.isValid()) {
            error = QStringLiteral("no temporary folder");
            return false;
        }
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), m_home.path());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_home.path());
        env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        env.remove(QStringLiteral("AT_SPI_BUS_ADDRESS"));
        m_process.setProcessEnvironment(env);
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        m_process.start(QStringLiteral("unshare"),
                        {QStringLiteral("--pid"), QStringLiteral("--fork"), QStringLiteral("--kill-child=SIGTERM"),
                         QStringLiteral("dbus-daemon"), QStringLiteral("--session"), QStringLiteral("--nofork"),
                         QStringLiteral("--print-address=1")});
        if (!m_process.waitForStarted(10000)) {
            error = QStringLiteral("unshare did not start: %1").arg(m_process.errorString());
            return false;
        }
        const bool printed = QTest::qWaitFor(
            [this] { return m_process.canReadLine() || m_process.state() == QProcess::NotRunning; }, 20000);
        if (!printed || !m_process.canReadLine()) {
            error = QStringLiteral("no bus address: %1").arg(QString::fromLocal8Bit(m_process.readAllStandardError()));
            return false;
        }
        m_address = QString::fromUtf8(m_process.readLine()).trimmed();
        return m_address.startsWith(QStringLiteral("unix:"));
    }

    QString address() const { return m_address; }

    // The window's program on this bus with Qt's AT-SPI bridge on, without
    // asking a desktop's settings; a test that dies takes it along (it ends
    // cleanly on SIGTERM).
    void runAccessible(QProcess& program) const
    {
        QProcessEnvironment env = program.processEnvironment();
        env.insert(QStringLiteral("HOME"), home());
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
        env.insert(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"), QStringLiteral("1"));
        env.remove(QStringLiteral("AT_SPI_BUS_ADDRESS"));
        env.remove(QStringLiteral("XDG_CURRENT_DESKTOP"));
        env.remove(QStringLiteral("QT_QPA_PLATFORMTHEME"));
        env.remove(QStringLiteral("DESKTOP_SESSION"));
        program.setProcessEnvironment(env);
        program.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    }
    QString home() const { return m_home.path(); }
    qint64 processId() const { return m_process.processId(); }

    // Ends the bus and everything it started; true when none of them is left.
    // count: how many processes ran under unshare (the daemon and what it started).
    bool stop(QStringList* left = nullptr, int* count = nullptr)
    {
        if (m_process.state() == QProcess::NotRunning)
            return true;
        const QSet<qint64> started = descendantsOf(m_process.processId());
        if (count != nullptr)
            *count = int(started.size());
        m_process.kill();
        m_process.waitForFinished(10000);
        const bool gone = QTest::qWaitFor(
            [&] {
                for (qint64 pid : started) {
                    if (processRuns(pid))
                        return false;
                }
                return true;
            },
            10000);
        if (!gone && left != nullptr) {
            for (qint64 pid : started) {
                if (processRuns(pid))
                    left->append(QString::number(pid));
            }
        }
        return gone;
    }

private:
    QTemporaryDir m_home;
    QProcess m_process;
    QString m_address;
};

} // namespace PrivateSession
