#include "DeviceConfig.h"

#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

namespace DeviceConfigParser {

bool parseIpv4(const QString& text, QHostAddress& out)
{
    QHostAddress address;
    if (!address.setAddress(text) || address.protocol() != QAbstractSocket::IPv4Protocol)
        return false;
    out = address;
    return true;
}

namespace {

bool isIpv4OrEmpty(const QString& text)
{
    QHostAddress ignored;
    return text.isEmpty() || parseIpv4(text, ignored);
}

// A locally administered MAC address that carries the IPv4 address, so that
// generated devices have stable, distinct addresses.
QByteArray macFromAddress(const QHostAddress& address)
{
    const quint32 v = address.toIPv4Address();
    QByteArray mac(6, '\0');
    mac[0] = char(0x02);
    mac[1] = char(0x00);
    mac[2] = char((v >> 24) & 0xFF);
    mac[3] = char((v >> 16) & 0xFF);
    mac[4] = char((v >> 8) & 0xFF);
    mac[5] = char(v & 0xFF);
    return mac;
}

bool setValue(DeviceConfig& device, const QString& key, const QString& value, QString& error)
{
    if (key == QLatin1String("id")) {
        if (value.isEmpty() || value.contains(QLatin1Char(' ')) || value == QLatin1String("all")) {
            error = QStringLiteral("bad id \"%1\"").arg(value);
            return false;
        }
        device.id = value;
    } else if (key == QLatin1String("address")) {
        if (!parseIpv4(value, device.address)) {
            error = QStringLiteral("bad IPv4 address \"%1\"").arg(value);
            return false;
        }
    } else if (key == QLatin1String("mac")) {
        if (!parseMac(value, device.mac)) {
            error = QStringLiteral("bad MAC address \"%1\"").arg(value);
            return false;
        }
    } else if (key == QLatin1String("model")) {
        device.model = value;
    } else if (key == QLatin1String("name")) {
        device.name = value;
    } else if (key == QLatin1String("password")) {
        device.password = value;
    } else if (key == QLatin1String("version")) {
        device.version = value;
    } else if (key == QLatin1String("serial")) {
        device.serial = value;
    } else if (key == QLatin1String("subnet") || key == QLatin1String("gateway") || key == QLatin1String("dns1")
               || key == QLatin1String("dns2")) {
        if (!isIpv4OrEmpty(value)) {
            error = QStringLiteral("bad IPv4 address \"%1\" for %2").arg(value, key);
            return false;
        }
        if (key == QLatin1String("subnet"))
            device.subnet = value;
        else if (key == QLatin1String("gateway"))
            device.gateway = value;
        else if (key == QLatin1String("dns1"))
            device.dns1 = value;
        else
            device.dns2 = value;
    } else if (key == QLatin1String("status")) {
        if (!parseStatus(value, device.deviceStatus)) {
            error = QStringLiteral("bad status \"%1\" (idle, busy, in-call)").arg(value);
            return false;
        }
    } else if (key == QLatin1String("broadcast")) {
        if (!parseBroadcast(value, device.broadcastDeaf)) {
            error = QStringLiteral("bad broadcast \"%1\" (normal, deaf)").arg(value);
            return false;
        }
    } else if (key == QLatin1String("claim")) {
        if (!parseIpv4(value, device.claimedAddress)) {
            error = QStringLiteral("bad IPv4 address \"%1\" for claim").arg(value);
            return false;
        }
    } else if (key == QLatin1String("key")) {
        if (value != QLatin1String("ec") && value != QLatin1String("rsa") && value != QLatin1String("ed25519")) {
            error = QStringLiteral("bad key \"%1\" (ec, rsa, ed25519)").arg(value);
            return false;
        }
        device.keyType = value;
    } else if (key == QLatin1String("throttle")) {
        if (!parseThrottle(value, device.throttleBytesPerSecond)) {
            error = QStringLiteral("bad throttle \"%1\" (bytes per second, k/m suffix, or off)").arg(value);
            return false;
        }
    } else if (key == QLatin1String("finish")) {
        if (!parseFinish(value, device.finish)) {
            error = QStringLiteral(
                        "bad finish \"%1\" (normal, result-then-idle, idle-then-result, together, together-idle-first)")
                        .arg(value);
            return false;
        }
    } else {
        error = QStringLiteral("unknown device key \"%1\"").arg(key);
        return false;
    }
    return true;
}

// nameGiven: an empty name that was asked for is a name too (devices may have
// none), only a missing one gets the default.
void fillDefaults(DeviceConfig& device, int index, bool nameGiven)
{
    if (device.id.isEmpty())
        device.id = QStringLiteral("d%1").arg(index + 1);
    if (device.mac.isEmpty())
        device.mac = macFromAddress(device.address);
    if (device.model.isEmpty())
        device.model = QStringLiteral("TQ-730");
    if (device.name.isEmpty() && !nameGiven)
        device.name = QStringLiteral("Virtual %1").arg(index + 1);
    if (device.version.isEmpty())
        device.version = QStringLiteral("1.0.0");
    if (device.serial.isEmpty()) {
        device.serial = QStringLiteral("%1-%2")
                            .arg(QString(device.model).remove(QLatin1Char('-')))
                            .arg(device.address.toIPv4Address() & 0xFFFFFF, 8, 10, QLatin1Char('0'));
    }
    if (device.subnet.isEmpty())
        device.subnet = QStringLiteral("255.255.255.0");
}

} // namespace

bool parseMac(const QString& text, QByteArray& mac)
{
    QStringList pieces = text.split(QLatin1Char(':'));
    if (pieces.size() != 6)
        pieces = text.split(QLatin1Char('-'));
    if (pieces.size() != 6)
        return false;
    QByteArray bytes;
    for (const QString& piece : pieces) {
        bool ok = false;
        const uint value = piece.toUInt(&ok, 16);
        if (!ok || piece.size() != 2 || value > 0xFF)
            return false;
        bytes.append(char(value));
    }
    mac = bytes;
    return true;
}

QString macText(const QByteArray& mac)
{
    return QString::fromLatin1(mac.toHex(':').toUpper());
}

QString statusName(int status)
{
    switch (status) {
    case 0:
        return QStringLiteral("idle");
    case 1:
        return QStringLiteral("busy");
    case 2:
        return QStringLiteral("in-call");
    default:
        return QString::number(status);
    }
}

bool parseStatus(const QString& text, int& status)
{
    if (text == QLatin1String("idle") || text == QLatin1String("0"))
        status = 0;
    else if (text == QLatin1String("busy") || text == QLatin1String("1"))
        status = 1;
    else if (text == QLatin1String("in-call") || text == QLatin1String("2"))
        status = 2;
    else
        return false;
    return true;
}

bool parseBytes(const QString& text, qint64& bytes)
{
    QString number = text.toLower();
    qint64 factor = 1;
    if (number.endsWith(QLatin1Char('k'))) {
        factor = 1024;
        number.chop(1);
    } else if (number.endsWith(QLatin1Char('m'))) {
        factor = 1024 * 1024;
        number.chop(1);
    }
    bool ok = false;
    const qint64 value = number.toLongLong(&ok);
    if (!ok || value <= 0 || value > (qint64(1) << 40))
        return false;
    bytes = value * factor;
    return true;
}

bool parseThrottle(const QString& text, qint64& bytesPerSecond)
{
    if (text == QLatin1String("off")) {
        bytesPerSecond = 0;
        return true;
    }
    return parseBytes(text, bytesPerSecond);
}

bool parseBroadcast(const QString& text, bool& deaf)
{
    if (text != QLatin1String("deaf") && text != QLatin1String("normal"))
        return false;
    deaf = text == QLatin1String("deaf");
    return true;
}

bool parseFinish(const QString& text, FinishOrder& finish)
{
    static const QHash<QString, FinishOrder> kOrders{
        {QStringLiteral("normal"), FinishOrder::Normal},
        {QStringLiteral("result-then-idle"), FinishOrder::ResultThenIdle},
        {QStringLiteral("idle-then-result"), FinishOrder::IdleThenResult},
        {QStringLiteral("together"), FinishOrder::Together},
        {QStringLiteral("together-idle-first"), FinishOrder::TogetherIdleFirst},
    };
    const auto order = kOrders.constFind(text);
    if (order == kOrders.cend())
        return false;
    finish = order.value();
    return true;
}

bool fromJson(const QJsonObject& object, int index, DeviceConfig& out, QString& error)
{
    DeviceConfig device;
    if (!object.contains(QLatin1String("address"))) {
        error = QStringLiteral("device %1 has no address").arg(index + 1);
        return false;
    }
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!it.value().isString()) {
            error = QStringLiteral("device %1: \"%2\" must be a string").arg(index + 1).arg(it.key());
            return false;
        }
        if (!setValue(device, it.key(), it.value().toString(), error)) {
            error = QStringLiteral("device %1: %2").arg(index + 1).arg(error);
            return false;
        }
    }
    fillDefaults(device, index, object.contains(QLatin1String("name")));
    out = device;
    return true;
}

