#pragma once

#include <QDataStream>
#include <QDebug>
#include <QMetaType>
#include <QVariant>

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
    // The device showed another key than the one pinned for it; its
    // credential is held back until the operator accepts or forgets it.
    IdentityChanged = 23,
    // Another device discovery sees claims this device's address. A device
    // without a pinned key is not logged in to while so.
    AddressShared = 24,
};

// Lowest and highest member; there is deliberately no count member, so range
// checks use these.
inline constexpr DeviceParameter kFirstDeviceParameter = DeviceParameter::DeviceId;
inline constexpr DeviceParameter kLastDeviceParameter = DeviceParameter::AddressShared;

// True for the 25 named members; integers cast into the enum outside that
// range are not parameters.
constexpr bool isValidDeviceParameter(DeviceParameter type)
{
    return static_cast<int>(type) >= static_cast<int>(kFirstDeviceParameter)
           && static_cast<int>(type) <= static_cast<int>(kLastDeviceParameter);
}

// The settings that travel together as AllNetworkSettings.
constexpr bool isNetworkSetting(DeviceParameter type)
{
    return static_cast<int>(type) >= static_cast<int>(DeviceParameter::IpAddress)
           && static_cast<int>(type) <= static_cast<int>(DeviceParameter::DnsServer2);
}

// The pieces of the status board that travel together as AllDeviceStatus.
constexpr bool isDeviceStatus(DeviceParameter type)
{
    return static_cast<int>(type) >= static_cast<int>(DeviceParameter::LoggedInStatus)
           && static_cast<int>(type) <= static_cast<int>(kLastDeviceParameter);
}

// Values of DeviceParameter::ConnectionStatus. The numbers are what the
// record stores and the views compare, so they are fixed.
enum class ConnectionStatus : int {
    Undetermined = -1, // not yet seen by discovery or the push channel
    Inactive = 0, // lost by discovery, or the push channel closed
    Active = 1, // seen by discovery, push channel not open
    Connected = 3, // push channel open
};

// The stored form of a connection status, for setDeviceParameter.
constexpr int toInt(ConnectionStatus status)
{
    return static_cast<int>(status);
}

// The status a stored value names; false (status untouched) for anything
// else, e.g. a value that is no number or the unused 2.
bool connectionStatusFromVariant(const QVariant& value, ConnectionStatus& status);

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
