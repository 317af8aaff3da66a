#pragma once

// A plain POSIX UDP peer for tests on loopback addresses, independent of the
// program's own socket layer, and a free-port probe.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

// A UDP port that is free on every address at the time of the call.
inline uint16_t freeUdpPort()
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

class UdpPeer
{
public:
    UdpPeer(const char *ip, uint16_t port)
    {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        inet_pton(AF_INET, ip, &sa.sin_addr);
        m_ok = bind(m_fd, (sockaddr *)&sa, sizeof sa) == 0;
    }
    ~UdpPeer() { close(m_fd); }
    UdpPeer(const UdpPeer &) = delete;
    UdpPeer &operator=(const UdpPeer &) = delete;

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
