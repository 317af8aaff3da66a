#pragma once

#include <QList>
#include <QString>
#include <QVariantMap>

// One IPv4 address of a wired or wireless interface of this computer: a
// network a scan can search. The window's network popup and the command-line
// tool list the same rows.
struct ScannableInterface
{
    QString interfaceName;
    QString ipAddress;
    QString macAddress;
    QString subnetMask;

    // {"interfaceName", "ipAddress", "macAddress", "subnetMask"}: what
    // DeviceFacade::startScan takes.
    QVariantMap toScanMap() const;
};

// The rows, one per address, in the order the system lists its interfaces.
// Whether an interface is up is not looked at: a cable plugged in later
// still gives a usable choice.
QList<ScannableInterface> scannableInterfaces();
