#pragma once

#include "DeviceData.h"
#include "DeviceParameter.h"

#include <QString>
#include <QStringList>
#include <QVariant>

#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <set>

// Holds every known device record under its id and remembers the order in
// which ids became known. All record reads and writes go through one lock;
// change notices are emitted after it is released, so receivers may call
// back in. Records are shared: a holder keeps a removed record alive.
// Holds at most its capacity of records (unlimited unless set).
class DeviceDataManager
{
public:
    DeviceDataManager() = default;
    DeviceDataManager(const DeviceDataManager&) = delete;
    DeviceDataManager& operator=(const DeviceDataManager&) = delete;

    // True when the id is new. A known id has its model name, host name and
    // IP address refreshed. Either way every parameter is announced again.
    // False, and nothing added or announced, for a new id while full().
    bool addDevice(const QString& deviceId, const QString& modelName, const QString& hostName,
                   const QString& ipAddress);
    bool removeDevice(const QString& deviceId);
    bool exist(const QString& deviceId) const;

    // Records it holds beyond these are refused; those it holds stay.
    void setCapacity(int capacity);
    bool full() const;

    // Look-ups leave their out-parameter untouched on failure.
    bool getDeviceData(const QString& deviceId, std::shared_ptr<DeviceData>& record) const;
    bool getDeviceParameter(const QString& deviceId, DeviceParameter type, QVariant& value) const;
    bool setAndNotifyDeviceParameter(const QString& deviceId, DeviceParameter type, const QVariant& value);
    // All values in one step under the lock (DeviceData::setData of a set),
    // then each parameter announced once, in the order given.
    bool setAndNotifyDeviceParameters(const QString& deviceId, const DeviceParameterValues& values);
    void notifyParameterChanged(const QString& deviceId, DeviceParameter type);
    // False for an unknown id.
    bool resultAwaited(const QString& deviceId) const;
    // Ends an operation that waited for its result in vain, announced as a
    // change of AllDeviceStatus; false when nothing waited.
    bool settleAwaitedResult(const QString& deviceId);

    // When two records carry the same address, the one with the smaller id wins.
    bool findDeviceIdByIpAddress(const QString& ipAddress, QString& deviceId) const;
    bool getDeviceParameterByIpAddress(const QString& ipAddress, DeviceParameter type, QVariant& value) const;
    bool setAndNotifyDeviceParameterByIpAddress(const QString& ipAddress, DeviceParameter type, const QVariant& value);
    // Every record that carries the address, by id.
    QStringList deviceIdsAtIpAddress(const QString& ipAddress) const;

    // The ids, oldest first.
    QStringList deviceIds() const;

private:
    std::shared_ptr<DeviceData> find(const QString& deviceId) const;
    // Under the lock, after a write that may move the record to another
    // address, and when it goes.
    void indexAddress(const QString& deviceId, const DeviceData& record);
    void unindexAddress(const QString& deviceId);

    mutable std::mutex m_lock;
    std::map<QString, std::shared_ptr<DeviceData>> m_devices;
    QStringList m_deviceIds;
    // The records at each address, by id: every connection's key and every
    // discovery answer ask who else is there, and a look through every
    // record for each would grow with the square of the fleet.
    std::map<QString, std::set<QString>> m_idsByIp;
    std::map<QString, QString> m_ipById;
    int m_capacity = std::numeric_limits<int>::max();
};
