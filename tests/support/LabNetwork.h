#pragma once

#include "TestPrograms.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAddressEntry>
#include <QNetworkInterface>
#include <QProcess>
#include <QString>
#include <QVariantMap>

// Helpers for tests that run inside the private test network
// (scripts/lab-network.sh): Corvane's interface there and the virtual
// devices' control socket.
namespace LabNetwork {

inline const QString kInterface = QStringLiteral("corvane-lab");

inline bool inside()
{
    return !qEnvironmentVariableIsEmpty("CORVANE_LAB_CONTROL")
           && QNetworkInterface::interfaceFromName(kInterface).isValid();
}

// The interface as the network-interface table would hand it to a scan.
inline QVariantMap interfaceMap()
{
    const QNetworkInterface lab = QNetworkInterface::interfaceFromName(kInterface);
    for (const QNetworkAddressEntry& entry : lab.addressEntries()) {
        if (entry.ip().protocol() != QAbstractSocket::IPv4Protocol)
            continue;
        return {{QStringLiteral("interfaceName"), lab.humanReadableName()},
                {QStringLiteral("ipAddress"), entry.ip().toString()},
                {QStringLiteral("macAddress"), lab.hardwareAddress()},
                {QStringLiteral("subnetMask"), entry.netmask().toString()}};
    }
    return {};
}

// Sends one control command to the devices; true on "ok".
inline bool control(const QString& command)
{
    const QString deviceProgram = TestPrograms::virtualDevice();
    QProcess send;
    QStringList arguments{QStringLiteral("--send"), qEnvironmentVariable("CORVANE_LAB_CONTROL")};
    arguments += command.split(QLatin1Char(' '));
    send.start(deviceProgram, arguments);
    if (!send.waitForFinished(10000))
        return false;
    return send.exitCode() == 0 && send.readAllStandardOutput().trimmed().endsWith("ok");
}

// The reply lines of one control command, the closing "ok" left out; empty
// when the command failed.
inline QStringList controlReply(const QString& command)
{
    QProcess send;
    QStringList arguments{QStringLiteral("--send"), qEnvironmentVariable("CORVANE_LAB_CONTROL")};
    arguments += command.split(QLatin1Char(' '));
    send.start(TestPrograms::virtualDevice(), arguments);
    if (!send.waitForFinished(10000) || send.exitCode() != 0)
        return {};
    QStringList lines = QString::fromUtf8(send.readAllStandardOutput()).trimmed().split(QLatin1Char('\n'));
    if (lines.isEmpty() || !lines.last().startsWith(QLatin1String("ok")))
        return {};
    lines.removeLast();
    return lines;
}

// The devices' console: what they report as it happens ("event d1 update
// started 2.7.1", ...), written by the devices' process next to its control
// socket.
inline QByteArray console()
{
    QFile log(QFileInfo(qEnvironmentVariable("CORVANE_LAB_CONTROL")).dir().filePath(QStringLiteral("devices.log")));
    return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
}

// The MAC address a generated lab device gets: 02:00 and its IPv4 bytes.
inline QString deviceMac(int lastOctet)
{
    return QStringLiteral("02:00:0A:D5:00:%1").arg(lastOctet, 2, 16, QLatin1Char('0')).toUpper();
}

} // namespace LabNetwork
