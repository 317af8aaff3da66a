#pragma once

#include "DeviceData.h"
#include "DeviceDataManager.h"
#include "DeviceParameter.h"

#include <QHash>
#include <QMetaType>
#include <QObject>
#include <QPointer>
#include <QRecursiveMutex>
#include <QSet>
#include <QStringList>
#include <QTimer>
#include <QVariant>
#include <QVariantMap>

#include <chrono>
#include <list>
#include <memory>

class LndpController;
class PushSessionService;
struct NI_INFO_T;

// One change of the registry's id list: kind 0 added, 1 removed.
struct DeviceActivity
{
    int kind = 0;
    QString deviceId;

    static constexpr int Added = 0;
    static constexpr int Removed = 1;

    bool operator==(const DeviceActivity& other) const { return kind == other.kind && deviceId == other.deviceId; }
};
Q_DECLARE_METATYPE(DeviceActivity)
Q_DECLARE_METATYPE(std::list<DeviceActivity>)

enum class DeviceFindPolicy : int { ById = 0, ByIpAddress = 1 };

// The single entry point through which the rest of the system reaches
// devices: it owns discovery and the registry, turns discovery reports and
// push-channel events into record changes, and announces added and removed
// devices. Lives on the user-interface thread; parameter access may come
// from any thread.
class DeviceFacade : public QObject
{
    Q_OBJECT

public:
    // The process-wide facade, discovery started on first use with the
    // capacity last given to setInstanceCapacity (kDefaultMaxDevices unless
    // given). A capacity given after the first use changes nothing.
    static DeviceFacade& getInstance();
    static void setInstanceCapacity(int maxDevices);

    // A facade of its own with discovery not yet started, e.g. for a test
    // that needs the registry and the push-channel events only.
    explicit DeviceFacade(QObject* parent = nullptr);
    ~DeviceFacade() override;

    // Starts discovery (the engine and its tasks): 0, or -1 when it cannot
    // start. Until then startScan answers false. Calling it again is harmless.
    // The engine and the registry list up to `maxDevices` devices (1 to 1024;
    // the window keeps the default), fixed from the first call that starts it.
    //
    // At the limit, a device discovery reports for the first time takes the
    // place of the record that discovery lost longest ago and that nobody
    // works with (no push channel, not logged in, no accepted password);
    // with no such record it is not listed. Devices discovery sees, and
    // those logged in to, are never dropped for a newcomer. The first
    // newcomer a scan meets at the limit is told: deviceTableFull and the log.
    static constexpr int kDefaultMaxDevices = 32;
    // What an operator's scan lists unless told otherwise, and the most it
    // can be told to list (the window's and corvanectl's --max-devices).
    static constexpr int kOperatorDefaultMaxDevices = 256;
    static constexpr int kOperatorMostDevices = 1024;
    int initialize(int maxDevices = kDefaultMaxDevices);
    // The capacity discovery started with; 0 before it started.
    int maxDevices() const;

    // Sends the discovery datagram straight to `ipv4Address` as well, for
    // networks that drop broadcasts; the running scan goes on answering for
    // it. False without a running scan or for an address that cannot be a
    // device's. One address at a time: a new one takes over.
    bool probe(const QString& ipv4Address);
    // Scans started from now on ask from a port of their own rather than
    // the discovery port, beside another program that scans on this host.
    void setScanFromOwnPort(bool ownPort);
    // The running scan's socket: 1 open, 0 not yet, -1 none (no scan, or
    // its address and port cannot be had: another program holds them).
    int scanSocketState() const;

    bool scanning() const;
    QStringList deviceIDs() const;
    // The devices discovery sees at this address now (not those it lost),
    // by id: more than one when answers disagree about who holds it. Any
    // thread.
    QStringList devicesSeenAt(const QString& ipAddress) const;

