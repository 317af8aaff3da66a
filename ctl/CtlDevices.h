#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class DeviceFacade;
class QTextStream;
struct ScannableInterface;

namespace Ctl {

// A discovered device as the commands name it.
struct DeviceIdentity
{
    QString macAddress; // the facade's device id
    QString model;
    QString hostName;
    QString ipAddress;

    // The names an operator may give it: MAC address, IP address, host name.
    QStringList names() const { return {macAddress, ipAddress, hostName}; }
};

// Starts the scan on the interface and runs events until `enough` holds
// (checked whenever the device list changes) or `seconds` have passed: false
// with the reason on `err` when the scan cannot start.
bool scanDevices(DeviceFacade& facade, const ScannableInterface& chosen, int seconds,
                 const std::function<bool()>& enough, QTextStream& err);

// The facade's devices, by IP address.
QList<DeviceIdentity> listDevices(const DeviceFacade& facade);

// The device named `name` (MAC address in any letter case, IP address, or
// host name), or null.
const DeviceIdentity* findDevice(const QList<DeviceIdentity>& devices, const QString& name);

} // namespace Ctl
