/*
 * Socket wrapper: event-driven non-blocking sockets served by one socket task.
 *
 * A fixed table of 64 managed sockets (at most 32 open at a time). UDP
 * sockets receive into a 64 KiB ring per socket; every send is accepted with
 * VSOCK_E_INPROGRESS and completed by the socket task, which reports event 4
 * (send finished) and event 5 (datagram received) through the socket's
 * callback. Callbacks run on the socket task with the management lock held:
 * they must not call vsock_wrappedSocket* functions.
 *
 * Every call except vsock_ntop / vsock_pton needs the module to be started
 * (else VSOCK_E_NOTREADY); a call admitted while the module is ready runs to
 * its end before the module can end. Results: >= 0 success, negative codes
 * below.
 */
#ifndef VSOCK_WRAPPED_SOCKET_IF_H
#define VSOCK_WRAPPED_SOCKET_IF_H

#include <stdint.h>

#include "netc_types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VSOCK_E_OTHER ((int32_t)0xFACE0000u) /* any other socket error */
#define VSOCK_E_PARAM ((int32_t)0xFACE0001u) /* null, bad id, bad family/type, IPv6 UDP */
#define VSOCK_E_NOTACTIVE ((int32_t)0xFACE0002u) /* socket not active / adapter index too large */
#define VSOCK_E_NOTREADY ((int32_t)0xFACE0003u) /* module not ready, socket busy, network down */
#define VSOCK_E_NOSPACE ((int32_t)0xFACE0004u) /* no free entry, or receive ring full */
#define VSOCK_E_INPROGRESS ((int32_t)0xFACE0005u) /* accepted; completes asynchronously */
#define VSOCK_E_TIMEOUT ((int32_t)0xFACE0006u)
#define VSOCK_E_BUFSMALL ((int32_t)0xFACE0007u) /* caller's buffer too small; datagram kept */
#define VSOCK_E_NODATA ((int32_t)0xFACE0008u) /* nothing waiting */
#define VSOCK_E_FAIL ((int32_t)0x80000000u) /* conversion failed, enumeration failed */
#define VSOCK_E_NOSPT ((int32_t)0x80000002u) /* not supported on this platform */

#define VSOCK_MAX_SOCKETS 64
#define VSOCK_MAX_OS_SOCKETS 32
#define VSOCK_RING_WORDS 0x4000
#define VSOCK_RX_BUFFER 2048 /* largest datagram the socket task accepts */

#define VSOCK_TYPE_UDP 0
#define VSOCK_TYPE_TCP_LISTENER 1
#define VSOCK_TYPE_TCP_CLIENT 2

#define VSOCK_OPT_CALLBACK 0x40u /* option flag: deliver events to the callback */

#define VSOCK_STATUS_STOPPED 0
#define VSOCK_STATUS_STARTING 1
#define VSOCK_STATUS_READY 2

typedef void (*vsock_sockCallback)(int32_t sockId, netc_sock_cb_prm *event);
typedef void (*vsock_stateCallback)(int32_t status);

typedef struct
{
    int32_t type; /* VSOCK_TYPE_* */
    uint16_t localPort; /* host byte order; 0: ephemeral */
    netc_addr localAddr; /* family 4 (6 is refused for UDP); any address allowed */
    int32_t reserved;
} T_VSOCK_CREATE_SOCK;

typedef struct
{
    uint32_t flags; /* must contain VSOCK_OPT_CALLBACK */
    uint32_t option;
    vsock_sockCallback callback;
} T_VSOCK_SOCK_OPTION;

/* One local unicast address of an adapter. */
typedef struct
{
    netc_addr addr;
    netc_addr netmask; /* IPv4: from the prefix length; IPv6: zero */
    uint8_t hwAddr[6]; /* the adapter's hardware address */
    uint8_t hwAddrLen;
    uint32_t ifIndex;
    char ifName[16];
} T_VSOCK_LOCAL_ADDR;

/* 0 once the module is ready (also when it already was; a start running in
 * another thread is waited for). VSOCK_E_NOTREADY when the OS wrapper is not
 * initialised, the socket task cannot be started, or an earlier end is still
 * pending. Start and end exclude each other ("VSWSIF"). */
int32_t vsock_wrappedSocketInitModule(void);
/* 0 when the module is stopped: no new call is admitted, the calls in
 * progress are waited for, every socket is closed and the socket task ended.
 * VSOCK_E_TIMEOUT when the socket task does not end within 5 s (a callback
 * that does not return): then nothing the task may touch is freed, every
 * call but this one answers VSOCK_E_NOTREADY, and a later end finishes the
 * job. Must not be called from a socket callback. */
int32_t vsock_wrappedSocketEndModule(void);
/* 0; VSOCK_E_NOTREADY when not started. fn (may be null) is called with the
 * new module status (2 ready, 0 stopped) by the thread that starts or ends
 * the module, from the next change on. */
int32_t vsock_wrappedSocketSetStateCallback(vsock_stateCallback fn);

/* Id 0..63; VSOCK_E_PARAM (type > 2, family not 4, no 0x40 flag or no
 * callback); VSOCK_E_NOSPACE (no entry, no OS slot, no descriptors);
 * VSOCK_E_NOTREADY (network down); VSOCK_E_OTHER (e.g. port in use).
 * UDP binds when a port or a specific local address is given; bound to a
 * unicast address it also receives the subnet-directed broadcast of the
 * interface that carries the address, and sends from that address. */
