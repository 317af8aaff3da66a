#include "DeviceFacade.h"

#include "Converter.h"
#include "DeviceEndpoints.h"
#include "LndpController.h"
#include "Logger.h"
#include "PushSessionService.h"

#include <QHostAddress>
#include <QMutexLocker>
#include <QThread>

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

int s_instanceCapacity = DeviceFacade::kDefaultMaxDevices;

} // namespace

DeviceFacade& DeviceFacade::getInstance()
{
    static DeviceFacade instance(WithDiscovery{});
    return instance;
}

void DeviceFacade::setInstanceCapacity(int maxDevices)
{
    s_instanceCapacity = maxDevices;
}

// Discovery starts inside the constructor, so that the engine's own
// singletons are complete before the facade and outlive it at exit.
DeviceFacade::DeviceFacade(WithDiscovery)
    : DeviceFacade()
{
    initialize(s_instanceCapacity);
}

DeviceFacade::DeviceFacade(QObject* parent)
    : QObject(parent)
    , m_controller(std::make_unique<LndpController>())
{
    registerDeviceMetaTypes();
    qRegisterMetaType<DeviceActivity>("DeviceActivity");
    qRegisterMetaType<std::list<DeviceActivity>>("std::list<DeviceActivity>");

    connect(m_controller.get(), &LndpController::foundDevice, this, &DeviceFacade::activateDevice,
            Qt::QueuedConnection);
    connect(m_controller.get(), &LndpController::lostDevice, this, &DeviceFacade::inactivateDevice,
            Qt::QueuedConnection);
    connect(m_controller.get(), &LndpController::unsupportedDevice, this, &DeviceFacade::unsupportedDeviceAnswered,
            Qt::QueuedConnection);
}

DeviceFacade::~DeviceFacade()
{
    // Discovery stops before the registry goes, so no report arrives for it.
    m_controller->finalize();
}

int DeviceFacade::initialize(int maxDevices)
{
    QMutexLocker locker(&m_scanLock);
    if (m_discoveryStarted)
        return 0;
    if (maxDevices < 1 || m_controller->initialize(static_cast<uint32_t>(maxDevices)) != 0) {
        CORVANE_LOG("discovery cannot start");
        return -1;
    }
    m_registry.setCapacity(maxDevices);
    m_maxDevices = maxDevices;
    m_discoveryStarted = true;
    return 0;
}

int DeviceFacade::maxDevices() const
{
    QMutexLocker locker(&m_scanLock);
    return m_maxDevices;
}

void DeviceFacade::setScanFromOwnPort(bool ownPort)
{
    QMutexLocker locker(&m_scanLock);
    m_controller->setScanFromOwnPort(ownPort);
}

int DeviceFacade::scanSocketState() const
{
    QMutexLocker locker(&m_scanLock);
    return m_discoveryStarted ? m_controller->scanSocketState() : -1;
}

bool DeviceFacade::probe(const QString& ipv4Address)
{
    bool ok = false;
    const quint32 address = QHostAddress(ipv4Address).toIPv4Address(&ok);
    QMutexLocker locker(&m_scanLock);
    return ok && m_discoveryStarted && m_controller->probeAddress(address);
}

void DeviceFacade::setPushSessionService(PushSessionService* service)
{
    if (m_pushSessions)
        disconnect(m_pushSessions, nullptr, this, nullptr);
    m_pushSessions = service;
    if (service == nullptr)
        return;
    connect(service, &PushSessionService::connected, this, &DeviceFacade::onConnectedDeviceNotification,
            Qt::QueuedConnection);
    connect(service, &PushSessionService::disconnected, this, &DeviceFacade::onDisconnectedDeviceNotification,
            Qt::QueuedConnection);
}

bool DeviceFacade::scanning() const
{
    QMutexLocker locker(&m_scanLock);
    return m_scanning;
}

QStringList DeviceFacade::deviceIDs() const
{
    return m_registry.deviceIds();
}

QStringList DeviceFacade::devicesSeenAt(const QString& ipAddress) const
{
    QStringList seen = m_registry.deviceIdsAtIpAddress(ipAddress);
    seen.removeIf([this](const QString& id) { return connectionStatus(id) == toInt(ConnectionStatus::Inactive); });
    return seen;
}

