/*
 * Socket wrapper, POSIX port: BSD sockets, poll() with an eventfd for
 * wake-ups, getifaddrs() for local addresses.
 *
 * poll() rather than select(): select's fd_set cannot hold descriptors
 * above 1023, which a long-running GUI process may well hand out.
 */
#define _GNU_SOURCE
#include "vsock_sockApiWrapper.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <netpacket/packet.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

static int gWakeFd = -1;

static int32_t mapErrno(int e)
{
    switch (e) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINPROGRESS:
        return VSOCK_E_INPROGRESS;
    case ENETDOWN:
    case ENETUNREACH:
    case EHOSTUNREACH:
        return VSOCK_E_NOTREADY;
    case EINVAL:
    case EFAULT:
    case EAFNOSUPPORT:
    case EADDRNOTAVAIL:
    case EDESTADDRREQ:
    case EMSGSIZE:
        return VSOCK_E_PARAM;
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
        return VSOCK_E_NOSPACE;
    case ETIMEDOUT:
        return VSOCK_E_TIMEOUT;
    case ENOTCONN:
    case EPIPE:
        return VSOCK_E_NOTACTIVE;
    default:
        return VSOCK_E_OTHER;
    }
}

static void toSockaddr(const netc_addr *a, uint16_t port, struct sockaddr_in *sin)
{
    memset(sin, 0, sizeof *sin);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(port);
    if (a)
        memcpy(&sin->sin_addr, a->addr, 4);
}

static void fromSockaddr(const struct sockaddr_storage *ss, netc_endpoint *ep)
{
    memset(ep, 0, sizeof *ep);
    if (ss->ss_family == AF_INET) {
        const struct sockaddr_in *sin = (const struct sockaddr_in *)ss;
        ep->port = ntohs(sin->sin_port);
        ep->addr.family = NETC_AF_INET;
        memcpy(ep->addr.addr, &sin->sin_addr, 4);
    } else if (ss->ss_family == AF_INET6) {
        const struct sockaddr_in6 *s6 = (const struct sockaddr_in6 *)ss;
        ep->port = ntohs(s6->sin6_port);
        ep->addr.family = NETC_AF_INET6;
        memcpy(ep->addr.addr, &s6->sin6_addr, 16);
        ep->addr.scopeId = s6->sin6_scope_id;
    }
}

int32_t vsock_sockApiStartup(void)
{
    if (gWakeFd >= 0)
        return 0;
    gWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return gWakeFd >= 0 ? 0 : mapErrno(errno);
}

void vsock_sockApiCleanup(void)
{
    if (gWakeFd >= 0)
        close(gWakeFd);
    gWakeFd = -1;
}

void vsock_sockApiWake(void)
{
    uint64_t one = 1;
    ssize_t r = write(gWakeFd, &one, sizeof one);
    (void)r;    /* a full counter still wakes the reader */
}

int32_t vsock_sockApiWait(vsock_waitItem *items, int32_t count, int32_t timeoutMs)
{
    struct pollfd pfd[VSOCK_MAX_OS_SOCKETS + 1];
    if (count > VSOCK_MAX_OS_SOCKETS)
        count = VSOCK_MAX_OS_SOCKETS;
    pfd[0].fd = gWakeFd;
    pfd[0].events = POLLIN;
    pfd[0].revents = 0;
    for (int32_t i = 0; i < count; ++i) {
        pfd[i + 1].fd = (int)items[i].sock;
        pfd[i + 1].events = (short)(((items[i].want & VSOCK_WAIT_READ) ? POLLIN : 0)
                                    | ((items[i].want & VSOCK_WAIT_WRITE) ? POLLOUT : 0)
                                    | ((items[i].want & VSOCK_WAIT_EXCEPT) ? POLLPRI : 0));
        pfd[i + 1].revents = 0;
        items[i].got = 0;
    }
    int n = poll(pfd, (nfds_t)count + 1, timeoutMs < 0 ? -1 : timeoutMs);
    if (n <= 0)
        return 0;
    if (pfd[0].revents & POLLIN) {
        uint64_t v;
        ssize_t r = read(gWakeFd, &v, sizeof v);
        (void)r;
    }
    int32_t ready = 0;
    for (int32_t i = 0; i < count; ++i) {
        short rv = pfd[i + 1].revents;
        uint8_t got = 0;
        /* Errors and hang-ups are reported as readiness so that the
         * handler's own call collects them. */
        if (rv & (POLLIN | POLLERR | POLLHUP))
            got |= items[i].want & (VSOCK_WAIT_READ | VSOCK_WAIT_WRITE | VSOCK_WAIT_EXCEPT);
        if (rv & POLLOUT)
            got |= items[i].want & VSOCK_WAIT_WRITE;
        if (rv & POLLPRI)
            got |= items[i].want & VSOCK_WAIT_EXCEPT;
        if (rv & POLLNVAL)
            got = 0;
        items[i].got = got;
        if (got)
            ++ready;
    }
    return ready;
}

