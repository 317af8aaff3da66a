#pragma once

#include <QString>
#include <QStringList>

// The command line of corvane-virtual-device for DeviceProcess::start: one
// "--device" option per device with its keys in the order given, discovery on
// a port the system chooses, HTTPS on the given port (0, the default: one the
// system chooses per device), the update and reboot timings only where set.
//
//   m_device.start(DeviceArguments().device(kAddress).mac(kId).password(kPassword).httpsPort(60010));
class DeviceArguments
{
public:
    // Begins the next device; the keys that follow are its own.
    DeviceArguments& device(const QString& address);
    // A key of the current device ("serial", "dns1", ...).
    DeviceArguments& key(const QString& name, const QString& value);
    // Keys as the option spells them, e.g. "serial=SN-1,dns2=".
    DeviceArguments& keys(const QString& list);
    DeviceArguments& id(const QString& value) { return key(QStringLiteral("id"), value); }
    DeviceArguments& mac(const QString& value) { return key(QStringLiteral("mac"), value); }
    DeviceArguments& model(const QString& value) { return key(QStringLiteral("model"), value); }
    DeviceArguments& name(const QString& value) { return key(QStringLiteral("name"), value); }
    DeviceArguments& password(const QString& value) { return key(QStringLiteral("password"), value); }
    DeviceArguments& version(const QString& value) { return key(QStringLiteral("version"), value); }
    // Faults the device starts with: "deaf" or "normal"; upload bytes per
    // second with a k or m suffix ("4m"), or "off".
    DeviceArguments& broadcast(const QString& value) { return key(QStringLiteral("broadcast"), value); }
    DeviceArguments& throttle(const QString& value) { return key(QStringLiteral("throttle"), value); }

    DeviceArguments& httpsPort(int port);
    // Firmware installation reports: one every stepMs, stepPercent each.
    DeviceArguments& updateSteps(int stepMs, int stepPercent);
    DeviceArguments& rebootMs(int ms);

    QStringList toList() const;
    operator QStringList() const { return toList(); }

private:
    QStringList m_devices;
    int m_httpsPort = 0;
    int m_stepMs = -1;
    int m_stepPercent = -1;
    int m_rebootMs = -1;
};
