/*
 * Socket wrapper, Windows port: Windows Sockets 2, select() woken through a
 * loopback datagram socket of its own, GetAdaptersAddresses() for local
 * addresses, SendARP() for gratuitous ARP.
 *
 * The wake-up socket: select() waits on sockets only, so the task's wait
 * includes a UDP socket bound to 127.0.0.1 and connected to itself; a public
 * call that changes what the task must wait for sends it one byte. The task
 * never polls.
 *
 * Broadcast and group reception: Windows hands a subnet-directed broadcast,
 * and a datagram for a group joined on the interface, to a UDP socket bound
 * to that interface's unicast address (Wine gets there by binding such a
 * socket to the any address underneath). So unlike the POSIX port no
 * companion sockets are needed; this port only keeps count of each socket's
 * groups, for the same limit and answers.
 */
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include "vsock_sockApiWrapper.h"

/* Winsock before iphlpapi.h (and before anything that brings windows.h). */
#include <winsock2.h>
#include <ws2tcpip.h>

#include <iphlpapi.h>
#include <stdlib.h>
#include <string.h>

#include "vsock_sockAddr.h"

#define PORT_MAX_GROUPS 4

static SOCKET gWake = INVALID_SOCKET;
static int gWsaStarted;

/* The groups joined on each UDP socket, network order. Written by the
 * membership and close calls, under its own lock, taken innermost. */
typedef struct
{
    int used;
    SOCKET sock;
    int32_t groups;
    uint32_t group[PORT_MAX_GROUPS];
} PortGroups;

static PortGroups gl_portGroups[VSOCK_MAX_OS_SOCKETS];
static SRWLOCK gl_portGroupsLock = SRWLOCK_INIT;

static int32_t mapWsaError(int e)
{
    switch (e) {
    case WSAEWOULDBLOCK:
    case WSAEINPROGRESS:
    case WSAEALREADY:
        return VSOCK_E_INPROGRESS;
    case WSAENETDOWN:
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
    case WSAENETRESET:
    case WSANOTINITIALISED:
        return VSOCK_E_NOTREADY;
    case WSAEINVAL:
    case WSAEFAULT:
    case WSAEAFNOSUPPORT:
    case WSAEADDRNOTAVAIL:
    case WSAEDESTADDRREQ:
    case WSAEMSGSIZE:
    case WSAENOTSOCK:
        return VSOCK_E_PARAM;
    case WSAEMFILE:
    case WSAENOBUFS:
        return VSOCK_E_NOSPACE;
    case WSAETIMEDOUT:
        return VSOCK_E_TIMEOUT;
    case WSAENOTCONN:
    case WSAESHUTDOWN:
        return VSOCK_E_NOTACTIVE;
    default:
        return VSOCK_E_OTHER;
    }
}

static int32_t lastError(void)
{
    return mapWsaError(WSAGetLastError());
}

static int setNonBlocking(SOCKET s)
{
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on);
}

static int setInt(SOCKET s, int level, int option, int value)
{
    return setsockopt(s, level, option, (const char *)&value, sizeof value);
}

/* ------------------------------------------------------------ the groups */

/* Lock held. */
static PortGroups *portGroupsOf(SOCKET s)
{
    for (int i = 0; i < VSOCK_MAX_OS_SOCKETS; ++i)
        if (gl_portGroups[i].used && gl_portGroups[i].sock == s)
            return &gl_portGroups[i];
    return NULL;
}

static void portGroupsAttach(SOCKET s)
{
    AcquireSRWLockExclusive(&gl_portGroupsLock);
    PortGroups *p = NULL;
    for (int i = 0; i < VSOCK_MAX_OS_SOCKETS && !p; ++i)
        if (!gl_portGroups[i].used)
            p = &gl_portGroups[i];
    if (p) {
        p->used = 1;
        p->sock = s;
        p->groups = 0;
    }
    ReleaseSRWLockExclusive(&gl_portGroupsLock);
}

