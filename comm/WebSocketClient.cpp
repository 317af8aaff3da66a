#include "WebSocketClient.h"

#include "DeviceEndpoints.h"
#include "Logger.h"
#include "NetworkUtils.h"
#include "PeerTrust.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMutexLocker>
#include <QNetworkProxy>
#include <QRandomGenerator>
#include <QSet>
#include <QWebSocketProtocol>

#include <algorithm>
#include <utility>

namespace {

// Sockets we closed whose closing handshake still runs (user-interface
// thread only).
QSet<QWebSocket*>& closingSockets()
{
    static QSet<QWebSocket*> sockets;
    return sockets;
}

void forgetClosing(QWebSocket* socket)
{
    if (closingSockets().remove(socket))
        socket->deleteLater();
}

// At the application's end whatever still closes is cut off, while the
// application (and the TLS layer it holds) is still there.
void cutOffClosing()
{
    const QSet<QWebSocket*> left = std::exchange(closingSockets(), {});
    for (QWebSocket* socket : left) {
        socket->abort();
        delete socket;
    }
}

} // namespace

QWebSocket* WebSocketClient::newSocket(QObject* parent)
{
    auto* socket = new QWebSocket(QString(), QWebSocketProtocol::Version13, parent);
    // Qt would take up to 2 GiB before handing a message on.
    socket->setMaxAllowedIncomingMessageSize(kMaxMessageBytes);
    socket->setMaxAllowedIncomingFrameSize(kMaxMessageBytes);
    return socket;
}

void WebSocketClient::lingerWhileClosing(QWebSocket* socket)
{
    // Nobody's child from here; the set owns it, and the application's end
    // takes what is left.
    socket->setParent(nullptr);
    static const bool cutOffAtTheEnd = [] {
        qAddPostRoutine(cutOffClosing);
        return true;
    }();
    Q_UNUSED(cutOffAtTheEnd)
    closingSockets().insert(socket);
    connect(socket, &QWebSocket::disconnected, socket, [socket] { forgetClosing(socket); });
    // A device that never answers the close is cut off after a while.
    QTimer::singleShot(kCloseGraceMs, socket, [socket] {
        socket->abort();
        forgetClosing(socket);
    });
    // QWebSocket (Qt 6.4) closes its connection as soon as it has sent its
    // close frame; notifications still on their way then make the kernel
    // reset the connection, and the device loses the close. The frame goes
    // out on the connection itself instead, and QWebSocket reads on until
    // the device's answer, which it echoes before it closes.
    auto* const transport = socket->findChild<QAbstractSocket*>(QString(), Qt::FindDirectChildrenOnly);
    if (transport == nullptr || transport->state() != QAbstractSocket::ConnectedState) {
        socket->close(QWebSocketProtocol::CloseCodeNormal, QString());
        return;
    }
    transport->write(closeFrame(QWebSocketProtocol::CloseCodeNormal));
    transport->flush();
}

QByteArray WebSocketClient::closeFrame(QWebSocketProtocol::CloseCode code)
{
    // FIN and the close opcode; a masked payload of two bytes, the code
    // (a client masks everything it sends).
    const quint32 mask = QRandomGenerator::global()->generate();
    QByteArray frame;
    frame.append(char(0x88));
    frame.append(char(0x80 | 2));
    for (int shift = 24; shift >= 0; shift -= 8)
        frame.append(char((mask >> shift) & 0xFF));
    const quint16 value = quint16(code);
    frame.append(char((value >> 8) ^ (mask >> 24)));
    frame.append(char((value & 0xFF) ^ ((mask >> 16) & 0xFF)));
    return frame;
}

bool WebSocketClient::finishClosing(int timeoutMs)
{
    if (closingSockets().isEmpty())
        return true;
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    QTimer poll; // the sockets go by deleteLater: looked at as the loop turns
    connect(&poll, &QTimer::timeout, &loop, [&loop] {
        if (closingSockets().isEmpty())
            loop.quit();
    });
    deadline.start(std::max(0, timeoutMs));
    poll.start(10);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    const QSet<QWebSocket*> left = closingSockets();
    for (QWebSocket* socket : left) {
        socket->abort();
        forgetClosing(socket);
    }
    return left.isEmpty();
}

