/*
 * Socket wrapper: the contract between the portable socket table and task
 * (vsock_wrappedSocketSocket.c) and one operating system's sockets. The
 * POSIX port is vsock_sockApiWrapperPosix.c, the Windows port
 * vsock_sockApiWrapperWin.c. All functions return a
 * VSOCK_E_* code or a non-negative value.
 *
 * Threads: the socket task waits, sends and receives; public calls open,
 * join and close (with the management lock held, except for a close after
 * the socket was detached). The port guards its own state with a lock of its
 * own, taken innermost and never held across a wait.
 */
#ifndef VSOCK_SOCK_API_WRAPPER_H
#define VSOCK_SOCK_API_WRAPPER_H

#include <stdint.h>

#include "vsock_wrappedSocketIf.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef intptr_t vsock_osSock;
#define VSOCK_OS_INVALID ((vsock_osSock)-1)

#define VSOCK_WAIT_READ 0x1
#define VSOCK_WAIT_WRITE 0x2
#define VSOCK_WAIT_EXCEPT 0x4

typedef struct
{
    vsock_osSock sock;
    int32_t slot; /* OS table slot, for the caller */
    uint8_t want; /* VSOCK_WAIT_* */
    uint8_t got;
} vsock_waitItem;

/* Brings up / down what the socket task needs (the wake-up channel). */
int32_t vsock_sockApiStartup(void);
void vsock_sockApiCleanup(void);
/* Makes a vsock_sockApiWait in progress (or the next one) return at once. */
void vsock_sockApiWake(void);
/* Blocks until an item is ready, a wake-up arrives or timeoutMs passes
 * (-1: no limit). Returns the number of ready items (got set), 0 otherwise. */
int32_t vsock_sockApiWait(vsock_waitItem *items, int32_t count, int32_t timeoutMs);

/* Opens a non-blocking socket of the given VSOCK_TYPE_*. A UDP socket bound
 * to a unicast address also receives, through the same handle, what is sent
 * to the subnet broadcast of the interface that carries that address and to
 * the groups joined with vsock_sockApiMembership; it sends from that address.
 * (POSIX: through receive-only companion sockets, see the port; Windows:
 * the system itself delivers them to such a socket.) */
int32_t vsock_sockApiOpen(int32_t type, const netc_addr *local, uint16_t port, vsock_osSock *out);
/* abortive: reset a TCP connection instead of closing it gracefully. */
void vsock_sockApiClose(vsock_osSock s, int abortive);
int32_t vsock_sockApiLocalEndpoint(vsock_osSock s, netc_endpoint *out);

/* Bytes sent, VSOCK_E_INPROGRESS when it would block, or an error. */
int32_t vsock_sockApiSendTo(vsock_osSock s, const void *data, int32_t len, const netc_endpoint *dest);
/* Bytes received, VSOCK_E_NODATA when nothing (or only a reset) waits,
 * VSOCK_E_BUFSMALL when the datagram was longer than size (it is consumed).
 * Datagrams to the socket's own address come before broadcast and group
 * ones that wait at the same time. */
int32_t vsock_sockApiRecvFrom(vsock_osSock s, void *buf, int32_t size, netc_endpoint *src);

int32_t vsock_sockApiConnect(vsock_osSock s, const netc_endpoint *peer);
int32_t vsock_sockApiConnectResult(vsock_osSock s);
/* 0 and *out; VSOCK_E_NODATA when no connection waits. */
int32_t vsock_sockApiAccept(vsock_osSock s, vsock_osSock *out, netc_endpoint *peer);
int32_t vsock_sockApiSend(vsock_osSock s, const void *data, int32_t len);
/* Bytes, 0 when the peer closed, VSOCK_E_NODATA when nothing waits. */
int32_t vsock_sockApiRecv(vsock_osSock s, void *buf, int32_t size);
int32_t vsock_sockApiShutdown(vsock_osSock s, int32_t how);
/* Joins or leaves an IPv4 group on the interface of address iface, so that
 * the socket hears it. 0, or the error the system gives (a second join of
 * one group, leaving a group not joined). VSOCK_E_NOSPACE past four groups
 * on one socket. */
int32_t vsock_sockApiMembership(vsock_osSock s, int join, const netc_addr *group, const netc_addr *iface);

int32_t vsock_sockApiGetLocalAddr(int32_t index, int32_t family, T_VSOCK_LOCAL_ADDR *out, int32_t max);

/* Gratuitous ARP for the IPv4 address addr (checked by the caller): 0 when
 * sent (answered or not), VSOCK_E_NOSPT where the system offers no way. */
int32_t vsock_sockApiSendGARP(const netc_addr *addr);

#ifdef __cplusplus
}
#endif

#endif /* VSOCK_SOCK_API_WRAPPER_H */
