#include "lndp_packet.h"

#include <string.h>

namespace {

uint16_t readBe16(const uint8_t *p)
{
    return (uint16_t)(((unsigned)p[0] << 8) | p[1]);
}

void writeBe16(uint8_t *p, uint16_t v)
{
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}

const uint8_t kMagic[4] = { 'L', 'N', 'D', 'P' };

} // namespace

bool lndp_addrEqual(const netc_addr *a, const netc_addr *b)
{
    if (!a || !b || a->family != b->family)
        return false;
    if (a->family == NETC_AF_INET)
        return memcmp(a->addr, b->addr, 4) == 0;
    if (a->family == NETC_AF_INET6)
        return memcmp(a->addr, b->addr, 16) == 0 && a->scopeId == b->scopeId;
    return memcmp(a->addr, b->addr, 16) == 0 && a->scopeId == b->scopeId;
}

bool lndp_addrIsSet(const netc_addr *a)
{
    if (!a)
        return false;
    if (a->family != 0)
        return true;
    for (int i = 0; i < 16; ++i)
        if (a->addr[i])
            return true;
    return false;
}

void lndp_broadcastAddr(const netc_addr *local, const netc_addr *mask, netc_addr *out)
{
    netc_addr r;
    memset(&r, 0, sizeof r);
    r.family = NETC_AF_INET;
    for (int i = 0; i < 4; ++i)
        r.addr[i] = (uint8_t)(local->addr[i] | (uint8_t)~mask->addr[i]);
    *out = r;
}

int32_t lndp_buildDatagram(uint8_t *buf, uint32_t cap, uint8_t role, uint8_t reserved, uint8_t status,
                           const netc_addr *local, const uint8_t mac[6], const uint8_t *name, uint8_t nameLen,
                           const uint8_t *exInfo, uint16_t exInfoLen)
{
    if (!buf || !local || !mac || !name || nameLen == 0 || exInfoLen > LNDP_MAX_EXINFO || (exInfoLen > 0 && !exInfo))
        return LNDP_E_PARAM;
    const uint32_t length = (uint32_t)exInfoLen + nameLen + 27u;
    const uint32_t total = length + 6u;
    if (total > LNDP_MAX_DATAGRAM || total > cap)
        return LNDP_E_PARAM;

    memcpy(buf, kMagic, 4);
    writeBe16(buf + 4, (uint16_t)length);
    buf[6] = (uint8_t)((role == LNDP_ROLE_RESPONDER ? LNDP_FLAG_ROLE : 0u) | (((unsigned)reserved << 4) & 0x70u)
                       | (status & 0x0Fu));
    memset(buf + 8, 0, 16);
    if (local->family == NETC_AF_INET) {
        buf[7] = 4;
        memcpy(buf + 8, local->addr, 4);
    } else {
        buf[7] = 6;
        memcpy(buf + 8, local->addr, 16);
    }
    memcpy(buf + 24, mac, 6);
    buf[30] = nameLen;
    memcpy(buf + 31, name, nameLen);
    writeBe16(buf + 31 + nameLen, exInfoLen);
    if (exInfoLen)
        memcpy(buf + 33 + nameLen, exInfo, exInfoLen);
    return (int32_t)total;
}

int32_t lndp_validateDatagram(const uint8_t *data, int32_t size, const netc_addr *source, const netc_addr *local,
                              T_LNDP_PARSE *out)
{
    if (lndp_addrEqual(source, local))
        return LNDP_CHECK_OWN;
    if (!data || !out || size < LNDP_MIN_DATAGRAM)
        return LNDP_CHECK_SIZE;
    if (memcmp(data, kMagic, 4) != 0)
        return LNDP_CHECK_MAGIC;
    const uint32_t length = readBe16(data + 4);
    if (length < LNDP_MIN_LENGTH_FIELD || length > LNDP_MAX_LENGTH_FIELD)
        return LNDP_CHECK_LENGTH;
    const uint32_t total = length + 6u;
    if (total > (uint32_t)size)
        return LNDP_CHECK_TRUNCATED;
    const uint8_t nameLen = data[30];
    if (nameLen == 0)
        return LNDP_CHECK_NONAME;
    if (total < (uint32_t)nameLen + LNDP_HEADER_LEN)
        return LNDP_CHECK_NAMEFIT;
    const uint16_t exInfoLen = readBe16(data + 31 + nameLen);
    if (exInfoLen > LNDP_MAX_EXINFO)
        return LNDP_CHECK_EXINFO;
    if (total != LNDP_HEADER_LEN + (uint32_t)nameLen + exInfoLen)
        return LNDP_CHECK_SUM;

    out->lengthField = (uint16_t)length;
    out->nameLen = nameLen;
    out->name = data + 31;
    out->exInfoLen = exInfoLen;
    out->exInfo = data + 33 + nameLen;
    return LNDP_CHECK_OK;
}

void lndp_decodeDatagram(const uint8_t *data, const T_LNDP_PARSE *parse, const netc_addr *local,
                         const netc_addr *source, _LNDP_HOST_INFO *out)
{
    memset(out, 0, sizeof *out);
    const uint8_t flags = data[6];
    out->senderRole = (flags & LNDP_FLAG_ROLE) ? LNDP_ROLE_RESPONDER : LNDP_ROLE_ANNOUNCER;
    out->reserved = (uint8_t)((flags >> 4) & 0x07u);
    out->status = (uint8_t)(flags & 0x0Fu);
    if (data[7] == 6) {
        out->hostAddr.family = NETC_AF_INET6;
        memcpy(out->hostAddr.addr, data + 8, 16);
    } else {
        out->hostAddr.family = NETC_AF_INET;
        memcpy(out->hostAddr.addr, data + 8, 4);
    }
    memcpy(out->macAddr, data + 24, 6);
    out->serviceNameLen = parse->nameLen;
    memcpy(out->serviceName, parse->name, parse->nameLen);
    out->exInfoLen = parse->exInfoLen;
    if (parse->exInfoLen)
        memcpy(out->exInfo, parse->exInfo, parse->exInfoLen);
    if (local)
        out->localAddr = *local;
    if (source)
        out->sourceAddr = *source;
    memcpy(out->magic, data, 4);
    out->rawFlags = flags;
    out->rawAddrFamily = data[7];
}

int32_t lndp_exInfoNext(const uint8_t *data, uint32_t len, uint32_t *offset, const uint8_t **str, uint32_t *strLen)
{
    if (!data || !offset || !str || !strLen || *offset >= len)
        return 0;
    const uint32_t l = data[*offset];
    if (l > len - *offset - 1u)
        return 0; // cut short by the end of the data
    *str = data + *offset + 1u;
    *strLen = l;
    *offset += l + 1u;
    return 1;
}

int32_t lndp_exInfoAppend(uint8_t *buf, uint32_t cap, uint32_t *used, const uint8_t *str, uint32_t len)
{
    if (!buf || !used || (!str && len > 0) || *used > cap)
        return LNDP_E_PARAM;
    // A length byte of 255 ends the device-identity reader, so 254 is the
    // longest entry that always reads back; the cut never splits a UTF-8
    // character (no continuation byte may lead the dropped tail).
    if (len > LNDP_EXINFO_MAX_ENTRY) {
        len = LNDP_EXINFO_MAX_ENTRY;
        while (len > 0 && (str[len] & 0xC0u) == 0x80u)
            --len;
    }
    if (cap - *used < len + 1u)
        return LNDP_E_PARAM;
    buf[*used] = (uint8_t)len;
    if (len)
        memcpy(buf + *used + 1u, str, len);
    *used += len + 1u;
    return 0;
}
