// A WebSocket client of the virtual device's push channel, opened as Corvane
// opens it, for the tests that check the device program from outside.
#pragma once

#include <QByteArray>
#include <QNetworkProxy>
#include <QNetworkRequest>
#include <QObject>
#include <QSignalSpy>
#include <QStringList>
#include <QUrl>
#include <QWebSocket>

// A push client as the program opens it: wss, the Authorization header,
// certificate errors ignored; it records every text message. Tests that use
// it link Qt6::WebSockets.
class PushClient : public QObject
{
public:
    explicit PushClient(const QByteArray& authorization)
        : m_authorization(authorization)
    {
        m_socket.setProxy(QNetworkProxy::NoProxy);
        connect(&m_socket, &QWebSocket::sslErrors, this, [this] { m_socket.ignoreSslErrors(); });
        connect(&m_socket, &QWebSocket::textMessageReceived, this, [this](const QString& m) { messages.append(m); });
        connect(&m_socket, &QWebSocket::binaryMessageReceived, this, [this](const QByteArray&) { ++binaryMessages; });
        connect(&m_socket, &QWebSocket::pong, this, [this] { ++pongs; });
    }

    bool open(const QString& host, quint16 port, int timeoutMs = 10000)
    {
        QNetworkRequest request(QUrl(QStringLiteral("wss://%1:%2/api/v1/push").arg(host).arg(port)));
        request.setRawHeader("Authorization", m_authorization);
        QSignalSpy connected(&m_socket, &QWebSocket::connected);
        m_socket.open(request);
        return connected.wait(timeoutMs);
    }

    QWebSocket& socket() { return m_socket; }
    QStringList messages;
    int pongs = 0;
    int binaryMessages = 0;

private:
    QByteArray m_authorization;
    QWebSocket m_socket;
};
