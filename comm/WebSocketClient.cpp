#include "WebSocketClient.h"

#include "DeviceEndpoints.h"
#include "Logger.h"
#include "NetworkUtils.h"

#include <QMutexLocker>
#include <QNetworkProxy>
#include <QWebSocketProtocol>

WebSocketClient::WebSocketClient(QObject* parent, int handshakeTimeoutMs)
    : QObject(parent)
    , m_socket(QString(), QWebSocketProtocol::Version13)
{
    m_pingTimer.setInterval(kPingIntervalMs);
    // Qt would take up to 2 GiB before handing a message on.
    m_socket.setMaxAllowedIncomingMessageSize(kMaxMessageBytes);
    m_socket.setMaxAllowedIncomingFrameSize(kMaxMessageBytes);
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

void WebSocketClient::open(const char* host, const char* scheme, int port, const char* authCode)
{
    connect(&m_socket, &QWebSocket::connected, this, &WebSocketClient::onConnected);
    connect(&m_socket, &QWebSocket::disconnected, this, &WebSocketClient::onDisconnected);
    connect(&m_socket, &QWebSocket::stateChanged, this, &WebSocketClient::onStateChanged);
    connect(&m_socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this, &WebSocketClient::onErrored);
    connect(&m_socket, &QWebSocket::sslErrors, this, &WebSocketClient::onSslErrored);
    m_link = Link::Opening;
    ++m_attempt;

    m_socket.setProxy(QNetworkProxy::NoProxy);
    const QNetworkRequest request
        = NetworkUtils::createNetworkRequest(scheme, host, DeviceEndpoints::kPushPath, nullptr, port, authCode);
    // QWebSocket has no handshake time-out of its own: a device that stalls
    // TLS or the upgrade would leave the channel connecting for ever.
    m_handshakeTimer.start();
    m_socket.open(request);
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
    if (m_socket.state() != QAbstractSocket::UnconnectedState) {
        m_socket.close(QWebSocketProtocol::CloseCodeNormal, QString());
        // The socket goes down now, not when the device answers the close.
        m_socket.flush();
        if (m_socket.state() != QAbstractSocket::UnconnectedState)
            m_socket.abort();
    }
    if (wasUp)
        takeDown();
    detachSocket();
    ++m_attempt; // nothing pending of this link reports any more
    m_link = Link::Closed;
}

void WebSocketClient::detachSocket()
{
    disconnect(&m_socket, &QWebSocket::connected, this, &WebSocketClient::onConnected);
    disconnect(&m_socket, &QWebSocket::disconnected, this, &WebSocketClient::onDisconnected);
    disconnect(&m_socket, &QWebSocket::stateChanged, this, &WebSocketClient::onStateChanged);
    disconnect(&m_socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this,
               &WebSocketClient::onErrored);
    disconnect(&m_socket, &QWebSocket::sslErrors, this, &WebSocketClient::onSslErrored);
    disconnect(&m_socket, &QWebSocket::textMessageReceived, this, &WebSocketClient::onReceivedTextMessage);
    disconnect(&m_socket, &QWebSocket::pong, this, &WebSocketClient::receivePong);
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
    connect(&m_socket, &QWebSocket::textMessageReceived, this, &WebSocketClient::onReceivedTextMessage);
    connect(&m_pingTimer, &QTimer::timeout, this, &WebSocketClient::sendPing);
    m_pingTimer.start();
    connect(&m_socket, &QWebSocket::pong, this, &WebSocketClient::receivePong);
    Q_EMIT connected();
}

void WebSocketClient::onDisconnected()
{
    m_handshakeTimer.stop();
    if (!isUp(m_link))
        return; // the channel never came up: nothing to take down or report
    // Qt closes a link whose message is too large with 1009 and reports no
    // error; for us it is a failed link, not the device's own close.
    const bool tooLarge = m_link == Link::Up && m_socket.closeCode() == QWebSocketProtocol::CloseCodeTooMuchData;
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
    disconnect(&m_socket, &QWebSocket::pong, this, &WebSocketClient::receivePong);
    disconnect(&m_socket, &QWebSocket::textMessageReceived, this, &WebSocketClient::onReceivedTextMessage);
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
            CORVANE_LOG(QStringLiteral("push channel ended before the upgrade: %1").arg(m_socket.errorString()));
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
    CORVANE_LOG(QStringLiteral("push channel error %1: %2").arg(int(socketError)).arg(m_socket.errorString()));
    Q_EMIT errored(errorCode(socketError));
}

void WebSocketClient::onSslErrored(const QList<QSslError>& errors)
{
    m_socket.ignoreSslErrors(errors);
}

void WebSocketClient::sendPing()
{
    QMutexLocker locker(&m_lock);
    ++m_missedPongs;
    if (m_missedPongs > kMissedPongLimit) {
        Q_EMIT errored(kKeepAliveFailed);
        return;
    }
    m_socket.ping(QByteArray());
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
    m_socket.abort();
}
