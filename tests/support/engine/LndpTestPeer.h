// Test helpers for the LNDP engine tests: engine addresses and hand-built
// datagrams; the UDP peer and the free-port probe come from UdpPeer.h.
#ifndef LNDP_TEST_PEER_H
#define LNDP_TEST_PEER_H

#include <cstring>
#include <string>
#include <vector>

#include "lndp_packet.h"
#include "UdpPeer.h" // also the platform's inet_pton

inline netc_addr lndpV4(const char* text)
{
    netc_addr a;
    memset(&a, 0, sizeof a);
    a.family = NETC_AF_INET;
    inet_pton(AF_INET, text, a.addr);
    return a;
}

// Datagram of a service as a device or another announcer would send it.
inline std::vector<uint8_t> lndpDatagram(uint8_t role, const char* hostIp, const char* name,
                                         const std::vector<uint8_t>& exInfo = {}, uint8_t mac0 = 0x02,
                                         uint8_t status = 0)
{
    const netc_addr host = lndpV4(hostIp);
    const uint8_t mac[6] = {mac0, 0x00, 0x00, 0x00, 0x00, 0x01};
    std::vector<uint8_t> d(LNDP_MAX_DATAGRAM);
    const int32_t n
        = lndp_buildDatagram(d.data(), (uint32_t)d.size(), role, 0, status, &host, mac, (const uint8_t*)name,
                             (uint8_t)strlen(name), exInfo.data(), (uint16_t)exInfo.size());
    d.resize(n > 0 ? (size_t)n : 0);
    return d;
}

// The set-up of a second announcer of "_zel-scp" on a loopback /31 address:
// set up through lndp2_setup, it holds that address and port, so that a
// scan there is refused.
inline _T_LNDP_NETWORK_SETUP_PROPERTY lndpCompetingAnnouncer(const char* ip, uint16_t port)
{
    _T_LNDP_NETWORK_SETUP_PROPERTY prop;
    memset(&prop, 0, sizeof prop);
    prop.role = LNDP_ROLE_ANNOUNCER;
    prop.ipVersion = 4;
    prop.localAddr = lndpV4(ip);
    prop.netmask = lndpV4("255.255.255.254");
    prop.port = port;
    prop.serviceNameLen = 8;
    prop.serviceName = (const uint8_t*)"_zel-scp";
    prop.intervalMs = 1000;
    return prop;
}

#endif
