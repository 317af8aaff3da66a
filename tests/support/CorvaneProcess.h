#pragma once

#include <QProcess>
#include <QTest>

// The program started as an operator would, with its own per-user runtime
// folder so that tests running side by side do not see each other's guard.
class CorvaneProcess
{
public:
    CorvaneProcess(const QString& executable, const QString& runtimeDir, const QString& platform)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
        m_process.setProcessEnvironment(env);
        m_process.setProgram(executable);
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        QObject::connect(&m_process, &QProcess::readyReadStandardError, &m_process,
                         [this] { m_stderr += m_process.readAllStandardError(); });
    }

    ~CorvaneProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(10000);
        }
    }

    bool start()
    {
        m_process.start();
        return m_process.waitForStarted(10000);
    }

    // The program logs this once its main view exists, i.e. it got past the
    // guard and loaded its window.
    bool waitForMainView(int timeoutMs = 30000)
    {
        return QTest::qWaitFor([this] { return m_stderr.contains("main view created") || !isRunning(); }, timeoutMs)
               && m_stderr.contains("main view created");
    }

    bool terminateAndWait(int timeoutMs = 20000)
    {
        m_process.terminate();
        return m_process.waitForFinished(timeoutMs);
    }

    bool waitForExit(int timeoutMs = 20000)
    {
        return QTest::qWaitFor([this] { return !isRunning(); }, timeoutMs);
    }

    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    QProcess& process() { return m_process; }
    const QByteArray& standardError() const { return m_stderr; }

private:
    QProcess m_process;
    QByteArray m_stderr;
};
