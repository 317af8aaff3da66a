/*
 * LNDP discovery: records, result codes and constants shared by the wire
 * format, the engine and its C interface. C-compatible.
 */
#ifndef LNDP_TYPES_H
#define LNDP_TYPES_H

#include <stdint.h>

#include "netc_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- result codes (signed 32-bit, negative = failure) ---- */
#define LNDP_OK ((int32_t)0)
#define LNDP_E_TASK ((int32_t)0x80000001u) /* engine task not created/started, caller has no task id */
#define LNDP_E_PARAM ((int32_t)0x80000002u) /* bad argument, index out of range, no such service */
#define LNDP_E_MODE ((int32_t)0x80000003u) /* call does not fit the set-up mode or state */
#define LNDP_E_NOTREADY ((int32_t)0x80000004u) /* engine not initialised / not running */
#define LNDP_E_ALREADY ((int32_t)0x80000005u) /* already started/subscribed, duplicate, wrong state */
#define LNDP_E_FULL ((int32_t)0x80000007u) /* a fixed table is full */
#define LNDP_E_SOCKET ((int32_t)0x80000008u) /* binding has no usable socket */
#define LNDP_I_USERS_REMAIN ((int32_t)9) /* clean-up for one user, others remain */

/* ---- protocol constants ---- */
#define LNDP_SERVICE_PORT 54330
#define LNDP_MAX_DATAGRAM 1480 /* send and receive buffer size */
#define LNDP_HEADER_LEN 33 /* datagram without name and exInfo */
#define LNDP_MIN_DATAGRAM 34 /* 1-byte name, no exInfo */
#define LNDP_MIN_LENGTH_FIELD 28
#define LNDP_MAX_LENGTH_FIELD 1306 /* 27 + 255 + 1024 */
#define LNDP_MAX_NAME 255
#define LNDP_MAX_EXINFO 1024
#define LNDP_HOST_AGE_MS 7000
#define LNDP_INTERVAL_MIN_MS 100u
#define LNDP_INTERVAL_MAX_MS 0x10000000u

/* Size of the host table (shared by the engine's bindings), chosen at
 * start-up: lndp_startupEx. */
#define LNDP_HOSTS_MIN 1u
#define LNDP_HOSTS_DEFAULT 32u
#define LNDP_HOSTS_MAX 1024u

/* Service roles. */
#define LNDP_ROLE_RESPONDER 1
#define LNDP_ROLE_ANNOUNCER 2
#define LNDP_ROLE_LISTENING_ANNOUNCER 3

/* Flags byte: bit 7 role bit, bits 6-4 reserved, bits 3-0 status. */
#define LNDP_FLAG_ROLE 0x80u

/* ---- decoded host record: one accepted datagram, zero-filled first ---- */
typedef struct
{
    uint8_t senderRole; /* 1 when the role bit was set, else 2 */
    uint8_t reserved; /* flags bits 6-4 shifted down */
    uint8_t status; /* flags bits 3-0 */
    netc_addr hostAddr; /* the sender's own address (family 4 or 6) */
    uint8_t macAddr[6];
    uint8_t serviceNameLen;
    uint8_t serviceName[LNDP_MAX_NAME]; /* no terminator when 255 long */
    uint16_t exInfoLen;
    uint8_t exInfo[LNDP_MAX_EXINFO];
    netc_addr localAddr; /* local address of the receiving binding */
    netc_addr sourceAddr; /* source address seen by the socket */
    uint8_t magic[4];
    uint8_t rawFlags;
    uint8_t rawAddrFamily;
} _LNDP_HOST_INFO;

/* ---- service set-up record ---- */
typedef struct
{
    uint8_t role; /* 2 and 3 kept, anything else is a responder (1) */
    uint8_t macAddr[6];
    uint8_t ipVersion; /* callers write 4; not read */
    netc_addr localAddr; /* IPv4 (the only transport) */
    netc_addr netmask; /* IPv4 mask for the subnet broadcast */
    uint16_t port;
    netc_addr multicastAddr; /* all zero: subnet broadcast */
    uint8_t serviceNameLen;
    const uint8_t *serviceName;
    uint32_t intervalMs; /* required for roles 2 and 3 */
    uint16_t exInfoLen; /* at most 1024 */
    const uint8_t *exInfo;
    /* 1: the socket binds a port the system picks, so that several programs
     * on one host can scan at once (answers come back to the asking port);
     * announcements still go to port. 0: the socket binds port itself. */
    uint8_t ownPort;
} _T_LNDP_NETWORK_SETUP_PROPERTY;

/* Subscriber: called with the main lock held; must not call lndp_ functions.
 * The result is ignored. */
typedef uint32_t (*LNDP_HOST_CALLBACK)(const _LNDP_HOST_INFO *host, uint8_t enabled);

/* printf-like output for the diagnostic dumps. */
typedef int (*LNDP_PRINT_FN)(const char *format, ...);

#ifdef __cplusplus
}
#endif

#endif /* LNDP_TYPES_H */