WebSocketClient::WebSocketClient(QObject* parent, int handshakeTimeoutMs)
    : QObject(parent)
    , m_socket(newSocket(this))
{
    m_pingTimer.setInterval(kPingIntervalMs);
    m_handshakeTimer.setSingleShot(true);
    m_handshakeTimer.setInterval(handshakeTimeoutMs);
    connect(&m_handshakeTimer, &QTimer::timeout, this, &WebSocketClient::onHandshakeTimeout);
}

WebSocketClient::~WebSocketClient()
{
    close();
}

int32_t WebSocketClient::errorCode(QAbstractSocket::SocketError socketError)
{
    return ResultCode::failure(ResultCode::Facility::WebSocketClient,
                               static_cast<uint16_t>(static_cast<int>(socketError) & 0xFFFF));
}

void WebSocketClient::setPeer(std::shared_ptr<PeerTrust> trust, const QString& deviceId)
{
    m_trust = std::move(trust);
    m_deviceId = deviceId;
}

void WebSocketClient::open(const char* host, const char* scheme, int port, const char* authCode)
{
    connect(m_socket, &QWebSocket::connected, this, &WebSocketClient::onConnected);
    connect(m_socket, &QWebSocket::disconnected, this, &WebSocketClient::onDisconnected);
    connect(m_socket, &QWebSocket::stateChanged, this, &WebSocketClient::onStateChanged);
    connect(m_socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this, &WebSocketClient::onErrored);
    connect(m_socket, &QWebSocket::sslErrors, this, &WebSocketClient::onSslErrored);
    m_link = Link::Opening;
    ++m_attempt;

    m_socket->setProxy(QNetworkProxy::NoProxy);
    // Every certificate comes to onSslErrored when there is a trust.
    if (m_trust)
        m_socket->setSslConfiguration(PeerTrust::everyKeyAsked(m_socket->sslConfiguration()));
    const QNetworkRequest request
        = NetworkUtils::createNetworkRequest(scheme, host, DeviceEndpoints::kPushPath, nullptr, port, authCode);
    // QWebSocket has no handshake time-out of its own: a device that stalls
    // TLS or the upgrade would leave the channel connecting for ever.
    m_handshakeTimer.start();
    m_socket->open(request);
}

void WebSocketClient::close()
{
    if (m_link == Link::Closed || m_link == Link::Closing)
        return;
    m_handshakeTimer.stop();
    // Our own close is no failure of the channel: errors it causes are not
    // reported (they would start a reconnection nobody wants).
    const bool wasUp = isUp(m_link);
    m_link = Link::Closing;
    if (wasUp && m_socket->state() == QAbstractSocket::ConnectedState) {
        // The closing handshake runs on without us: cut off, the close
        // could be lost to the device (a socket closed with unread
        // notifications is reset). For us the link is down now.
        detachSocket();
        lingerWhileClosing(m_socket);
        m_socket = newSocket(this);
        Q_EMIT stateChanged(QAbstractSocket::UnconnectedState);
    } else if (m_socket->state() != QAbstractSocket::UnconnectedState) {
        m_socket->abort();
    }
    if (wasUp)
        takeDown();
    detachSocket();
    ++m_attempt; // nothing pending of this link reports any more
    m_link = Link::Closed;
}

void WebSocketClient::detachSocket()
{
    disconnect(m_socket, &QWebSocket::connected, this, &WebSocketClient::onConnected);
    disconnect(m_socket, &QWebSocket::disconnected, this, &WebSocketClient::onDisconnected);
    disconnect(m_socket, &QWebSocket::stateChanged, this, &WebSocketClient::onStateChanged);
    disconnect(m_socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this,
               &WebSocketClient::onErrored);
    disconnect(m_socket, &QWebSocket::sslErrors, this, &WebSocketClient::onSslErrored);
    disconnect(m_socket, &QWebSocket::textMessageReceived, this, &WebSocketClient::onReceivedTextMessage);
    disconnect(m_socket, &QWebSocket::pong, this, &WebSocketClient::receivePong);
}

void WebSocketClient::onConnected()
{
    if (m_link != Link::Opening && m_link != Link::Ended)
        return;
    m_handshakeTimer.stop();
    m_link = Link::Up;
    {
        QMutexLocker locker(&m_lock);
        m_missedPongs = 0;
    }
    connect(m_socket, &QWebSocket::textMessageReceived, this, &WebSocketClient::onReceivedTextMessage);
    connect(&m_pingTimer, &QTimer::timeout, this, &WebSocketClient::sendPing);
    m_pingTimer.start();
    connect(m_socket, &QWebSocket::pong, this, &WebSocketClient::receivePong);
    Q_EMIT connected();
}

