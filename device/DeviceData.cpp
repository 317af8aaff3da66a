#include "DeviceData.h"

#include <QStringList>

#include <utility>

namespace {

constexpr int kDnsServerCount = 2;

bool isList(const QVariant& value)
{
    // Checked by type rather than by convertibility: a QString would convert
    // to a one-element list and silently become the first DNS server.
    const int id = value.metaType().id();
    return id == QMetaType::QVariantList || id == QMetaType::QStringList;
}

} // namespace

DeviceData::DeviceData(const QString& deviceId)
    : DeviceData(deviceId, QString(), QString(), QString())
{
}

DeviceData::DeviceData(const QString& deviceId, const QString& modelName,
                       const QString& hostName, const QString& ipAddress)
    : QObject(nullptr)
    , m_deviceId(deviceId)
    , m_hostName(hostName)
    , m_modelName(modelName)
    , m_version(QString())
    , m_serialNumber(QString())
    , m_connectionStatus(-1)
    , m_acceptedMd5Password(QString())
    , m_networkSettings{
          {QLatin1String(DeviceDataKey::IpAddress), ipAddress},
          {QLatin1String(DeviceDataKey::SubnetMask), QString()},
          {QLatin1String(DeviceDataKey::DefaultGateway), QString()},
          {QLatin1String(DeviceDataKey::DnsServer), QVariantList{QString(), QString()}},
      }
    , m_deviceStatus{
          {QLatin1String(DeviceDataKey::LoggedIn), false},
          {QLatin1String(DeviceDataKey::RunningStatus), -1},
          {QLatin1String(DeviceDataKey::FirmwareUploadProgress), -1},
          {QLatin1String(DeviceDataKey::UpdateProgress), -1},
          {QLatin1String(DeviceDataKey::UpdateResult), -1},
          {QLatin1String(DeviceDataKey::ConfigUploadProgress), -1},
          {QLatin1String(DeviceDataKey::ImportResult), -1},
          {QLatin1String(DeviceDataKey::StandbyScreenImageUploadProgress), -1},
          {QLatin1String(DeviceDataKey::StandbyImageResult), -1},
          // Derived; stays empty until the first status-related change.
          {QLatin1String(DeviceDataKey::StatusMessage), QString()},
          {QLatin1String(DeviceDataKey::OperationUnderWay), false},
          {QLatin1String(DeviceDataKey::OperationOutcome), QString()},
      }
{
}

QVariant DeviceData::getData(DeviceParameter type) const
{
    switch (type) {
    case DeviceParameter::DeviceId:
        return m_deviceId;
    case DeviceParameter::HostName:
        return m_hostName;
    case DeviceParameter::ModelName:
        return m_modelName;
    case DeviceParameter::Version:
        return m_version;
    case DeviceParameter::SerialNumber:
        return m_serialNumber;
    case DeviceParameter::ConnectionStatus:
        return m_connectionStatus;
    case DeviceParameter::AcceptedMd5Password:
        return m_acceptedMd5Password;
    case DeviceParameter::AllNetworkSettings:
        return m_networkSettings;
    case DeviceParameter::AllDeviceStatus:
        return m_deviceStatus;
    default:
        break;
    }
    if (isNetworkSetting(type))
        return getNetworkSetting(type);
    if (isDeviceStatus(type))
        return getDeviceStatus(type);
    return QVariant();
}

void DeviceData::setData(DeviceParameter type, const QVariant& value)
{
    switch (type) {
    case DeviceParameter::DeviceId:
        break; // the id is the registry key and never changes
    case DeviceParameter::HostName:
        setHostName(value);
        break;
    case DeviceParameter::ModelName:
        setModelName(value);
        break;
    case DeviceParameter::Version:
        setVersion(value);
        break;
    case DeviceParameter::SerialNumber:
        setSerialNumber(value);
        break;
    case DeviceParameter::ConnectionStatus:
        setConnectionStatus(value);
        break;
    case DeviceParameter::AcceptedMd5Password:
        setAcceptedMd5Password(value);
        break;
    case DeviceParameter::AllNetworkSettings:
        setAllNetworkSettings(value);
        break;
    case DeviceParameter::AllDeviceStatus:
        setAllDeviceStatus(value);
        break;
    default:
        if (isNetworkSetting(type))
            setNetworkSetting(type, value);
        else if (isDeviceStatus(type))
            setDeviceStatus(type, value);
        break;
    }
}

