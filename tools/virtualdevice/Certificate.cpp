#include "Certificate.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSslCertificate>
#include <QSslKey>
#include <QTemporaryDir>

#include <openssl/evp.h>
#include <openssl/pem.h>

namespace Certificate {

namespace {

// The private key of a PEM file of any type: Qt's own key class reads EC
// and RSA keys; an Ed25519 key goes to TLS as libcrypto's, which Qt takes
// over.
QSslKey privateKeyOf(const QByteArray& pem)
{
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Ec, QSsl::Rsa}) {
        const QSslKey key(pem, algorithm);
        if (!key.isNull())
            return key;
    }
    BIO* memory = BIO_new_mem_buf(pem.constData(), int(pem.size()));
    EVP_PKEY* key = memory ? PEM_read_bio_PrivateKey(memory, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(memory);
    return key ? QSslKey(Qt::HANDLE(key), QSsl::PrivateKey) : QSslKey();
}

// A PEM file with the certificate and its private key.
bool load(const QString& path, QSslConfiguration& out, QString& error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1").arg(path);
        return false;
    }
    const QByteArray pem = file.readAll();
    const QSslKey key = privateKeyOf(pem);
    const QList<QSslCertificate> certificates = QSslCertificate::fromData(pem);
    if (key.isNull() || certificates.isEmpty()) {
        error = QStringLiteral("no key and certificate in %1").arg(path);
        return false;
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(certificates.first());
    configuration.setPrivateKey(key);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    out = configuration;
    return true;
}

// A new key and certificate in one PEM file at `path`.
bool make(const QString& commonName, const QHostAddress& address, const QString& path, const QString& keyType,
          QString& error)
{
    QTemporaryDir dir;
    if (!dir.isValid()) {
        error = QStringLiteral("cannot create a temporary folder for the certificate");
        return false;
    }
    const QString keyPath = dir.filePath(QStringLiteral("key.pem"));
    const QString certPath = dir.filePath(QStringLiteral("cert.pem"));
    QString subject = commonName;
    subject.replace(QLatin1Char('/'), QLatin1Char('-'));
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    QStringList newKey{QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                       QStringLiteral("ec_paramgen_curve:prime256v1")};
    if (keyType == QLatin1String("rsa"))
        newKey = QStringList{QStringLiteral("-newkey"), QStringLiteral("rsa:2048")};
    else if (keyType == QLatin1String("ed25519"))
        newKey = QStringList{QStringLiteral("-newkey"), QStringLiteral("ed25519")};
    openssl.start(QStringLiteral("openssl"),
                  QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + newKey
                      + QStringList{QStringLiteral("-nodes"), QStringLiteral("-days"), QStringLiteral("365"),
                                    QStringLiteral("-subj"), QStringLiteral("/CN=") + subject,
                                    QStringLiteral("-addext"),
                                    QStringLiteral("subjectAltName=IP:") + address.toString(),
                                    QStringLiteral("-keyout"), keyPath, QStringLiteral("-out"), certPath});
    if (!openssl.waitForStarted(10000)) {
        error = QStringLiteral("cannot run openssl: %1").arg(openssl.errorString());
        return false;
    }
    if (!openssl.waitForFinished(30000) || openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0) {
        error = QStringLiteral("openssl failed: %1").arg(QString::fromLocal8Bit(openssl.readAll()).trimmed());
        return false;
    }
    QFile key(keyPath);
    QFile cert(certPath);
    QFile both(path);
    if (!key.open(QIODevice::ReadOnly) || !cert.open(QIODevice::ReadOnly) || !both.open(QIODevice::WriteOnly)
        || both.write(cert.readAll() + key.readAll()) < 0) {
        error = QStringLiteral("cannot write %1").arg(path);
        return false;
    }
    return true;
}

} // namespace

bool makeServerConfiguration(const QString& commonName, const QHostAddress& address, QSslConfiguration& out,
                             QString& error, const QString& keyFolder, const QString& stem, const QString& keyType)
{
    if (keyFolder.isEmpty()) {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("device.pem"));
        return dir.isValid() && make(commonName, address, path, keyType, error) && load(path, out, error);
    }
    const QString kept = QDir(keyFolder).filePath(stem + QStringLiteral(".pem"));
    if (QFile::exists(kept))
        return load(kept, out, error);
    if (!QDir().mkpath(keyFolder)) {
        error = QStringLiteral("cannot create the key folder %1").arg(keyFolder);
        return false;
    }
    // Made aside and moved in only where none is yet (a rename never
    // replaces a file here): devices of one MAC address started at once all
    // take the one that came first.
    QTemporaryDir aside(QDir(keyFolder).filePath(QStringLiteral(".new-XXXXXX")));
    const QString made = aside.filePath(QStringLiteral("device.pem"));
    if (!aside.isValid() || !make(commonName, address, made, keyType, error))
        return false;
    QFile::rename(made, kept);
    return load(kept, out, error);
}

} // namespace Certificate