bool fromKeyValues(const QString& text, int index, DeviceConfig& out, QString& error)
{
    QJsonObject object;
    for (const QString& pair : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const int eq = pair.indexOf(QLatin1Char('='));
        if (eq <= 0) {
            error = QStringLiteral("--device: \"%1\" is not key=value").arg(pair);
            return false;
        }
        object.insert(pair.left(eq).trimmed(), pair.mid(eq + 1));
    }
    return fromJson(object, index, out, error);
}

bool fromFile(const QString& path, ProcessConfig& config, QString& error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        error = QStringLiteral("%1 is not a JSON object: %2").arg(path, parseError.errorString());
        return false;
    }
    const QJsonObject root = document.object();
    const auto readPort = [&](const char* key, quint16& port) {
        if (!root.contains(QLatin1String(key)))
            return true;
        const int value = root.value(QLatin1String(key)).toInt(-1);
        if (value < 0 || value > 65535) {
            error = QStringLiteral("%1: bad %2").arg(path, QLatin1String(key));
            return false;
        }
        port = quint16(value);
        return true;
    };
    if (!readPort("lndpPort", config.lndpPort) || !readPort("httpsPort", config.httpsPort))
        return false;
    if (root.contains(QLatin1String("updateStepMs")))
        config.updateStepMs = qMax(1, root.value(QLatin1String("updateStepMs")).toInt(500));
    if (root.contains(QLatin1String("updateStepPercent")))
        config.updateStepPercent = qBound(1, root.value(QLatin1String("updateStepPercent")).toInt(10), 100);
    if (root.contains(QLatin1String("rebootMs")))
        config.rebootMs = qBound(0, root.value(QLatin1String("rebootMs")).toInt(3000), 600000);
    const QJsonArray devices = root.value(QLatin1String("devices")).toArray();
    for (int i = 0; i < devices.size(); ++i) {
        if (!devices.at(i).isObject()) {
            error = QStringLiteral("%1: device %2 is not an object").arg(path).arg(i + 1);
            return false;
        }
        DeviceConfig device;
        if (!fromJson(devices.at(i).toObject(), int(config.devices.size()), device, error))
            return false;
        config.devices.append(device);
    }
    return true;
}

