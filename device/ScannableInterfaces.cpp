#include "ScannableInterfaces.h"

#include <QAbstractSocket>
#include <QNetworkInterface>

QVariantMap ScannableInterface::toScanMap() const
{
    return {{QStringLiteral("interfaceName"), interfaceName},
            {QStringLiteral("ipAddress"), ipAddress},
            {QStringLiteral("macAddress"), macAddress},
            {QStringLiteral("subnetMask"), subnetMask}};
}

QList<ScannableInterface> scannableInterfaces()
{
    QList<ScannableInterface> rows;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& networkInterface : interfaces) {
        const QNetworkInterface::InterfaceType type = networkInterface.type();
        if (type != QNetworkInterface::Ethernet && type != QNetworkInterface::Wifi)
            continue;
        const QList<QNetworkAddressEntry> entries = networkInterface.addressEntries();
        for (const QNetworkAddressEntry& entry : entries) {
            if (entry.ip().protocol() != QAbstractSocket::IPv4Protocol)
                continue;
            rows.append({networkInterface.humanReadableName(), entry.ip().toString(),
                         networkInterface.hardwareAddress(), entry.netmask().toString()});
        }
    }
    return rows;
}
