#pragma once

#include "Connection.h"
#include "ResultCode.h"

#include <QAbstractSocket>
#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>

// The push channel of one device (its id, at an IP address and port): owns its Connection
// and condenses the connection's signals into a small state machine. Each
// change of state emits changedState exactly once; a report of the state
// the session is already in changes nothing.
//
// Results: 0, or kAlreadyOpen.
// Threads: user-interface thread only; all connections are direct.
class Session : public QObject
{
    Q_OBJECT

public:
    enum SessionState : int {
        Initial = 0,
        Connecting = 1,
        Connected = 2,
        Closing = 3,
        Disconnected = 4,
        Errored = 5,
    };
    Q_ENUM(SessionState)

    // openSession on a session that has a connection already.
    static constexpr int32_t kAlreadyOpen = ResultCode::failure(ResultCode::Facility::PushSession, 0x0002);

    // `trust` judges the key the device shows (none: every key is taken).
    Session(const QString& deviceId, const QString& ipAddress, int port,
            int handshakeTimeoutMs = WebSocketClient::kDefaultHandshakeTimeoutMs,
            std::shared_ptr<PeerTrust> trust = nullptr);
    ~Session() override;

    // Opens the channel with this authentication code: 0, or kAlreadyOpen.
    int32_t openSession(const char* authCode);
    // Closes the channel (its disconnection is still reported) and stops
    // listening to it; the connection itself goes with the session.
    void closeSession();
    void changeState(SessionState state);

    SessionState state() const { return m_state; }
    // The channel failed at some point (an errored report), and how, last.
    bool hasFailed() const { return m_failed; }
    int32_t lastError() const { return m_lastError; }
    // Nothing runs any more, or never ran: a new channel may take its place.
    bool isDead() const { return !m_connection || m_failed || m_state == Disconnected; }
    const QString& deviceId() const { return m_deviceId; }
    const QString& ipAddress() const { return m_ipAddress; }
    int port() const { return m_port; }

Q_SIGNALS:
    void receivedTextMessage(const QString& deviceId, int port, const QString& message);
    void changedState(const QString& deviceId, int port, Session::SessionState state);
    // The device ended a channel that was up, without any error on the way
    // (a closing handshake); not after closeSession.
    void closedByPeer(const QString& deviceId, int port);

public Q_SLOTS:
    void onConnected();
    void onDisconnected();
    void onReceivedTextMessage(const QString& message);
    void onStateChanged(QAbstractSocket::SocketState state);
    void onErrored(int32_t error);

private:
    SessionState m_state = Initial;
    bool m_failed = false;
    int32_t m_lastError = 0;
    bool m_wasConnected = false;
    bool m_closeRequested = false;
    std::unique_ptr<Connection> m_connection;
    QString m_deviceId;
    QString m_ipAddress;
    int m_port;
    const int m_handshakeTimeoutMs;
    std::shared_ptr<PeerTrust> m_trust;
};

Q_DECLARE_METATYPE(Session::SessionState)