static void portGroupsDetach(SOCKET s)
{
    AcquireSRWLockExclusive(&gl_portGroupsLock);
    PortGroups *p = portGroupsOf(s);
    if (p)
        memset(p, 0, sizeof *p);
    ReleaseSRWLockExclusive(&gl_portGroupsLock);
}

/* ------------------------------------------------------------ wake-ups */

int32_t vsock_sockApiStartup(void)
{
    if (gWake != INVALID_SOCKET)
        return 0;
    if (!gWsaStarted) {
        WSADATA wsa;
        const int e = WSAStartup(MAKEWORD(2, 2), &wsa);
        if (e != 0)
            return mapWsaError(e);
        gWsaStarted = 1;
    }
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET)
        return lastError();
    struct sockaddr_in sin;
    memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof sin;
    if (setNonBlocking(s) != 0 || bind(s, (struct sockaddr *)&sin, sizeof sin) != 0
        || getsockname(s, (struct sockaddr *)&sin, &len) != 0 || connect(s, (struct sockaddr *)&sin, sizeof sin) != 0) {
        const int32_t r = lastError();
        closesocket(s);
        return r;
    }
    gWake = s;
    return 0;
}

void vsock_sockApiCleanup(void)
{
    if (gWake != INVALID_SOCKET)
        closesocket(gWake);
    gWake = INVALID_SOCKET;
    if (gWsaStarted)
        WSACleanup();
    gWsaStarted = 0;
}

void vsock_sockApiWake(void)
{
    const char one = 1;
    /* A full queue already holds a wake-up. */
    (void)send(gWake, &one, 1, 0);
}

int32_t vsock_sockApiWait(vsock_waitItem *items, int32_t count, int32_t timeoutMs)
{
    fd_set rd, wr, ex;
    FD_ZERO(&rd);
    FD_ZERO(&wr);
    FD_ZERO(&ex);
    if (count > VSOCK_MAX_OS_SOCKETS)
        count = VSOCK_MAX_OS_SOCKETS;
    FD_SET(gWake, &rd);
    for (int32_t i = 0; i < count; ++i) {
        const SOCKET s = (SOCKET)items[i].sock;
        items[i].got = 0;
        if (items[i].want & VSOCK_WAIT_READ)
            FD_SET(s, &rd);
        if (items[i].want & VSOCK_WAIT_WRITE)
            FD_SET(s, &wr);
        if (items[i].want & VSOCK_WAIT_EXCEPT)
            FD_SET(s, &ex);
    }
    struct timeval tv;
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = (timeoutMs % 1000) * 1000;
    const int n = select(0, &rd, &wr, &ex, timeoutMs < 0 ? NULL : &tv);
    if (n <= 0)
        return 0;
    if (FD_ISSET(gWake, &rd)) {
        char drain[16];
        while (recv(gWake, drain, sizeof drain, 0) > 0) { }
    }
    int32_t ready = 0;
    for (int32_t i = 0; i < count; ++i) {
        const SOCKET s = (SOCKET)items[i].sock;
        uint8_t got = 0;
        if ((items[i].want & VSOCK_WAIT_READ) && FD_ISSET(s, &rd))
            got |= VSOCK_WAIT_READ;
        if ((items[i].want & VSOCK_WAIT_WRITE) && FD_ISSET(s, &wr))
            got |= VSOCK_WAIT_WRITE;
        /* A failed connect: reported to every wanted handler, whose own
         * call collects the error. */
        if ((items[i].want & VSOCK_WAIT_EXCEPT) && FD_ISSET(s, &ex))
            got |= items[i].want;
        items[i].got = got;
        if (got)
            ++ready;
    }
    return ready;
}

/* ------------------------------------------------------------ sockets */

