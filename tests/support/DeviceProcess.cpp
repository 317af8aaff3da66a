#include "DeviceProcess.h"

#include "TestPrograms.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QTest>

#include <csignal>
#include <sys/prctl.h>

DeviceProcess::DeviceProcess()
{
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    // A test that dies (a sanitizer halt, a crash) takes its devices along
    // instead of leaving them holding their addresses and ports.
    m_process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { readOutput(); });
}

DeviceProcess::~DeviceProcess()
{
    stop();
}

void DeviceProcess::readOutput()
{
    m_buffer.append(m_process.readAllStandardOutput());
    qsizetype newline;
    while ((newline = m_buffer.indexOf('\n')) >= 0) {
        m_lines.append(QString::fromUtf8(m_buffer.left(newline)));
        m_buffer.remove(0, newline + 1);
    }
}

bool DeviceProcess::start(const QStringList& arguments)
{
    m_process.start(TestPrograms::virtualDevice(), arguments);
    if (!m_process.waitForStarted(10000))
        return false;
    QString ready;
    if (!waitForLine([](const QString& line) { return line.startsWith(QLatin1String("ready ")); }, 30000, 0, &ready))
        return false;
    const QJsonObject object = QJsonDocument::fromJson(ready.mid(6).toUtf8()).object();
    m_devices = object.value(QStringLiteral("devices")).toArray();
    m_lndpPort = quint16(object.value(QStringLiteral("lndpPort")).toInt());
    return !m_devices.isEmpty() && m_lndpPort != 0;
}

QString DeviceProcess::url(int index, const QString& path) const
{
    return QStringLiteral("https://%1:%2%3").arg(address(index)).arg(httpsPort(index)).arg(path);
}

QString DeviceProcess::credentials(int index) const
{
    const QByteArray password = device(index).value(QStringLiteral("password")).toString().toUtf8();
    return QStringLiteral("admin:") + md5Hex(password);
}

QByteArray DeviceProcess::authorization(int index) const
{
    return "Basic " + credentials(index).toUtf8().toBase64();
}

QString DeviceProcess::command(const QString& line)
{
    const int from = lineCount();
    m_process.write(line.toUtf8() + '\n');
    QString reply;
    waitForLine(
        [](const QString& l) { return l.startsWith(QLatin1String("ok")) || l.startsWith(QLatin1String("error")); },
        10000, from, &reply);
    return reply;
}

bool DeviceProcess::waitForLine(const std::function<bool(const QString&)>& predicate, int timeoutMs, int from,
                                QString* found)
{
    QDeadlineTimer deadline(timeoutMs);
    int checked = from;
    for (;;) {
        readOutput();
        for (; checked < m_lines.size(); ++checked) {
            if (predicate(m_lines.at(checked))) {
                if (found)
                    *found = m_lines.at(checked);
                return true;
            }
        }
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
            return false;
        QTest::qWait(20); // keeps the test's own sockets served meanwhile
    }
}

bool DeviceProcess::waitForLineContaining(const QString& text, int timeoutMs, int from)
{
    return waitForLine([&text](const QString& line) { return line.contains(text); }, timeoutMs, from);
}

int DeviceProcess::lineCount()
{
    readOutput();
    return int(m_lines.size());
}

QStringList DeviceProcess::lines()
{
    readOutput();
    return m_lines;
}

QString DeviceProcess::errorText() const
{
    return QString::fromUtf8(const_cast<QProcess&>(m_process).readAllStandardError()) + m_lines.join(QLatin1Char('\n'));
}

qint64 DeviceProcess::memoryKiB(const char* field) const
{
    QFile status(QStringLiteral("/proc/%1/status").arg(m_process.processId()));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

bool DeviceProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return true;
    m_process.write("quit\n");
    if (m_process.waitForFinished(10000))
        return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
    m_process.kill();
    m_process.waitForFinished(5000);
    return false;
}