bool DeviceFacade::getDeviceParameter(const QString& key, DeviceParameter type, QVariant& value,
                                      DeviceFindPolicy policy) const
{
    switch (policy) {
    case DeviceFindPolicy::ById:
        return m_registry.getDeviceParameter(key, type, value);
    case DeviceFindPolicy::ByIpAddress:
        return m_registry.getDeviceParameterByIpAddress(key, type, value);
    }
    return false;
}

bool DeviceFacade::resolveId(const QString& key, DeviceFindPolicy policy, QString& deviceId) const
{
    switch (policy) {
    case DeviceFindPolicy::ById:
        deviceId = key;
        return true;
    case DeviceFindPolicy::ByIpAddress:
        return m_registry.findDeviceIdByIpAddress(key, deviceId);
    }
    return false;
}

bool DeviceFacade::setDeviceParameter(const QString& key, DeviceParameter type, const QVariant& value,
                                      DeviceFindPolicy policy)
{
    QString id;
    if (!resolveId(key, policy, id) || !m_registry.setAndNotifyDeviceParameter(id, type, value))
        return false;
    followStored(id, type, value);
    followResultGrace(id);
    return true;
}

bool DeviceFacade::setDeviceParameters(const QString& key, const DeviceParameterValues& values, DeviceFindPolicy policy)
{
    QString id;
    if (!resolveId(key, policy, id) || !m_registry.setAndNotifyDeviceParameters(id, values))
        return false;
    for (const auto& [type, value] : values)
        followStored(id, type, value);
    followResultGrace(id);
    return true;
}

void DeviceFacade::followStored(const QString& deviceId, DeviceParameter type, const QVariant& value)
{
    // A login that is over (refused, or its channel ended by the device)
    // leaves a device that discovery still sees offering its login again.
    if (type == DeviceParameter::LoggedInStatus && !value.toBool() && m_discovered.contains(deviceId)
        && connectionStatus(deviceId) == toInt(ConnectionStatus::Inactive))
        m_registry.setAndNotifyDeviceParameter(deviceId, DeviceParameter::ConnectionStatus,
                                               toInt(ConnectionStatus::Active));
}

void DeviceFacade::followResultGrace(const QString& deviceId)
{
    // The timers are this object's; a set made on another thread is
    // followed on this one.
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this, deviceId] { followResultGrace(deviceId); }, Qt::QueuedConnection);
        return;
    }
    const auto counting = m_resultGraces.find(deviceId);
    if (!m_registry.resultAwaited(deviceId)) {
        if (counting != m_resultGraces.end()) {
            counting.value()->stop();
            counting.value()->deleteLater();
            m_resultGraces.erase(counting);
        }
        return;
    }
    if (counting != m_resultGraces.end())
        return; // counting since the device went idle; no extension
    auto* timer = new QTimer(this);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this, deviceId, timer] {
        m_resultGraces.remove(deviceId);
        timer->deleteLater();
        if (m_registry.settleAwaitedResult(deviceId))
            CORVANE_LOG(QStringLiteral("device %1 went idle and sent no result within %2 ms")
                            .arg(deviceId)
                            .arg(m_resultGrace.count()));
    });
    m_resultGraces.insert(deviceId, timer);
    timer->start(m_resultGrace);
}

bool DeviceFacade::getDeviceData(const QString& deviceId, std::shared_ptr<DeviceData>& record) const
{
    return m_registry.getDeviceData(deviceId, record);
}

int DeviceFacade::connectionStatus(const QString& deviceId) const
{
    QVariant status;
    ConnectionStatus value = ConnectionStatus::Undetermined;
    if (m_registry.getDeviceParameter(deviceId, DeviceParameter::ConnectionStatus, status))
        connectionStatusFromVariant(status, value);
    return toInt(value);
}

bool DeviceFacade::isConnected(const QString& deviceId) const
{
    return connectionStatus(deviceId) == toInt(ConnectionStatus::Connected);
}

void DeviceFacade::setScanning(bool scanning, bool& changed)
{
    QMutexLocker locker(&m_scanLock);
    changed = (m_scanning != scanning);
    m_scanning = scanning;
}

