#include "LndpListener.h"

#include "lndp_api.h"
#include "lndp_manage.h"
#include "lndp_packet.h"
#include "Logger.h"
#include "vsock_wrappedSocketIf.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>

std::list<ILNDPCallback*> gCallbackList;

namespace {

constexpr const char* kNoAddress = "0.0.0.0";
constexpr uint16_t kServicePort = LNDP_SERVICE_PORT;
constexpr uint32_t kAnnounceIntervalMs = 1000;
// The engine accepts its subscriber as soon as it is initialised; a bounded
// retry keeps a broken engine from hanging start-up.
constexpr int kSubscribeAttempts = 50;
constexpr std::chrono::milliseconds kSubscribeRetryDelay{100};

bool parseIpv4(const std::string& text, netc_addr& out)
{
    return vsock_pton(NETC_AF_INET, text.c_str(), &out) == 0;
}

// The engine's notices for the operator (a full host table) go to the log.
// Runs on the engine task.
int logEngineNotice(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (length < 0)
        return length;
    std::string line(text);
    while (!line.empty() && line.back() == '\n')
        line.pop_back();
    CORVANE_LOG(line);
    return length;
}

} // namespace

uint32_t lndpCallback(const _LNDP_HOST_INFO* host, uint8_t enabled)
{
    for (ILNDPCallback* callback : gCallbackList)
        callback->onLNDPCallback(host, enabled);
    return 0;
}

int32_t LndpAbstract::initialize(const char* a, const char* b, ILNDPCallback* cb, uint32_t hostCapacity)
{
    if (a == nullptr || b == nullptr || m_initialized || hostCapacity < LNDP_HOSTS_MIN || hostCapacity > LNDP_HOSTS_MAX)
        return ResultCode::kFailure;
    m_registrationA = a;
    m_registrationB = b;
    m_callback = cb;
    if (cb != nullptr && std::find(gCallbackList.cbegin(), gCallbackList.cend(), cb) == gCallbackList.cend())
        gCallbackList.push_back(cb);

    LNDP::gl_manage.setDiagnosticOutput(logEngineNotice);
    if (ResultCode::isFailure(lndp_startupEx(hostCapacity))) {
        CORVANE_LOG("discovery engine did not start");
        return ResultCode::kFailure;
    }
    for (int attempt = 0;; ++attempt) {
        const int32_t result = lndp_subscribe(lndpCallback);
        if (result >= 0 || result == LNDP_E_ALREADY)
            break;
        if (attempt + 1 >= kSubscribeAttempts) {
            CORVANE_LOG("discovery engine refused the subscription");
            lndp_cleanup();
            return ResultCode::kFailure;
        }
        std::this_thread::sleep_for(kSubscribeRetryDelay);
    }
    m_initialized = true;
    return ResultCode::kSuccess;
}

int32_t LndpAbstract::finalize()
{
    const int32_t result = lndp_cleanup();
    if (m_callback != nullptr)
        gCallbackList.remove(m_callback);
    m_registrationA.clear();
    m_registrationB.clear();
    m_callback = nullptr;
    m_initialized = false;
    return ResultCode::isFailure(result) ? ResultCode::kFailure : ResultCode::kSuccess;
}

void LndpAbstract::setMacAddress(const uint8_t* mac, uint32_t len)
{
    std::memset(m_macAddress, 0, sizeof(m_macAddress));
    if (mac != nullptr)
        std::memcpy(m_macAddress, mac, std::min<size_t>(len, sizeof(m_macAddress)));
}

void LndpAbstract::setIpAddress(const char* ip, const char* mask)
{
    m_ipAddress = ip != nullptr ? ip : kNoAddress;
    m_subnetMask = mask != nullptr ? mask : kNoAddress;
}

void LndpAbstract::setHostName(const char* name)
{
    m_hostName = name != nullptr ? name : "";
}

void LndpAbstract::clearHostInfo()
{
    std::memset(m_macAddress, 0, sizeof(m_macAddress));
    m_ipAddress = kNoAddress;
    m_subnetMask = kNoAddress;
}

int32_t LndpAbstract::addService(const char* name, const char* instance)
{
    if (name == nullptr || instance == nullptr)
        return ResultCode::kFailure;
    if (find(name, instance) == nullptr)
        m_services.emplace_back(name, instance);
    return ResultCode::kSuccess;
}

int32_t LndpAbstract::removeService(const char* name, const char* instance)
{
    if (name == nullptr)
        return ResultCode::kFailure;
    m_services.erase(std::remove_if(m_services.begin(), m_services.end(),
                                    [&](const std::pair<std::string, std::string>& service) {
                                        return service.first == name
                                               && (instance == nullptr || service.second == instance);
                                    }),
                     m_services.end());
    return ResultCode::kSuccess;
}