void DeviceData::setData(const DeviceParameterValues& values)
{
    ++m_deferJudgement;
    for (const auto& [type, value] : values)
        setData(type, value);
    --m_deferJudgement;
    followOperation();
}

void DeviceData::notify(DeviceParameter type)
{
    Q_EMIT dataChanged(m_deviceId.toString(), type);
}

void DeviceData::notifyAllParameters()
{
    for (int i = static_cast<int>(DeviceParameter::HostName); i <= static_cast<int>(kLastDeviceParameter); ++i)
        notify(static_cast<DeviceParameter>(i));
}

void DeviceData::copy(const DeviceData& other)
{
    m_hostName = other.m_hostName;
    m_modelName = other.m_modelName;
    m_version = other.m_version;
    m_serialNumber = other.m_serialNumber;
    // Through the setters so the status board follows the copied state.
    setConnectionStatus(other.m_connectionStatus);
    setAllNetworkSettings(other.m_networkSettings);
    setAllDeviceStatus(other.m_deviceStatus);
}

void DeviceData::setHostName(const QVariant& value)
{
    m_hostName = value;
}

void DeviceData::setModelName(const QVariant& value)
{
    m_modelName = value;
}

void DeviceData::setVersion(const QVariant& value)
{
    m_version = value;
}

void DeviceData::setSerialNumber(const QVariant& value)
{
    m_serialNumber = value;
}

void DeviceData::setConnectionStatus(const QVariant& value)
{
    m_connectionStatus = value;
    // Connection status has its own field, not a status map entry.
    updateStatus(nullptr, DeviceStatusType::Connection, value);
}

void DeviceData::setAcceptedMd5Password(const QVariant& value)
{
    m_acceptedMd5Password = value;
}

QVariant DeviceData::getNetworkSetting(DeviceParameter type) const
{
    switch (type) {
    case DeviceParameter::IpAddress:
        return m_networkSettings.value(QLatin1String(DeviceDataKey::IpAddress));
    case DeviceParameter::SubnetMask:
        return m_networkSettings.value(QLatin1String(DeviceDataKey::SubnetMask));
    case DeviceParameter::DefaultGateway:
        return m_networkSettings.value(QLatin1String(DeviceDataKey::DefaultGateway));
    case DeviceParameter::DnsServer1:
        return m_networkSettings.value(QLatin1String(DeviceDataKey::DnsServer)).toList().value(0);
    case DeviceParameter::DnsServer2:
        return m_networkSettings.value(QLatin1String(DeviceDataKey::DnsServer)).toList().value(1);
    default:
        return QVariant();
    }
}

void DeviceData::setNetworkSetting(DeviceParameter type, const QVariant& value)
{
    switch (type) {
    case DeviceParameter::IpAddress:
        setIpAddress(value);
        break;
    case DeviceParameter::SubnetMask:
        setSubnetMask(value);
        break;
    case DeviceParameter::DefaultGateway:
        setDefaultGateway(value);
        break;
    case DeviceParameter::DnsServer1:
        setDnsServer(0, value);
        break;
    case DeviceParameter::DnsServer2:
        setDnsServer(1, value);
        break;
    default:
        break;
    }
}

void DeviceData::setAllNetworkSettings(const QVariant& settings)
{
    const QVariantMap map = settings.toMap();
    // A missing address entry is taken over as an invalid value on purpose:
    // the settings document is authoritative for these three.
    setIpAddress(map.value(QLatin1String(DeviceDataKey::IpAddress)));
    setSubnetMask(map.value(QLatin1String(DeviceDataKey::SubnetMask)));
    setDefaultGateway(map.value(QLatin1String(DeviceDataKey::DefaultGateway)));

    // DNS servers only for entries the list really has; a short or missing
    // list leaves the others as they were.
    const QVariant dns = map.value(QLatin1String(DeviceDataKey::DnsServer));
    if (!isList(dns))
        return;
    const QVariantList servers = dns.toList();
    for (int i = 0; i < kDnsServerCount && i < servers.size(); ++i)
        setDnsServer(i, servers.at(i));
}

