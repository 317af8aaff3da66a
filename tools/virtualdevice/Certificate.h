#pragma once

#include <QHostAddress>
#include <QSslConfiguration>
#include <QString>

// A self-signed certificate for one device, made with the openssl
// command-line tool. Without a key folder it is made in a temporary folder
// that is removed at once, and the key never outlives the process; with one,
// the device's certificate and key are kept there in "<stem>.pem" and taken
// again at the next start, so that the device shows the same key across
// restarts.
namespace Certificate {

// `keyType`: "ec" (P-256), "rsa" (2048 bits) or "ed25519".
bool makeServerConfiguration(const QString& commonName, const QHostAddress& address, QSslConfiguration& out,
                             QString& error, const QString& keyFolder = QString(), const QString& stem = QString(),
                             const QString& keyType = QStringLiteral("ec"));

} // namespace Certificate
