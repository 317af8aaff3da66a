#include "PushHub.h"

#include "VirtualDevice.h"

#include <QSslSocket>
#include <QWebSocket>
#include <QWebSocketServer>

#include <memory>

namespace {

constexpr qint64 kFrameSize = 256 * 1024;
constexpr qint64 kWriteAhead = 1024 * 1024;
constexpr int kStreamTickMs = 2;

// A server frame of a fragmented text message: unmasked, opcode text for the
// first fragment and continuation for the others, FIN on the last.
QByteArray frameHeader(bool first, bool last, qint64 length)
{
    QByteArray header;
    header.append(char((last ? 0x80 : 0x00) | (first ? 0x1 : 0x0)));
    if (length < 126) {
        header.append(char(length));
    } else if (length <= 0xFFFF) {
        header.append(char(126));
        header.append(char(length >> 8));
        header.append(char(length & 0xFF));
    } else {
        header.append(char(127));
        for (int shift = 56; shift >= 0; shift -= 8)
            header.append(char((length >> shift) & 0xFF));
    }
    return header;
}

} // namespace

PushHub::PushHub(VirtualDevice* device, QObject* parent)
    : QObject(parent)
    , m_device(device)
    , m_server(new QWebSocketServer(QStringLiteral("corvane-virtual-device"), QWebSocketServer::NonSecureMode, this))
{
    connect(m_server, &QWebSocketServer::newConnection, this, &PushHub::onNewConnection);
    m_streamTimer.setInterval(kStreamTickMs);
    connect(&m_streamTimer, &QTimer::timeout, this, &PushHub::pump);
}

PushHub::~PushHub()
{
    for (const Channel& channel : std::as_const(m_channels)) {
        if (channel.webSocket)
            channel.webSocket->abort();
    }
}

void PushHub::adopt(QSslSocket* socket)
{
    // TLS is already up on this socket, so the server runs in non-secure mode
    // and sees the plain upgrade request.
    socket->setParent(this);
    m_handshaking.append(socket);
    connect(socket, &QAbstractSocket::disconnected, this, [this, socket] {
        if (m_handshaking.removeAll(socket) > 0)
            socket->deleteLater();
    });
    m_server->handleConnection(socket);
}

void PushHub::onNewConnection()
{
    while (m_server->hasPendingConnections()) {
        QWebSocket* webSocket = m_server->nextPendingConnection();
        if (!webSocket)
            return;
        webSocket->setParent(this);
        QPointer<QSslSocket> socket;
        for (qsizetype i = 0; i < m_handshaking.size(); ++i) {
            QSslSocket* candidate = m_handshaking.at(i);
            if (candidate && candidate->peerPort() == webSocket->peerPort()
                && candidate->peerAddress() == webSocket->peerAddress()) {
                socket = candidate;
                m_handshaking.removeAt(i);
                break;
            }
        }
        if (socket) {
            disconnect(socket, nullptr, this, nullptr);
            // The WebSocket now owns the socket; keep it from being deleted
            // twice when the hub goes.
            if (socket->parent() == this)
                socket->setParent(webSocket);
            if (!m_pingsAnswered)
                socket->blockSignals(true);
        }
        m_channels.append({webSocket, socket, std::make_shared<Outbox>()});
        // A close frame, ours or the client's (answered), comes with
        // aboutToClose; a channel that just went down had none: 1006.
        auto handshake = std::make_shared<bool>(false);
        connect(webSocket, &QWebSocket::aboutToClose, this, [handshake] { *handshake = true; });
        connect(webSocket, &QWebSocket::disconnected, this, [this, webSocket, handshake] {
            for (qsizetype i = 0; i < m_channels.size(); ++i) {
                if (m_channels.at(i).webSocket == webSocket) {
                    m_channels.removeAt(i);
                    break;
                }
            }
            const int code = *handshake ? int(webSocket->closeCode()) : 1006;
            Q_EMIT m_device->event(QStringLiteral("push closed code=%1").arg(code));
            webSocket->deleteLater();
        });
        Q_EMIT m_device->event(QStringLiteral("push connected"));
    }
}

int PushHub::sendText(const QString& text)
{
    int sent = 0;
    const QList<Channel> channels = m_channels;
    for (const Channel& channel : channels) {
        if (channel.webSocket) {
            send(channel, {Pending::Kind::Text, text, QByteArray(), PaddedJson()});
            ++sent;
        }
    }
    return sent;
}

void PushHub::sendBinary(const QByteArray& data)
{
    const QList<Channel> channels = m_channels;
    for (const Channel& channel : channels) {
        if (channel.webSocket)
            send(channel, {Pending::Kind::Binary, QString(), data, PaddedJson()});
    }
}

