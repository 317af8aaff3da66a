#include "CtlDevices.h"

#include "DeviceFacade.h"
#include "ScannableInterfaces.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QTextStream>
#include <QTimer>

#include <algorithm>

namespace Ctl {

namespace {

QString parameter(const DeviceFacade& facade, const QString& id, DeviceParameter type)
{
    QVariant value;
    return facade.getDeviceParameter(id, type, value, DeviceFindPolicy::ById) ? value.toString() : QString();
}

} // namespace

bool scanDevices(DeviceFacade& facade, const ScannableInterface& chosen, int seconds,
                 const std::function<bool()>& enough, QTextStream& err)
{
    if (facade.initialize() != 0 || !facade.startScan(chosen.toScanMap())) {
        err << "corvanectl: the scan could not start on " << chosen.interfaceName << " (" << chosen.ipAddress << ")\n";
        return false;
    }
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    QObject::connect(&facade, &DeviceFacade::deviceIDsChanged, &loop, [&] {
        if (enough && enough())
            loop.quit();
    });
    loop.exec();
    return true;
}

QList<DeviceIdentity> listDevices(const DeviceFacade& facade)
{
    QList<DeviceIdentity> devices;
    for (const QString& id : facade.deviceIDs())
        devices.append({id, parameter(facade, id, DeviceParameter::ModelName),
                        parameter(facade, id, DeviceParameter::HostName),
                        parameter(facade, id, DeviceParameter::IpAddress)});
    // By address, as a network is read.
    std::sort(devices.begin(), devices.end(), [](const DeviceIdentity& a, const DeviceIdentity& b) {
        return QHostAddress(a.ipAddress).toIPv4Address() < QHostAddress(b.ipAddress).toIPv4Address();
    });
    return devices;
}

const DeviceIdentity* findDevice(const QList<DeviceIdentity>& devices, const QString& name)
{
    for (const DeviceIdentity& device : devices) {
        if (device.macAddress.compare(name, Qt::CaseInsensitive) == 0 || device.ipAddress == name
            || (!device.hostName.isEmpty() && device.hostName == name))
            return &device;
    }
    return nullptr;
}

} // namespace Ctl
