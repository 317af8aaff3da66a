#pragma once

#include "DeviceEndpoints.h"

#include <QObject>
#include <QSslSocket>
#include <QString>
#include <QTimer>

// The key a device shows, read in a TLS handshake that sends nothing after
// it: no request, no credential. What the operator is shown before a key is
// trusted (the window's login, corvanectl's question, trust enroll). One
// handshake per object.
//
// Threads: the thread it lives on; nothing waits.
class KeyProbe : public QObject
{
    Q_OBJECT

public:
    static constexpr int kDefaultTimeoutMs = 10000;

    explicit KeyProbe(QObject* parent = nullptr);

    // Connects to host:port and reads the key; read() comes once, also when
    // the connection fails or takes longer than `timeoutMs`.
    void start(const QString& host, int port = DeviceEndpoints::kPort, int timeoutMs = kDefaultTimeoutMs);

Q_SIGNALS:
    // The key's digest (KnownDevices::digestOf), or empty with the reason.
    void read(const QString& digest, const QString& why);

private:
    void end(const QString& digest, const QString& why);

    QSslSocket m_socket;
    QTimer m_limit;
    bool m_ended = false;
};