void DeviceData::setIpAddress(const QVariant& value)
{
    m_networkSettings.insert(QLatin1String(DeviceDataKey::IpAddress), value);
}

void DeviceData::setSubnetMask(const QVariant& value)
{
    m_networkSettings.insert(QLatin1String(DeviceDataKey::SubnetMask), value);
}

void DeviceData::setDefaultGateway(const QVariant& value)
{
    m_networkSettings.insert(QLatin1String(DeviceDataKey::DefaultGateway), value);
}

void DeviceData::setDnsServer(int index, const QVariant& value)
{
    if (index < 0 || index >= kDnsServerCount)
        return;
    QVariantList servers = m_networkSettings.value(QLatin1String(DeviceDataKey::DnsServer)).toList();
    // The list always has two entries; guard anyway so a broken invariant
    // cannot turn into an out-of-range write.
    if (index >= servers.size() || servers.at(index) == value)
        return;
    servers[index] = value;
    m_networkSettings.insert(QLatin1String(DeviceDataKey::DnsServer), servers);
}

QVariant DeviceData::getDeviceStatus(DeviceParameter type) const
{
    switch (type) {
    case DeviceParameter::LoggedInStatus:
        return m_deviceStatus.value(QLatin1String(DeviceDataKey::LoggedIn));
    case DeviceParameter::RunningStatus:
        return m_deviceStatus.value(QLatin1String(DeviceDataKey::RunningStatus));
    case DeviceParameter::FirmwareUploadProgress:
        return m_deviceStatus.value(QLatin1String(DeviceDataKey::FirmwareUploadProgress));
    case DeviceParameter::UpdateProgress:
        return m_deviceStatus.value(QLatin1String(DeviceDataKey::UpdateProgress));
    case DeviceParameter::UpdateResult:
        return m_deviceStatus.value(QLatin1String(DeviceDataKey::UpdateResult));
    case DeviceParameter::ConfigUploadProgress:
        return m_deviceStatus.value(QLatin1String(DeviceDataKey::ConfigUploadProgress));
    case DeviceParameter::ImportResult:
        return m_deviceStatus.value(QLatin1String(DeviceDataKey::ImportResult));
    case DeviceParameter::StandbyScreenImageUploadProgress:
        return m_deviceStatus.value(QLatin1String(DeviceDataKey::StandbyScreenImageUploadProgress));
    case DeviceParameter::StandbyImageResult:
        return m_deviceStatus.value(QLatin1String(DeviceDataKey::StandbyImageResult));
    case DeviceParameter::IdentityChanged:
        return m_deviceStatus.value(QLatin1String(DeviceDataKey::IdentityChanged));
    case DeviceParameter::AddressShared:
        return m_deviceStatus.value(QLatin1String(DeviceDataKey::AddressShared));
    default:
        return QVariant();
    }
}

void DeviceData::setDeviceStatus(DeviceParameter type, const QVariant& value)
{
    switch (type) {
    case DeviceParameter::LoggedInStatus:
        setLoggedInStatus(value);
        break;
    case DeviceParameter::RunningStatus:
        setRunningStatus(value);
        break;
    case DeviceParameter::FirmwareUploadProgress:
        setFirmwareUploadProgress(value);
        break;
    case DeviceParameter::UpdateProgress:
        setUpdateProgress(value);
        break;
    case DeviceParameter::UpdateResult:
        setUpdateResult(value);
        break;
    case DeviceParameter::ConfigUploadProgress:
        setConfigUploadProgress(value);
        break;
    case DeviceParameter::ImportResult:
        setImportResult(value);
        break;
    case DeviceParameter::StandbyScreenImageUploadProgress:
        setStandbyScreenImageUploadProgress(value);
        break;
    case DeviceParameter::StandbyImageResult:
        setStandbyImageResult(value);
        break;
    case DeviceParameter::IdentityChanged:
        setIdentityChanged(value);
        break;
    case DeviceParameter::AddressShared:
        setAddressShared(value);
        break;
    default:
        break;
    }
}

