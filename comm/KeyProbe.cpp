#include "KeyProbe.h"

#include "KnownDevices.h"

#include <QNetworkProxy>

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace {

// One for every probe of the program (libssl's contexts are shared across
// threads): nothing is verified, the key is read to be judged by its digest.
SSL_CTX* probeContext()
{
    static SSL_CTX* const context = [] {
        SSL_CTX* made = SSL_CTX_new(TLS_client_method());
        if (made) {
            SSL_CTX_set_min_proto_version(made, TLS1_2_VERSION);
            SSL_CTX_set_verify(made, SSL_VERIFY_NONE, nullptr);
        }
        return made;
    }();
    return context;
}

QString lastSslError()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    char text[256] = {};
    if (code != 0)
        ERR_error_string_n(code, text, sizeof text);
    return code != 0 ? QString::fromLatin1(text) : QStringLiteral("the connection ended");
}

} // namespace

KeyProbe::KeyProbe(QObject* parent)
    : QObject(parent)
{
    m_socket.setProxy(QNetworkProxy::NoProxy);
    m_limit.setSingleShot(true);
    connect(&m_limit, &QTimer::timeout, this,
            [this] { end({}, QStringLiteral("no handshake within %1 s").arg(m_limit.interval() / 1000)); });
    connect(&m_socket, &QAbstractSocket::connected, this, &KeyProbe::begin);
    connect(&m_socket, &QIODevice::readyRead, this, &KeyProbe::received);
    connect(&m_socket, &QAbstractSocket::errorOccurred, this, [this] { end({}, m_socket.errorString()); });
}

KeyProbe::~KeyProbe()
{
    SSL_free(m_ssl);
}

void KeyProbe::start(const QString& host, int port, int timeoutMs)
{
    m_limit.start(timeoutMs);
    m_socket.connectToHost(host, quint16(port));
}

void KeyProbe::begin()
{
    SSL_CTX* context = probeContext();
    m_ssl = context ? SSL_new(context) : nullptr;
    if (!m_ssl) {
        end({}, QStringLiteral("TLS could not be set up: %1").arg(lastSslError()));
        return;
    }
    // libssl reads what came and writes what is to go in buffers; the
    // socket carries them.
    SSL_set_bio(m_ssl, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
    SSL_set_connect_state(m_ssl);
    step();
}

void KeyProbe::received()
{
    const QByteArray bytes = m_socket.readAll();
    m_received += bytes.size();
    if (m_received > kMaxHandshakeBytes) {
        end({}, QStringLiteral("the handshake is larger than %1 KiB").arg(kMaxHandshakeBytes / 1024));
        return;
    }
    if (!m_ssl || m_ended)
        return;
    BIO_write(SSL_get_rbio(m_ssl), bytes.constData(), int(bytes.size()));
    step();
}

void KeyProbe::step()
{
    const int done = SSL_do_handshake(m_ssl);
    char out[4096];
    for (int n; (n = BIO_read(SSL_get_wbio(m_ssl), out, sizeof out)) > 0;)
        m_socket.write(out, n);
    if (done == 1) {
        const QString digest = KnownDevices::digestOfX509(SSL_get0_peer_certificate(m_ssl));
        end(digest, digest.isEmpty() ? QStringLiteral("the device's certificate could not be read") : QString());
        return;
    }
    if (SSL_get_error(m_ssl, done) != SSL_ERROR_WANT_READ)
        end({}, QStringLiteral("TLS handshake failed: %1").arg(lastSslError()));
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