const std::pair<std::string, std::string>* LndpAbstract::find(const char* name, const char* instance) const
{
    if (name == nullptr)
        return nullptr;
    const auto it = std::find_if(m_services.cbegin(), m_services.cend(), [&](const auto& service) {
        return service.first == name && (instance == nullptr || service.second == instance);
    });
    return it == m_services.cend() ? nullptr : &*it;
}

int32_t LndpAbstract::start(int* id)
{
    int32_t result = 0;
    if (m_services.empty()) {
        result = lndp2_setup(id, nullptr);
    } else {
        // One announcer per scan: only the first registered service goes out.
        const std::string& serviceName = m_services.front().first;
        _T_LNDP_NETWORK_SETUP_PROPERTY prop = {};
        prop.role = role();
        std::memcpy(prop.macAddr, m_macAddress, sizeof(prop.macAddr));
        prop.ipVersion = 4;
        if (!parseIpv4(m_ipAddress, prop.localAddr) || !parseIpv4(m_subnetMask, prop.netmask)) {
            std::printf(" lndp_setup Error %x\n", static_cast<unsigned>(LNDP_E_PARAM));
            return ResultCode::kFailure;
        }
        prop.port = kServicePort;
        prop.ownPort = m_ownPort ? 1 : 0;
        prop.serviceNameLen = static_cast<uint8_t>(std::min<size_t>(serviceName.size(), LNDP_MAX_NAME));
        prop.serviceName = reinterpret_cast<const uint8_t*>(serviceName.data());
        prop.intervalMs = kAnnounceIntervalMs;
        result = lndp2_setup(id, &prop);
    }
    if (ResultCode::isFailure(result)) {
        std::printf(" lndp_setup Error %x\n", static_cast<unsigned>(result));
        std::fflush(stdout);
        return ResultCode::kFailure;
    }
    return ResultCode::kSuccess;
}

int32_t LndpAbstract::stop(int id)
{
    lndp2_clear(id);
    return ResultCode::kSuccess;
}

int32_t LndpAbstract::refresh(int* id, int oldId)
{
    lndp2_clear(oldId);
    return start(id);
}

int32_t LndpAbstract::probe(int id, uint32_t ipv4)
{
    return lndp2_probe(id, ipv4) < 0 ? ResultCode::kFailure : ResultCode::kSuccess;
}

int32_t LndpAbstract::socketState(int id) const
{
    return lndp2_getSocketState(id);
}

int32_t LndpAbstract::getExInfo(std::vector<std::string>& out, const uint8_t* bytes, uint32_t len)
{
    if (bytes == nullptr || len == 0)
        return ResultCode::kFailure;
    uint32_t offset = 0;
    const uint8_t* text = nullptr;
    uint32_t textLength = 0;
    while (lndp_exInfoNext(bytes, len, &offset, &text, &textLength) == 1)
        out.emplace_back(reinterpret_cast<const char*>(text), textLength);
    return ResultCode::kSuccess;
}

int32_t LndpAbstract::addExInfo(std::vector<uint8_t>& out, const std::string& s)
{
    uint8_t entry[1 + LNDP_MAX_NAME];
    uint32_t used = 0;
    lndp_exInfoAppend(entry, sizeof(entry), &used, reinterpret_cast<const uint8_t*>(s.data()),
                      static_cast<uint32_t>(s.size()));
    out.insert(out.end(), entry, entry + used);
    return ResultCode::kSuccess;
}

LndpListener& LndpListener::getInstance()
{
    static LndpListener instance;
    return instance;
}

int32_t LndpListener::getServices(std::vector<ServiceRecord>& out, const char* serviceFilter) const
{
    out.clear();
    uint32_t count = 0;
    if (ResultCode::isFailure(lndp_getNumOfHost(&count)))
        return ResultCode::kFailure;
    const size_t filterLength = serviceFilter != nullptr ? std::strlen(serviceFilter) : 0;
    for (uint32_t index = 0; index < count; ++index) {
        _LNDP_HOST_INFO host = {};
        if (ResultCode::isFailure(lndp_getHostInfo(index, &host)))
            continue;
        if (serviceFilter != nullptr
            && (filterLength < host.serviceNameLen
                || std::memcmp(host.serviceName, serviceFilter, host.serviceNameLen) != 0))
            continue;
        std::vector<std::string> strings;
        getExInfo(strings, host.exInfo, std::min<uint32_t>(host.exInfoLen, sizeof(host.exInfo)));
        if (strings.size() < 3)
            continue;
        ServiceRecord record;
        record.serviceName.assign(reinterpret_cast<const char*>(host.serviceName), host.serviceNameLen);
        char address[48] = {};
        if (vsock_ntop(&host.hostAddr, address, sizeof(address)) == 0)
            record.hostAddress = address;
        std::memcpy(record.macAddress, host.macAddr, sizeof(record.macAddress));
        record.exInfo0 = strings[0];
        record.exInfo1 = strings[1];
        record.exInfo2 = strings[2];
        out.push_back(std::move(record));
    }
    return ResultCode::kSuccess;
}
