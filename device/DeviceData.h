#pragma once

#include "DeviceParameter.h"
#include "DeviceStatus.h"

#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QVariant>
#include <QVariantMap>

// Keys of the two maps a record exposes through AllNetworkSettings and
// AllDeviceStatus. Views and settings parsers use them verbatim.
namespace DeviceDataKey {
inline constexpr char IpAddress[] = "ipAddress";
inline constexpr char SubnetMask[] = "subnetMask";
inline constexpr char DefaultGateway[] = "defaultGateway";
inline constexpr char DnsServer[] = "dnsServer";

inline constexpr char LoggedIn[] = "loggedIn";
inline constexpr char RunningStatus[] = "runningStatus";
inline constexpr char FirmwareUploadProgress[] = "firmwareUploadProgress";
inline constexpr char UpdateProgress[] = "updateProgress";
inline constexpr char UpdateResult[] = "updateResult";
inline constexpr char ConfigUploadProgress[] = "configUploadProgress";
inline constexpr char ImportResult[] = "importResult";
inline constexpr char StandbyScreenImageUploadProgress[] = "standbyScreenImageUploadProgress";
inline constexpr char StandbyImageResult[] = "standbyImageResult";
inline constexpr char IdentityChanged[] = "identityChanged";
inline constexpr char AddressShared[] = "addressShared";
inline constexpr char StatusMessage[] = "statusMessage";
// Derived: an upload or the device's own work on a file is under way and the
// device is reachable, so that its result is still to come. It holds while
// the device says it is busy meanwhile.
inline constexpr char OperationUnderWay[] = "operationUnderWay";
// Derived: how the last operation ended, in the status column's words (its
// result, or the loss that ended it); set as OperationUnderWay falls.
inline constexpr char OperationOutcome[] = "operationOutcome";
} // namespace DeviceDataKey

// The record of one device. It stores values by DeviceParameter, keeps the
// status board and the derived "statusMessage" in step, and announces changes
// only when asked to (notify): the registry writes under its lock and emits
// after releasing it.
//
// No lock of its own; the registry serialises access.
using DeviceParameterValues = QList<QPair<DeviceParameter, QVariant>>;

class DeviceData : public QObject
{
    Q_OBJECT

public:
    explicit DeviceData(const QString& deviceId);
    DeviceData(const QString& deviceId, const QString& modelName, const QString& hostName, const QString& ipAddress);

    // Invalid QVariant for a type outside the parameters.
    QVariant getData(DeviceParameter type) const;
    // Never emits. DeviceId and types outside the parameters are ignored.
    void setData(DeviceParameter type, const QVariant& value);
    // What the device said at once (one push): every value is stored before
    // the operation's end is judged, so its order does not matter.
    void setData(const DeviceParameterValues& values);

    // An operation that went idle without its result waits for it (see
    // followOperation). True while it does.
    bool resultAwaited() const { return m_resultAwaited; }
    // The wait is over: the operation ends with what the row reads. False
    // when nothing waited.
    bool settleAwaitedResult();

    void notify(DeviceParameter type);
    // Every parameter except DeviceId, which never changes.
    void notifyAllParameters();

    // Takes over what describes the device itself; keeps this record's id and
    // accepted password, which belong to this record's login.
    void copy(const DeviceData& other);

    void setHostName(const QVariant& value);
    void setModelName(const QVariant& value);
    void setVersion(const QVariant& value);
    void setSerialNumber(const QVariant& value);
    void setConnectionStatus(const QVariant& value);
    void setAcceptedMd5Password(const QVariant& value);

    // Network settings: IpAddress .. DnsServer2.
    QVariant getNetworkSetting(DeviceParameter type) const;
    void setNetworkSetting(DeviceParameter type, const QVariant& value);
    void setAllNetworkSettings(const QVariant& settings);
    void setIpAddress(const QVariant& value);
    void setSubnetMask(const QVariant& value);
    void setDefaultGateway(const QVariant& value);
    // Index 0 or 1; anything else is ignored.
    void setDnsServer(int index, const QVariant& value);

    // Device status: LoggedInStatus .. AddressShared.
    QVariant getDeviceStatus(DeviceParameter type) const;
    void setDeviceStatus(DeviceParameter type, const QVariant& value);
    void setAllDeviceStatus(const QVariant& status);
    void setLoggedInStatus(const QVariant& value);
    void setRunningStatus(const QVariant& value);
    void setFirmwareUploadProgress(const QVariant& value);
    void setUpdateProgress(const QVariant& value);
    void setUpdateResult(const QVariant& value);
    void setConfigUploadProgress(const QVariant& value);
    void setImportResult(const QVariant& value);
    void setStandbyScreenImageUploadProgress(const QVariant& value);
    void setStandbyImageResult(const QVariant& value);
    void setIdentityChanged(const QVariant& value);
    void setAddressShared(const QVariant& value);

Q_SIGNALS:
    void dataChanged(const QString& deviceID, DeviceParameter type);

private:
    // Stores the raw value under `key` (if any), feeds the board and
    // refreshes "statusMessage".
    void updateStatus(const char* key, DeviceStatusType type, const QVariant& value);
    void refreshStatusMessage();
    // Notes what a status update was; judges the operation at once unless a
    // set of values is being applied.
    void noteStatusUpdate(DeviceStatusType type);
    void followOperation();
    void endOperation(DeviceStatusDisplayPriority endedBy);

    const QVariant m_deviceId;
    QVariant m_hostName;
    QVariant m_modelName;
    QVariant m_version;
    QVariant m_serialNumber;
    QVariant m_connectionStatus;
    QVariant m_acceptedMd5Password;
    QVariantMap m_networkSettings;
    QVariantMap m_deviceStatus;
    DeviceStatus m_statusBoard;
    // What the updates since the last judgement were.
    bool m_resultCame = false;
    bool m_runningCame = false;
    int m_deferJudgement = 0;
    bool m_resultAwaited = false;
};