void WebSocketClient::onDisconnected()
{
    m_handshakeTimer.stop();
    if (!isUp(m_link))
        return; // the channel never came up: nothing to take down or report
    // Qt closes a link whose message is too large with 1009 and reports no
    // error; for us it is a failed link, not the device's own close.
    const bool tooLarge = m_link == Link::Up && m_socket->closeCode() == QWebSocketProtocol::CloseCodeTooMuchData;
    m_link = Link::Ended;
    if (tooLarge) {
        CORVANE_LOG(QStringLiteral("push channel closed: a message was larger than %1 bytes").arg(kMaxMessageBytes));
        Q_EMIT errored(kMessageTooLarge);
    }
    takeDown();
}

// Ends what a running link had and reports it.
void WebSocketClient::takeDown()
{
    disconnect(m_socket, &QWebSocket::pong, this, &WebSocketClient::receivePong);
    disconnect(m_socket, &QWebSocket::textMessageReceived, this, &WebSocketClient::onReceivedTextMessage);
    m_pingTimer.stop();
    disconnect(&m_pingTimer, &QTimer::timeout, this, &WebSocketClient::sendPing);
    Q_EMIT disconnected();
}

void WebSocketClient::onReceivedTextMessage(const QString& message)
{
    Q_EMIT receivedTextMessage(message);
}

void WebSocketClient::onStateChanged(QAbstractSocket::SocketState state)
{
    Q_EMIT stateChanged(state);
    if (state != QAbstractSocket::UnconnectedState || m_link != Link::Opening)
        return;
    // The attempt ended before the upgrade. The socket may still report why
    // (a refused connection comes after the state), or may not at all (a
    // refused upgrade is not reported as an error everywhere): look again
    // once the socket has had its say.
    m_handshakeTimer.stop();
    const quint64 attempt = m_attempt;
    QMetaObject::invokeMethod(
        this,
        [this, attempt] {
            if (attempt != m_attempt || m_link != Link::Opening)
                return;
            m_link = Link::Ended;
            CORVANE_LOG(QStringLiteral("push channel ended before the upgrade: %1").arg(m_socket->errorString()));
            Q_EMIT errored(kHandshakeRefused);
        },
        Qt::QueuedConnection);
}

void WebSocketClient::onErrored(QAbstractSocket::SocketError socketError)
{
    if (m_link == Link::Closing || m_link == Link::Closed)
        return;
    if (isUp(m_link)) {
        m_link = Link::UpFailed;
    } else {
        m_link = Link::Ended;
        m_handshakeTimer.stop();
    }
    CORVANE_LOG(QStringLiteral("push channel error %1: %2").arg(int(socketError)).arg(m_socket->errorString()));
    Q_EMIT errored(errorCode(socketError));
}

void WebSocketClient::onSslErrored(const QList<QSslError>& errors)
{
    if (m_trust) {
        const QString shown = KnownDevices::digestOf(PeerTrust::shownIn(m_socket->sslConfiguration(), errors));
        // Not ignored, the errors fail the handshake before the upgrade
        // request (and its credential) goes.
        if (m_trust->judge(m_deviceId, m_socket->requestUrl().host(), shown) != PeerTrust::Verdict::Allowed)
            return;
    }
    m_socket->ignoreSslErrors(errors);
}

void WebSocketClient::sendPing()
{
    QMutexLocker locker(&m_lock);
    ++m_missedPongs;
    if (m_missedPongs > kMissedPongLimit) {
        Q_EMIT errored(kKeepAliveFailed);
        return;
    }
    m_socket->ping(QByteArray());
}

void WebSocketClient::receivePong()
{
    QMutexLocker locker(&m_lock);
    m_missedPongs = 0;
}

void WebSocketClient::onHandshakeTimeout()
{
    if (m_link != Link::Opening)
        return;
    CORVANE_LOG(QStringLiteral("push channel handshake timed out after %1 ms").arg(m_handshakeTimer.interval()));
    m_link = Link::Ended;
    Q_EMIT errored(kHandshakeTimedOut);
    m_socket->abort();
}
