/*
 * Socket wrapper, POSIX port: BSD sockets, poll() with an eventfd for
 * wake-ups, getifaddrs() for local addresses.
 *
 * poll() rather than select(): select's fd_set cannot hold descriptors
 * above 1023, which a long-running GUI process may well hand out.
 *
 * Linux hands a subnet-directed broadcast, or a datagram for a joined group,
 * only to sockets bound to that destination or to the any address; a UDP
 * socket bound to an interface's unicast address (which announcements and
 * replies must leave from) never sees them. So such a socket gets
 * receive-only companions on its port: one bound to the subnet broadcast of
 * the interface that carries its address, one per joined group, each tied to
 * that interface. They share the port with address reuse (two bindings on
 * one subnet both hear a broadcast) and are waited on and read through the
 * main socket's handle: the portable layer still sees one socket.
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
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "vsock_sockAddr.h"

static int gWakeFd = -1;

#define PORT_MAX_COMPANIONS 5 /* the subnet broadcast and four groups */

/* A UDP socket bound to a unicast address, with its companions. */
typedef struct
{
    int used;
    int fd;
    char ifName[IF_NAMESIZE]; /* "" when no interface carries the address */
    int32_t companions;
    int companionFd[PORT_MAX_COMPANIONS];
    uint32_t companionAddr[PORT_MAX_COMPANIONS]; /* bound address, network order */
} PortUdp;

/* Written by open, close and membership calls, read by the socket task's
 * wait and reads: guarded by its own lock, taken innermost. */
static PortUdp gl_portUdp[VSOCK_MAX_OS_SOCKETS];
static pthread_mutex_t gl_portUdpLock = PTHREAD_MUTEX_INITIALIZER;

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

/* ------------------------------------------------------------ companions */

/* Lock held. */
static PortUdp *portUdpOf(int fd)
{
    for (int i = 0; i < VSOCK_MAX_OS_SOCKETS; ++i)
        if (gl_portUdp[i].used && gl_portUdp[i].fd == fd)
            return &gl_portUdp[i];
    return NULL;
}

/* The interface that carries addrNet and the subnet broadcast of that
 * address (local address OR the complement of its mask), 0 on a /31 or /32,
 * where there is none. -1 when no interface carries it. */
static int interfaceOf(uint32_t addrNet, char *ifName, uint32_t *broadcastNet)
{
    struct ifaddrs *list = NULL;
    if (getifaddrs(&list) != 0)
        return -1;
    int found = -1;
    for (const struct ifaddrs *ifa = list; ifa && found < 0; ifa = ifa->ifa_next) {
        if (!ifa->ifa_addr || ifa->ifa_addr->sa_family != AF_INET)
            continue;
        const struct sockaddr_in *a = (const struct sockaddr_in *)(const void *)ifa->ifa_addr;
        if (a->sin_addr.s_addr != addrNet)
            continue;
        const struct sockaddr_in *m = (const struct sockaddr_in *)(const void *)ifa->ifa_netmask;
        const uint32_t mask = m ? ntohl(m->sin_addr.s_addr) : 0xFFFFFFFFu;
        *broadcastNet = (~mask > 1u) ? htonl(ntohl(addrNet) | ~mask) : 0;
        /* An address label ("eth0:1") names no device. */
        size_t n = strcspn(ifa->ifa_name, ":");
        if (n >= IF_NAMESIZE)
            n = IF_NAMESIZE - 1;
        memcpy(ifName, ifa->ifa_name, n);
        ifName[n] = '\0';
        found = 0;
    }
    freeifaddrs(list);
    return found;
}

/* A receive-only socket on addrNet:port, tied to the interface when known.
 * The descriptor, or -1 with errno set. */
