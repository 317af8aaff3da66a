/*
 * Address text conversion. Written out by hand rather than with
 * inet_pton/inet_ntop: the rules (no leading zeros in IPv4 parts, exact
 * buffer-size failure) must be the same on every platform.
 */
#include <string.h>

#include "vsock_wrappedSocketIf.h"

static int32_t emit(char *text, uint32_t size, const char *s)
{
    size_t n = strlen(s);
    if (n + 1 > size)
        return VSOCK_E_FAIL;
    memcpy(text, s, n + 1);
    return 0;
}

int32_t vsock_ntop(const netc_addr *addr, char *text, uint32_t size)
{
    if (!addr || !text)
        return VSOCK_E_PARAM;
    char buf[48];
    static const char hex[] = "0123456789abcdef";
    if (addr->family == NETC_AF_INET) {
        char *p = buf;
        for (int i = 0; i < 4; ++i) {
            unsigned v = addr->addr[i];
            if (i)
                *p++ = '.';
            if (v >= 100)
                *p++ = (char)('0' + v / 100);
            if (v >= 10)
                *p++ = (char)('0' + v / 10 % 10);
            *p++ = (char)('0' + v % 10);
        }
        *p = '\0';
        return emit(text, size, buf);
    }
    if (addr->family != NETC_AF_INET6)
        return VSOCK_E_PARAM;

    unsigned g[8];
    for (int i = 0; i < 8; ++i)
        g[i] = (unsigned)addr->addr[2 * i] << 8 | addr->addr[2 * i + 1];
    int bestStart = -1, bestLen = 0;
    for (int i = 0; i < 8;) {
        if (g[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && g[j] == 0)
            ++j;
        if (j - i > bestLen) {
            bestStart = i;
            bestLen = j - i;
        }
        i = j;
    }
    if (bestLen < 2)
        bestStart = -1;
    char *p = buf;
    for (int i = 0; i < 8; ++i) {
        if (i == bestStart) {
            *p++ = ':';
            if (i == 0)
                *p++ = ':';
            i += bestLen - 1;
            continue;
        }
        int started = 0;
        for (int s = 12; s >= 0; s -= 4) {
            unsigned d = (g[i] >> s) & 0xF;
            if (d || started || s == 0) {
                *p++ = hex[d];
                started = 1;
            }
        }
        if (i < 7)
            *p++ = ':';
    }
    *p = '\0';
    return emit(text, size, buf);
}

/* Parses exactly four dotted decimal parts; returns the characters used,
 * 0 on failure. Stops at end or at a character outside digits and dots. */
static size_t parseV4(const char *s, uint8_t out[4], int mustEnd)
{
    const char *p = s;
    for (int part = 0; part < 4; ++part) {
        if (part) {
            if (*p != '.')
                return 0;
            ++p;
        }
        if (*p < '0' || *p > '9')
            return 0;
        if (*p == '0' && p[1] >= '0' && p[1] <= '9')
            return 0; /* leading zero */
        unsigned v = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9') {
            v = v * 10 + (unsigned)(*p - '0');
            if (++digits > 3 || v > 255)
                return 0;
            ++p;
        }
        out[part] = (uint8_t)v;
    }
    if (mustEnd && *p != '\0')
        return 0;
    return (size_t)(p - s);
}

static int hexVal(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

static int parseV6(const char *s, uint8_t out[16])
{
    uint16_t g[8] = { 0 };
    int n = 0, gap = -1;
    const char *p = s;
    if (p[0] == ':') {
        if (p[1] != ':')
            return 0;
        gap = 0;
        p += 2;
        if (*p == '\0')
            goto done;
    }
    for (;;) {
        /* An IPv4 tail takes the last two groups. */
        const char *q = p;
        while (*q && *q != ':' && *q != '.')
            ++q;
        if (*q == '.') {
            uint8_t v4[4];
            if (n > 6 || !parseV4(p, v4, 1))
                return 0;
            g[n++] = (uint16_t)(v4[0] << 8 | v4[1]);
            g[n++] = (uint16_t)(v4[2] << 8 | v4[3]);
            break;
        }
        int digits = 0;
        unsigned v = 0;
        while (hexVal(*p) >= 0) {
            v = v << 4 | (unsigned)hexVal(*p++);
            if (++digits > 4)
                return 0;
        }
        if (digits == 0 || n >= 8)
            return 0;
        g[n++] = (uint16_t)v;
        if (*p == '\0')
            break;
        if (*p != ':')
            return 0;
        ++p;
        if (*p == ':') {
            if (gap >= 0)
                return 0;
            gap = n;
            ++p;
            if (*p == '\0')
                break;
        }
    }
done:
    if (gap >= 0) {
        if (n >= 8)
            return 0; /* "::" must stand for at least one group */
        int tail = n - gap;
        memmove(&g[8 - tail], &g[gap], (size_t)tail * sizeof g[0]);
        memset(&g[gap], 0, (size_t)(8 - tail - gap) * sizeof g[0]);
    } else if (n != 8) {
        return 0;
    }
    for (int i = 0; i < 8; ++i) {
        out[2 * i] = (uint8_t)(g[i] >> 8);
        out[2 * i + 1] = (uint8_t)g[i];
    }
    return 1;
}

int32_t vsock_pton(int32_t family, const char *text, netc_addr *addr)
{
    if (!text || !addr || (family != NETC_AF_INET && family != NETC_AF_INET6))
        return VSOCK_E_PARAM;
    netc_addr a;
    memset(&a, 0, sizeof a);
    a.family = family;
    if (family == NETC_AF_INET) {
        if (!parseV4(text, a.addr, 1))
            return VSOCK_E_FAIL;
    } else if (!parseV6(text, a.addr)) {
        return VSOCK_E_FAIL;
    }
    *addr = a;
    return 0;
}
