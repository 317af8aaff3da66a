#include "LndpResponder.h"

#include "LndpMessage.h"
#include "VirtualDevice.h"

#include <QNetworkDatagram>
#include <QUdpSocket>

namespace {

constexpr auto kBindMode = QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint;

bool inSubnet(const VirtualDevice* device, const QHostAddress& address)
{
    QHostAddress mask;
    if (!mask.setAddress(device->config().subnet))
        return false;
    const quint32 m = mask.toIPv4Address();
    return (device->config().address.toIPv4Address() & m) == (address.toIPv4Address() & m);
}

} // namespace

LndpResponder::LndpResponder(QObject* parent)
    : QObject(parent)
{
}

bool LndpResponder::start(const QList<VirtualDevice*>& devices, quint16 port, QString& error)
{
    m_port = port;
    for (VirtualDevice* device : devices) {
        auto* socket = new QUdpSocket(this);
        if (!socket->bind(device->config().address, m_port, kBindMode)) {
            error = QStringLiteral("cannot bind discovery port %1 on %2: %3")
                        .arg(m_port)
                        .arg(device->config().address.toString(), socket->errorString());
            return false;
        }
        m_port = socket->localPort();
        connect(socket, &QUdpSocket::readyRead, this, [this, socket, device] { readDevice(socket, device); });
        m_entries.append({device, socket});
    }
    m_wildcard = new QUdpSocket(this);
    if (!m_wildcard->bind(QHostAddress::AnyIPv4, m_port, kBindMode)) {
        error = QStringLiteral("cannot bind discovery port %1 on the wildcard address: %2")
                    .arg(m_port)
                    .arg(m_wildcard->errorString());
        return false;
    }
    connect(m_wildcard, &QUdpSocket::readyRead, this, &LndpResponder::readWildcard);
    return true;
}

void LndpResponder::readDevice(QUdpSocket* socket, VirtualDevice* device)
{
    while (socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = socket->receiveDatagram(LndpMessage::kMaxDatagram + 1);
        // A socket bound to a unicast address receives no broadcasts.
        handle(datagram.data(), datagram.senderAddress(), quint16(datagram.senderPort()), device, true);
    }
}

void LndpResponder::readWildcard()
{
    while (m_wildcard->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_wildcard->receiveDatagram(LndpMessage::kMaxDatagram + 1);
        const QHostAddress sender(datagram.senderAddress().toIPv4Address());
        // Sent to one device's address: that device alone answers.
        VirtualDevice* addressed = nullptr;
        for (const Entry& entry : std::as_const(m_entries)) {
            if (entry.device && entry.device->config().address == datagram.destinationAddress())
                addressed = entry.device;
        }
        if (addressed) {
            handle(datagram.data(), sender, quint16(datagram.senderPort()), addressed, true);
            continue;
        }
        for (const Entry& entry : std::as_const(m_entries)) {
            if (entry.device && inSubnet(entry.device, sender))
                handle(datagram.data(), sender, quint16(datagram.senderPort()), entry.device, false);
        }
    }
}

bool LndpResponder::handle(const QByteArray& bytes, const QHostAddress& sender, quint16 senderPort,
                           VirtualDevice* device, bool addressed)
{
    if (bytes.size() > LndpMessage::kMaxDatagram) {
        Q_EMIT log(QStringLiteral("%1 lndp ignored %2-byte datagram from %3: too long")
                       .arg(device->config().id)
                       .arg(bytes.size())
                       .arg(sender.toString()));
        return false;
    }
    LndpMessage::Datagram datagram;
    const LndpMessage::ParseError result = LndpMessage::parse(bytes, datagram);
    if (result != LndpMessage::ParseError::None) {
        Q_EMIT log(QStringLiteral("%1 lndp ignored datagram from %2: %3")
                       .arg(device->config().id, sender.toString(), QLatin1String(LndpMessage::errorText(result))));
        return false;
    }
    if (!LndpMessage::isAnnouncement(datagram))
        return false; // answers of other devices, other services
    if (device->faults().lndpSilent || device->isRebooting())
        return false;
    if (!addressed && device->faults().broadcastDeaf) {
        Q_EMIT log(QStringLiteral("%1 lndp ignored broadcast from %2: deaf to broadcasts")
                       .arg(device->config().id, sender.toString()));
        return false;
    }
    answer(device, sender, senderPort);
    return true;
}

void LndpResponder::answer(VirtualDevice* device, const QHostAddress& to, quint16 port)
{
    for (const Entry& entry : std::as_const(m_entries)) {
        if (entry.device != device)
            continue;
        const DeviceConfig& config = device->config();
        const QHostAddress claimed = config.claimedAddress.isNull() ? config.address : config.claimedAddress;
        const QByteArray response = LndpMessage::buildResponse(claimed, config.mac, config.model, config.name);
        entry.socket->writeDatagram(response, to, port);
        Q_EMIT log(QStringLiteral("%1 lndp answered %2:%3").arg(config.id, to.toString()).arg(port));
        return;
    }
}