void DeviceData::setAllDeviceStatus(const QVariant& status)
{
    const QVariantMap map = status.toMap();
    // Only keys the caller actually sent are applied: converting a missing
    // "updateResult" to 0 would report a successful update that never ran.
    // The upload progress entries are the program's own and are not taken
    // over; "statusMessage" is derived.
    struct Setter
    {
        const char* key;
        void (DeviceData::*apply)(const QVariant&);
    };
    static constexpr Setter kSetters[] = {
        {DeviceDataKey::LoggedIn, &DeviceData::setLoggedInStatus},
        {DeviceDataKey::RunningStatus, &DeviceData::setRunningStatus},
        {DeviceDataKey::UpdateProgress, &DeviceData::setUpdateProgress},
        {DeviceDataKey::UpdateResult, &DeviceData::setUpdateResult},
        {DeviceDataKey::ImportResult, &DeviceData::setImportResult},
        {DeviceDataKey::StandbyImageResult, &DeviceData::setStandbyImageResult},
    };
    // One state, so judged as one: idle before the result in this table's
    // order must not end an operation without it.
    ++m_deferJudgement;
    for (const Setter& setter : kSetters) {
        const auto it = map.constFind(QLatin1String(setter.key));
        if (it != map.constEnd())
            (this->*setter.apply)(it.value());
    }
    --m_deferJudgement;
    followOperation();
}

void DeviceData::setLoggedInStatus(const QVariant& value)
{
    updateStatus(DeviceDataKey::LoggedIn, DeviceStatusType::LoggedIn, value);
}

void DeviceData::setRunningStatus(const QVariant& value)
{
    updateStatus(DeviceDataKey::RunningStatus, DeviceStatusType::Running, value);
}

void DeviceData::setFirmwareUploadProgress(const QVariant& value)
{
    updateStatus(DeviceDataKey::FirmwareUploadProgress, DeviceStatusType::FirmwareUploadProgress, value);
}

void DeviceData::setUpdateProgress(const QVariant& value)
{
    updateStatus(DeviceDataKey::UpdateProgress, DeviceStatusType::FirmwareUpdateProgress, value);
}

void DeviceData::setUpdateResult(const QVariant& value)
{
    updateStatus(DeviceDataKey::UpdateResult, DeviceStatusType::FirmwareUpdateResult, value);
}

void DeviceData::setConfigUploadProgress(const QVariant& value)
{
    updateStatus(DeviceDataKey::ConfigUploadProgress, DeviceStatusType::ConfigUploadProgress, value);
}

void DeviceData::setImportResult(const QVariant& value)
{
    updateStatus(DeviceDataKey::ImportResult, DeviceStatusType::ConfigImportResult, value);
}

void DeviceData::setStandbyScreenImageUploadProgress(const QVariant& value)
{
    updateStatus(DeviceDataKey::StandbyScreenImageUploadProgress, DeviceStatusType::StandbyScreenImageUploadProgress,
                 value);
}

void DeviceData::setStandbyImageResult(const QVariant& value)
{
    updateStatus(DeviceDataKey::StandbyImageResult, DeviceStatusType::StandbyScreenImageChangeResult, value);
}

void DeviceData::setIdentityChanged(const QVariant& value)
{
    updateStatus(DeviceDataKey::IdentityChanged, DeviceStatusType::IdentityChanged, value);
}

void DeviceData::setAddressShared(const QVariant& value)
{
    updateStatus(DeviceDataKey::AddressShared, DeviceStatusType::AddressShared, value);
}

