#pragma once

#include "PaddedJson.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <memory>

class QSslSocket;
class QWebSocket;
class QWebSocketServer;
class VirtualDevice;

// The device's push channels. The HTTPS connection hands over a socket whose
// upgrade request is still unread; the WebSocket server completes the
// handshake, and every open channel then receives the device's notifications.
class PushHub : public QObject
{
    Q_OBJECT

public:
    PushHub(VirtualDevice* device, QObject* parent = nullptr);
    ~PushHub() override;

    void adopt(QSslSocket* socket);
    // Returns the number of channels the message went out on.
    int sendText(const QString& text);
    void sendBinary(const QByteArray& data);
    // One text message streamed in fragments as the channel drains; what is
    // sent meanwhile waits behind it. Returns the number of channels.
    int sendPadded(const PaddedJson& text);
    // Ends every channel with a closing handshake (code 1001, going away).
    int closeAll();
    // Ends every channel without a closing handshake, and every upgrade still
    // being negotiated. What was already sent is flushed first.
    int dropAll();
    // While pings go unanswered the channels' sockets are not read at all:
    // nothing the client sends is processed until reading resumes.
    void setPingsAnswered(bool answered);
    int channelCount() const { return int(m_channels.size()); }

private:
    // A message that waits behind a streamed one.
    struct Pending
    {
        enum class Kind { Text, Binary, Padded };
        Kind kind;
        QString text;
        QByteArray data;
        PaddedJson padded;
    };
    struct Outbox
    {
        bool streaming = false;
        bool firstFrame = true;
        PaddedJson current;
        QList<Pending> waiting;
    };
    struct Channel
    {
        QPointer<QWebSocket> webSocket;
        QPointer<QSslSocket> socket;
        std::shared_ptr<Outbox> outbox;
    };

    void onNewConnection();
    void send(const Channel& channel, Pending message);
    void deliver(const Channel& channel, Pending message);
    void pump();
    void pumpChannel(const Channel& channel);
    static void stopStreaming(const Channel& channel);

    VirtualDevice* m_device;
    QWebSocketServer* m_server;
    QList<QPointer<QSslSocket>> m_handshaking;
    QList<Channel> m_channels;
    bool m_pingsAnswered = true;
    // Tops up the streamed messages; a timer rather than the sockets'
    // signals, which are blocked while pings go unanswered.
    QTimer m_streamTimer;
};