    bool getDeviceParameter(const QString& key, DeviceParameter type, QVariant& value, DeviceFindPolicy policy) const;
    bool setDeviceParameter(const QString& key, DeviceParameter type, const QVariant& value, DeviceFindPolicy policy);
    // What a device said at once (one push): all stored in one step, its
    // operation judged once over the whole set, then each parameter
    // announced once. False, and nothing stored, for an unknown device.
    bool setDeviceParameters(const QString& key, const DeviceParameterValues& values, DeviceFindPolicy policy);
    // How long an operation whose device went idle without its result waits
    // for that result before it ends with what its row reads.
    static constexpr std::chrono::milliseconds kDefaultResultGrace{5000};
    void setResultGrace(std::chrono::milliseconds grace) { m_resultGrace = grace; }
    bool getDeviceData(const QString& deviceId, std::shared_ptr<DeviceData>& record) const;
    bool isConnected(const QString& deviceId) const;

    void setScanning(bool scanning, bool& changed);
    // False when the map is incomplete or malformed, or discovery cannot start.
    // Another interface (or the same adapter with a new address or mask)
    // replaces the running scan; when that fails no scan runs any more and
    // scanning() says so.
    bool startScan(const QVariantMap& networkInterface);
    // Switching to another interface removes every device; stopping the
    // interface being scanned keeps them.
    void stopScan(const QVariantMap& networkInterface);

    void updateDevice(const QString& deviceId, const QString& modelName, const QString& hostName,
                      const QString& ipAddress);
    bool removeDevice(const QString& deviceId);
    void removeAllDevices();

    // "ipAddress", "subnetMask", "macAddress", "interfaceName" into info;
    // stops at the first entry that does not convert.
    static bool convertNetworkInterfaceInfo(const QVariantMap& networkInterface, NI_INFO_T& info);

    // Connects the push-channel side (may be null until it exists).
    void setPushSessionService(PushSessionService* service);

public Q_SLOTS:
    void activateDevice(const QString& ipAddress, const QString& modelName, const QString& hostName,
                        const QString& deviceID);
    void inactivateDevice(const QString& deviceID);
    // A device's push channel, by its id.
    void onConnectedDeviceNotification(const QString& deviceId, int port);
    void onDisconnectedDeviceNotification(const QString& deviceId, int port);

Q_SIGNALS:
    void deviceIDsChanged(std::list<DeviceActivity> changedDeviceActivities);
    void scanningChanged();
    // Once per scan: the registry is full and a new device had to replace a
    // lost one, or was not listed.
    void deviceTableFull();
    // A device of a model this program does not work with answered the scan.
    void unsupportedDeviceAnswered(const QString& ipAddress, const QString& modelName);

private:
    struct WithDiscovery
    {
    };
    explicit DeviceFacade(WithDiscovery);

    int connectionStatus(const QString& deviceId) const;
    bool resolveId(const QString& key, DeviceFindPolicy policy, QString& deviceId) const;
    void followStored(const QString& deviceId, DeviceParameter type, const QVariant& value);
    // Counts the grace of a record that awaits its result; stops counting
    // once it awaits no more.
    void followResultGrace(const QString& deviceId);
    // Room for a new record in a full registry, by dropping a spare lost
    // one (its removal added to `changes`); false when there is none.
    bool makeRoomFor(std::list<DeviceActivity>& changes);
    bool inUse(const QString& deviceId) const;
    // Tells each record at `ipAddress` whether another one discovery sees
    // claims it too.
    void refreshSharing(const QString& ipAddress);

    std::unique_ptr<LndpController> m_controller;
    bool m_discoveryStarted = false;
    int m_maxDevices = 0;
    DeviceDataManager m_registry;
    bool m_scanning = false;
    mutable QRecursiveMutex m_scanLock;
    QPointer<PushSessionService> m_pushSessions;
    // Ids that discovery sees now (found and not lost since); slots of this
    // thread only. A device whose push channel ends goes back to what
    // discovery says of it.
    QSet<QString> m_discovered;
    // Ids of records discovery lost, longest lost first.
    QStringList m_lost;
    bool m_tableFullNoted = false;
    std::chrono::milliseconds m_resultGrace = kDefaultResultGrace;
    // Per record that awaits its result; on this object's thread only.
    QHash<QString, QTimer*> m_resultGraces;
};
