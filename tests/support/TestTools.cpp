#include "TestTools.h"

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QTemporaryDir>

#include <openssl/evp.h>
#include <openssl/pem.h>

ToolResult runTool(const QString& program, const QStringList& arguments, int timeoutMs, const QByteArray& input)
{
    ToolResult result;
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForStarted(10000))
        return result;
    if (!input.isEmpty())
        process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        result.err = "timed out";
        return result;
    }
    result.exitCode = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

ToolResult curl(const QStringList& arguments, int timeoutMs)
{
    return runTool(QStringLiteral("curl"),
                   QStringList{QStringLiteral("-s"), QStringLiteral("-k"), QStringLiteral("--noproxy"),
                               QStringLiteral("*"), QStringLiteral("-w"), QStringLiteral("\nstatus=%{http_code}")}
                       + arguments,
                   timeoutMs);
}

int curlStatus(const ToolResult& result)
{
    const qsizetype at = result.out.lastIndexOf("\nstatus=");
    return at < 0 ? -1 : result.out.mid(at + 8).trimmed().toInt();
}

QByteArray md5Of(const QString& path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QByteArray();
    return hash.result().toHex();
}

QString md5Hex(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    const qsizetype words = size / qsizetype(sizeof(quint32));
    generator.fillRange(reinterpret_cast<quint32*>(bytes.data()), words);
    for (qsizetype i = words * qsizetype(sizeof(quint32)); i < size; ++i)
        bytes[i] = char(generator.bounded(256));
    return bytes;
}

QString writeTestFile(const QTemporaryDir& dir, const QString& name, const QByteArray& content)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return QString();
    return path;
}

bool makeTlsIdentity(const QTemporaryDir& dir, const QString& name, QSslConfiguration& out, const QString& keyType)
{
    const QString key = dir.filePath(name + QStringLiteral(".key.pem"));
    const QString cert = dir.filePath(name + QStringLiteral(".cert.pem"));
    const QStringList newKey = keyType == QLatin1String("rsa") ? QStringList{QStringLiteral("rsa:2048")}
                               : keyType == QLatin1String("ed25519")
                                   ? QStringList{QStringLiteral("ed25519")}
                                   : QStringList{QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                                                 QStringLiteral("ec_paramgen_curve:prime256v1")};
    const ToolResult made
        = runTool(QStringLiteral("openssl"),
                  QStringList{QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey")} + newKey
                      + QStringList{QStringLiteral("-nodes"), QStringLiteral("-days"), QStringLiteral("2"),
                                    QStringLiteral("-subj"), QStringLiteral("/CN=") + name, QStringLiteral("-keyout"),
                                    key, QStringLiteral("-out"), cert});
    QFile keyFile(key);
    const QList<QSslCertificate> certificates = QSslCertificate::fromPath(cert);
    if (made.exitCode != 0 || certificates.isEmpty() || !keyFile.open(QIODevice::ReadOnly))
        return false;
    const QByteArray pem = keyFile.readAll();
    QSslKey privateKey(pem, keyType == QLatin1String("rsa") ? QSsl::Rsa : QSsl::Ec);
    if (keyType == QLatin1String("ed25519")) {
        // Qt's key class reads no Ed25519 key: libcrypto's, taken over by Qt.
        BIO* memory = BIO_new_mem_buf(pem.constData(), int(pem.size()));
        EVP_PKEY* native = memory ? PEM_read_bio_PrivateKey(memory, nullptr, nullptr, nullptr) : nullptr;
        BIO_free(memory);
        privateKey = native ? QSslKey(Qt::HANDLE(native), QSsl::PrivateKey) : QSslKey();
    }
    out = QSslConfiguration::defaultConfiguration();
    out.setLocalCertificate(certificates.first());
    out.setPrivateKey(privateKey);
    out.setPeerVerifyMode(QSslSocket::VerifyNone);
    return !out.privateKey().isNull();
}
