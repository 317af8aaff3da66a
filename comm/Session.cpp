#include "Session.h"

#include "Logger.h"

Session::Session(const QString& deviceId, const QString& ipAddress, int port, int handshakeTimeoutMs,
                 std::shared_ptr<PeerTrust> trust)
    : m_deviceId(deviceId)
    , m_ipAddress(ipAddress)
    , m_port(port)
    , m_handshakeTimeoutMs(handshakeTimeoutMs)
    , m_trust(std::move(trust))
{
    qRegisterMetaType<Session::SessionState>("Session::SessionState");
}

Session::~Session()
{
    // The connection would otherwise report its end to a half-destroyed
    // session.
    if (m_connection)
        disconnect(m_connection.get(), nullptr, this, nullptr);
}

int32_t Session::openSession(const char* authCode)
{
    if (m_connection)
        return kAlreadyOpen;
    m_connection = std::make_unique<Connection>(nullptr, m_handshakeTimeoutMs);
    connect(m_connection.get(), &Connection::connected, this, &Session::onConnected);
    connect(m_connection.get(), &Connection::disconnected, this, &Session::onDisconnected);
    connect(m_connection.get(), &Connection::receivedTextMessage, this, &Session::onReceivedTextMessage);
    connect(m_connection.get(), &Connection::stateChanged, this, &Session::onStateChanged);
    connect(m_connection.get(), &Connection::errored, this, &Session::onErrored);
    m_connection->setPeer(m_trust, m_deviceId);
    const QByteArray host = m_ipAddress.toUtf8();
    m_connection->openConnection(host.constData(), m_port, authCode);
    return ResultCode::kSuccess;
}

void Session::closeSession()
{
    if (!m_connection)
        return;
    m_closeRequested = true;
    m_connection->closeConnection();
    disconnect(m_connection.get(), nullptr, this, nullptr);
}

void Session::changeState(SessionState state)
{
    if (state == m_state)
        return;
    m_state = state;
    if (state == Connected)
        m_wasConnected = true;
    else if (state == Errored)
        m_failed = true;
    Q_EMIT changedState(m_deviceId, m_port, state);
    if (state == Disconnected && m_wasConnected && !m_failed && !m_closeRequested)
        Q_EMIT closedByPeer(m_deviceId, m_port);
}

void Session::onConnected()
{
    changeState(Connected);
}

void Session::onDisconnected()
{
    changeState(Disconnected);
}

void Session::onReceivedTextMessage(const QString& message)
{
    Q_EMIT receivedTextMessage(m_deviceId, m_port, message);
}

void Session::onStateChanged(QAbstractSocket::SocketState state)
{
    switch (state) {
    case QAbstractSocket::UnconnectedState:
        changeState(Disconnected);
        break;
    case QAbstractSocket::ConnectingState:
        changeState(Connecting);
        break;
    case QAbstractSocket::ConnectedState:
        changeState(Connected);
        break;
    case QAbstractSocket::ClosingState:
        changeState(Closing);
        break;
    case QAbstractSocket::HostLookupState:
    case QAbstractSocket::BoundState:
    case QAbstractSocket::ListeningState:
        break;
    }
}

void Session::onErrored(int32_t error)
{
    CORVANE_LOG(QStringLiteral("push channel of %1 (%2:%3) failed: %4")
                    .arg(m_deviceId, m_ipAddress)
                    .arg(m_port)
                    .arg(ResultCode::toHex(error)));
    m_lastError = error;
    changeState(Errored);
}
