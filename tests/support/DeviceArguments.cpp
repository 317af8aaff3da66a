#include "DeviceArguments.h"

DeviceArguments& DeviceArguments::device(const QString& address)
{
    m_devices.append(QString());
    return key(QStringLiteral("address"), address);
}

DeviceArguments& DeviceArguments::key(const QString& name, const QString& value)
{
    return keys(name + QLatin1Char('=') + value);
}

DeviceArguments& DeviceArguments::keys(const QString& list)
{
    if (list.isEmpty())
        return *this;
    // Keys before any device begin one without an address, which the program
    // refuses: the mistake shows as a failed start.
    if (m_devices.isEmpty())
        m_devices.append(QString());
    QString& option = m_devices.last();
    if (!option.isEmpty())
        option += QLatin1Char(',');
    option += list;
    return *this;
}

DeviceArguments& DeviceArguments::httpsPort(int port)
{
    m_httpsPort = port;
    return *this;
}

DeviceArguments& DeviceArguments::updateSteps(int stepMs, int stepPercent)
{
    m_stepMs = stepMs;
    m_stepPercent = stepPercent;
    return *this;
}

DeviceArguments& DeviceArguments::rebootMs(int ms)
{
    m_rebootMs = ms;
    return *this;
}

QStringList DeviceArguments::toList() const
{
    QStringList out;
    for (const QString& option : m_devices)
        out << QStringLiteral("--device") << option;
    out << QStringLiteral("--lndp-port") << QStringLiteral("0") << QStringLiteral("--https-port")
        << QString::number(m_httpsPort);
    if (m_stepMs >= 0) {
        out << QStringLiteral("--update-step-ms") << QString::number(m_stepMs)
            << QStringLiteral("--update-step-percent") << QString::number(m_stepPercent);
    }
    if (m_rebootMs >= 0)
        out << QStringLiteral("--reboot-ms") << QString::number(m_rebootMs);
    return out;
}
