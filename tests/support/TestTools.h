#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

class QSslConfiguration;
class QTemporaryDir;

// Runs an external client (curl, openssl) and returns its exit code, with
// standard output and error collected; -1 when it could not start.
struct ToolResult
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};
ToolResult runTool(const QString& program, const QStringList& arguments, int timeoutMs = 60000,
                   const QByteArray& input = QByteArray());

// curl against a device: -s -k, status code appended to the output as a last
// line "status=<code>".
ToolResult curl(const QStringList& arguments, int timeoutMs = 60000);
int curlStatus(const ToolResult& result);

// The file's MD5 digest as lower-case hex, empty when it cannot be read.
QByteArray md5Of(const QString& path);
// The MD5 digest of the bytes as 32 lower-case hex digits: a password's
// authentication code, a file's digest as the device reports it.
QString md5Hex(const QByteArray& bytes);

// This process's resident memory in KiB (VmRSS), -1 where it cannot be read.
qint64 residentKiB();

// `size` bytes that look random, the same for the same size and seed.
QByteArray randomBytes(qsizetype size, quint32 seed = 1);

// Writes a file of the given content into the folder; its path, or an empty
// text when it cannot be written.
QString writeTestFile(const QTemporaryDir& dir, const QString& name, const QByteArray& content);

// A server's TLS identity: a new key ("ec" P-256, "rsa" or "ed25519") and a
// self-signed certificate named `name`, made with openssl in the folder.
// False when openssl failed.
bool makeTlsIdentity(const QTemporaryDir& dir, const QString& name, QSslConfiguration& out,
                     const QString& keyType = QStringLiteral("ec"));
