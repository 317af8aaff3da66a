#pragma once

#include "DeviceArguments.h"
#include "TestTools.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>

#include <functional>

// Runs corvane-virtual-device for a test on loopback addresses with ports that
// the system chooses, reads its console lines and talks to its control
// channel on standard input.
class DeviceProcess
{
public:
    DeviceProcess();
    ~DeviceProcess();

    // Starts with the given device options (DeviceArguments builds them);
    // returns false (with the output in errorText()) when no ready line came.
    bool start(const QStringList& arguments);

    QJsonObject device(int index) const { return m_devices.at(index).toObject(); }
    QString address(int index) const { return device(index).value(QStringLiteral("address")).toString(); }
    quint16 httpsPort(int index) const { return quint16(device(index).value(QStringLiteral("httpsPort")).toInt()); }
    quint16 lndpPort() const { return m_lndpPort; }
    QString url(int index, const QString& path) const;
    // "admin:<md5 hex of the password>", as curl's -u wants it.
    QString credentials(int index) const;
    QByteArray authorization(int index) const; // the header value

    // Sends one control command and returns its final reply line.
    QString command(const QString& line);
    // Waits until a console line after position `from` satisfies the predicate.
    bool waitForLine(const std::function<bool(const QString&)>& predicate, int timeoutMs = 10000, int from = 0,
                     QString* found = nullptr);
    bool waitForLineContaining(const QString& text, int timeoutMs = 10000, int from = 0);
    int lineCount();
    QStringList lines();
    QString errorText() const;

    qint64 pid() const { return m_process.processId(); }
    // Peak and current resident memory in KiB (VmHWM, VmRSS).
    qint64 memoryKiB(const char* field) const;

    bool stop();

private:
    void readOutput();

    QProcess m_process;
    QByteArray m_buffer;
    QStringList m_lines;
    QJsonArray m_devices;
    quint16 m_lndpPort = 0;
};
