#include "Reconnect.h"

Reconnect::Reconnect(const QString& deviceId, int port, int intervalMs)
    : m_deviceId(deviceId)
    , m_port(port)
{
    connect(&m_timer, &QTimer::timeout, this, &Reconnect::onTimeout);
    m_timer.start(intervalMs);
}

void Reconnect::onTimeout()
{
    Q_EMIT retryTimeElapsed(m_deviceId, m_port);
}
