#pragma once

#include "DeviceEndpoints.h"

#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

struct ssl_st;

// The key a device shows, read in a TLS handshake that sends nothing after
// it: no request, no credential. What the operator is shown before a key is
// trusted (the window's login, corvanectl's question, trust enroll). One
// handshake per object. The handshake is libssl's own over memory buffers,
// with one context for every probe: a fleet's keys are read by the
// thousand, and a TLS socket per probe made a context and copies of the
// certificate each time.
//
// Threads: the thread it lives on; nothing waits.
class KeyProbe : public QObject
{
    Q_OBJECT

public:
    static constexpr int kDefaultTimeoutMs = 10000;
    // A device's handshake is a few kilobytes; more is no device of ours.
    static constexpr qint64 kMaxHandshakeBytes = 256 * 1024;

    explicit KeyProbe(QObject* parent = nullptr);
    ~KeyProbe() override;

    // Connects to host:port and reads the key; read() comes once, also when
    // the connection fails or takes longer than `timeoutMs`.
    void start(const QString& host, int port = DeviceEndpoints::kPort, int timeoutMs = kDefaultTimeoutMs);

Q_SIGNALS:
    // The key's digest (KnownDevices::digestOf), or empty with the reason.
    void read(const QString& digest, const QString& why);

private:
    void begin();
    void received();
    void step();
    void end(const QString& digest, const QString& why);

    QTcpSocket m_socket;
    QTimer m_limit;
    ssl_st* m_ssl = nullptr;
    qint64 m_received = 0;
    bool m_ended = false;
};
