#pragma once

#include "LndpListener.h"

#include <QObject>
#include <QString>

#include <cstdint>

class DeviceDiscoveryCollection;

// The interface a scan runs on: IPv4 address and mask in host byte order.
struct NI_INFO_T
{
    uint32_t ipAddress = 0;
    uint32_t subnetMask = 0;
    uint8_t macAddress[6] = {};
    char interfaceName[256] = {};
};

// Binds the LNDP engine to the application: starts and stops the announcer
// on one interface, turns host reports into device identities and feeds the
// debouncing collection, whose verdicts it passes on as foundDevice and
// lostDevice.
class LndpController : public QObject, public ILNDPCallback
{
    Q_OBJECT

public:
    explicit LndpController(QObject* parent = nullptr);
    ~LndpController() override;

    // Hosts the engine lists unless initialize() is told otherwise.
    static constexpr uint32_t kDefaultHostCapacity = LNDP_HOSTS_DEFAULT;

    // 0, or -1 when the collection could not be made or hostCapacity lies
    // outside LNDP_HOSTS_MIN..LNDP_HOSTS_MAX (then nothing is started).
    // Starts the engine with room for hostCapacity hosts, shared by the
    // interfaces it scans; an engine that is already running keeps its own.
    int initialize(uint32_t hostCapacity = kDefaultHostCapacity);
    void finalize();

    // True once the announcer runs on ni. A scan already running on the
    // same interface is kept; on any other (or the same adapter with a new
    // address or mask) it is stopped first, so after a false return no
    // scan runs unless ni had no address (then the old one is untouched).
    bool startScanDevice(const NI_INFO_T& ni);
    int stopScanDevice();
    // True when ni is the interface being scanned: same adapter (MAC
    // address and name) with the same address and mask.
    bool isScanningNetworkInterface(const NI_INFO_T& ni) const;
    bool isScanning() const { return m_serviceId >= 0; }
    // The running scan also announces by unicast to ipAddress (IPv4, host
    // byte order), at once and with every announcement, for networks that
    // drop broadcasts; until the scan stops. One address per scan: another
    // call replaces it. False when no scan runs or the address is not a
    // unicast one.
    bool probeAddress(uint32_t ipAddress);
    // Whether scans started from now on ask from a port of their own (the
    // system's choice) instead of the service port, so that another program
    // scanning on this host (the window) is not in the way.
    void setScanFromOwnPort(bool ownPort) { m_ownPort = ownPort; }
    // The running scan's socket: 1 open, 0 not yet, -1 none (no scan, or
    // its address and port cannot be had).
    int scanSocketState() const;

    // Runs on the engine task with the engine's lock held.
    uint32_t onLNDPCallback(const _LNDP_HOST_INFO* host, uint8_t enabled) override;

Q_SIGNALS:
    void foundDevice(const QString& ipAddress, const QString& modelName, const QString& hostName,
                     const QString& macAddress);
    void lostDevice(const QString& macAddress);
    // A device of another model answered (with every answer it sends; from
    // the engine task): it is not listed, but a caller looking for it by
    // address can say why.
    void unsupportedDevice(const QString& ipAddress, const QString& modelName);

public Q_SLOTS:
    void onFound(const QString& ip, const QString& model, const QString& name, const QString& mac);
    void onLost(const QString& ip, const QString& model, const QString& name, const QString& mac);

private:
    int32_t m_serviceId = -1;
    bool m_ownPort = false;
    NI_INFO_T m_networkInterface;
    DeviceDiscoveryCollection* m_collection = nullptr; // child of this controller
};
