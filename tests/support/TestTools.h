#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Runs an external client (curl, openssl) and returns its exit code, with
// standard output and error collected; -1 when it could not start.
struct ToolResult
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};
ToolResult runTool(const QString &program, const QStringList &arguments, int timeoutMs = 60000,
                   const QByteArray &input = QByteArray());

// curl against a device: -s -k, status code appended to the output as a last
// line "status=<code>".
ToolResult curl(const QStringList &arguments, int timeoutMs = 60000);
int curlStatus(const ToolResult &result);

// The file's MD5 digest as lower-case hex, empty when it cannot be read.
QByteArray md5Of(const QString &path);
