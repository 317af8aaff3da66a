#include "KeyProbe.h"

#include "KnownDevices.h"

#include <QNetworkProxy>

KeyProbe::KeyProbe(QObject* parent)
    : QObject(parent)
{
    // Nothing is verified here: the key is read to be judged by its digest.
    m_socket.setPeerVerifyMode(QSslSocket::VerifyNone);
    m_socket.setProtocol(QSsl::TlsV1_2OrLater);
    m_socket.setProxy(QNetworkProxy::NoProxy);
    m_limit.setSingleShot(true);
    connect(&m_limit, &QTimer::timeout, this,
            [this] { end({}, QStringLiteral("no handshake within %1 s").arg(m_limit.interval() / 1000)); });
    connect(&m_socket, &QSslSocket::encrypted, this, [this] {
        const QString digest = KnownDevices::digestOf(m_socket.peerCertificate());
        end(digest, digest.isEmpty() ? QStringLiteral("the device's certificate could not be read") : QString());
    });
    connect(&m_socket, &QAbstractSocket::errorOccurred, this, [this] { end({}, m_socket.errorString()); });
}

void KeyProbe::start(const QString& host, int port, int timeoutMs)
{
    m_limit.start(timeoutMs);
    m_socket.connectToHostEncrypted(host, quint16(port));
}

void KeyProbe::end(const QString& digest, const QString& why)
{
    if (m_ended)
        return;
    m_ended = true;
    m_limit.stop();
    m_socket.abort();
    Q_EMIT read(digest, why);
}
