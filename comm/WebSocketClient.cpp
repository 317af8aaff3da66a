#include "WebSocketClient.h"

#include "DeviceEndpoints.h"
#include "NetworkUtils.h"
#include "PeerTrust.h"
#include "PushLink.h"
#include "PushThread.h"

#include <QPointer>

#include <utility>
#include <vector>

WebSocketClient::WebSocketClient(QObject* parent, int handshakeTimeoutMs)
    : QObject(parent)
    , m_handshakeTimeoutMs(handshakeTimeoutMs)
{
    m_nextTurn.setSingleShot(true);
    m_nextTurn.setInterval(0);
    connect(&m_nextTurn, &QTimer::timeout, this, &WebSocketClient::drain);
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

bool WebSocketClient::isChannelFault(int32_t error)
{
    if (!ResultCode::isFailure(error) || ResultCode::facilityOf(error) != ResultCode::Facility::WebSocketClient)
        return false;
    const uint32_t code = uint32_t(error) & 0xFFFF;
    // Close codes from 1002 on, and the link's own bounds.
    return (code >= 1002 && code <= 4999) || (code >= 0x1001 && code <= 0x1004);
}

bool WebSocketClient::finishClosing(int timeoutMs)
{
    return PushThread::finishClosing(timeoutMs);
}

void WebSocketClient::setPeer(std::shared_ptr<PeerTrust> trust, const QString& deviceId)
{
    m_trust = std::move(trust);
    m_deviceId = deviceId;
}

void WebSocketClient::open(const char* host, const char* scheme, int port, const char* authCode)
{
    if (m_link)
        return;
    m_inbox = std::make_shared<PushInbox>();
    m_link = new PushLink(m_inbox, m_handshakeTimeoutMs);
    // Queued from the push thread; nothing comes once this client is gone.
    connect(m_link, &PushLink::eventsWaiting, this, &WebSocketClient::drain, Qt::QueuedConnection);
    PushThread::adopt(m_link);
    const QNetworkRequest request
        = NetworkUtils::createNetworkRequest(scheme, host, DeviceEndpoints::kPushPath, nullptr, port, authCode);
    PushThread::run(m_link, [request, trust = m_trust, deviceId = m_deviceId](PushLink& link) {
        link.open(request, trust, deviceId);
    });
}

void WebSocketClient::close()
{
    if (!m_link)
        return;
    {
        std::lock_guard<std::mutex> locker(m_inbox->lock);
        m_inbox->closed = true;
        m_inbox->events.clear();
    }
    m_nextTurn.stop();
    disconnect(m_link, nullptr, this, nullptr);
    PushThread::close(std::exchange(m_link, nullptr));
    // Our own close is no failure of the channel: only its end is told.
    if (m_state != QAbstractSocket::UnconnectedState) {
        m_state = QAbstractSocket::UnconnectedState;
        Q_EMIT stateChanged(m_state);
    }
    if (std::exchange(m_up, false))
        Q_EMIT disconnected();
}

// Hands on what the link reported, in its order: every state change and
// error, but only so many messages per turn; the rest in a later turn.
void WebSocketClient::drain()
{
    if (!m_link)
        return;
    std::vector<PushEvent> turn;
    {
        std::lock_guard<std::mutex> locker(m_inbox->lock);
        int messages = 0;
        qint64 bytes = 0;
        while (!m_inbox->events.empty()) {
            PushEvent& next = m_inbox->events.front();
            if (next.kind == PushEvent::Kind::Message) {
                const qint64 size = next.text.size() * qint64(sizeof(QChar));
                if (messages == kMessagesPerTurn || (messages > 0 && bytes + size > kBytesPerTurn))
                    break;
                ++messages;
                bytes += size;
                --m_inbox->messages;
                m_inbox->bytes -= size;
            }
            turn.push_back(std::move(next));
            m_inbox->events.pop_front();
        }
        // Told again only once this turn's events are all taken.
        m_inbox->notified = !m_inbox->events.empty();
    }
    if (m_inbox->notified)
        m_nextTurn.start();
    const QPointer<WebSocketClient> self(this);
    const PushLink* const link = m_link;
    for (PushEvent& event : turn) {
        // A handler may have closed (or destroyed) this client meanwhile.
        if (!self || m_link != link)
            return;
        switch (event.kind) {
        case PushEvent::Kind::Connected:
            m_up = true;
            Q_EMIT connected();
            break;
        case PushEvent::Kind::Disconnected:
            if (std::exchange(m_up, false))
                Q_EMIT disconnected();
            break;
        case PushEvent::Kind::State:
            m_state = QAbstractSocket::SocketState(event.value);
            Q_EMIT stateChanged(m_state);
            break;
        case PushEvent::Kind::Error:
            Q_EMIT errored(event.value);
            break;
        case PushEvent::Kind::Message:
            Q_EMIT receivedTextMessage(event.text);
            break;
        }
    }
}
