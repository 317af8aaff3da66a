// Test helpers for the LNDP engine tests: a plain POSIX UDP peer on a
// loopback address, hand-built datagrams and a free-port probe.
#ifndef LNDP_TEST_PEER_H
#define LNDP_TEST_PEER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "lndp_packet.h"

inline netc_addr lndpV4(const char *text)
{
    netc_addr a;
    memset(&a, 0, sizeof a);
    a.family = NETC_AF_INET;
    inet_pton(AF_INET, text, a.addr);
    return a;
}

// A UDP port that is free on every address at the time of the call.
inline uint16_t lndpFreePort()
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    bind(fd, (sockaddr *)&sa, sizeof sa);
    socklen_t l = sizeof sa;
    getsockname(fd, (sockaddr *)&sa, &l);
    close(fd);
    return ntohs(sa.sin_port);
}

// Datagram of a service as a device or another announcer would send it.
inline std::vector<uint8_t> lndpDatagram(uint8_t role, const char *hostIp, const char *name,
                                         const std::vector<uint8_t> &exInfo = {},
                                         uint8_t mac0 = 0x02, uint8_t status = 0)
{
    const netc_addr host = lndpV4(hostIp);
    const uint8_t mac[6] = {mac0, 0x00, 0x00, 0x00, 0x00, 0x01};
    std::vector<uint8_t> d(LNDP_MAX_DATAGRAM);
    const int32_t n = lndp_buildDatagram(d.data(), (uint32_t)d.size(), role, 0, status, &host, mac,
                                         (const uint8_t *)name, (uint8_t)strlen(name),
                                         exInfo.data(), (uint16_t)exInfo.size());
    d.resize(n > 0 ? (size_t)n : 0);
    return d;
}

class LndpTestPeer
{
public:
    LndpTestPeer(const char *ip, uint16_t port)
    {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        inet_pton(AF_INET, ip, &sa.sin_addr);
        m_ok = bind(m_fd, (sockaddr *)&sa, sizeof sa) == 0;
    }
    ~LndpTestPeer() { close(m_fd); }
    LndpTestPeer(const LndpTestPeer &) = delete;
    LndpTestPeer &operator=(const LndpTestPeer &) = delete;

    bool ok() const { return m_ok; }
    bool sendTo(const std::vector<uint8_t> &d, const char *ip, uint16_t port)
    {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        inet_pton(AF_INET, ip, &sa.sin_addr);
        return sendto(m_fd, d.data(), d.size(), 0, (sockaddr *)&sa, sizeof sa) == (ssize_t)d.size();
    }
    // Next datagram within timeoutMs, or an empty vector; *fromPort gets
    // its source port.
    std::vector<uint8_t> receive(int timeoutMs, uint16_t *fromPort = nullptr)
    {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1)
            return {};
        std::vector<uint8_t> buf(4096);
        sockaddr_in sa{};
        socklen_t l = sizeof sa;
        const ssize_t n = recvfrom(m_fd, buf.data(), buf.size(), 0, (sockaddr *)&sa, &l);
        if (n < 0)
            return {};
        if (fromPort)
            *fromPort = ntohs(sa.sin_port);
        buf.resize((size_t)n);
        return buf;
    }

private:
    int m_fd = -1;
    bool m_ok = false;
};

#endif
