#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

// The retry timer of one device's push channel (by its id): retryTimeElapsed every
// `intervalMs` from construction on, with no back-off and no limit.
// Destroying the object stops it. User-interface thread only.
class Reconnect : public QObject
{
    Q_OBJECT

public:
    static constexpr int kDefaultIntervalMs = 5000;

    Reconnect(const QString& deviceId, int port, int intervalMs = kDefaultIntervalMs);

    const QString& deviceId() const { return m_deviceId; }
    int port() const { return m_port; }

Q_SIGNALS:
    void retryTimeElapsed(const QString& deviceId, int port);

public Q_SLOTS:
    void onTimeout();

private:
    QString m_deviceId;
    int m_port;
    QTimer m_timer;
};
