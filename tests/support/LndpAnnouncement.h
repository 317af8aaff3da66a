// A discovery announcement as Corvane sends it, for the tests that check the
// virtual device's discovery answers from outside.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QtEndian>

// An announcement as the program sends it: flags 0, IPv4, the sender's
// address and MAC address, the service "_zel-scp", no extended information.
inline QByteArray lndpAnnouncement(const QHostAddress& from, const QByteArray& service = "_zel-scp",
                                   quint8 flags = 0x00)
{
    QByteArray d("LNDP");
    char be[4];
    qToBigEndian<quint16>(quint16(27 + service.size()), be);
    d.append(be, 2);
    d.append(char(flags));
    d.append(char(4));
    qToBigEndian<quint32>(from.toIPv4Address(), be);
    d.append(be, 4);
    d.append(QByteArray(12, '\0'));
    d.append(QByteArray::fromHex("001122334455"));
    d.append(char(service.size()));
    d.append(service);
    d.append(QByteArray(2, '\0'));
    return d;
}
