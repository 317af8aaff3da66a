#pragma once

// A plain UDP peer for tests on loopback addresses, independent of the
// program's own socket layer, and a free-port probe. BSD sockets, or Windows
// Sockets 2 in the Windows build.

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <vector>

namespace udppeer {
#ifdef _WIN32
using Socket = SOCKET;
using Length = int;
// Windows Sockets must be started once per process before the first call.
inline Socket open()
{
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started ? socket(AF_INET, SOCK_DGRAM, 0) : INVALID_SOCKET;
}
inline void shut(Socket s)
{
    closesocket(s);
}
inline int waitReadable(Socket s, int timeoutMs)
{
    WSAPOLLFD p{};
    p.fd = s;
    p.events = POLLRDNORM;
    return WSAPoll(&p, 1, timeoutMs);
}
#else
using Socket = int;
using Length = socklen_t;
inline Socket open()
{
    return socket(AF_INET, SOCK_DGRAM, 0);
}
inline void shut(Socket s)
{
    close(s);
}
inline int waitReadable(Socket s, int timeoutMs)
{
    pollfd p{s, POLLIN, 0};
    return poll(&p, 1, timeoutMs);
}
#endif
} // namespace udppeer

// A UDP port that is free on every address at the time of the call.
inline uint16_t freeUdpPort()
{
    const udppeer::Socket fd = udppeer::open();
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    bind(fd, (sockaddr*)&sa, sizeof sa);
    udppeer::Length l = sizeof sa;
    getsockname(fd, (sockaddr*)&sa, &l);
    udppeer::shut(fd);
    return ntohs(sa.sin_port);
}

class UdpPeer
{
public:
    UdpPeer(const char* ip, uint16_t port)
    {
        m_fd = udppeer::open();
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        inet_pton(AF_INET, ip, &sa.sin_addr);
        m_ok = bind(m_fd, (sockaddr*)&sa, sizeof sa) == 0;
    }
    ~UdpPeer() { udppeer::shut(m_fd); }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    bool ok() const { return m_ok; }
    bool sendTo(const std::vector<uint8_t>& d, const char* ip, uint16_t port)
    {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        inet_pton(AF_INET, ip, &sa.sin_addr);
        return sendto(m_fd, (const char*)d.data(), (int)d.size(), 0, (sockaddr*)&sa, sizeof sa) == (int)d.size();
    }
    // Next datagram within timeoutMs, or an empty vector; *fromPort gets
    // its source port.
    std::vector<uint8_t> receive(int timeoutMs, uint16_t* fromPort = nullptr)
    {
        if (udppeer::waitReadable(m_fd, timeoutMs) != 1)
            return {};
        std::vector<uint8_t> buf(4096);
        sockaddr_in sa{};
        udppeer::Length l = sizeof sa;
        const int n = (int)recvfrom(m_fd, (char*)buf.data(), (int)buf.size(), 0, (sockaddr*)&sa, &l);
        if (n < 0)
            return {};
        if (fromPort)
            *fromPort = ntohs(sa.sin_port);
        buf.resize((size_t)n);
        return buf;
    }

private:
    udppeer::Socket m_fd;
    bool m_ok = false;
};