bool DeviceFacade::startScan(const QVariantMap& networkInterface)
{
    bool wasScanning = false;
    bool nowScanning = false;
    bool started = false;
    {
        QMutexLocker locker(&m_scanLock);
        NI_INFO_T info;
        if (!convertNetworkInterfaceInfo(networkInterface, info))
            return false;
        if (!m_discoveryStarted)
            return false;
        started = m_controller->startScanDevice(info);
        if (started)
            m_tableFullNoted = false; // a new scan may say it again
        wasScanning = m_scanning;
        // A failed restart may have stopped the scan that ran before; the
        // flag says what runs now, not what was asked for.
        m_scanning = started || m_controller->isScanning();
        nowScanning = m_scanning;
    }
    if (wasScanning != nowScanning)
        Q_EMIT scanningChanged();
    return started;
}

void DeviceFacade::stopScan(const QVariantMap& networkInterface)
{
    NI_INFO_T info;
    if (!convertNetworkInterfaceInfo(networkInterface, info))
        return;
    if (!m_controller->isScanningNetworkInterface(info))
        removeAllDevices();

    bool wasScanning = false;
    {
        QMutexLocker locker(&m_scanLock);
        if (m_discoveryStarted)
            m_controller->stopScanDevice();
        wasScanning = m_scanning;
        m_scanning = false;
    }
    if (wasScanning)
        Q_EMIT scanningChanged();
}

void DeviceFacade::updateDevice(const QString& deviceId, const QString& modelName, const QString& hostName,
                                const QString& ipAddress)
{
    std::list<DeviceActivity> changes;
    if (!m_registry.exist(deviceId) && !makeRoomFor(changes))
        return;
    QVariant before;
    m_registry.getDeviceParameter(deviceId, DeviceParameter::IpAddress, before);
    if (m_registry.addDevice(deviceId, modelName, hostName, ipAddress))
        changes.push_back({DeviceActivity::Added, deviceId});
    if (!changes.empty())
        Q_EMIT deviceIDsChanged(changes);
    if (before.toString() != ipAddress)
        refreshSharing(before.toString());
    refreshSharing(ipAddress);
}

bool DeviceFacade::inUse(const QString& deviceId) const
{
    QVariant loggedIn;
    QVariant password;
    m_registry.getDeviceParameter(deviceId, DeviceParameter::LoggedInStatus, loggedIn);
    m_registry.getDeviceParameter(deviceId, DeviceParameter::AcceptedMd5Password, password);
    return m_discovered.contains(deviceId) || isConnected(deviceId) || loggedIn.toBool()
           || !password.toString().isEmpty();
}

bool DeviceFacade::makeRoomFor(std::list<DeviceActivity>& changes)
{
    if (!m_registry.full())
        return true;
    if (!m_tableFullNoted) {
        // Once per scan: a flood would otherwise say it with every answer.
        m_tableFullNoted = true;
        CORVANE_LOG(QStringLiteral("device table full (%1 devices): devices lost longest ago make room, others "
                                   "are not listed")
                        .arg(m_registry.deviceIds().size()));
        Q_EMIT deviceTableFull();
    }
    const auto spare = std::find_if(m_lost.cbegin(), m_lost.cend(), [this](const QString& id) { return !inUse(id); });
    if (spare == m_lost.cend())
        return false;
    const QString gone = *spare;
    if (removeDevice(gone))
        changes.push_back({DeviceActivity::Removed, gone});
    return !m_registry.full();
}

void DeviceFacade::refreshSharing(const QString& ipAddress)
{
    if (ipAddress.isEmpty())
        return;
    const QStringList seen = devicesSeenAt(ipAddress);
    for (const QString& id : m_registry.deviceIdsAtIpAddress(ipAddress)) {
        const bool shared = seen.size() > 1 && seen.contains(id);
        QVariant was;
        m_registry.getDeviceParameter(id, DeviceParameter::AddressShared, was);
        if (was.toBool() != shared)
            m_registry.setAndNotifyDeviceParameter(id, DeviceParameter::AddressShared, shared);
    }
}

