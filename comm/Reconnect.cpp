#include "Reconnect.h"

Reconnect::Reconnect(const QString& ipAddress, int port, int intervalMs)
    : m_ipAddress(ipAddress)
    , m_port(port)
{
    connect(&m_timer, &QTimer::timeout, this, &Reconnect::onTimeout);
    m_timer.start(intervalMs);
}

void Reconnect::onTimeout()
{
    Q_EMIT retryTimeElapsed(m_ipAddress, m_port);
}