static int openCompanion(uint32_t addrNet, uint16_t portNet, const char *ifName, int group)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1, zero = 0;
    struct sockaddr_in sin;
    memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_port = portNet;
    sin.sin_addr.s_addr = addrNet;
    int rc = setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    /* Tied to the interface where the system allows it; without, the bound
     * destination alone still selects the traffic. */
    if (rc == 0 && ifName[0])
        (void)setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, ifName, (socklen_t)strlen(ifName));
    /* Only the groups joined on this socket, not every group of the host. */
    if (rc == 0 && group)
        rc = setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof zero);
    if (rc == 0)
        rc = bind(fd, (struct sockaddr *)&sin, sizeof sin);
    if (rc != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

/* Records a UDP socket bound to a unicast address and opens its broadcast
 * companion. A companion that cannot be had (its address and port taken by
 * another program without address reuse) leaves the socket unicast only. */
static void portUdpAttach(int fd, uint32_t addrNet)
{
    struct sockaddr_in bound;
    socklen_t len = sizeof bound;
    if (getsockname(fd, (struct sockaddr *)&bound, &len) != 0)
        return;
    char ifName[IF_NAMESIZE] = "";
    uint32_t broadcastNet = 0;
    if (interfaceOf(addrNet, ifName, &broadcastNet) != 0)
        broadcastNet = 0;
    pthread_mutex_lock(&gl_portUdpLock);
    PortUdp *p = NULL;
    for (int i = 0; i < VSOCK_MAX_OS_SOCKETS && !p; ++i)
        if (!gl_portUdp[i].used)
            p = &gl_portUdp[i];
    if (p) {
        memset(p, 0, sizeof *p);
        p->used = 1;
        p->fd = fd;
        memcpy(p->ifName, ifName, sizeof p->ifName);
        if (broadcastNet) {
            int c = openCompanion(broadcastNet, bound.sin_port, ifName, 0);
            if (c >= 0) {
                p->companionFd[0] = c;
                p->companionAddr[0] = broadcastNet;
                p->companions = 1;
            }
        }
    }
    pthread_mutex_unlock(&gl_portUdpLock);
}

static void portUdpDetach(int fd)
{
    pthread_mutex_lock(&gl_portUdpLock);
    PortUdp *p = portUdpOf(fd);
    if (p) {
        for (int32_t i = 0; i < p->companions; ++i)
            close(p->companionFd[i]);
        memset(p, 0, sizeof *p);
    }
    pthread_mutex_unlock(&gl_portUdpLock);
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
    (void)r; /* a full counter still wakes the reader */
}

int32_t vsock_sockApiWait(vsock_waitItem *items, int32_t count, int32_t timeoutMs)
{
    struct pollfd pfd[VSOCK_MAX_OS_SOCKETS * (1 + PORT_MAX_COMPANIONS) + 1];
    int32_t ownerOf[VSOCK_MAX_OS_SOCKETS * PORT_MAX_COMPANIONS]; /* companion -> item */
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
    /* A socket that waits for data waits on its companions too. */
    int32_t extra = 0;
    pthread_mutex_lock(&gl_portUdpLock);
    for (int32_t i = 0; i < count; ++i) {
        const PortUdp *p = (items[i].want & VSOCK_WAIT_READ) ? portUdpOf((int)items[i].sock) : NULL;
        for (int32_t c = 0; p && c < p->companions; ++c) {
            struct pollfd *x = &pfd[count + 1 + extra];
            x->fd = p->companionFd[c];
            x->events = POLLIN;
            x->revents = 0;
            ownerOf[extra++] = i;
        }
    }
    pthread_mutex_unlock(&gl_portUdpLock);
    int n = poll(pfd, (nfds_t)(count + 1 + extra), timeoutMs < 0 ? -1 : timeoutMs);
    if (n <= 0)
        return 0;
    if (pfd[0].revents & POLLIN) {
        uint64_t v;
        ssize_t r = read(gWakeFd, &v, sizeof v);
        (void)r;
    }
    for (int32_t c = 0; c < extra; ++c)
        if (pfd[count + 1 + c].revents & (POLLIN | POLLERR))
            pfd[ownerOf[c] + 1].revents |= POLLIN;
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
    vsock_toSockaddr(local, port, &sin);
    int rc = 0;
    if (type == VSOCK_TYPE_UDP) {
        if (port != 0 || !anyAddr)
            rc = bind(fd, (struct sockaddr *)&sin, sizeof sin);
        if (rc == 0)
            rc = setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
        /* A site's devices all answer one broadcast at once: room for a
         * thousand answers, or as much as the system grants. */
        int room = 1 << 20;
        if (rc == 0)
            (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
        /* Datagrams to a group leave through the interface of the bound
         * address, like every other datagram of the socket. */
        if (rc == 0 && !anyAddr)
            (void)setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &sin.sin_addr, sizeof sin.sin_addr);
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
    if (type == VSOCK_TYPE_UDP && !anyAddr)
        portUdpAttach(fd, sin.sin_addr.s_addr);
    *out = fd;
    return 0;
}

void vsock_sockApiClose(vsock_osSock s, int abortive)
{
    portUdpDetach((int)s);
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
    vsock_fromSockaddr((const struct sockaddr *)&ss, out);
    return 0;
}

int32_t vsock_sockApiSendTo(vsock_osSock s, const void *data, int32_t len, const netc_endpoint *dest)
{
    struct sockaddr_in sin;
    vsock_toSockaddr(&dest->addr, dest->port, &sin);
    ssize_t n = sendto((int)s, data, (size_t)len, MSG_NOSIGNAL, (struct sockaddr *)&sin, sizeof sin);
    return n >= 0 ? (int32_t)n : mapErrno(errno);
}

static int32_t recvOne(int fd, void *buf, int32_t size, netc_endpoint *src)
{
    struct sockaddr_storage ss;
    socklen_t alen = sizeof ss;
    /* MSG_TRUNC: the real length, so that a cut datagram is never stored as
     * if it were whole. */
    ssize_t n = recvfrom(fd, buf, (size_t)size, MSG_TRUNC, (struct sockaddr *)&ss, &alen);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNREFUSED || errno == EINTR)
            return VSOCK_E_NODATA;
        return mapErrno(errno);
    }
    if (n > size)
        return VSOCK_E_BUFSMALL;
    vsock_fromSockaddr((const struct sockaddr *)&ss, src);
    return (int32_t)n;
}