int32_t vsock_sockApiOpen(int32_t type, const netc_addr *local, uint16_t port, vsock_osSock *out)
{
    const int udp = type == VSOCK_TYPE_UDP;
    SOCKET s = socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, udp ? IPPROTO_UDP : IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return lastError();
    const int anyAddr = !local || (local->addr[0] | local->addr[1] | local->addr[2] | local->addr[3]) == 0;
    struct sockaddr_in sin;
    vsock_toSockaddr(local, port, &sin);
    int rc = setNonBlocking(s);
    if (udp) {
        if (rc == 0 && (port != 0 || !anyAddr))
            rc = bind(s, (struct sockaddr *)&sin, sizeof sin);
        if (rc == 0)
            rc = setInt(s, SOL_SOCKET, SO_BROADCAST, 1);
        /* Datagrams to a group leave through the interface of the bound
         * address, like every other datagram of the socket. */
        if (rc == 0 && !anyAddr)
            (void)setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, (const char *)&sin.sin_addr, sizeof sin.sin_addr);
    } else if (type == VSOCK_TYPE_TCP_CLIENT) {
        if (rc == 0)
            rc = setInt(s, IPPROTO_TCP, TCP_NODELAY, 1);
        if (rc == 0 && (port != 0 || !anyAddr))
            rc = bind(s, (struct sockaddr *)&sin, sizeof sin);
    } else {
        /* No SO_REUSEADDR: Windows binds a listener over connections in
         * TIME_WAIT without it, and with it another program could bind the
         * same port under the listener. */
        if (rc == 0)
            rc = bind(s, (struct sockaddr *)&sin, sizeof sin);
        if (rc == 0)
            rc = listen(s, 0);
    }
    if (rc != 0) {
        const int32_t code = lastError();
        closesocket(s);
        return code == VSOCK_E_INPROGRESS ? VSOCK_E_OTHER : code;
    }
    if (udp)
        portGroupsAttach(s);
    *out = (vsock_osSock)s;
    return 0;
}

void vsock_sockApiClose(vsock_osSock s, int abortive)
{
    portGroupsDetach((SOCKET)s);
    if (abortive) {
        struct linger lg;
        lg.l_onoff = 1;
        lg.l_linger = 0;
        setsockopt((SOCKET)s, SOL_SOCKET, SO_LINGER, (const char *)&lg, sizeof lg);
    }
    closesocket((SOCKET)s);
}

int32_t vsock_sockApiLocalEndpoint(vsock_osSock s, netc_endpoint *out)
{
    struct sockaddr_storage ss;
    int len = sizeof ss;
    if (getsockname((SOCKET)s, (struct sockaddr *)&ss, &len) != 0) {
        /* A socket that was never bound has no name yet: port 0. */
        if (WSAGetLastError() != WSAEINVAL)
            return lastError();
        memset(out, 0, sizeof *out);
        out->addr.family = NETC_AF_INET;
        return 0;
    }
    vsock_fromSockaddr((const struct sockaddr *)&ss, out);
    return 0;
}

int32_t vsock_sockApiSendTo(vsock_osSock s, const void *data, int32_t len, const netc_endpoint *dest)
{
    struct sockaddr_in sin;
    vsock_toSockaddr(&dest->addr, dest->port, &sin);
    const int n = sendto((SOCKET)s, (const char *)data, len, 0, (struct sockaddr *)&sin, sizeof sin);
    return n != SOCKET_ERROR ? n : lastError();
}

int32_t vsock_sockApiRecvFrom(vsock_osSock s, void *buf, int32_t size, netc_endpoint *src)
{
    struct sockaddr_storage ss;
    int alen = sizeof ss;
    const int n = recvfrom((SOCKET)s, (char *)buf, size, 0, (struct sockaddr *)&ss, &alen);
    if (n == SOCKET_ERROR) {
        switch (WSAGetLastError()) {
        case WSAEWOULDBLOCK:
        case WSAEINTR:
        /* Windows reports an earlier datagram's ICMP port-unreachable as a
         * reset of the next receive: nothing to read. */
        case WSAECONNRESET:
            return VSOCK_E_NODATA;
        case WSAEMSGSIZE:
            return VSOCK_E_BUFSMALL; /* the rest of the datagram is gone */
        default:
            return lastError();
        }
    }
    vsock_fromSockaddr((const struct sockaddr *)&ss, src);
    return n;
}

int32_t vsock_sockApiConnect(vsock_osSock s, const netc_endpoint *peer)
{
    struct sockaddr_in sin;
    vsock_toSockaddr(&peer->addr, peer->port, &sin);
    if (connect((SOCKET)s, (struct sockaddr *)&sin, sizeof sin) == 0)
        return 0;
    return lastError();
}

