#include "PushLink.h"

#include "KnownDevices.h"
#include "Logger.h"
#include "PeerTrust.h"
#include "WebSocketClient.h"

#include <QNetworkProxy>
#include <QRandomGenerator>
#include <QSet>
#include <QSslSocket>
#include <QWebSocket>
#include <QWebSocketProtocol>

#include <utility>

namespace {

// Sockets we closed whose closing handshake still runs (push thread only).
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

// The reasons Qt gives when it closes a link itself, on what a device sent:
// such a close is the program's, not the device's.
bool closedByQt(const QString& reason)
{
    static const char* const kReasons[] = {
        "Maximum framesize exceeded.",
        "Received message is too big.",
        "Invalid UTF-8 code encountered.",
        "Received Continuation frame",
        "All data frames after the initial data frame",
        "Timeout when reading data from socket.",
        "Rsv field is non-zero",
        "Used reserved opcode",
        "Invalid opcode detected",
        "Control frame is larger than 125 bytes",
        "Control frames cannot be fragmented",
        "Payload of close frame is too small.",
        "Header is too large.",
        "Highest bit of payload length is not 0.",
        "Lengths smaller than",
    };
    for (const char* known : kReasons) {
        if (reason.startsWith(QLatin1String(known)))
            return true;
    }
    return false;
}

} // namespace

QWebSocket* PushLink::newSocket(QObject* parent)
{
    auto* socket = new QWebSocket(QString(), QWebSocketProtocol::Version13, parent);
    // Qt would take up to 2 GiB before handing a message on.
    socket->setMaxAllowedIncomingMessageSize(kMaxMessageBytes);
    socket->setMaxAllowedIncomingFrameSize(kMaxMessageBytes);
    return socket;
}

int PushLink::closingCount()
{
    return int(closingSockets().size());
}

void PushLink::cutOffClosing()
{
    const QSet<QWebSocket*> left = std::exchange(closingSockets(), {});
    for (QWebSocket* socket : left) {
        socket->abort();
        delete socket;
    }
}

