#pragma once

#include "ResultCode.h"

#include <QAbstractSocket>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QWebSocketProtocol>

#include <cstdint>
#include <memory>

class PeerTrust;
class PushLink;
struct PushInbox;

// One secure WebSocket to a device's push channel: opened with the same
// request builder and credentials as the REST calls, kept alive with a ping
// every 5 s, socket errors turned into result codes, text messages handed on
// unchanged. Receive-only: apart from pings, pongs and the closing handshake
// nothing is sent. Open one client once; a new channel needs a new client.
//
// The socket itself runs on the push thread (PushLink): what a device sends
// is read, parsed and bounded there, and reaches this client's thread as
// events, taken a few at a time per event-loop turn, so that no device can
// hold up the thread this client lives on.
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
//   closedOnFault(code) the link was closed with a code that tells of a
//                       fault (not 1000 or 1001): a message larger than
//                       kMaxMessageBytes or not UTF-8, broken framing (Qt's
//                       own closes), or a device's close with such a code;
//   kMessageTooFragmented, kMessageTooSlow, kPeerNotReading, kChannelFlooded
//                       the link's own bounds (see PushLink), which close it.
// Both handshake codes make sure that an attempt that never connects always
// ends in an error, never in a channel left connecting for ever. Every
// failure of a link that was up is followed by its disconnection.
//
// Threads: lives and is used on one thread (the user interface's); all its
// signals are emitted there. Devices sign their own certificates: the key is
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
    // A close code that tells of a fault, as a result.
    static constexpr int32_t closedOnFault(int closeCode)
    {
        return ResultCode::failure(ResultCode::Facility::WebSocketClient, uint16_t(closeCode));
    }
    // A message past kMaxMessageBytes: closed with 1009.
    static constexpr int32_t kMessageTooLarge = ResultCode::failure(ResultCode::Facility::WebSocketClient,
                                                                    uint16_t(QWebSocketProtocol::CloseCodeTooMuchData));
    // A message in more frames than any device sends one in.
    static constexpr int32_t kMessageTooFragmented = ResultCode::failure(ResultCode::Facility::WebSocketClient, 0x1001);
    // A message whose frames did not end within 10 s.
    static constexpr int32_t kMessageTooSlow = ResultCode::failure(ResultCode::Facility::WebSocketClient, 0x1002);
    // The device reads nothing (its pings' answers pile up): cut off.
    static constexpr int32_t kPeerNotReading = ResultCode::failure(ResultCode::Facility::WebSocketClient, 0x1003);
    // The device pushes faster than its messages are taken.
    static constexpr int32_t kChannelFlooded = ResultCode::failure(ResultCode::Facility::WebSocketClient, 0x1004);
    // Whether an error is a fault of what the device sent (one of the five
    // above, or any closedOnFault): retried, but with back-off.
    static bool isChannelFault(int32_t error);

    // A settings notification is a few hundred bytes.
    static constexpr qint64 kMaxMessageBytes = 64 * 1024;
    static constexpr int kPingIntervalMs = 5000;
    static constexpr int kMissedPongLimit = 3;
    static constexpr int kDefaultHandshakeTimeoutMs = 10000;
    // How long a closed link waits for the device's side of the close.
    static constexpr int kCloseGraceMs = 2000;
    // What one event-loop turn takes from the link: at most this many
    // messages and (past the first) bytes of them.
    static constexpr int kMessagesPerTurn = 32;
    static constexpr qint64 kBytesPerTurn = 1024 * 1024;

    explicit WebSocketClient(QObject* parent = nullptr, int handshakeTimeoutMs = kDefaultHandshakeTimeoutMs);
    ~WebSocketClient() override;

    // The trust that judges the key the device shows, before the upgrade
    // request (and its credential) goes, and the device the channel is for;
    // before open(). None: every key is taken.
    void setPeer(std::shared_ptr<PeerTrust> trust, const QString& deviceId);
    // scheme://host:port/api/v1/push with "Authorization: Basic
    // base64(admin:<authCode>)", no proxy. Null texts count as empty.
    void open(const char* host, const char* scheme, int port, const char* authCode);
    // Closes with code 1000. The disconnection of an open link is reported
    // during this call; a link that never connected reports none; nothing
    // is reported after it. The closing handshake of an open link goes on
    // after the call (and after the client), for at most kCloseGraceMs.
    void close();

    // Lets the closing handshakes that still run end, for at most
    // `timeoutMs`; those left are cut off. For the program's end, after the
    // last channel was closed. True when none had to be cut off.
    static bool finishClosing(int timeoutMs = kCloseGraceMs);

    static int32_t errorCode(QAbstractSocket::SocketError socketError);

Q_SIGNALS:
    void connected();
    void disconnected();
    void receivedTextMessage(const QString& message);
    void stateChanged(QAbstractSocket::SocketState state);
    void errored(int32_t error);

private:
    void drain();

    const int m_handshakeTimeoutMs;
    std::shared_ptr<PushInbox> m_inbox;
    PushLink* m_link = nullptr; // on the push thread; never touched here
    std::shared_ptr<PeerTrust> m_trust;
    QString m_deviceId;
    bool m_up = false; // as reported so far
    QAbstractSocket::SocketState m_state = QAbstractSocket::UnconnectedState;
    QTimer m_nextTurn; // the events left after a turn
};