int32_t vsock_sockApiRecvFrom(vsock_osSock s, void *buf, int32_t size, netc_endpoint *src)
{
    int32_t r = recvOne((int)s, buf, size, src);
    if (r != VSOCK_E_NODATA)
        return r;
    pthread_mutex_lock(&gl_portUdpLock);
    const PortUdp *p = portUdpOf((int)s);
    for (int32_t c = 0; p && c < p->companions && r == VSOCK_E_NODATA; ++c)
        r = recvOne(p->companionFd[c], buf, size, src);
    pthread_mutex_unlock(&gl_portUdpLock);
    return r;
}

int32_t vsock_sockApiConnect(vsock_osSock s, const netc_endpoint *peer)
{
    struct sockaddr_in sin;
    vsock_toSockaddr(&peer->addr, peer->port, &sin);
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
        vsock_fromSockaddr((const struct sockaddr *)&ss, peer);
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
        return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? VSOCK_E_NODATA : mapErrno(errno);
    return (int32_t)n;
}

int32_t vsock_sockApiShutdown(vsock_osSock s, int32_t how)
{
    int h = how == 0 ? SHUT_RD : how == 1 ? SHUT_WR : SHUT_RDWR;
    return shutdown((int)s, h) == 0 ? 0 : mapErrno(errno);
}

int32_t vsock_sockApiMembership(vsock_osSock s, int join, const netc_addr *group, const netc_addr *iface)
{
    struct ip_mreq mr;
    memcpy(&mr.imr_multiaddr, group->addr, 4);
    memcpy(&mr.imr_interface, iface->addr, 4);
    const int opt = join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP;
    pthread_mutex_lock(&gl_portUdpLock);
    PortUdp *p = portUdpOf((int)s);
    if (!p) {
        /* Bound to the any address: the socket itself hears the group. */
        pthread_mutex_unlock(&gl_portUdpLock);
        return setsockopt((int)s, IPPROTO_IP, opt, &mr, sizeof mr) == 0 ? 0 : mapErrno(errno);
    }
    int32_t c = 0;
    while (c < p->companions && p->companionAddr[c] != mr.imr_multiaddr.s_addr)
        ++c;
    int32_t r = 0;
    int wake = 0;
    if (c < p->companions) {
        /* Joined before: the kernel's answer (a second join is refused), and
         * a left group's companion goes. */
        r = setsockopt(p->companionFd[c], IPPROTO_IP, opt, &mr, sizeof mr) == 0 ? 0 : mapErrno(errno);
        if (!join) {
            close(p->companionFd[c]);
            for (int32_t k = c + 1; k < p->companions; ++k) {
                p->companionFd[k - 1] = p->companionFd[k];
                p->companionAddr[k - 1] = p->companionAddr[k];
            }
            --p->companions;
            wake = 1;
        }
    } else if (!join) {
        /* Never joined: the kernel's answer for that. */
        r = setsockopt((int)s, IPPROTO_IP, opt, &mr, sizeof mr) == 0 ? 0 : mapErrno(errno);
    } else if (p->companions == PORT_MAX_COMPANIONS) {
        r = VSOCK_E_NOSPACE;
    } else {
        struct sockaddr_in bound;
        socklen_t len = sizeof bound;
        int fd = -1;
        if (getsockname((int)s, (struct sockaddr *)&bound, &len) != 0)
            r = mapErrno(errno);
        else if ((fd = openCompanion(mr.imr_multiaddr.s_addr, bound.sin_port, p->ifName, 1)) < 0)
            r = mapErrno(errno);
        else if (setsockopt(fd, IPPROTO_IP, opt, &mr, sizeof mr) != 0)
            r = mapErrno(errno);
        if (r == 0) {
            p->companionFd[p->companions] = fd;
            p->companionAddr[p->companions] = mr.imr_multiaddr.s_addr;
            ++p->companions;
            wake = 1;
        } else if (fd >= 0) {
            close(fd);
        }
    }
    pthread_mutex_unlock(&gl_portUdpLock);
    /* The socket task's wait takes the new set of companions. */
    if (wake)
        vsock_sockApiWake();
    return r;
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

int32_t vsock_sockApiGetLocalAddr(int32_t index, int32_t family, T_VSOCK_LOCAL_ADDR *out, int32_t max)
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
        vsock_fromSockaddr(ifa->ifa_addr, &ep);
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

/* ---------------------------------------------------------- ARP */

/* ARP needs a raw packet socket and the privilege for it. */
int32_t vsock_sockApiSendGARP(const netc_addr *addr)
{
    (void)addr;
    return VSOCK_E_NOSPT;
}
