#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QStringList>

// The discovery datagram: "LNDP", length, flags, address family, 16 address
// bytes, MAC address, service name and length-prefixed extended-information
// strings. The virtual device reads announcements and writes responder
// datagrams; it never announces.
namespace LndpMessage {

constexpr int kMaxDatagram = 1480;
constexpr quint8 kResponderFlags = 0x80;
inline const QByteArray kServiceName = QByteArrayLiteral("_zel-scp");

struct Datagram
{
    quint8 flags = 0;
    quint8 family = 4;
    QByteArray address; // 16 bytes as on the wire
    QByteArray mac; // 6 bytes
    QByteArray serviceName;
    QByteArray exInfo;
};

enum class ParseError {
    None,
    TooShort,
    BadMagic,
    BadLength,
    Truncated,
    EmptyServiceName,
    ExInfoTooLong,
    InconsistentLength,
};

const char* errorText(ParseError error);

// Checks and decodes one received datagram; bytes after the announced length
// are ignored.
ParseError parse(const QByteArray& bytes, Datagram& out);

// Extended information of a responder: the unused first string, the model
// name and the device name, in UTF-8. Each string is cut to at most 254 bytes
// (a length byte of 255 ends the list for readers), at a character boundary.
QByteArray buildExInfo(const QStringList& strings);
QStringList readExInfo(const QByteArray& exInfo);

// The datagram with which a device answers announcements.
QByteArray buildResponse(const QHostAddress& address, const QByteArray& mac, const QString& model, const QString& name);

// An announcer datagram (flags 0) as the program sends it; used by tests and
// by nobody else.
QByteArray buildAnnouncement(const QHostAddress& address, const QByteArray& mac);

// True for a valid announcement of the "_zel-scp" service (role bit clear).
bool isAnnouncement(const Datagram& datagram);

} // namespace LndpMessage
