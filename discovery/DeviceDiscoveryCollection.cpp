#include "DeviceDiscoveryCollection.h"

#include <algorithm>
#include <optional>

DeviceDiscoveryCollection::DeviceDiscoveryCollection(QObject* parent, std::chrono::milliseconds checkInterval,
                                                     std::chrono::milliseconds lostThreshold, int capacity)
    : QObject(parent)
    , m_checkIntervalMs(checkInterval.count())
    , m_lostThresholdMs(lostThreshold.count())
    , m_capacity(std::max(capacity, 1))
    , m_checkTimer(this)
{
    m_clock.start();
    // Queued: a check that runs late must not pile up behind itself.
    connect(&m_checkTimer, &QTimer::timeout, this, &DeviceDiscoveryCollection::detectLostDevices, Qt::QueuedConnection);
    m_checkTimer.start(static_cast<int>(m_checkIntervalMs));
}

int DeviceDiscoveryCollection::update(const QString& ip, const QString& model, const QString& name, const QString& mac,
                                      int type)
{
    switch (type) {
    case DISCOVERY_DETECTED:
        return detected(ip, model, name, mac);
    case DISCOVERY_LOST:
        return undetected(mac, ip);
    default:
        return 0;
    }
}

int DeviceDiscoveryCollection::detected(const QString& ip, const QString& model, const QString& name,
                                        const QString& mac)
{
    std::optional<DISCOVERED_DEVICE_STATUS> evicted;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        auto it = std::find_if(m_devices.begin(), m_devices.end(),
                               [&mac](const DISCOVERED_DEVICE_STATUS& d) { return d.macAddress == mac; });
        if (it != m_devices.end()) {
            it->ipAddress = ip;
            it->modelName = model;
            it->deviceName = name;
            it->undetected = 0;
            it->undetectedTime = 0;
        } else {
            if (m_devices.size() >= m_capacity) {
                // Lost longest ago: the first to go once its threshold passed.
                const auto oldest
                    = std::min_element(m_devices.begin(), m_devices.end(),
                                       [](const DISCOVERED_DEVICE_STATUS& a, const DISCOVERED_DEVICE_STATUS& b) {
                                           return a.undetected != b.undetected ? a.undetected > b.undetected
                                                                               : a.undetectedTime < b.undetectedTime;
                                       });
                if (oldest->undetected == 0)
                    return kFull;
                evicted = *oldest;
                m_devices.erase(oldest);
            }
            m_devices.append({ip, model, name, mac, 0, 0});
        }
    }
    if (evicted)
        Q_EMIT lost(evicted->ipAddress, evicted->modelName, evicted->deviceName, evicted->macAddress);
    // Every report goes out, so that a changed name or address reaches the
    // application too.
    Q_EMIT found(ip, model, name, mac);
    return 0;
}

int DeviceDiscoveryCollection::undetected(const QString& mac, const QString& ip)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    bool known = false;
    const qint64 now = m_clock.elapsed();
    for (DISCOVERED_DEVICE_STATUS& device : m_devices) {
        if (device.macAddress == mac && (ip.isEmpty() || device.ipAddress == ip)) {
            device.undetected = 1;
            device.undetectedTime = now;
            known = true;
        }
    }
    return known ? 0 : kUnknownDevice;
}

int DeviceDiscoveryCollection::size() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return static_cast<int>(m_devices.size());
}

bool DeviceDiscoveryCollection::exists(const QString& mac) const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return std::any_of(m_devices.cbegin(), m_devices.cend(),
                       [&mac](const DISCOVERED_DEVICE_STATUS& d) { return d.macAddress == mac; });
}

void DeviceDiscoveryCollection::detectLostDevices()
{
    QList<DISCOVERED_DEVICE_STATUS> gone;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_devices.isEmpty())
            return;
        const qint64 now = m_clock.elapsed();
        for (const DISCOVERED_DEVICE_STATUS& device : std::as_const(m_devices))
            if (device.undetected != 0 && now - device.undetectedTime >= m_lostThresholdMs)
                gone.append(device);
        for (const DISCOVERED_DEVICE_STATUS& device : std::as_const(gone)) {
            const auto it
                = std::find_if(m_devices.begin(), m_devices.end(), [&device](const DISCOVERED_DEVICE_STATUS& d) {
                      return d.macAddress == device.macAddress;
                  });
            if (it != m_devices.end())
                m_devices.erase(it);
        }
    }
    for (const DISCOVERED_DEVICE_STATUS& device : std::as_const(gone))
        Q_EMIT lost(device.ipAddress, device.modelName, device.deviceName, device.macAddress);
}