int32_t vsock_wrappedSocketCreateSock(const T_VSOCK_CREATE_SOCK *create, const T_VSOCK_SOCK_OPTION *options);
/* 0; VSOCK_E_PARAM; VSOCK_E_NOTACTIVE. No callback runs for the id after return. */
int32_t vsock_wrappedSocketDeleteSock(int32_t id);
/* Bound local endpoint (port 0 when not yet bound). 0; PARAM; NOTACTIVE; OTHER. */
int32_t vsock_wrappedSocketGetLocalEndpoint(int32_t id, netc_endpoint *out);

/* VSOCK_E_INPROGRESS: accepted, event 4 follows (bytes sent or an error,
 * VSOCK_E_TIMEOUT when timeoutMs >= 0 passed without the datagram leaving).
 * The data must stay valid until event 4. VSOCK_E_NOTREADY while an earlier
 * send is pending; VSOCK_E_NOTACTIVE; VSOCK_E_PARAM (null, len outside
 * 0..65507, endpoint not IPv4, not a UDP socket). timeoutMs -1: no limit. */
int32_t vsock_wrappedSocketSendUdp(int32_t id, const void *data, int32_t len, const netc_endpoint *dest,
                                   int32_t timeoutMs);
/* Length of the oldest datagram, copied to buf; source (may be null) gets
 * its sender. VSOCK_E_NODATA; VSOCK_E_BUFSMALL (the datagram stays);
 * VSOCK_E_PARAM; VSOCK_E_NOTACTIVE. */
int32_t vsock_wrappedSocketRecvUdp(int32_t id, void *buf, int32_t size, netc_endpoint *source);

/* Count of addresses written (at most max). Index 0: the loopback adapter
 * that is up; k >= 1: the k-th Ethernet or wireless adapter. family 0: both.
 * VSOCK_E_NOTACTIVE past the last adapter; VSOCK_E_PARAM; VSOCK_E_FAIL. */
int32_t vsock_wrappedSocketGetLocalAddr(int32_t index, int32_t family, T_VSOCK_LOCAL_ADDR *out, int32_t max);
/* Joins / leaves an IPv4 group on every active UDP socket, with the socket's
 * bound address as interface; a joined socket receives the group's
 * datagrams. Result of the last socket handled (0 when none or the group is
 * not IPv4); VSOCK_E_PARAM for a null group or index < 0; VSOCK_E_NOSPACE
 * past four groups on one socket. */
int32_t vsock_wrappedSocketAddMulticastAddr(int32_t index, const netc_addr *group);
int32_t vsock_wrappedSocketDelMulticastAddr(int32_t index, const netc_addr *group);
int32_t vsock_wrappedSocketCanSendMulticast(void); /* 1; VSOCK_E_NOTREADY */
/* Windows: SendARP to addr, 0 when sent whether or not anyone answered,
 * VSOCK_E_NOSPT where the system has no ARP call. VSOCK_E_NOSPT on Linux
 * (ARP needs raw sockets and privileges). VSOCK_E_PARAM for a null or
 * non-IPv4 address; VSOCK_E_NOTREADY when not started. */
int32_t vsock_wrappedSocketSendGARP(const netc_addr *addr);

/* Replace / read the option record of an active socket. 0; PARAM; NOTACTIVE. */
int32_t vsock_wrappedSocketSetSockOption(int32_t id, const T_VSOCK_SOCK_OPTION *options);
int32_t vsock_wrappedSocketGetSockOption(int32_t id, T_VSOCK_SOCK_OPTION *options);
/* 1 when the socket is active, 0 when the entry is free; VSOCK_E_PARAM. */
int32_t vsock_wrappedSocketGetSockStatus(int32_t id);

/* TCP. Connect: VSOCK_E_INPROGRESS, event 1 with 0 or an error code.
 * A listener reports event 5 (result 1) when a connection waits; Accept then
 * returns the new socket's id (kind "accepted") with its own options, or
 * VSOCK_E_NODATA. SendTcp: INPROGRESS, event 4 with the bytes sent (all of
 * them) or an error. Received bytes are buffered (up to 64 KiB) and reported
 * with event 5 (result = bytes waiting, 0 when the peer closed); RecvTcp
 * copies up to size bytes (VSOCK_E_NODATA when none, 0 after the peer closed).
 * Shutdown(how: 0 receive, 1 send, 2 both); Abort resets the connection and
 * frees the entry. */
int32_t vsock_wrappedSocketConnect(int32_t id, const netc_endpoint *peer);
int32_t vsock_wrappedSocketAccept(int32_t listenerId, const T_VSOCK_SOCK_OPTION *options, netc_endpoint *peer);
int32_t vsock_wrappedSocketSendTcp(int32_t id, const void *data, int32_t len);
int32_t vsock_wrappedSocketRecvTcp(int32_t id, void *buf, int32_t size);
int32_t vsock_wrappedSocketShutdown(int32_t id, int32_t how);
int32_t vsock_wrappedSocketAbort(int32_t id);

/* Address text. ntop: 0; VSOCK_E_PARAM (null, family not 4/6); VSOCK_E_FAIL
 * when text and terminator do not fit into size. IPv6 is written in lower
 * case with the longest run of two or more zero groups compressed (the first
 * such run on a tie), without scope.
 * pton: 0 and *addr; VSOCK_E_PARAM (null, family not 4/6); VSOCK_E_FAIL for
 * malformed text (addr untouched). IPv4: exactly four decimal parts 0..255
 * without leading zeros. IPv6: up to eight groups of 1..4 hex digits, at most
 * one "::", optionally ending in an IPv4 part. */
int32_t vsock_ntop(const netc_addr *addr, char *text, uint32_t size);
int32_t vsock_pton(int32_t family, const char *text, netc_addr *addr);

#ifdef __cplusplus
}
#endif

#endif /* VSOCK_WRAPPED_SOCKET_IF_H */
