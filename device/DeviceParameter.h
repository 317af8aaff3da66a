#pragma once

#include <QDataStream>
#include <QDebug>
#include <QMetaType>

// The pieces of data a device record holds. Every read, write and change
// notice on a record names its value by one of these. The numbers are part of
// the contract (views and streams carry them as integers), so they are fixed.
enum class DeviceParameter : int {
    DeviceId = 0,
    HostName = 1,
    ModelName = 2,
    Version = 3,
    SerialNumber = 4,
    ConnectionStatus = 5,
    AcceptedMd5Password = 6,
    AllNetworkSettings = 7,
    IpAddress = 8,
    SubnetMask = 9,
    DefaultGateway = 10,
    DnsServer1 = 11,
    DnsServer2 = 12,
    AllDeviceStatus = 13,
    LoggedInStatus = 14,
    RunningStatus = 15,
    FirmwareUploadProgress = 16,
    UpdateProgress = 17,
    UpdateResult = 18,
    ConfigUploadProgress = 19,
    ImportResult = 20,
    StandbyScreenImageUploadProgress = 21,
    StandbyImageResult = 22,
};

// Lowest and highest member; there is deliberately no count member, so range
// checks use these.
inline constexpr DeviceParameter kFirstDeviceParameter = DeviceParameter::DeviceId;
inline constexpr DeviceParameter kLastDeviceParameter = DeviceParameter::StandbyImageResult;

// True for the 23 named members; integers cast into the enum outside that
// range are not parameters.
constexpr bool isValidDeviceParameter(DeviceParameter type)
{
    return static_cast<int>(type) >= static_cast<int>(kFirstDeviceParameter)
        && static_cast<int>(type) <= static_cast<int>(kLastDeviceParameter);
}

// Member name without the scope, e.g. "IpAddress"; nullptr when out of range.
const char* deviceParameterName(DeviceParameter type);

// Declared before the meta type is first used so that QMetaType picks them up
// for debug output and for QVariant / QDataStream round trips.
QDebug operator<<(QDebug debug, DeviceParameter type);
QDataStream& operator<<(QDataStream& stream, DeviceParameter type);
// A value outside the named members sets the stream to ReadCorruptData and
// leaves `type` unchanged.
QDataStream& operator>>(QDataStream& stream, DeviceParameter& type);

Q_DECLARE_METATYPE(DeviceParameter)

// Registers the device-model types that travel through queued signals (by
// name as well, for string-based connections). Safe to call any number of
// times and from any thread.
void registerDeviceMetaTypes();
