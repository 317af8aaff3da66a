#pragma once

#include "ResultCode.h"

#include <QAbstractSocket>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QSslError>
#include <QString>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketProtocol>

#include <cstdint>
#include <memory>

class PeerTrust;

// One secure WebSocket to a device's push channel: opened with the same
// request builder and credentials as the REST calls, kept alive with a ping
// every 5 s, socket errors turned into result codes, text messages handed on
// unchanged. Receive-only: apart from pings and the closing handshake nothing
// is sent. Open one client once; a new channel needs a new client.
//
// Results carried by errored(): 0x80070000 | the socket's error number (low
// 16 bits, -1 gives 0x8007FFFF), and
//   kKeepAliveFailed    the fourth ping tick after the last pong, and every
//                       tick after it until the link is closed;
//   kHandshakeTimedOut  no upgraded link within the handshake time-out (a
//                       device that stalls TLS or the upgrade); the socket
//                       is aborted;
//   kHandshakeRefused   the link went down before the upgrade without the
//                       socket reporting an error (e.g. an upgrade answered
//                       403 and closed);
//   kMessageTooLarge    the device sent a message or frame larger than
//                       kMaxMessageBytes (the message is dropped, the link
//                       closed).
// Both handshake codes make sure that an attempt that never connects always
// ends in an error, never in a channel left connecting for ever.
//
// Threads: lives and is used on the user-interface thread; all connections
// are direct. The missed-pong count has its own mutex, held while the
// keep-alive error is emitted: handlers of errored() must not call sendPing or
// receivePong synchronously. Devices sign their own certificates: the key is
// judged by the peer's trust, or taken when there is none. Neither the code
// nor the header is logged.
class WebSocketClient : public QObject
{
    Q_OBJECT

public:
    static constexpr int32_t kKeepAliveFailed = ResultCode::failure(ResultCode::Facility::WebSocketClient, 0x0002);
    static constexpr int32_t kHandshakeTimedOut
        = ResultCode::failure(ResultCode::Facility::WebSocketClient, QAbstractSocket::SocketTimeoutError);
    static constexpr int32_t kHandshakeRefused
        = ResultCode::failure(ResultCode::Facility::WebSocketClient, QAbstractSocket::ConnectionRefusedError);

    // A message past kMaxMessageBytes: the link is closed with 1009 and
    // reported as failed, so that it is opened anew.
    static constexpr int32_t kMessageTooLarge
        = ResultCode::failure(ResultCode::Facility::WebSocketClient, QWebSocketProtocol::CloseCodeTooMuchData);
    // A settings notification is a few hundred bytes.
    static constexpr qint64 kMaxMessageBytes = 64 * 1024;

    static constexpr int kPingIntervalMs = 5000;
    static constexpr int kMissedPongLimit = 3;
    static constexpr int kDefaultHandshakeTimeoutMs = 10000;
    // How long a closed link waits for the device's side of the close.
    static constexpr int kCloseGraceMs = 2000;

    explicit WebSocketClient(QObject* parent = nullptr, int handshakeTimeoutMs = kDefaultHandshakeTimeoutMs);
    ~WebSocketClient() override;

    // The trust that judges the key the device shows, before the upgrade
    // request (and its credential) goes, and the device the channel is for;
    // before open(). None: every key is taken.
    void setPeer(std::shared_ptr<PeerTrust> trust, const QString& deviceId);
    // scheme://host:port/api/v1/push with "Authorization: Basic
    // base64(admin:<authCode>)", no proxy. Null texts count as empty.
    void open(const char* host, const char* scheme, int port, const char* authCode);
    // Closes with code 1000 and detaches the socket. The disconnection of an
    // open link is reported during this call; a link that never connected
    // reports none. The closing handshake of an open link goes on after the
    // call (and after the client), for at most kCloseGraceMs.
    void close();

    // Lets the closing handshakes that still run end, for at most
    // `timeoutMs`, in an event loop of its own; those left are cut off. For
    // the program's end, after the last channel was closed. True when none
    // had to be cut off.
    static bool finishClosing(int timeoutMs = kCloseGraceMs);

    static int32_t errorCode(QAbstractSocket::SocketError socketError);

Q_SIGNALS:
    void connected();
    void disconnected();
    void receivedTextMessage(const QString& message);
    void stateChanged(QAbstractSocket::SocketState state);
    void errored(int32_t error);

public Q_SLOTS:
    void onConnected();
    void onDisconnected();
    void onReceivedTextMessage(const QString& message);
    void onStateChanged(QAbstractSocket::SocketState state);
    void onErrored(QAbstractSocket::SocketError socketError);
    void onSslErrored(const QList<QSslError>& errors);
    void sendPing();
    void receivePong();

private:
    // Where the link is; the socket's own states say less (a refused upgrade
    // and a device's close look alike there).
    enum class Link {
        Closed, // never opened, or closed by us
        Opening, // opened, not upgraded yet, nothing reported
        Up, // upgraded and running
        UpFailed, // running, but a failure was reported on it
        Ended, // the attempt failed or the link went down
        Closing, // our own close() runs: nothing it causes is reported
    };
    static bool isUp(Link link) { return link == Link::Up || link == Link::UpFailed; }

    static QWebSocket* newSocket(QObject* parent);
    static void lingerWhileClosing(QWebSocket* socket);
    static QByteArray closeFrame(QWebSocketProtocol::CloseCode code);
    void onHandshakeTimeout();
    void detachSocket();
    void takeDown();

    QWebSocket* m_socket; // a child; replaced when a closed one lingers
    std::shared_ptr<PeerTrust> m_trust;
    QString m_deviceId;
    QTimer m_pingTimer;
    int m_missedPongs = 0;
    QMutex m_lock;

    QTimer m_handshakeTimer;
    Link m_link = Link::Closed;
    quint64 m_attempt = 0; // an attempt's queued checks find it gone
};
