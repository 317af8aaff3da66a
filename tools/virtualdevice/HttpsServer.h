#pragma once

#include "HttpRequestParser.h"
#include "MultipartParser.h"
#include "PaddedJson.h"
#include "UploadReceiver.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTimer>

#include <memory>

class QSslSocket;
class VirtualDevice;

// The device's HTTPS listener on its own address. Connection faults act here:
// a refusing device stops listening, a dropping one closes every accepted
// connection at once, a stalling one accepts but never starts TLS.
class HttpsServer : public QTcpServer
{
    Q_OBJECT

public:
    HttpsServer(VirtualDevice* device, const QSslConfiguration& tls, QObject* parent = nullptr);

    bool start(quint16 port, QString& error);
    quint16 port() const { return m_port; }
    void setRefusing(bool refusing);
    // The key and certificate of the connections accepted from now on; the
    // HTTPS connections made with another one end (a replaced device has
    // none of its predecessor's), the push channels stay.
    void setTls(const QSslConfiguration& tls);
    const QSslConfiguration& tls() const { return m_tls; }
    // A device that is down (rebooting) listens to nothing and ends every
    // connection it had; coming up again restores what the faults allow.
    void setDown(bool down);
    int openConnections() const;

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    VirtualDevice* m_device;
    QSslConfiguration m_tls;
    void updateListening();

    quint16 m_port = 0;
    bool m_refusing = false;
    bool m_down = false;
};

// One HTTPS connection: a streaming HTTP/1.1 request loop. A request for the
// push path that asks for a WebSocket upgrade is inspected without being read
// and handed with its socket to the device's push hub.
class HttpConnection : public QObject, private HttpRequestParser::Handler
{
    Q_OBJECT

public:
    HttpConnection(VirtualDevice* device, QSslSocket* socket, QObject* parent);

private:
    enum class Route { None, Authenticate, Settings, Upload };
    enum class Mode { Active, Stalled, Streaming, HandedOver, Closing };

    void process();
    void onHead(const HttpRequestHead& head) override;
    void onBodyData(const char* data, qsizetype size) override;
    void onMessageEnd() override;
    bool finishMessage(); // false: the connection closes
    void handleUpgrade(const HttpRequestHead& head, qsizetype headLength);
    void respond(int status, const QByteArray& body, bool close, const QByteArray& extraHeaders = QByteArray());
    void respondError(int status, const QString& text, bool close);
    // The body is generated as the socket drains; later requests wait.
    void respondPadded(int status, const PaddedJson& body, bool close, const QByteArray& extraHeaders);
    void writeBody();
    void onBodyWritten();
    QByteArray redirectHeader(int status) const;
    void reject(int status, const QString& text);
    void refill();
    bool throttled() const;

    VirtualDevice* m_device;
    QSslSocket* m_socket;
    HttpRequestParser m_parser;
    Mode m_mode = Mode::Active;
    Route m_route = Route::None;
    UploadReceiver::Kind m_kind = UploadReceiver::Kind::Firmware;
    std::unique_ptr<UploadReceiver> m_upload;
    std::unique_ptr<MultipartParser> m_multipart;
    int m_rejectStatus = 0;
    QString m_rejectText;
    bool m_keepAlive = true;
    bool m_earlyAnswered = false;
    int m_requests = 0; // heads read on this connection
    PaddedJson m_body;
    bool m_bodyClose = false;
    QByteArray m_leftover;
    QTimer m_handshakeTimer;
    QTimer m_throttleTimer;
    qint64 m_budget = 0;
    QElapsedTimer m_uploadClock;
};