int32_t vsock_sockApiConnectResult(vsock_osSock s)
{
    int err = 0;
    int len = sizeof err;
    if (getsockopt((SOCKET)s, SOL_SOCKET, SO_ERROR, (char *)&err, &len) != 0)
        return lastError();
    if (err == WSAECONNREFUSED)
        return VSOCK_E_OTHER;
    return err == 0 ? 0 : mapWsaError(err);
}

int32_t vsock_sockApiAccept(vsock_osSock s, vsock_osSock *out, netc_endpoint *peer)
{
    struct sockaddr_storage ss;
    int alen = sizeof ss;
    SOCKET c = accept((SOCKET)s, (struct sockaddr *)&ss, &alen);
    if (c == INVALID_SOCKET)
        return WSAGetLastError() == WSAEWOULDBLOCK ? VSOCK_E_NODATA : lastError();
    (void)setNonBlocking(c);
    (void)setInt(c, IPPROTO_TCP, TCP_NODELAY, 1);
    if (peer)
        vsock_fromSockaddr((const struct sockaddr *)&ss, peer);
    *out = (vsock_osSock)c;
    return 0;
}

int32_t vsock_sockApiSend(vsock_osSock s, const void *data, int32_t len)
{
    const int n = send((SOCKET)s, (const char *)data, len, 0);
    return n != SOCKET_ERROR ? n : lastError();
}

int32_t vsock_sockApiRecv(vsock_osSock s, void *buf, int32_t size)
{
    const int n = recv((SOCKET)s, (char *)buf, size, 0);
    if (n == SOCKET_ERROR) {
        const int e = WSAGetLastError();
        return (e == WSAEWOULDBLOCK || e == WSAEINTR) ? VSOCK_E_NODATA : mapWsaError(e);
    }
    return n;
}

int32_t vsock_sockApiShutdown(vsock_osSock s, int32_t how)
{
    const int h = how == 0 ? SD_RECEIVE : how == 1 ? SD_SEND : SD_BOTH;
    return shutdown((SOCKET)s, h) == 0 ? 0 : lastError();
}

int32_t vsock_sockApiMembership(vsock_osSock s, int join, const netc_addr *group, const netc_addr *iface)
{
    struct ip_mreq mr;
    memcpy(&mr.imr_multiaddr, group->addr, 4);
    memcpy(&mr.imr_interface, iface->addr, 4);
    const uint32_t g = mr.imr_multiaddr.s_addr;
    AcquireSRWLockExclusive(&gl_portGroupsLock);
    PortGroups *p = portGroupsOf((SOCKET)s);
    int32_t k = 0;
    while (p && k < p->groups && p->group[k] != g)
        ++k;
    const int member = p && k < p->groups;
    int32_t r;
    if (join && member) {
        /* Windows may accept a second join of one group; the answer stays
         * the one every port gives. */
        r = VSOCK_E_OTHER;
    } else if (join && p && p->groups == PORT_MAX_GROUPS) {
        r = VSOCK_E_NOSPACE;
    } else {
        const int opt = join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP;
        r = setsockopt((SOCKET)s, IPPROTO_IP, opt, (const char *)&mr, sizeof mr) == 0 ? 0 : lastError();
        if (r == 0 && !join && !member)
            r = VSOCK_E_OTHER; /* left a group it had not joined */
        if (r == 0 && p && join)
            p->group[p->groups++] = g;
        if (!join && member) {
            for (int32_t i = k + 1; i < p->groups; ++i)
                p->group[i - 1] = p->group[i];
            --p->groups;
        }
    }
    ReleaseSRWLockExclusive(&gl_portGroupsLock);
    return r;
}

/* ---------------------------------------------------------- local addresses */