int PushHub::sendPadded(const PaddedJson& text)
{
    int sent = 0;
    const QList<Channel> channels = m_channels;
    for (const Channel& channel : channels) {
        if (channel.webSocket) {
            send(channel, {Pending::Kind::Padded, QString(), QByteArray(), text});
            ++sent;
        }
    }
    return sent;
}

void PushHub::send(const Channel& channel, Pending message)
{
    if (channel.outbox->streaming) {
        channel.outbox->waiting.append(std::move(message));
        return;
    }
    deliver(channel, std::move(message));
    if (channel.outbox->streaming) {
        m_streamTimer.start();
        pumpChannel(channel);
    }
}

void PushHub::deliver(const Channel& channel, Pending message)
{
    if (!channel.webSocket)
        return;
    switch (message.kind) {
    case Pending::Kind::Text:
        channel.webSocket->sendTextMessage(message.text);
        return;
    case Pending::Kind::Binary:
        channel.webSocket->sendBinaryMessage(message.data);
        return;
    case Pending::Kind::Padded:
        if (!channel.socket) {
            // No socket of our own to stream on: the whole text at once.
            channel.webSocket->sendTextMessage(QString::fromUtf8(message.padded.take(message.padded.remaining())));
            return;
        }
        channel.outbox->streaming = true;
        channel.outbox->firstFrame = true;
        channel.outbox->current = message.padded;
        return;
    }
}

void PushHub::pump()
{
    bool streaming = false;
    const QList<Channel> channels = m_channels;
    for (const Channel& channel : channels) {
        if (channel.outbox->streaming)
            pumpChannel(channel);
        streaming = streaming || channel.outbox->streaming;
    }
    if (!streaming)
        m_streamTimer.stop();
}

void PushHub::pumpChannel(const Channel& channel)
{
    Outbox& outbox = *channel.outbox;
    QSslSocket* socket = channel.socket;
    if (!socket || !channel.webSocket || socket->state() != QAbstractSocket::ConnectedState) {
        stopStreaming(channel);
        return;
    }
    while (outbox.streaming && socket->bytesToWrite() + socket->encryptedBytesToWrite() < kWriteAhead) {
        const QByteArray payload = outbox.current.take(kFrameSize);
        const bool last = outbox.current.remaining() == 0;
        // Header and payload in one write: the WebSocket's own control
        // frames (pongs) can only come between two fragments, never inside one.
        socket->write(frameHeader(outbox.firstFrame, last, payload.size()) + payload);
        outbox.firstFrame = false;
        if (!last)
            continue;
        outbox.streaming = false;
        // What waited goes out in order, up to the next streamed message.
        while (!outbox.streaming && !outbox.waiting.isEmpty())
            deliver(channel, outbox.waiting.takeFirst());
    }
}

void PushHub::stopStreaming(const Channel& channel)
{
    channel.outbox->streaming = false;
    channel.outbox->current = PaddedJson();
    channel.outbox->waiting.clear();
}

int PushHub::closeAll()
{
    const QList<Channel> channels = m_channels;
    for (const Channel& channel : channels) {
        // A message cut short: the close frame follows its last fragment.
        stopStreaming(channel);
        if (channel.socket)
            channel.socket->blockSignals(false);
        if (channel.webSocket)
            channel.webSocket->close(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("closed by device"));
    }
    return int(channels.size());
}

int PushHub::dropAll()
{
    const QList<QPointer<QSslSocket>> handshaking = m_handshaking;
    for (const QPointer<QSslSocket>& socket : handshaking) {
        if (socket)
            socket->abort();
    }
    const QList<Channel> channels = m_channels;
    for (const Channel& channel : channels) {
        stopStreaming(channel);
        if (channel.webSocket)
            channel.webSocket->flush();
        if (channel.socket) {
            channel.socket->blockSignals(false);
            channel.socket->flush();
            channel.socket->abort();
        }
        if (channel.webSocket)
            channel.webSocket->abort();
    }
    return int(channels.size());
}

void PushHub::setPingsAnswered(bool answered)
{
    m_pingsAnswered = answered;
    for (const Channel& channel : std::as_const(m_channels)) {
        if (!channel.socket)
            continue;
        channel.socket->blockSignals(!answered);
        if (!answered)
            continue;
        // Catch up with what arrived while the channel was deaf.
        if (channel.socket->state() != QAbstractSocket::ConnectedState) {
            if (channel.webSocket)
                channel.webSocket->abort();
        } else if (channel.socket->bytesAvailable() > 0) {
            Q_EMIT channel.socket->readyRead();
        }
    }
}
