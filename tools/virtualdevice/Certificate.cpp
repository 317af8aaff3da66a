#include "Certificate.h"

#include <QFile>
#include <QProcess>
#include <QSslCertificate>
#include <QSslKey>
#include <QTemporaryDir>

namespace Certificate {

bool makeServerConfiguration(const QString& commonName, const QHostAddress& address, QSslConfiguration& out,
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
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
                   QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                   QStringLiteral("-days"), QStringLiteral("365"), QStringLiteral("-subj"),
                   QStringLiteral("/CN=") + subject, QStringLiteral("-addext"),
                   QStringLiteral("subjectAltName=IP:") + address.toString(), QStringLiteral("-keyout"), keyPath,
                   QStringLiteral("-out"), certPath});
    if (!openssl.waitForStarted(10000)) {
        error = QStringLiteral("cannot run openssl: %1").arg(openssl.errorString());
        return false;
    }
    if (!openssl.waitForFinished(30000) || openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0) {
        error = QStringLiteral("openssl failed: %1").arg(QString::fromLocal8Bit(openssl.readAll()).trimmed());
        return false;
    }
    QFile keyFile(keyPath);
    QFile certFile(certPath);
    if (!keyFile.open(QIODevice::ReadOnly) || !certFile.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("openssl left no certificate");
        return false;
    }
    const QSslKey key(&keyFile, QSsl::Ec);
    const QList<QSslCertificate> certificates = QSslCertificate::fromDevice(&certFile);
    if (key.isNull() || certificates.isEmpty()) {
        error = QStringLiteral("cannot load the certificate that openssl made");
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

} // namespace Certificate
