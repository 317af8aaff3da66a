#pragma once

#include <QAbstractSocket>
#include <QElapsedTimer>
#include <QList>
#include <QNetworkRequest>
#include <QObject>
#include <QSslError>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

class PeerTrust;
class QWebSocket;

// What a push link hands to its client, in the order it happened.
struct PushEvent
{
    enum class Kind { Connected, Disconnected, State, Error, Message };
    Kind kind;
    int32_t value = 0; // State: the socket state; Error: the result code
    QString text; // Message
};

// The events of one link on their way from the push thread to the client's
// thread. Bounded: a device that pushes faster than its messages are taken
// gets its channel ended, not the client's memory.
struct PushInbox
{
    // Room for a burst of the largest messages (some 130 of them, as text)
    // while the client's thread is busy elsewhere for a moment.
    static constexpr int kMaxMessages = 256;
    static constexpr qint64 kMaxBytes = 16 * 1024 * 1024;

    std::mutex lock; // guards the members below
    std::deque<PushEvent> events;
    int messages = 0;
    qint64 bytes = 0;
    bool closed = false; // the client is done with it: nothing more goes in
    bool notified = false; // an eventsWaiting is on its way, or a drain runs
};

// One secure WebSocket to a device's push channel, on the push thread: the
// socket, its keep-alive, its handshake time-out, its bounds and its close
// all live there, so that nothing a device sends is parsed on the client's
// (the user interface's) thread. Reports through its inbox only; see
// WebSocketClient for the results it reports.
//
// Bounds, whatever a device sends:
// - at most 128 KiB read from the connection per event-loop turn;
// - a message at most 64 KiB (Qt's own check, a 1009 close), in at most 64
//   frames, whole within 10 s of its first frame (our close, 1009 or 1008);
// - at most 256 KiB of our own frames (pongs) waiting to be sent: a device
//   that reads nothing is cut off;
// - the inbox's bounds (a 1008 close).
class PushLink : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 kMaxMessageBytes = 64 * 1024;
    static constexpr int kMaxFragments = 64;
    static constexpr int kMaxMessageMs = 10000;
    static constexpr qint64 kReadChunkBytes = 128 * 1024;
    static constexpr qint64 kMaxUnsentBytes = 256 * 1024;
    static constexpr int kPingIntervalMs = 5000;
    static constexpr int kMissedPongLimit = 3;
    static constexpr int kCloseGraceMs = 2000;

    PushLink(std::shared_ptr<PushInbox> inbox, int handshakeTimeoutMs);
    ~PushLink() override;

    // On the push thread. The trust (none: every key is taken) judges the
    // key the device shows before the upgrade request goes.
    void open(const QNetworkRequest& request, std::shared_ptr<PeerTrust> trust, const QString& deviceId);
    // Our own close: reports nothing more; the closing handshake of a link
    // that is up runs on without the link, for at most kCloseGraceMs.
    void close();

    // The closes still running (push thread only): for the program's end.
    static int closingCount();
    static void cutOffClosing();

Q_SIGNALS:
    // The inbox went from empty to not empty.
    void eventsWaiting();

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

    void onConnected();
    void onDisconnected();
    void onTextMessage(const QString& message);
    void onFrame(bool last);
    void onStateChanged(QAbstractSocket::SocketState state);
    void onErrored(QAbstractSocket::SocketError socketError);
    void onSslErrors(const QList<QSslError>& errors);
    void onTransportRead();
    void onHandshakeTimeout();
    void sendPing();
    void boundTransport();

    void post(PushEvent event);
    void fail(int32_t error, const QString& why);
    void failAndClose(int32_t error, int closeCode, const QString& why);
    void takeDown();
    void detachSocket();
    QAbstractSocket* transport() const;
    static QWebSocket* newSocket(QObject* parent);
    static void lingerWhileClosing(QWebSocket* socket);
    static QByteArray closeFrame(int code);

    std::shared_ptr<PushInbox> m_inbox;
    QWebSocket* m_socket; // a child; replaced when a closed one lingers
    std::shared_ptr<PeerTrust> m_trust;
    QString m_deviceId;
    QTimer m_pingTimer;
    int m_missedPongs = 0;
    QTimer m_handshakeTimer;
    Link m_link = Link::Closed;
    quint64 m_attempt = 0; // an attempt's queued checks find it gone
    // The message under way: its frames so far and since when.
    int m_fragments = 0;
    QElapsedTimer m_messageStarted;
    // What we closed the link for, when we did: its disconnection then
    // reports that instead of a device's close.
    int32_t m_ownClose = 0;
};
