/*
 * Socket wrapper, private to the ports: conversion between the wrapper's
 * addresses and the system's socket addresses, the same on every system
 * with BSD-style sockets. Include it after the system's socket headers
 * (POSIX: netinet/in.h and arpa/inet.h; Windows: winsock2.h and
 * ws2tcpip.h). Pure functions: no locks, any thread.
 */
#ifndef VSOCK_SOCKADDR_H
#define VSOCK_SOCKADDR_H

#include <string.h>

#include "vsock_wrappedSocketIf.h"

/* An IPv4 socket address; a null address is the any address. */
static inline void vsock_toSockaddr(const netc_addr *a, uint16_t port, struct sockaddr_in *sin)
{
    memset(sin, 0, sizeof *sin);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(port);
    if (a)
        memcpy(&sin->sin_addr, a->addr, 4);
}

/* An IPv4 or IPv6 socket address as an endpoint; other families give an
 * all-zero endpoint. */
static inline void vsock_fromSockaddr(const struct sockaddr *sa, netc_endpoint *ep)
{
    memset(ep, 0, sizeof *ep);
    if (sa->sa_family == AF_INET) {
        const struct sockaddr_in *sin = (const struct sockaddr_in *)(const void *)sa;
        ep->port = ntohs(sin->sin_port);
        ep->addr.family = NETC_AF_INET;
        memcpy(ep->addr.addr, &sin->sin_addr, 4);
    } else if (sa->sa_family == AF_INET6) {
        const struct sockaddr_in6 *s6 = (const struct sockaddr_in6 *)(const void *)sa;
        ep->port = ntohs(s6->sin6_port);
        ep->addr.family = NETC_AF_INET6;
        memcpy(ep->addr.addr, &s6->sin6_addr, 16);
        ep->addr.scopeId = s6->sin6_scope_id;
    }
}

#endif /* VSOCK_SOCKADDR_H */
