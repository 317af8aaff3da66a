#include "PushHub.h"

#include "VirtualDevice.h"

#include <QSslSocket>
#include <QWebSocket>
#include <QWebSocketServer>

PushHub::PushHub(VirtualDevice *device, QObject *parent)
    : QObject(parent)
    , m_device(device)
    , m_server(new QWebSocketServer(QStringLiteral("corvane-virtual-device"), QWebSocketServer::NonSecureMode, this))
{
    connect(m_server, &QWebSocketServer::newConnection, this, &PushHub::onNewConnection);
}

PushHub::~PushHub()
{
    for (const Channel &channel : std::as_const(m_channels)) {
        if (channel.webSocket)
            channel.webSocket->abort();
    }
}

void PushHub::adopt(QSslSocket *socket)
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
        QWebSocket *webSocket = m_server->nextPendingConnection();
        if (!webSocket)
            return;
        webSocket->setParent(this);
        QPointer<QSslSocket> socket;
        for (qsizetype i = 0; i < m_handshaking.size(); ++i) {
            QSslSocket *candidate = m_handshaking.at(i);
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
        m_channels.append({webSocket, socket});
        connect(webSocket, &QWebSocket::disconnected, this, [this, webSocket] {
            for (qsizetype i = 0; i < m_channels.size(); ++i) {
                if (m_channels.at(i).webSocket == webSocket) {
                    m_channels.removeAt(i);
                    break;
                }
            }
            Q_EMIT m_device->event(QStringLiteral("push closed"));
            webSocket->deleteLater();
        });
        Q_EMIT m_device->event(QStringLiteral("push connected"));
    }
}

int PushHub::sendText(const QString &text)
{
    int sent = 0;
    for (const Channel &channel : std::as_const(m_channels)) {
        if (channel.webSocket) {
            channel.webSocket->sendTextMessage(text);
            ++sent;
        }
    }
    return sent;
}

void PushHub::sendBinary(const QByteArray &data)
{
    for (const Channel &channel : std::as_const(m_channels)) {
        if (channel.webSocket)
            channel.webSocket->sendBinaryMessage(data);
    }
}

int PushHub::closeAll()
{
    const QList<Channel> channels = m_channels;
    for (const Channel &channel : channels) {
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
    for (const QPointer<QSslSocket> &socket : handshaking) {
        if (socket)
            socket->abort();
    }
    const QList<Channel> channels = m_channels;
    for (const Channel &channel : channels) {
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
    for (const Channel &channel : std::as_const(m_channels)) {
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