bool DeviceFacade::removeDevice(const QString& deviceId)
{
    m_discovered.remove(deviceId);
    m_lost.removeAll(deviceId);
    if (!isConnected(deviceId))
        m_registry.setAndNotifyDeviceParameter(deviceId, DeviceParameter::ConnectionStatus,
                                               toInt(ConnectionStatus::Inactive));

    if (m_pushSessions)
        m_pushSessions->destroySession(deviceId, DeviceEndpoints::kPushPort);

    QVariant ipAddress;
    m_registry.getDeviceParameter(deviceId, DeviceParameter::IpAddress, ipAddress);
    const bool removed = m_registry.removeDevice(deviceId);
    refreshSharing(ipAddress.toString());
    return removed;
}

void DeviceFacade::removeAllDevices()
{
    std::list<DeviceActivity> removed;
    for (const QString& deviceId : m_registry.deviceIds())
        if (removeDevice(deviceId))
            removed.push_back({DeviceActivity::Removed, deviceId});
    if (!removed.empty())
        Q_EMIT deviceIDsChanged(removed);
}

bool DeviceFacade::convertNetworkInterfaceInfo(const QVariantMap& networkInterface, NI_INFO_T& info)
{
    uint32_t address = 0;
    if (!Converter::ipStrToUint32(networkInterface.value(QStringLiteral("ipAddress")).toString().toStdString(),
                                  address))
        return false;
    info.ipAddress = address;

    uint32_t mask = 0;
    if (!Converter::ipStrToUint32(networkInterface.value(QStringLiteral("subnetMask")).toString().toStdString(), mask))
        return false;
    info.subnetMask = mask;

    if (!Converter::macStrToUint8Array(networkInterface.value(QStringLiteral("macAddress")).toString().toStdString(),
                                       info.macAddress))
        return false;

    const QByteArray name = networkInterface.value(QStringLiteral("interfaceName")).toString().toUtf8();
    if (name.isEmpty() || name.size() > static_cast<qsizetype>(sizeof(info.interfaceName) - 1))
        return false;
    std::fill(std::begin(info.interfaceName), std::end(info.interfaceName), '\0');
    std::memcpy(info.interfaceName, name.constData(), static_cast<size_t>(name.size()));
    return true;
}

void DeviceFacade::activateDevice(const QString& ipAddress, const QString& modelName, const QString& hostName,
                                  const QString& deviceID)
{
    updateDevice(deviceID, modelName, hostName, ipAddress);
    if (!m_registry.exist(deviceID))
        return; // not listed: the table is full
    m_discovered.insert(deviceID);
    m_lost.removeAll(deviceID);
    // An open push channel says more about the device than discovery does.
    if (!isConnected(deviceID))
        m_registry.setAndNotifyDeviceParameter(deviceID, DeviceParameter::ConnectionStatus,
                                               toInt(ConnectionStatus::Active));
    refreshSharing(ipAddress);
}

void DeviceFacade::inactivateDevice(const QString& deviceID)
{
    m_discovered.remove(deviceID);
    m_lost.removeAll(deviceID);
    if (m_registry.exist(deviceID))
        m_lost.append(deviceID);
    if (!isConnected(deviceID))
        m_registry.setAndNotifyDeviceParameter(deviceID, DeviceParameter::ConnectionStatus,
                                               toInt(ConnectionStatus::Inactive));
    QVariant ipAddress;
    m_registry.getDeviceParameter(deviceID, DeviceParameter::IpAddress, ipAddress);
    refreshSharing(ipAddress.toString());
}

void DeviceFacade::onConnectedDeviceNotification(const QString& deviceId, int /*port*/)
{
    setDeviceParameter(deviceId, DeviceParameter::ConnectionStatus, toInt(ConnectionStatus::Connected),
                       DeviceFindPolicy::ById);
}

void DeviceFacade::onDisconnectedDeviceNotification(const QString& deviceId, int /*port*/)
{
    // A channel that dropped while its login holds is being reopened (the
    // reconnection logs in by itself): "Disconnected". One whose login is
    // over leaves a device that discovery still sees offering its login.
    QVariant loggedIn;
    m_registry.getDeviceParameter(deviceId, DeviceParameter::LoggedInStatus, loggedIn);
    setDeviceParameter(deviceId, DeviceParameter::ConnectionStatus,
                       m_discovered.contains(deviceId) && !loggedIn.toBool() ? toInt(ConnectionStatus::Active)
                                                                             : toInt(ConnectionStatus::Inactive),
                       DeviceFindPolicy::ById);
}
