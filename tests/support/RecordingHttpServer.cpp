#include "RecordingHttpServer.h"

#include <QSslServer>
#include <QTcpSocket>

#include <memory>

namespace {

qsizetype headEnd(const QByteArray& request)
{
    return request.indexOf("\r\n\r\n");
}

} // namespace

RecordingHttpServer::RecordingHttpServer(Behaviour behaviour)
    : RecordingHttpServer(QSslConfiguration(), behaviour)
{
}

RecordingHttpServer::RecordingHttpServer(const QSslConfiguration& tls, Behaviour behaviour)
    : m_behaviour(behaviour)
{
    if (tls.localCertificate().isNull()) {
        m_server = std::make_unique<QTcpServer>();
    } else {
        auto server = std::make_unique<QSslServer>();
        server->setSslConfiguration(tls);
        m_server = std::move(server);
    }
    // A TLS connection is pending once its handshake is done.
    connect(m_server.get(), &QTcpServer::pendingConnectionAvailable, this, [this] {
        while (QTcpSocket* socket = m_server->nextPendingConnection()) {
            auto buffer = std::make_shared<QByteArray>();
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] { onData(socket, *buffer); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            ++m_connections;
        }
    });
}

bool RecordingHttpServer::listen(quint16 port)
{
    return m_server->listen(QHostAddress(QStringLiteral("127.0.0.1")), port);
}

QByteArray RecordingHttpServer::head(int index) const
{
    const QByteArray request = m_requests.value(index);
    return request.left(headEnd(request));
}

QByteArray RecordingHttpServer::body(int index) const
{
    const QByteArray request = m_requests.value(index);
    const qsizetype end = headEnd(request);
    return end < 0 ? QByteArray() : request.mid(end + 4);
}

void RecordingHttpServer::onData(QTcpSocket* socket, QByteArray& buffer)
{
    buffer += socket->readAll();
    // Several requests may come in one read (a client that pipelines).
    for (;;) {
        const qsizetype end = headEnd(buffer);
        if (end < 0)
            return;
        qsizetype length = 0;
        for (const QByteArray& line : buffer.left(end).split('\n')) {
            if (line.toLower().startsWith("content-length:"))
                length = line.mid(15).trimmed().toLongLong();
        }
        if (buffer.size() < end + 4 + length)
            return;
        m_requests.append(buffer.left(end + 4 + length));
        buffer.remove(0, end + 4 + length);
        if (m_behaviour == Answers)
            socket->write(
                "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nX-Probe: raw server\r\nConnection: keep-alive\r\n\r\nhello");
    }
}

QList<QByteArray> headerLines(const QByteArray& request, const QByteArray& name)
{
    QList<QByteArray> found;
    const QByteArray head = request.left(headEnd(request));
    for (const QByteArray& line : head.split('\n')) {
        if (line.toLower().startsWith(name.toLower() + ':'))
            found.append(line.trimmed());
    }
    return found;
}
