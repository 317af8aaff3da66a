// Test helper: a device played by a responder service of the engine the
// program under test runs (the engine must be started). It answers the
// announcements of the service "_zel-scp" that reach its address with a
// supported model and the given name, and goes when destroyed.
#ifndef LNDP_PLAYED_DEVICE_H
#define LNDP_PLAYED_DEVICE_H

#include <cstring>

#include "lndp_api.h"
#include "lndp_packet.h"
#include "LndpTestPeer.h"

class LndpPlayedDevice
{
public:
    LndpPlayedDevice(const char* ip, const uint8_t (&mac)[6], const char* name)
    {
        lndp_exInfoAppend(m_exInfo, sizeof(m_exInfo), &m_exInfoLen, nullptr, 0);
        lndp_exInfoAppend(m_exInfo, sizeof(m_exInfo), &m_exInfoLen, reinterpret_cast<const uint8_t*>("TQ-730"), 6);
        lndp_exInfoAppend(m_exInfo, sizeof(m_exInfo), &m_exInfoLen, reinterpret_cast<const uint8_t*>(name),
                          static_cast<uint32_t>(std::strlen(name)));
        _T_LNDP_NETWORK_SETUP_PROPERTY prop = {};
        prop.role = LNDP_ROLE_RESPONDER;
        std::memcpy(prop.macAddr, mac, sizeof(prop.macAddr));
        prop.ipVersion = 4;
        prop.localAddr = lndpV4(ip);
        prop.netmask = lndpV4("255.255.255.254");
        prop.port = LNDP_SERVICE_PORT;
        prop.serviceNameLen = 8;
        prop.serviceName = reinterpret_cast<const uint8_t*>("_zel-scp");
        prop.exInfoLen = static_cast<uint16_t>(m_exInfoLen);
        prop.exInfo = m_exInfo;
        m_result = lndp2_setup(&m_id, &prop);
    }
    ~LndpPlayedDevice()
    {
        if (m_id >= 0)
            lndp2_clear(m_id);
    }
    LndpPlayedDevice(const LndpPlayedDevice&) = delete;
    LndpPlayedDevice& operator=(const LndpPlayedDevice&) = delete;

    bool ok() const { return m_result == LNDP_OK && m_id >= 0; }

private:
    uint8_t m_exInfo[300] = {};
    uint32_t m_exInfoLen = 0;
    int m_id = -1;
    int32_t m_result = -1;
};

#endif
