#include "DeviceDataManager.h"

#include <algorithm>

std::shared_ptr<DeviceData> DeviceDataManager::find(const QString& deviceId) const
{
    const auto it = m_devices.find(deviceId);
    return it == m_devices.end() ? nullptr : it->second;
}

void DeviceDataManager::indexAddress(const QString& deviceId, const DeviceData& record)
{
    const QString ipAddress = record.getData(DeviceParameter::IpAddress).toString();
    const auto known = m_ipById.find(deviceId);
    if (known != m_ipById.end() && known->second == ipAddress)
        return;
    unindexAddress(deviceId);
    m_ipById.emplace(deviceId, ipAddress);
    m_idsByIp[ipAddress].insert(deviceId);
}

void DeviceDataManager::unindexAddress(const QString& deviceId)
{
    const auto known = m_ipById.find(deviceId);
    if (known == m_ipById.end())
        return;
    const auto at = m_idsByIp.find(known->second);
    if (at != m_idsByIp.end()) {
        at->second.erase(deviceId);
        if (at->second.empty())
            m_idsByIp.erase(at);
    }
    m_ipById.erase(known);
}

bool DeviceDataManager::addDevice(const QString& deviceId, const QString& modelName, const QString& hostName,
                                  const QString& ipAddress)
{
    bool added = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (const std::shared_ptr<DeviceData> record = find(deviceId)) {
            record->setData(DeviceParameter::ModelName, modelName);
            record->setData(DeviceParameter::HostName, hostName);
            record->setData(DeviceParameter::IpAddress, ipAddress);
            indexAddress(deviceId, *record);
        } else if (m_deviceIds.size() >= m_capacity) {
            return false;
        } else {
            const auto made = std::make_shared<DeviceData>(deviceId, modelName, hostName, ipAddress);
            m_devices.emplace(deviceId, made);
            m_deviceIds.append(deviceId);
            indexAddress(deviceId, *made);
            added = true;
        }
    }
    std::shared_ptr<DeviceData> record;
    if (getDeviceData(deviceId, record))
        record->notifyAllParameters();
    return added;
}

bool DeviceDataManager::removeDevice(const QString& deviceId)
{
    std::shared_ptr<DeviceData> removed;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const auto it = m_devices.find(deviceId);
        if (it == m_devices.end())
            return false;
        // Dropped after the lock: the last reference may run the record's
        // destructor, which must not happen under the registry's lock.
        removed = std::move(it->second);
        m_devices.erase(it);
        m_deviceIds.removeAll(deviceId);
        unindexAddress(deviceId);
    }
    return true;
}

void DeviceDataManager::setCapacity(int capacity)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_capacity = std::max(capacity, 0);
}

bool DeviceDataManager::full() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_deviceIds.size() >= m_capacity;
}

bool DeviceDataManager::exist(const QString& deviceId) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_deviceIds.contains(deviceId);
}

bool DeviceDataManager::getDeviceData(const QString& deviceId, std::shared_ptr<DeviceData>& record) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::shared_ptr<DeviceData> found = find(deviceId);
    if (!found)
        return false;
    record = std::move(found);
    return true;
}

bool DeviceDataManager::getDeviceParameter(const QString& deviceId, DeviceParameter type, QVariant& value) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    const std::shared_ptr<DeviceData> record = find(deviceId);
    if (!record)
        return false;
    value = record->getData(type);
    return true;
}

bool DeviceDataManager::setAndNotifyDeviceParameter(const QString& deviceId, DeviceParameter type,
                                                    const QVariant& value)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const std::shared_ptr<DeviceData> record = find(deviceId);
        if (!record)
            return false;
        record->setData(type, value);
        if (type == DeviceParameter::IpAddress)
            indexAddress(deviceId, *record);
    }
    notifyParameterChanged(deviceId, type);
    return true;
}

bool DeviceDataManager::setAndNotifyDeviceParameters(const QString& deviceId, const DeviceParameterValues& values)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const std::shared_ptr<DeviceData> record = find(deviceId);
        if (!record)
            return false;
        record->setData(values);
        indexAddress(deviceId, *record);
    }
    QList<DeviceParameter> announced;
    for (const auto& [type, value] : values) {
        if (announced.contains(type))
            continue;
        announced.append(type);
        notifyParameterChanged(deviceId, type);
    }
    return true;
}

bool DeviceDataManager::resultAwaited(const QString& deviceId) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    const std::shared_ptr<DeviceData> record = find(deviceId);
    return record && record->resultAwaited();
}

bool DeviceDataManager::settleAwaitedResult(const QString& deviceId)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const std::shared_ptr<DeviceData> record = find(deviceId);
        if (!record || !record->settleAwaitedResult())
            return false;
    }
    notifyParameterChanged(deviceId, DeviceParameter::AllDeviceStatus);
    return true;
}

void DeviceDataManager::notifyParameterChanged(const QString& deviceId, DeviceParameter type)
{
    std::shared_ptr<DeviceData> record;
    if (getDeviceData(deviceId, record))
        record->notify(type);
}

bool DeviceDataManager::findDeviceIdByIpAddress(const QString& ipAddress, QString& deviceId) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    // Ids in order: the first is the smallest.
    const auto at = m_idsByIp.find(ipAddress);
    if (at == m_idsByIp.end())
        return false;
    deviceId = *at->second.begin();
    return true;
}

bool DeviceDataManager::getDeviceParameterByIpAddress(const QString& ipAddress, DeviceParameter type,
                                                      QVariant& value) const
{
    QString deviceId;
    return findDeviceIdByIpAddress(ipAddress, deviceId) && getDeviceParameter(deviceId, type, value);
}

bool DeviceDataManager::setAndNotifyDeviceParameterByIpAddress(const QString& ipAddress, DeviceParameter type,
                                                               const QVariant& value)
{
    QString deviceId;
    return findDeviceIdByIpAddress(ipAddress, deviceId) && setAndNotifyDeviceParameter(deviceId, type, value);
}

QStringList DeviceDataManager::deviceIdsAtIpAddress(const QString& ipAddress) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    const auto at = m_idsByIp.find(ipAddress);
    return at == m_idsByIp.end() ? QStringList() : QStringList(at->second.cbegin(), at->second.cend());
}

QStringList DeviceDataManager::deviceIds() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_deviceIds;
}
