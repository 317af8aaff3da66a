#pragma once

#include "WebSocketClient.h"

#include <QObject>

// Owns one WebSocketClient, fixes the scheme to "wss" and re-emits the
// client's signals unchanged (direct connections, user-interface thread).
// One channel per object: a new channel needs a new Connection.
class Connection : public QObject
{
    Q_OBJECT

public:
    explicit Connection(QObject* parent = nullptr,
                        int handshakeTimeoutMs = WebSocketClient::kDefaultHandshakeTimeoutMs);
    ~Connection() override;

    // Who judges the device's key, and which device it is for (see
    // WebSocketClient::setPeer); before openConnection.
    void setPeer(std::shared_ptr<PeerTrust> trust, const QString& deviceId) { m_client.setPeer(trust, deviceId); }
    void openConnection(const char* host, int port, const char* authCode);
    // Closes the client (an open link reports its disconnection during the
    // call), then removes the relays.
    void closeConnection();

Q_SIGNALS:
    void connected();
    void disconnected();
    void receivedTextMessage(const QString& message);
    void stateChanged(QAbstractSocket::SocketState state);
    void errored(int32_t error);

private:
    WebSocketClient m_client;
};
