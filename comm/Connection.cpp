#include "Connection.h"

#include "DeviceEndpoints.h"

Connection::Connection(QObject* parent, int handshakeTimeoutMs)
    : QObject(parent)
    , m_client(nullptr, handshakeTimeoutMs)
{
}

Connection::~Connection()
{
    closeConnection();
}

void Connection::openConnection(const char* host, int port, const char* authCode)
{
    connect(&m_client, &WebSocketClient::connected, this, &Connection::connected);
    connect(&m_client, &WebSocketClient::disconnected, this, &Connection::disconnected);
    connect(&m_client, &WebSocketClient::receivedTextMessage, this, &Connection::receivedTextMessage);
    connect(&m_client, &WebSocketClient::stateChanged, this, &Connection::stateChanged);
    connect(&m_client, &WebSocketClient::errored, this, &Connection::errored);
    m_client.open(host, DeviceEndpoints::kPushScheme, port, authCode);
}

void Connection::closeConnection()
{
    m_client.close();
    disconnect(&m_client, nullptr, this, nullptr);
}
