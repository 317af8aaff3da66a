#pragma once

// Whether this system keeps UDP bindings on different loopback addresses
// apart, as Linux and Windows do: one port held on two addresses at once,
// each datagram leaving from the address its socket is bound to. Wine does
// not: it binds a datagram socket meant for a local address other than
// 127.0.0.1 to the any address (its way of letting such a socket hear
// broadcasts), so a second binding of the port fails and datagrams leave
// from another address. The engine cases that need two bindings of one port
// are skipped where this answers false.

#include "UdpPeer.h"

inline bool loopbackAddressesBindApart()
{
    static const bool apart = [] {
        const udppeer::Socket a = udppeer::open();
        const udppeer::Socket b = udppeer::open();
        sockaddr_in sa{}, sb{}, from{};
        sa.sin_family = sb.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.9.1", &sa.sin_addr);
        inet_pton(AF_INET, "127.0.9.2", &sb.sin_addr);
        const uint32_t first = sa.sin_addr.s_addr;
        udppeer::Length l = sizeof sa;
        bool ok = bind(a, (sockaddr*)&sa, sizeof sa) == 0 && getsockname(a, (sockaddr*)&sa, &l) == 0;
        sb.sin_port = sa.sin_port; // the same port on the second address
        ok = ok && bind(b, (sockaddr*)&sb, sizeof sb) == 0;
        const char ping = 'p';
        ok = ok && sendto(a, &ping, 1, 0, (sockaddr*)&sb, sizeof sb) == 1;
        ok = ok && udppeer::waitReadable(b, 5000) == 1;
        char got = 0;
        l = sizeof from;
        ok = ok && recvfrom(b, &got, 1, 0, (sockaddr*)&from, &l) == 1 && from.sin_addr.s_addr == first;
        udppeer::shut(a);
        udppeer::shut(b);
        return ok;
    }();
    return apart;
}
