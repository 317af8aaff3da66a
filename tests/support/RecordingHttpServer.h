#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSslConfiguration>
#include <QTcpServer>

#include <memory>

class QTcpSocket;

// A plain HTTP/1.1 server on 127.0.0.1 that records each request as it came,
// head and body (framed by Content-Length), and answers it with 200, a fixed
// header "X-Probe: raw server" and the body "hello" on a kept-alive
// connection; a silent one accepts, reads and records but never answers.
class RecordingHttpServer : public QObject
{
public:
    enum Behaviour { Answers, Silent };

    explicit RecordingHttpServer(Behaviour behaviour = Answers);
    // The same over TLS with `tls`'s certificate and key: what it records is
    // what came after the handshake.
    explicit RecordingHttpServer(const QSslConfiguration& tls, Behaviour behaviour = Answers);

    // On `port`, or on one the system chooses.
    bool listen(quint16 port = 0);
    quint16 port() const { return m_server->serverPort(); }

    // The complete requests so far, oldest first.
    QList<QByteArray> requests() const { return m_requests; }
    int connections() const { return m_connections; }
    // The head (without the blank line) and the body of request `index`.
    QByteArray head(int index = 0) const;
    QByteArray body(int index = 0) const;

private:
    void onData(QTcpSocket* socket, QByteArray& buffer);

    std::unique_ptr<QTcpServer> m_server;
    Behaviour m_behaviour;
    QList<QByteArray> m_requests;
    int m_connections = 0;
};

// The header lines of a recorded request named `name` (case-insensitive), as
// sent but without the line end.
QList<QByteArray> headerLines(const QByteArray& request, const QByteArray& name);