int32_t vsock_sockApiGetLocalAddr(int32_t index, int32_t family, T_VSOCK_LOCAL_ADDR *out, int32_t max)
{
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER
                        | GAA_FLAG_SKIP_FRIENDLY_NAME | GAA_FLAG_INCLUDE_PREFIX;
    /* The only allocation of the module: the adapter list, for this call. */
    ULONG size = 16 * 1024;
    IP_ADAPTER_ADDRESSES *list = NULL;
    ULONG rc = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 4 && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {
        free(list);
        list = (IP_ADAPTER_ADDRESSES *)malloc(size);
        if (!list)
            return VSOCK_E_FAIL;
        rc = GetAdaptersAddresses(AF_UNSPEC, flags, NULL, list, &size);
    }
    if (rc != NO_ERROR) {
        free(list);
        return rc == ERROR_NO_DATA ? VSOCK_E_NOTACTIVE : VSOCK_E_FAIL;
    }
    const IP_ADAPTER_ADDRESSES *chosen = NULL;
    int k = 0;
    for (const IP_ADAPTER_ADDRESSES *a = list; a && !chosen; a = a->Next) {
        if (index == 0 && a->IfType == IF_TYPE_SOFTWARE_LOOPBACK && a->OperStatus == IfOperStatusUp)
            chosen = a;
        else if (index > 0 && (a->IfType == IF_TYPE_ETHERNET_CSMACD || a->IfType == IF_TYPE_IEEE80211) && ++k == index)
            chosen = a;
    }
    if (!chosen) {
        free(list);
        return VSOCK_E_NOTACTIVE;
    }
    int32_t count = 0;
    for (const IP_ADAPTER_UNICAST_ADDRESS *u = chosen->FirstUnicastAddress; u && count < max; u = u->Next) {
        const struct sockaddr *sa = u->Address.lpSockaddr;
        if (!sa)
            continue;
        const int af = sa->sa_family;
        if (!((af == AF_INET && (family == 0 || family == NETC_AF_INET))
              || (af == AF_INET6 && (family == 0 || family == NETC_AF_INET6))))
            continue;
        T_VSOCK_LOCAL_ADDR *o = &out[count++];
        memset(o, 0, sizeof *o);
        netc_endpoint ep;
        vsock_fromSockaddr(sa, &ep);
        o->addr = ep.addr;
        if (af == AF_INET) {
            const unsigned prefix = u->OnLinkPrefixLength > 32 ? 32 : u->OnLinkPrefixLength;
            const uint32_t mask = prefix ? 0xFFFFFFFFu << (32 - prefix) : 0;
            o->netmask.family = NETC_AF_INET;
            o->netmask.addr[0] = (uint8_t)(mask >> 24);
            o->netmask.addr[1] = (uint8_t)(mask >> 16);
            o->netmask.addr[2] = (uint8_t)(mask >> 8);
            o->netmask.addr[3] = (uint8_t)mask;
        } else if (!(o->addr.addr[0] == 0xFE && (o->addr.addr[1] & 0xC0) == 0x80)) {
            o->addr.scopeId = 0; /* only a link-local address keeps its scope */
        }
        o->hwAddrLen = (uint8_t)(chosen->PhysicalAddressLength > 6 ? 6 : chosen->PhysicalAddressLength);
        memcpy(o->hwAddr, chosen->PhysicalAddress, o->hwAddrLen);
        o->ifIndex = chosen->IfIndex;
        strncpy(o->ifName, chosen->AdapterName ? chosen->AdapterName : "", sizeof o->ifName - 1);
    }
    free(list);
    return count;
}

/* ------------------------------------------------------------ ARP */

int32_t vsock_sockApiSendGARP(const netc_addr *addr)
{
    IPAddr dest;
    memcpy(&dest, addr->addr, 4);
    ULONG mac[2] = { 0, 0 };
    ULONG len = sizeof mac;
    const DWORD rc = SendARP(dest, 0, mac, &len);
    switch (rc) {
    case NO_ERROR:
    case ERROR_BAD_NET_NAME: /* sent; no one answered */
        return 0;
    case ERROR_NOT_SUPPORTED:
        return VSOCK_E_NOSPT;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_USER_BUFFER:
        return VSOCK_E_PARAM;
    default:
        return VSOCK_E_OTHER;
    }
}
