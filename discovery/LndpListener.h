#pragma once

#include "ResultCode.h"

#include "lndp_types.h"

#include <cstdint>
#include <list>
#include <string>
#include <utility>
#include <vector>

// Receives every host change of the LNDP engine (on the engine task, with the
// engine's lock held: no lndp_ calls from here).
class ILNDPCallback
{
public:
    virtual ~ILNDPCallback() = default;
    virtual uint32_t onLNDPCallback(const _LNDP_HOST_INFO* host, uint8_t enabled) = 0;
};

// The engine's one subscriber: fans host changes out to gCallbackList.
uint32_t lndpCallback(const _LNDP_HOST_INFO* host, uint8_t enabled);

// Registered callbacks, each once, in registration order. Changed only while
// the engine is not running.
extern std::list<ILNDPCallback*> gCallbackList;

// The service registry in front of the engine's C interface: the interface
// identity to announce from and the (service name, instance name) pairs.
class LndpAbstract
{
public:
    LndpAbstract() = default;
    virtual ~LndpAbstract() = default;
    LndpAbstract(const LndpAbstract&) = delete;
    LndpAbstract& operator=(const LndpAbstract&) = delete;

    // Starts the engine with a table of hostCapacity hosts and subscribes
    // lndpCallback. ResultCode::kFailure for a null string, a capacity outside
    // LNDP_HOSTS_MIN..LNDP_HOSTS_MAX (both before anything is changed), a
    // second call, or an engine that cannot start or be subscribed.
    int32_t initialize(const char* a, const char* b, ILNDPCallback* cb, uint32_t hostCapacity = LNDP_HOSTS_DEFAULT);
    int32_t finalize();

    void setMacAddress(const uint8_t* mac, uint32_t len);
    void setIpAddress(const char* ip, const char* mask);
    void setHostName(const char* name);
    void clearHostInfo();

    int32_t addService(const char* name, const char* instance);
    int32_t removeService(const char* name, const char* instance);
    // The first matching pair, or null.
    const std::pair<std::string, std::string>* find(const char* name, const char* instance) const;

    // Configures the first registered service as an announcer on the set
    // interface; *id receives the engine's service id.
    int32_t start(int* id);
    int32_t stop(int id);
    int32_t refresh(int* id, int oldId);
    // The announcer id also announces by unicast to ipv4 (host byte order)
    // while it runs: lndp2_probe. ResultCode::kFailure when the engine refuses.
    int32_t probe(int id, uint32_t ipv4);
    // Whether start() binds a port of the system's choosing rather than the
    // service port (see _T_LNDP_NETWORK_SETUP_PROPERTY::ownPort).
    void setOwnPort(bool ownPort) { m_ownPort = ownPort; }
    // lndp2_getSocketState: 0 opening, 1 open, LNDP_E_SOCKET when the
    // address and port cannot be had.
    int32_t socketState(int id) const;

    static int32_t getExInfo(std::vector<std::string>& out, const uint8_t* bytes, uint32_t len);
    static int32_t addExInfo(std::vector<uint8_t>& out, const std::string& s);

    virtual uint8_t role() const { return LNDP_ROLE_ANNOUNCER; }

protected:
    ILNDPCallback* m_callback = nullptr;
    uint8_t m_macAddress[6] = {};
    std::string m_ipAddress = "0.0.0.0";
    std::string m_subnetMask = "0.0.0.0";
    std::string m_registrationA;
    std::string m_registrationB;
    bool m_initialized = false;
    std::string m_hostName;
    std::vector<std::pair<std::string, std::string>> m_services;
    bool m_ownPort = false;
};

class LndpListener : public LndpAbstract
{
public:
    struct ServiceRecord
    {
        std::string serviceName;
        std::string hostAddress;
        uint8_t macAddress[6] = {};
        std::string exInfo0;
        std::string exInfo1;
        std::string exInfo2;
    };

    static LndpListener& getInstance();

    uint8_t role() const override { return LNDP_ROLE_ANNOUNCER; }

    // The hosts the engine knows now, optionally only those of one service.
    int32_t getServices(std::vector<ServiceRecord>& out, const char* serviceFilter) const;

private:
    LndpListener() = default;
};
