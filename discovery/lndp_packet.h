/*
 * LNDP wire format: building a service's datagram, the receive-side checks,
 * decoding into _LNDP_HOST_INFO, extended-information strings and the
 * address helpers. Pure functions: no state, no allocation, no sockets.
 */
#ifndef LNDP_PACKET_H
#define LNDP_PACKET_H

#include <stdint.h>

#include "lndp_types.h"

/* Field positions found by lndp_validateDatagram. */
typedef struct
{
    uint16_t lengthField; /* total - 6 */
    uint8_t nameLen;
    const uint8_t *name;
    uint16_t exInfoLen;
    const uint8_t *exInfo;
} T_LNDP_PARSE;

/* Outcome of lndp_validateDatagram: 0 passed, otherwise the number of the
 * first failing check, in the order they are applied. */
enum {
    LNDP_CHECK_OK = 0,
    LNDP_CHECK_OWN = 1, /* source equals the binding's local address */
    LNDP_CHECK_SIZE = 2, /* fewer than 34 bytes */
    LNDP_CHECK_MAGIC = 3, /* not "LNDP" */
    LNDP_CHECK_LENGTH = 4, /* length field outside 28..1306 */
    LNDP_CHECK_TRUNCATED = 5, /* length + 6 > received size */
    LNDP_CHECK_NONAME = 6, /* name length 0 */
    LNDP_CHECK_NAMEFIT = 7, /* name does not leave room for exInfoLen */
    LNDP_CHECK_EXINFO = 8, /* exInfoLen > 1024 */
    LNDP_CHECK_SUM = 9 /* length + 6 != 33 + n + m */
};

/* Two addresses are equal when their families are; IPv4 then compares 4
 * bytes, IPv6 16 bytes and the scope id, any other family the 20 bytes after
 * the family. Null never equals anything. */
bool lndp_addrEqual(const netc_addr *a, const netc_addr *b);
/* True when the family is non-zero or any address byte is. */
bool lndp_addrIsSet(const netc_addr *a);
/* IPv4 subnet broadcast: local | ~mask, family 4. */
void lndp_broadcastAddr(const netc_addr *local, const netc_addr *mask, netc_addr *out);

/* Builds a service's datagram into buf (capacity cap).
 * Returns its length 33 + nameLen + exInfoLen; LNDP_E_PARAM for null
 * pointers, a zero name length, exInfoLen > 1024, or when the datagram would
 * exceed 1480 bytes or cap (buf is then left unbuilt). */
int32_t lndp_buildDatagram(uint8_t *buf, uint32_t cap, uint8_t role, uint8_t reserved, uint8_t status,
                           const netc_addr *local, const uint8_t mac[6], const uint8_t *name, uint8_t nameLen,
                           const uint8_t *exInfo, uint16_t exInfoLen);

/* Applies the nine receive checks in order to size bytes at data received
 * from source on a binding with address local. Returns LNDP_CHECK_OK and
 * fills *out, or the number of the first failing check (*out untouched).
 * Null data/out or a negative size count as a size failure. */
int32_t lndp_validateDatagram(const uint8_t *data, int32_t size, const netc_addr *source, const netc_addr *local,
                              T_LNDP_PARSE *out);

/* Decodes a validated datagram into *out (zero-filled first). */
void lndp_decodeDatagram(const uint8_t *data, const T_LNDP_PARSE *parse, const netc_addr *local,
                         const netc_addr *source, _LNDP_HOST_INFO *out);

/* Extended-information reader. Starting at *offset, reads the next complete
 * entry: returns 1 with the entry in *str and *strLen (a zero length byte is an empty
 * string) and *offset advanced; returns 0 at the end of the data or when
 * the last entry is cut short (nothing is read past len). */
int32_t lndp_exInfoNext(const uint8_t *data, uint32_t len, uint32_t *offset, const uint8_t **str, uint32_t *strLen);

/* Longest entry the writer produces: a length byte of 255 ends the
 * device-identity reader, so such an entry would never be read back. */
#define LNDP_EXINFO_MAX_ENTRY 254u

/* Appends one entry (length byte, bytes; strings longer than 254 bytes are
 * cut to at most 254, at a UTF-8 character boundary) at buf + *used.
 * Returns 0 and advances *used;
 * LNDP_E_PARAM for null pointers (str may be null when len is 0) or when
 * the entry does not fit into cap. */
int32_t lndp_exInfoAppend(uint8_t *buf, uint32_t cap, uint32_t *used, const uint8_t *str, uint32_t len);

#endif /* LNDP_PACKET_H */