void PushLink::lingerWhileClosing(QWebSocket* socket)
{
    // Nobody's child from here; the set owns it, and the program's end takes
    // what is left.
    socket->setParent(nullptr);
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

QByteArray PushLink::closeFrame(int code)
{
    // FIN and the close opcode; a masked payload of two bytes, the code
    // (a client masks everything it sends).
    const quint32 mask = QRandomGenerator::global()->generate();
    QByteArray frame;
    frame.append(char(0x88));
    frame.append(char(0x80 | 2));
    for (int shift = 24; shift >= 0; shift -= 8)
        frame.append(char((mask >> shift) & 0xFF));
    const auto value = quint16(code);
    frame.append(char((value >> 8) ^ (mask >> 24)));
    frame.append(char((value & 0xFF) ^ ((mask >> 16) & 0xFF)));
    return frame;
}

PushLink::PushLink(std::shared_ptr<PushInbox> inbox, int handshakeTimeoutMs)
    : m_inbox(std::move(inbox))
    , m_socket(newSocket(this))
    , m_pingTimer(this)
    , m_handshakeTimer(this)
{
    m_pingTimer.setInterval(kPingIntervalMs);
    m_handshakeTimer.setSingleShot(true);
    m_handshakeTimer.setInterval(handshakeTimeoutMs);
    connect(&m_handshakeTimer, &QTimer::timeout, this, &PushLink::onHandshakeTimeout);
    connect(&m_pingTimer, &QTimer::timeout, this, &PushLink::sendPing);
}

PushLink::~PushLink()
{
    close();
}

void PushLink::open(const QNetworkRequest& request, std::shared_ptr<PeerTrust> trust, const QString& deviceId)
{
    m_trust = std::move(trust);
    m_deviceId = deviceId;
    connect(m_socket, &QWebSocket::connected, this, &PushLink::onConnected);
    connect(m_socket, &QWebSocket::disconnected, this, &PushLink::onDisconnected);
    connect(m_socket, &QWebSocket::stateChanged, this, &PushLink::onStateChanged);
    connect(m_socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this, &PushLink::onErrored);
    connect(m_socket, &QWebSocket::sslErrors, this, &PushLink::onSslErrors);
    m_link = Link::Opening;
    ++m_attempt;

    m_socket->setProxy(QNetworkProxy::NoProxy);
    // Every certificate comes to onSslErrors when there is a trust.
    if (m_trust)
        m_socket->setSslConfiguration(PeerTrust::everyKeyAsked(m_socket->sslConfiguration()));
    // QWebSocket has no handshake time-out of its own: a device that stalls
    // TLS or the upgrade would leave the channel connecting for ever.
    m_handshakeTimer.start();
    m_socket->open(request);
    boundTransport();
}

// What the connection reads per turn is bounded, and so is what it holds
// unsent (looked at after each read).
void PushLink::boundTransport()
{
    QAbstractSocket* socket = transport();
    if (!socket || socket->readBufferSize() == kReadChunkBytes)
        return;
    socket->setReadBufferSize(kReadChunkBytes);
    connect(socket, &QIODevice::readyRead, this, &PushLink::onTransportRead);
}

QAbstractSocket* PushLink::transport() const
{
    return m_socket->findChild<QAbstractSocket*>(QString(), Qt::FindDirectChildrenOnly);
}

void PushLink::close()
{
    if (m_link == Link::Closed || m_link == Link::Closing)
        return;
    m_handshakeTimer.stop();
    m_pingTimer.stop();
    const bool wasUp = isUp(m_link);
    m_link = Link::Closing;
    detachSocket();
    if (wasUp && m_socket->state() == QAbstractSocket::ConnectedState) {
        // The closing handshake runs on without us: cut off, the close
        // could be lost to the device (a socket closed with unread
        // notifications is reset).
        lingerWhileClosing(m_socket);
        m_socket = newSocket(this);
    } else if (m_socket->state() != QAbstractSocket::UnconnectedState) {
        m_socket->abort();
    }
    ++m_attempt; // nothing pending of this link reports any more
    m_link = Link::Closed;
}

void PushLink::detachSocket()
{
    disconnect(m_socket, nullptr, this, nullptr);
    if (QAbstractSocket* socket = transport())
        disconnect(socket, nullptr, this, nullptr);
}

void PushLink::post(PushEvent event)
{
    bool notify = false;
    bool overflow = false;
    {
        std::lock_guard<std::mutex> locker(m_inbox->lock);
        if (m_inbox->closed)
            return;
        if (event.kind == PushEvent::Kind::Message) {
            const qint64 size = event.text.size() * qint64(sizeof(QChar));
            overflow = m_inbox->messages >= PushInbox::kMaxMessages || m_inbox->bytes + size > PushInbox::kMaxBytes;
            if (!overflow) {
                ++m_inbox->messages;
                m_inbox->bytes += size;
            }
        }
        if (!overflow) {
            m_inbox->events.push_back(std::move(event));
            notify = !std::exchange(m_inbox->notified, true);
        }
    }
    if (overflow) {
        failAndClose(WebSocketClient::kChannelFlooded, QWebSocketProtocol::CloseCodePolicyViolated,
                     QStringLiteral("the device pushes more than %1 messages ahead of the program")
                         .arg(PushInbox::kMaxMessages));
        return;
    }
    if (notify)
        Q_EMIT eventsWaiting();
}

void PushLink::onConnected()
{
    if (m_link != Link::Opening && m_link != Link::Ended)
        return;
    m_handshakeTimer.stop();
    m_link = Link::Up;
    boundTransport();
    m_missedPongs = 0;
    m_fragments = 0;
    connect(m_socket, &QWebSocket::textMessageReceived, this, &PushLink::onTextMessage);
    connect(m_socket, &QWebSocket::textFrameReceived, this, [this](const QString&, bool last) { onFrame(last); });
    connect(m_socket, &QWebSocket::binaryFrameReceived, this, [this](const QByteArray&, bool last) { onFrame(last); });
    connect(m_socket, &QWebSocket::pong, this, [this] { m_missedPongs = 0; });
    m_pingTimer.start();
    post({PushEvent::Kind::Connected, 0, {}});
}

void PushLink::onDisconnected()
{
    m_handshakeTimer.stop();
    if (!isUp(m_link))
        return; // the channel never came up: nothing to take down or report
    const bool unreported = m_link == Link::Up;
    m_link = Link::Ended;
    if (unreported && m_ownClose == 0) {
        // A close on a fault (a message Qt refused, or a device's close with
        // such a code) is a failed link, retried, not the device's own end.
        const int code = int(m_socket->closeCode());
        if (code != QWebSocketProtocol::CloseCodeNormal && code != QWebSocketProtocol::CloseCodeGoingAway
            && code != QWebSocketProtocol::CloseCodeMissingStatusCode
            && code != QWebSocketProtocol::CloseCodeAbnormalDisconnection) {
            const QString reason = m_socket->closeReason();
            CORVANE_LOG(closedByQt(reason) ? QStringLiteral("push channel of %1 closed by the program (%2): %3")
                                                 .arg(m_deviceId)
                                                 .arg(code)
                                                 .arg(reason)
                                           : QStringLiteral("push channel of %1 closed by the device on a fault (%2)")
                                                 .arg(m_deviceId)
                                                 .arg(code));
            post({PushEvent::Kind::Error, WebSocketClient::closedOnFault(code), {}});
        }
    }
    takeDown();
}

// Ends what a running link had and reports it.
void PushLink::takeDown()
{
    m_pingTimer.stop();
    disconnect(m_socket, &QWebSocket::textMessageReceived, this, nullptr);
    disconnect(m_socket, &QWebSocket::textFrameReceived, this, nullptr);
    disconnect(m_socket, &QWebSocket::binaryFrameReceived, this, nullptr);
    disconnect(m_socket, &QWebSocket::pong, this, nullptr);
    post({PushEvent::Kind::Disconnected, 0, {}});
}

void PushLink::onTextMessage(const QString& message)
{
    if (m_link == Link::Up || m_link == Link::UpFailed)
        post({PushEvent::Kind::Message, 0, message});
}

// Every frame of a message, text or binary: a message that comes in too
// many pieces, or too slowly, is ended here; Qt bounds only its size.
void PushLink::onFrame(bool last)
{
    if (m_fragments++ == 0)
        m_messageStarted.start();
    if (last) {
        m_fragments = 0;
        return;
    }
    if (m_fragments >= kMaxFragments)
        failAndClose(WebSocketClient::kMessageTooFragmented, QWebSocketProtocol::CloseCodeTooMuchData,
                     QStringLiteral("a message came in more than %1 frames").arg(kMaxFragments));
    else if (m_messageStarted.hasExpired(kMaxMessageMs))
        failAndClose(WebSocketClient::kMessageTooSlow, QWebSocketProtocol::CloseCodePolicyViolated,
                     QStringLiteral("a message took longer than %1 ms").arg(kMaxMessageMs));
}

void PushLink::onTransportRead()
{
    QAbstractSocket* socket = transport();
    if (!socket || !isUp(m_link))
        return;
    // A TLS socket holds what waits in two places: the text not yet
    // encrypted, and the records the system has not taken yet.
    qint64 unsent = socket->bytesToWrite();
    if (const auto* tls = qobject_cast<QSslSocket*>(socket))
        unsent += tls->encryptedBytesToWrite();
    if (unsent <= kMaxUnsentBytes)
        return;
    // What the device does not read (answers to its pings) would pile up
    // without end; a device that cannot take a close gets none.
    fail(WebSocketClient::kPeerNotReading,
         QStringLiteral("the device reads nothing of what the channel sends (%1 bytes waiting)").arg(unsent));
    m_ownClose = WebSocketClient::kPeerNotReading;
    m_socket->abort();
}

// A failure found by the link itself: reported once, named as ours.
void PushLink::fail(int32_t error, const QString& why)
{
    if (m_ownClose != 0 || !isUp(m_link))
        return;
    CORVANE_LOG(QStringLiteral("push channel of %1 closed by the program: %2").arg(m_deviceId, why));
    m_link = Link::UpFailed;
    post({PushEvent::Kind::Error, error, {}});
}

void PushLink::failAndClose(int32_t error, int closeCode, const QString& why)
{
    if (m_ownClose != 0 || !isUp(m_link))
        return;
    fail(error, why);
    m_ownClose = error;
    m_socket->close(QWebSocketProtocol::CloseCode(closeCode), why);
    // A device that takes no close either is cut off.
    QWebSocket* const socket = m_socket;
    QTimer::singleShot(kCloseGraceMs, socket, [socket] { socket->abort(); });
}

void PushLink::onStateChanged(QAbstractSocket::SocketState state)
{
    post({PushEvent::Kind::State, int32_t(state), {}});
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
            post({PushEvent::Kind::Error, WebSocketClient::kHandshakeRefused, {}});
        },
        Qt::QueuedConnection);
}

