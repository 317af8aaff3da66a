#pragma once

#include <QHostAddress>
#include <QSslConfiguration>
#include <QString>

// A self-signed certificate for one device, made at start-up with the openssl
// command-line tool in a temporary folder that is removed at once; the key
// never outlives the process.
namespace Certificate {

bool makeServerConfiguration(const QString& commonName, const QHostAddress& address, QSslConfiguration& out,
                             QString& error);

} // namespace Certificate