void DeviceData::updateStatus(const char* key, DeviceStatusType type, const QVariant& value)
{
    // The raw value is kept even when the board rejects it, so readers see
    // exactly what the device or the controller reported.
    if (key != nullptr)
        m_deviceStatus.insert(QLatin1String(key), value);
    m_statusBoard.setStatus(type, value);
    refreshStatusMessage();
    noteStatusUpdate(type);
}

void DeviceData::refreshStatusMessage()
{
    m_deviceStatus.insert(QLatin1String(DeviceDataKey::StatusMessage),
                          m_statusBoard.getStatusMessage(m_statusBoard.getHighestPriorityStatus()));
}

void DeviceData::noteStatusUpdate(DeviceStatusType type)
{
    m_resultCame = m_resultCame || type == DeviceStatusType::FirmwareUpdateResult
                   || type == DeviceStatusType::ConfigImportResult
                   || type == DeviceStatusType::StandbyScreenImageChangeResult;
    m_runningCame = m_runningCame || type == DeviceStatusType::Running;
    if (m_deferJudgement == 0)
        followOperation();
}

// An operation starts with its first progress and ends with its result, the
// device's loss, or the device's word that it is idle. A busy or in-call
// state in between (a device installing says it is busy) does not end it.
//
// Devices send their result and their idle state together or apart, in
// either order. Idle without the result therefore does not end the
// operation: it waits for the result until the facade's grace runs out
// (settleAwaitedResult), so a result that follows is what is said, not
// "Ready". And the result an earlier operation left on the board is wiped
// when a new one starts: it can never be taken for this one's.
void DeviceData::followOperation()
{
    const bool resultCame = std::exchange(m_resultCame, false);
    const bool runningCame = std::exchange(m_runningCame, false);
    const int activity = int(m_statusBoard.getStatus(DeviceStatusDisplayPriority::Activity));
    const DeviceStatusList connection = m_statusBoard.getStatus(DeviceStatusDisplayPriority::Connection);
    const bool wasUnderWay = m_deviceStatus.value(QLatin1String(DeviceDataKey::OperationUnderWay)).toBool();
    bool underWay = wasUnderWay;
    DeviceStatusDisplayPriority endedBy = DeviceStatusDisplayPriority::Activity;
    if (connection == DeviceStatusList::Disconnected || connection == DeviceStatusList::LoginRequired
        || connection == DeviceStatusList::IdentityChanged || connection == DeviceStatusList::AddressShared) {
        underWay = false;
        endedBy = DeviceStatusDisplayPriority::Connection;
    } else if (activity >= int(DeviceStatusList::UploadingFirmware)
               && activity <= int(DeviceStatusList::ChangingStandbyScreenImage)) {
        underWay = true;
        m_resultAwaited = false;
    } else if (resultCame) {
        underWay = false;
        endedBy = DeviceStatusDisplayPriority::Result;
    } else if (runningCame && activity == int(kNoStatus) && wasUnderWay) {
        m_resultAwaited = true;
    }
    if (underWay && !wasUnderWay && !resultCame) {
        m_statusBoard.assignStatus(DeviceStatusDisplayPriority::Result, kNoStatus, QVariant());
        refreshStatusMessage();
    }
    m_deviceStatus.insert(QLatin1String(DeviceDataKey::OperationUnderWay), underWay);
    if (wasUnderWay && !underWay)
        endOperation(endedBy);
}

bool DeviceData::settleAwaitedResult()
{
    if (!m_resultAwaited)
        return false;
    m_deviceStatus.insert(QLatin1String(DeviceDataKey::OperationUnderWay), false);
    endOperation(DeviceStatusDisplayPriority::Activity);
    return true;
}

void DeviceData::endOperation(DeviceStatusDisplayPriority endedBy)
{
    m_resultAwaited = false;
    const DeviceStatusList end = m_statusBoard.getStatus(endedBy);
    m_deviceStatus.insert(QLatin1String(DeviceDataKey::OperationOutcome),
                          end != kNoStatus ? m_statusBoard.getStatusMessage({end, QVariant()})
                                           : m_deviceStatus.value(QLatin1String(DeviceDataKey::StatusMessage)));
}