bool generate(int count, const QString& firstAddress, const QString& password, QList<DeviceConfig>& out, QString& error)
{
    static const QStringList names = {
        QStringLiteral("Lobby Display"), QStringLiteral("Meeting Room 2"), QStringLiteral("Reception"),
        QStringLiteral("Board Room"),    QStringLiteral("Warehouse Gate"), QStringLiteral("Canteen"),
        QStringLiteral("Lab Bench"),     QStringLiteral("Front Desk"),
    };
    QHostAddress first;
    if (!parseIpv4(firstAddress, first)) {
        error = QStringLiteral("bad first address \"%1\"").arg(firstAddress);
        return false;
    }
    // As many as a scan can list.
    if (count < 1 || count > 1024) {
        error = QStringLiteral("device count must lie in 1..1024");
        return false;
    }
    const int base = int(out.size());
    for (int i = 0; i < count; ++i) {
        DeviceConfig device;
        device.address = QHostAddress(first.toIPv4Address() + quint32(i));
        device.model = (i % 2 == 0) ? QStringLiteral("TQ-730") : QStringLiteral("TQ-360");
        device.name = names.at(i % names.size());
        if (i >= names.size())
            device.name += QStringLiteral(" %1").arg(i / names.size() + 1);
        device.password = password;
        device.version = QStringLiteral("2.%1.%2").arg(i % 3).arg(i % 5);
        fillDefaults(device, base + i, true);
        out.append(device);
    }
    return true;
}

bool validate(const QList<DeviceConfig>& devices, QString& error)
{
    QSet<QString> ids, addresses, macs;
    for (const DeviceConfig& device : devices) {
        if (ids.contains(device.id) || addresses.contains(device.address.toString())
            || macs.contains(macText(device.mac))) {
            error = QStringLiteral("device %1 (%2) repeats an id, address or MAC address")
                        .arg(device.id, device.address.toString());
            return false;
        }
        ids.insert(device.id);
        addresses.insert(device.address.toString());
        macs.insert(macText(device.mac));
    }
    return true;
}

} // namespace DeviceConfigParser