void PushLink::onErrored(QAbstractSocket::SocketError socketError)
{
    if (m_link == Link::Closing || m_link == Link::Closed || m_ownClose != 0)
        return;
    if (isUp(m_link)) {
        m_link = Link::UpFailed;
    } else {
        m_link = Link::Ended;
        m_handshakeTimer.stop();
    }
    CORVANE_LOG(QStringLiteral("push channel error %1: %2").arg(int(socketError)).arg(m_socket->errorString()));
    post({PushEvent::Kind::Error, WebSocketClient::errorCode(socketError), {}});
}

void PushLink::onSslErrors(const QList<QSslError>& errors)
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

void PushLink::sendPing()
{
    // A message whose frames stopped coming is ended here too.
    if (m_fragments > 0 && m_messageStarted.hasExpired(kMaxMessageMs)) {
        failAndClose(WebSocketClient::kMessageTooSlow, QWebSocketProtocol::CloseCodePolicyViolated,
                     QStringLiteral("a message took longer than %1 ms").arg(kMaxMessageMs));
        return;
    }
    if (++m_missedPongs > kMissedPongLimit) {
        post({PushEvent::Kind::Error, WebSocketClient::kKeepAliveFailed, {}});
        return;
    }
    m_socket->ping(QByteArray());
}

void PushLink::onHandshakeTimeout()
{
    if (m_link != Link::Opening)
        return;
    CORVANE_LOG(QStringLiteral("push channel handshake timed out after %1 ms").arg(m_handshakeTimer.interval()));
    m_link = Link::Ended;
    post({PushEvent::Kind::Error, WebSocketClient::kHandshakeTimedOut, {}});
    m_socket->abort();
}
