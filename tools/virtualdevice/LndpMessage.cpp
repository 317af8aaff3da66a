#include "LndpMessage.h"

#include <QtEndian>

namespace LndpMessage {

namespace {

constexpr int kHeaderBeforeName = 31; // magic .. serviceNameLen
constexpr int kMinLength = 28;
constexpr int kMaxLength = 1306;
constexpr int kMaxExInfo = 1024;
constexpr int kMaxStringBytes = 254;

QByteArray build(quint8 flags, const QHostAddress& address, const QByteArray& mac, const QByteArray& exInfo)
{
    QByteArray out;
    const int n = int(kServiceName.size());
    const int m = int(exInfo.size());
    out.reserve(33 + n + m);
    out.append("LNDP", 4);
    char be16[2];
    qToBigEndian<quint16>(quint16(27 + n + m), be16);
    out.append(be16, 2);
    out.append(char(flags));
    out.append(char(4));
    char addr[4];
    qToBigEndian<quint32>(address.toIPv4Address(), addr);
    out.append(addr, 4);
    out.append(QByteArray(12, '\0'));
    out.append(mac.left(6).leftJustified(6, '\0'));
    out.append(char(n));
    out.append(kServiceName);
    qToBigEndian<quint16>(quint16(m), be16);
    out.append(be16, 2);
    out.append(exInfo);
    return out;
}

} // namespace

const char* errorText(ParseError error)
{
    switch (error) {
    case ParseError::None:
        return "valid";
    case ParseError::TooShort:
        return "shorter than 34 bytes";
    case ParseError::BadMagic:
        return "no LNDP magic";
    case ParseError::BadLength:
        return "length field out of range";
    case ParseError::Truncated:
        return "shorter than its length field";
    case ParseError::EmptyServiceName:
        return "empty service name";
    case ParseError::ExInfoTooLong:
        return "extended information longer than 1024 bytes";
    case ParseError::InconsistentLength:
        return "inner lengths disagree with the length field";
    }
    return "unknown";
}

ParseError parse(const QByteArray& bytes, Datagram& out)
{
    const auto* p = reinterpret_cast<const uchar*>(bytes.constData());
    const int size = int(bytes.size());
    if (size < 34)
        return ParseError::TooShort;
    if (!bytes.startsWith("LNDP"))
        return ParseError::BadMagic;
    const int length = qFromBigEndian<quint16>(p + 4);
    if (length < kMinLength || length > kMaxLength)
        return ParseError::BadLength;
    if (length + 6 > size)
        return ParseError::Truncated;
    const int n = p[30];
    if (n == 0)
        return ParseError::EmptyServiceName;
    if (length + 6 < n + 33)
        return ParseError::InconsistentLength;
    const int m = qFromBigEndian<quint16>(p + kHeaderBeforeName + n);
    if (m > kMaxExInfo)
        return ParseError::ExInfoTooLong;
    if (length + 6 != 33 + n + m)
        return ParseError::InconsistentLength;
    Datagram d;
    d.flags = p[6];
    d.family = p[7];
    d.address = bytes.mid(8, 16);
    d.mac = bytes.mid(24, 6);
    d.serviceName = bytes.mid(kHeaderBeforeName, n);
    d.exInfo = bytes.mid(33 + n, m);
    out = d;
    return ParseError::None;
}

QByteArray buildExInfo(const QStringList& strings)
{
    QByteArray out;
    for (const QString& s : strings) {
        QByteArray bytes = s.toUtf8();
        if (bytes.size() > kMaxStringBytes) {
            // Never split a character: back up to the start of the one that
            // would be cut (continuation bytes are 10xxxxxx).
            int cut = kMaxStringBytes;
            while (cut > 0 && (uchar(bytes.at(cut)) & 0xC0) == 0x80)
                --cut;
            bytes.truncate(cut);
        }
        out.append(char(bytes.size()));
        out.append(bytes);
    }
    return out.left(kMaxExInfo);
}

QStringList readExInfo(const QByteArray& exInfo)
{
    QStringList out;
    int offset = 0;
    while (offset < exInfo.size()) {
        const int length = uchar(exInfo.at(offset));
        if (offset + 1 + length > exInfo.size())
            break;
        out.append(QString::fromUtf8(exInfo.mid(offset + 1, length)));
        offset += 1 + length;
    }
    return out;
}

QByteArray buildResponse(const QHostAddress& address, const QByteArray& mac, const QString& model, const QString& name)
{
    return build(kResponderFlags, address, mac, buildExInfo({QString(), model, name}));
}

QByteArray buildAnnouncement(const QHostAddress& address, const QByteArray& mac)
{
    return build(0x00, address, mac, QByteArray());
}

bool isAnnouncement(const Datagram& datagram)
{
    return (datagram.flags & 0x80) == 0 && datagram.serviceName == kServiceName;
}

} // namespace LndpMessage
