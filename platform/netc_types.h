/* Address and endpoint records shared by the socket wrapper and the
 * discovery engine. */
#ifndef NETC_TYPES_H
#define NETC_TYPES_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define NETC_AF_NONE 0
#define NETC_AF_INET 4
#define NETC_AF_INET6 6

/* IPv4 occupies the first 4 bytes, network byte order. */
typedef struct
{
    int32_t family;
    uint8_t addr[16];
    uint32_t scopeId;
} netc_addr;

/* Port in host byte order. */
typedef struct
{
    uint16_t port;
    netc_addr addr;
} netc_endpoint;

/* Socket event: code 1 connect result, 4 send finished, 5 receive. */
#define NETC_SOCK_EV_CONNECT 1
#define NETC_SOCK_EV_SEND 4
#define NETC_SOCK_EV_RECV 5
typedef struct
{
    int32_t event;
    int32_t result;
} netc_sock_cb_prm;

#ifdef __cplusplus
}
#endif

#endif /* NETC_TYPES_H */
