#include "DeviceParameter.h"

#include <QDebugStateSaver>

#include <iterator>

namespace {

constexpr const char* kParameterNames[] = {
    "DeviceId",
    "HostName",
    "ModelName",
    "Version",
    "SerialNumber",
    "ConnectionStatus",
    "AcceptedMd5Password",
    "AllNetworkSettings",
    "IpAddress",
    "SubnetMask",
    "DefaultGateway",
    "DnsServer1",
    "DnsServer2",
    "AllDeviceStatus",
    "LoggedInStatus",
    "RunningStatus",
    "FirmwareUploadProgress",
    "UpdateProgress",
    "UpdateResult",
    "ConfigUploadProgress",
    "ImportResult",
    "StandbyScreenImageUploadProgress",
    "StandbyImageResult",
    "IdentityChanged",
    "AddressShared",
};

static_assert(std::size(kParameterNames) == static_cast<std::size_t>(kLastDeviceParameter) + 1,
              "every DeviceParameter needs a name");

} // namespace

const char* deviceParameterName(DeviceParameter type)
{
    if (!isValidDeviceParameter(type))
        return nullptr;
    return kParameterNames[static_cast<int>(type)];
}

QDebug operator<<(QDebug debug, DeviceParameter type)
{
    const QDebugStateSaver saver(debug);
    debug.nospace() << "DeviceParameter";
    if (const char* name = deviceParameterName(type))
        debug << "::" << name;
    else
        debug << '(' << static_cast<int>(type) << ')';
    return debug;
}

QDataStream& operator<<(QDataStream& stream, DeviceParameter type)
{
    // Fixed 32-bit width so the encoding does not depend on the enum's
    // underlying type.
    return stream << static_cast<qint32>(type);
}

QDataStream& operator>>(QDataStream& stream, DeviceParameter& type)
{
    qint32 raw = 0;
    stream >> raw;
    if (stream.status() != QDataStream::Ok)
        return stream;
    const auto decoded = static_cast<DeviceParameter>(raw);
    if (!isValidDeviceParameter(decoded)) {
        stream.setStatus(QDataStream::ReadCorruptData);
        return stream;
    }
    type = decoded;
    return stream;
}

void registerDeviceMetaTypes()
{
    // qRegisterMetaType is idempotent and thread-safe; the name form is what
    // SIGNAL()/SLOT() connections and QMetaType::fromName look up.
    qRegisterMetaType<DeviceParameter>("DeviceParameter");
}

bool connectionStatusFromVariant(const QVariant& value, ConnectionStatus& status)
{
    bool ok = false;
    const int number = value.toInt(&ok);
    if (!ok)
        return false;
    switch (static_cast<ConnectionStatus>(number)) {
    case ConnectionStatus::Undetermined:
    case ConnectionStatus::Inactive:
    case ConnectionStatus::Active:
    case ConnectionStatus::Connected:
        status = static_cast<ConnectionStatus>(number);
        return true;
    }
    return false;
}
