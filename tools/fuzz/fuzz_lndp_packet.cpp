// libFuzzer target: arbitrary datagrams through the receive checks, the
// decoder and the extended-information reader, with invariants that must
// hold for every input (built with ASan and UBSan as well).
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "lndp_packet.h"

namespace {

void require(bool ok)
{
    if (!ok)
        abort();
}

netc_addr v4(uint8_t last)
{
    netc_addr a;
    memset(&a, 0, sizeof a);
    a.family = NETC_AF_INET;
    a.addr[0] = 10;
    a.addr[3] = last;
    return a;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The receive buffer holds 1480 bytes; larger datagrams never reach
    // the checks. Copy so that reads past the input are caught exactly.
    if (size > LNDP_MAX_DATAGRAM)
        size = LNDP_MAX_DATAGRAM;
    uint8_t* buf = (uint8_t*)malloc(size ? size : 1);
    if (size)
        memcpy(buf, data, size);
    const netc_addr local = v4(1);
    const netc_addr source = v4(size > 0 ? (uint8_t)(data[0] | 2) : 2);

    T_LNDP_PARSE p;
    memset(&p, 0, sizeof p);
    const int32_t r = lndp_validateDatagram(buf, (int32_t)size, &source, &local, &p);
    require(r >= LNDP_CHECK_OK && r <= LNDP_CHECK_SUM);
    if (r == LNDP_CHECK_OK) {
        require(size >= LNDP_MIN_DATAGRAM);
        require(p.nameLen >= 1);
        require(p.exInfoLen <= LNDP_MAX_EXINFO);
        require((size_t)p.lengthField + 6u == LNDP_HEADER_LEN + (size_t)p.nameLen + p.exInfoLen);
        require((size_t)p.lengthField + 6u <= size);
        require(p.name == buf + 31 && p.exInfo + p.exInfoLen <= buf + size);

        _LNDP_HOST_INFO h;
        lndp_decodeDatagram(buf, &p, &local, &source, &h);
        require(h.serviceNameLen == p.nameLen && h.exInfoLen == p.exInfoLen);
        require(h.senderRole == 1 || h.senderRole == 2);
        require(h.hostAddr.family == 4 || h.hostAddr.family == 6);
        require(memcmp(h.serviceName, p.name, p.nameLen) == 0);
        for (size_t i = p.nameLen; i < sizeof h.serviceName; ++i)
            require(h.serviceName[i] == 0);
        for (size_t i = p.exInfoLen; i < sizeof h.exInfo; ++i)
            require(h.exInfo[i] == 0);

        // The decoded exInfo: every entry lies within the data.
        uint32_t off = 0;
        const uint8_t* s = nullptr;
        uint32_t len = 0;
        uint32_t entries = 0;
        while (lndp_exInfoNext(h.exInfo, h.exInfoLen, &off, &s, &len)) {
            require(s >= h.exInfo + 1 && s + len <= h.exInfo + h.exInfoLen);
            require(off <= h.exInfoLen);
            require(++entries <= h.exInfoLen);
        }

        // The same record rebuilt by the writer passes the checks again.
        uint8_t out[LNDP_MAX_DATAGRAM];
        const int32_t n = lndp_buildDatagram(out, sizeof out, h.senderRole, h.reserved, h.status, &h.hostAddr,
                                             h.macAddr, h.serviceName, h.serviceNameLen, h.exInfo, h.exInfoLen);
        require(n == (int32_t)p.lengthField + 6);
        T_LNDP_PARSE q;
        require(lndp_validateDatagram(out, n, &source, &local, &q) == LNDP_CHECK_OK);
    }

    // The reader on raw bytes (the whole input as exInfo) never passes the end.
    uint32_t off = 0;
    const uint8_t* s = nullptr;
    uint32_t len = 0;
    while (lndp_exInfoNext(buf, (uint32_t)size, &off, &s, &len))
        require(s + len <= buf + size && off <= size);

    // The writer never writes past its capacity.
    uint8_t w[300];
    uint32_t used = 0;
    const uint32_t cap = size ? (uint32_t)(data[size - 1]) + 1u : 1u;
    while (lndp_exInfoAppend(w, cap, &used, buf, (uint32_t)(size % 300)) == 0)
        require(used <= cap);
    free(buf);
    return 0;
}