int32_t vsock_sockApiOpen(int32_t type, const netc_addr *local, uint16_t port, vsock_osSock *out)
{
    int stype = type == VSOCK_TYPE_UDP ? SOCK_DGRAM : SOCK_STREAM;
    int fd = socket(AF_INET, stype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return mapErrno(errno);
    int one = 1;
    int anyAddr = !local || (local->addr[0] | local->addr[1] | local->addr[2] | local->addr[3]) == 0;
    struct sockaddr_in sin;
    toSockaddr(local, port, &sin);
    int rc = 0;
    if (type == VSOCK_TYPE_UDP) {
        if (port != 0 || !anyAddr)
            rc = bind(fd, (struct sockaddr *)&sin, sizeof sin);
        if (rc == 0)
            rc = setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    } else if (type == VSOCK_TYPE_TCP_CLIENT) {
        rc = setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (rc == 0 && (port != 0 || !anyAddr))
            rc = bind(fd, (struct sockaddr *)&sin, sizeof sin);
    } else {
        rc = setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (rc == 0)
            rc = bind(fd, (struct sockaddr *)&sin, sizeof sin);
        if (rc == 0)
            rc = listen(fd, 0);
    }
    if (rc != 0) {
        int32_t code = mapErrno(errno);
        close(fd);
        return code == VSOCK_E_INPROGRESS ? VSOCK_E_OTHER : code;
    }
    *out = fd;
    return 0;
}

void vsock_sockApiClose(vsock_osSock s, int abortive)
{
    if (abortive) {
        struct linger lg = { 1, 0 };
        setsockopt((int)s, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
    close((int)s);
}

int32_t vsock_sockApiLocalEndpoint(vsock_osSock s, netc_endpoint *out)
{
    struct sockaddr_storage ss;
    socklen_t len = sizeof ss;
    if (getsockname((int)s, (struct sockaddr *)&ss, &len) != 0)
        return mapErrno(errno);
    fromSockaddr(&ss, out);
    return 0;
}

int32_t vsock_sockApiSendTo(vsock_osSock s, const void *data, int32_t len, const netc_endpoint *dest)
{
    struct sockaddr_in sin;
    toSockaddr(&dest->addr, dest->port, &sin);
    ssize_t n = sendto((int)s, data, (size_t)len, MSG_NOSIGNAL, (struct sockaddr *)&sin, sizeof sin);
    return n >= 0 ? (int32_t)n : mapErrno(errno);
}

int32_t vsock_sockApiRecvFrom(vsock_osSock s, void *buf, int32_t size, netc_endpoint *src)
{
    struct sockaddr_storage ss;
    socklen_t alen = sizeof ss;
    /* MSG_TRUNC: the real length, so that a cut datagram is never stored as
     * if it were whole. */
    ssize_t n = recvfrom((int)s, buf, (size_t)size, MSG_TRUNC, (struct sockaddr *)&ss, &alen);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNREFUSED || errno == EINTR)
            return VSOCK_E_NODATA;
        return mapErrno(errno);
    }
    if (n > size)
        return VSOCK_E_BUFSMALL;
    fromSockaddr(&ss, src);
    return (int32_t)n;
}

int32_t vsock_sockApiConnect(vsock_osSock s, const netc_endpoint *peer)
{
    struct sockaddr_in sin;
    toSockaddr(&peer->addr, peer->port, &sin);
    if (connect((int)s, (struct sockaddr *)&sin, sizeof sin) == 0)
        return 0;
    return mapErrno(errno);
}

int32_t vsock_sockApiConnectResult(vsock_osSock s)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt((int)s, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return mapErrno(errno);
    if (err == ECONNREFUSED)
        return VSOCK_E_OTHER;
    return err == 0 ? 0 : mapErrno(err);
}

int32_t vsock_sockApiAccept(vsock_osSock s, vsock_osSock *out, netc_endpoint *peer)
{
    struct sockaddr_storage ss;
    socklen_t alen = sizeof ss;
    int fd = accept4((int)s, (struct sockaddr *)&ss, &alen, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? VSOCK_E_NODATA : mapErrno(errno);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (peer)
        fromSockaddr(&ss, peer);
    *out = fd;
    return 0;
}

int32_t vsock_sockApiSend(vsock_osSock s, const void *data, int32_t len)
{
    ssize_t n = send((int)s, data, (size_t)len, MSG_NOSIGNAL);
    return n >= 0 ? (int32_t)n : mapErrno(errno);
}

int32_t vsock_sockApiRecv(vsock_osSock s, void *buf, int32_t size)
{
    ssize_t n = recv((int)s, buf, (size_t)size, 0);
    if (n < 0)
        return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? VSOCK_E_NODATA
                                                                           : mapErrno(errno);
    return (int32_t)n;
}

int32_t vsock_sockApiShutdown(vsock_osSock s, int32_t how)
{
    int h = how == 0 ? SHUT_RD : how == 1 ? SHUT_WR : SHUT_RDWR;
    return shutdown((int)s, h) == 0 ? 0 : mapErrno(errno);
}

int32_t vsock_sockApiMembership(vsock_osSock s, int join, const netc_addr *group,
                                const netc_addr *iface)
{
    struct ip_mreq mr;
    memcpy(&mr.imr_multiaddr, group->addr, 4);
    memcpy(&mr.imr_interface, iface->addr, 4);
    int rc = setsockopt((int)s, IPPROTO_IP, join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP, &mr,
                        sizeof mr);
    return rc == 0 ? 0 : mapErrno(errno);
}

/* ---------------------------------------------------------- local addresses */

static int adapterKind(const struct ifaddrs *ifa, const struct sockaddr_ll **ll)
{
    if (!ifa->ifa_addr || ifa->ifa_addr->sa_family != AF_PACKET)
        return 0;
    *ll = (const struct sockaddr_ll *)ifa->ifa_addr;
    if ((*ll)->sll_hatype == ARPHRD_LOOPBACK)
        return 1;
    if ((*ll)->sll_hatype == ARPHRD_ETHER || (*ll)->sll_hatype == ARPHRD_IEEE80211)
        return 2;
    return 0;
}

int32_t vsock_sockApiGetLocalAddr(int32_t index, int32_t family, T_VSOCK_LOCAL_ADDR *out,
                                  int32_t max)
{
    struct ifaddrs *list = NULL;
    if (getifaddrs(&list) != 0)
        return VSOCK_E_FAIL;
    /* Adapters in interface-index order: loopback (up) for index 0, the
     * Ethernet and wireless ones numbered from 1. */
    const struct ifaddrs *chosen = NULL;
    unsigned lastIdx = 0;
    int k = 0;
    for (;;) {
        const struct ifaddrs *next = NULL;
        unsigned nextIdx = 0;
        for (const struct ifaddrs *ifa = list; ifa; ifa = ifa->ifa_next) {
            const struct sockaddr_ll *ll;
            int kind = adapterKind(ifa, &ll);
            if (!kind || (unsigned)ll->sll_ifindex <= lastIdx)
                continue;
            if (!next || (unsigned)ll->sll_ifindex < nextIdx) {
                next = ifa;
                nextIdx = (unsigned)ll->sll_ifindex;
            }
        }
        if (!next)
            break;
        lastIdx = nextIdx;
        const struct sockaddr_ll *ll;
        int kind = adapterKind(next, &ll);
        if (index == 0 && kind == 1 && (next->ifa_flags & IFF_UP)) {
            chosen = next;
            break;
        }
        if (kind == 2 && ++k == index && index > 0) {
            chosen = next;
            break;
        }
    }
    if (!chosen) {
        freeifaddrs(list);
        return VSOCK_E_NOTACTIVE;
    }
    const struct sockaddr_ll *ll = (const struct sockaddr_ll *)chosen->ifa_addr;
    int32_t count = 0;
    for (const struct ifaddrs *ifa = list; ifa && count < max; ifa = ifa->ifa_next) {
        if (!ifa->ifa_addr || strcmp(ifa->ifa_name, chosen->ifa_name) != 0)
            continue;
        int af = ifa->ifa_addr->sa_family;
        if (!((af == AF_INET && (family == 0 || family == NETC_AF_INET))
              || (af == AF_INET6 && (family == 0 || family == NETC_AF_INET6))))
            continue;
        T_VSOCK_LOCAL_ADDR *o = &out[count++];
        memset(o, 0, sizeof *o);
        netc_endpoint ep;
        fromSockaddr((const struct sockaddr_storage *)(const void *)ifa->ifa_addr, &ep);
        o->addr = ep.addr;
        if (af == AF_INET) {
            /* The mask from the prefix length, as the adapter reports it. */
            const struct sockaddr_in *m = (const struct sockaddr_in *)ifa->ifa_netmask;
            uint32_t mask = m ? ntohl(m->sin_addr.s_addr) : 0;
            int prefix = 0;
            while (prefix < 32 && (mask & (0x80000000u >> prefix)))
                ++prefix;
            uint32_t norm = prefix ? 0xFFFFFFFFu << (32 - prefix) : 0;
            o->netmask.family = NETC_AF_INET;
            o->netmask.addr[0] = (uint8_t)(norm >> 24);
            o->netmask.addr[1] = (uint8_t)(norm >> 16);
            o->netmask.addr[2] = (uint8_t)(norm >> 8);
            o->netmask.addr[3] = (uint8_t)norm;
        } else if (!IN6_IS_ADDR_LINKLOCAL((const struct in6_addr *)(const void *)o->addr.addr)) {
            o->addr.scopeId = 0;
        }
        o->hwAddrLen = ll->sll_halen > 6 ? 6 : ll->sll_halen;
        memcpy(o->hwAddr, ll->sll_addr, o->hwAddrLen);
        o->ifIndex = (uint32_t)ll->sll_ifindex;
        strncpy(o->ifName, chosen->ifa_name, sizeof o->ifName - 1);
    }
    freeifaddrs(list);
    return count;
}
