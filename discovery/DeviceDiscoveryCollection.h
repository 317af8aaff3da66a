#pragma once

#include "ResultCode.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <mutex>

// One discovered device as the collection knows it, keyed by its MAC text.
struct DISCOVERED_DEVICE_STATUS
{
    QString ipAddress;
    QString modelName;
    QString deviceName;
    QString macAddress;
    int32_t undetected = 0; // 1 once the engine reported it lost
    qint64 undetectedTime = 0; // clock time of that report
};

enum DISCOVERY_TYPE { DISCOVERY_DETECTED = 0, DISCOVERY_LOST = 1 };

// Debounces the engine's reports: a device the engine has lost is held back
// for a further lost threshold and reported lost only if it has not answered
// again by then, so a device that misses a few answers never leaves the
// operator's view. Fed from the engine task through update(); checks for
// lost devices on its own thread.
//
// It holds at most `capacity` devices, the engine's host table: hosts that
// come and go (a flood of made-up MAC addresses ageing out) would otherwise
// pile up here while held back. A new device for a full collection takes the
// place of the one the engine lost longest ago, which is reported lost at
// once; while the engine sees every device held, the new one is refused.
class DeviceDiscoveryCollection : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kCheckInterval{1000};
    static constexpr std::chrono::milliseconds kLostThreshold{10000};
    // The engine's largest host table.
    static constexpr int kDefaultCapacity = 1024;
    static constexpr int32_t kUnknownDevice = ResultCode::failure(ResultCode::Facility::DiscoveredDevices, 1);
    static constexpr int32_t kFull = ResultCode::failure(ResultCode::Facility::DiscoveredDevices, 2);

    explicit DeviceDiscoveryCollection(QObject* parent = nullptr,
                                       std::chrono::milliseconds checkInterval = kCheckInterval,
                                       std::chrono::milliseconds lostThreshold = kLostThreshold,
                                       int capacity = kDefaultCapacity);

    // Any thread. type is a DISCOVERY_TYPE; other values are ignored (0).
    int update(const QString& ip, const QString& model, const QString& name, const QString& mac, int type);
    // 0 and found, also for a device that is already known; kFull (and no
    // signal) when the collection is full and sees every device it holds.
    int detected(const QString& ip, const QString& model, const QString& name, const QString& mac);
    // 0, or kUnknownDevice when no device has that MAC (at that address,
    // unless ip is empty: another host that claimed the MAC and went away
    // does not take the device with it).
    int undetected(const QString& mac, const QString& ip = {});
    bool exists(const QString& mac) const;
    int size() const;

public Q_SLOTS:
    void detectLostDevices();

Q_SIGNALS:
    void found(const QString& ip, const QString& model, const QString& name, const QString& mac);
    void lost(const QString& ip, const QString& model, const QString& name, const QString& mac);

private:
    const qint64 m_checkIntervalMs;
    const qint64 m_lostThresholdMs;
    const int m_capacity;
    QList<DISCOVERED_DEVICE_STATUS> m_devices;
    mutable std::mutex m_mutex;
    QTimer m_checkTimer;
    QElapsedTimer m_clock;
};
