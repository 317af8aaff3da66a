#include "LndpController.h"

#include "Converter.h"
#include "DeviceDiscoveryCollection.h"
#include "LndpInfo.h"
#include "Logger.h"
#include "oswrap_api.h"
#include "vsock_wrappedSocketIf.h"

#include <cstring>

namespace {

constexpr const char* kServiceName = "_zel-scp";
constexpr const char* kNoAddress = "0.0.0.0";

netc_addr ipv4FromHostOrder(uint32_t address)
{
    netc_addr out = {};
    out.family = NETC_AF_INET;
    out.addr[0] = static_cast<uint8_t>(address >> 24);
    out.addr[1] = static_cast<uint8_t>(address >> 16);
    out.addr[2] = static_cast<uint8_t>(address >> 8);
    out.addr[3] = static_cast<uint8_t>(address);
    return out;
}

// Dotted decimal of an IPv4 address; false for anything else.
bool ipv4Text(const netc_addr& address, char (&text)[16])
{
    return address.family == NETC_AF_INET && vsock_ntop(&address, text, sizeof(text)) == 0;
}

} // namespace

LndpController::LndpController(QObject* parent)
    : QObject(parent)
{
}

LndpController::~LndpController()
{
    finalize();
}

int LndpController::initialize(uint32_t hostCapacity)
{
    if (hostCapacity < LNDP_HOSTS_MIN || hostCapacity > LNDP_HOSTS_MAX)
        return -1;
    if (m_collection == nullptr) {
        // As many devices as the engine's table: no more can be seen at once.
        m_collection
            = new DeviceDiscoveryCollection(this, DeviceDiscoveryCollection::kCheckInterval,
                                            DeviceDiscoveryCollection::kLostThreshold, static_cast<int>(hostCapacity));
        connect(m_collection, &DeviceDiscoveryCollection::found, this, &LndpController::onFound, Qt::QueuedConnection);
        connect(m_collection, &DeviceDiscoveryCollection::lost, this, &LndpController::onLost, Qt::QueuedConnection);
    }
    // Both report "already done" when another part of the program was first.
    oswrap_init();
    vsock_wrappedSocketInitModule();
    if (LndpListener::getInstance().initialize("", "", this, hostCapacity) != ResultCode::kSuccess)
        CORVANE_LOG("discovery is not available");
    return 0;
}

void LndpController::finalize()
{
    if (m_collection == nullptr)
        return;
    stopScanDevice();
    LndpListener::getInstance().finalize();
    // The engine is stopped: no more reports can reach the collection.
    delete m_collection;
    m_collection = nullptr;
}

bool LndpController::startScanDevice(const NI_INFO_T& ni)
{
    char ipText[16] = {};
    char maskText[16] = {};
    if (!ipv4Text(ipv4FromHostOrder(ni.ipAddress), ipText) || !ipv4Text(ipv4FromHostOrder(ni.subnetMask), maskText)
        || std::strcmp(ipText, kNoAddress) == 0)
        return false;

    if (m_serviceId >= 0) {
        // Already announcing: on the same interface there is nothing to do,
        // on another the old announcer must go or it would run on unseen.
        if (isScanningNetworkInterface(ni))
            return true;
        stopScanDevice();
    }

    LndpListener& listener = LndpListener::getInstance();
    listener.setMacAddress(ni.macAddress, sizeof(ni.macAddress));
    listener.setIpAddress(ipText, maskText);
    listener.addService(kServiceName, ni.interfaceName);
    listener.setOwnPort(m_ownPort);
    int serviceId = -1;
    if (listener.start(&serviceId) != ResultCode::kSuccess || serviceId < 0) {
        listener.removeService(kServiceName, ni.interfaceName);
        listener.clearHostInfo();
        CORVANE_LOG("discovery could not start on "
                    + std::string(ni.interfaceName, strnlen(ni.interfaceName, sizeof(ni.interfaceName))));
        return false;
    }
    m_serviceId = serviceId;
    m_networkInterface = ni;
    return true;
}

int LndpController::stopScanDevice()
{
    LndpListener& listener = LndpListener::getInstance();
    listener.clearHostInfo();
    listener.removeService(kServiceName, m_networkInterface.interfaceName);
    if (m_serviceId >= 0)
        listener.stop(m_serviceId);
    m_serviceId = -1;
    m_networkInterface = NI_INFO_T();
    return 0;
}

bool LndpController::probeAddress(uint32_t ipAddress)
{
    return m_serviceId >= 0 && LndpListener::getInstance().probe(m_serviceId, ipAddress) == ResultCode::kSuccess;
}

int LndpController::scanSocketState() const
{
    if (m_serviceId < 0)
        return -1;
    const int32_t state = LndpListener::getInstance().socketState(m_serviceId);
    return state == 0 || state == 1 ? state : -1;
}

bool LndpController::isScanningNetworkInterface(const NI_INFO_T& ni) const
{
    // A renewed address or a VLAN interface keeps the adapter's MAC address;
    // the announcer must still move to the new address.
    return ni.ipAddress == m_networkInterface.ipAddress && ni.subnetMask == m_networkInterface.subnetMask
           && std::memcmp(ni.macAddress, m_networkInterface.macAddress, sizeof(ni.macAddress)) == 0
           && std::strncmp(ni.interfaceName, m_networkInterface.interfaceName, sizeof(ni.interfaceName)) == 0;
}

uint32_t LndpController::onLNDPCallback(const _LNDP_HOST_INFO* host, uint8_t enabled)
{
    if (host == nullptr)
        return static_cast<uint32_t>(ResultCode::kFailure);
    if (enabled == 0) {
        // Whatever its last answer read as (its entry may have changed in
        // place to another model): a device listed once must be able to
        // leave, or the collection would keep it for good. Its address tells
        // it from another host that claims the same MAC address.
        char ipText[16] = {};
        ipv4Text(host->hostAddr, ipText);
        if (m_collection != nullptr)
            m_collection->update(QString::fromLatin1(ipText), {}, {}, Converter::macUint8ArrayToQStr(host->macAddr),
                                 DISCOVERY_LOST);
        return 0;
    }
    Apps::LndpInfo info;
    const int32_t imported = info.importLndpApiHostInfo(host);
    if (imported != ResultCode::kSuccess && imported != Apps::LndpInfo::kUnsupportedModel)
        return static_cast<uint32_t>(ResultCode::kFailure);

    netc_addr address = {};
    info.getIpAddr(&address);
    char ipText[16] = {};
    // The rest of the system talks to devices over IPv4 only.
    if (!ipv4Text(address, ipText))
        return static_cast<uint32_t>(ResultCode::kFailure);
    if (imported == Apps::LndpInfo::kUnsupportedModel) {
        Q_EMIT unsupportedDevice(QString::fromLatin1(ipText), QString::fromStdString(info.modelName()));
        return static_cast<uint32_t>(ResultCode::kFailure);
    }
    uint8_t mac[6] = {};
    info.getMacAddr(mac);

    if (m_collection != nullptr)
        m_collection->update(QString::fromLatin1(ipText), QString::fromStdString(info.modelName()),
                             QString::fromStdString(info.hostName()), Converter::macUint8ArrayToQStr(mac),
                             DISCOVERY_DETECTED);
    return 0;
}

void LndpController::onFound(const QString& ip, const QString& model, const QString& name, const QString& mac)
{
    Q_EMIT foundDevice(ip, model, name, mac);
}

void LndpController::onLost(const QString&, const QString&, const QString&, const QString& mac)
{
    Q_EMIT lostDevice(mac);
}
