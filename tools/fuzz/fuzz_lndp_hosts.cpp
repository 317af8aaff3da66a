// libFuzzer target: the LNDP engine's host table fed sequences of answers,
// made-up and malformed datagrams, time passing and its passes in any order,
// through a socket layer of the fuzzer's own (one socket, datagrams handed
// over in memory, a settable clock). After every step the table holds at
// most its capacity, no two enabled entries are one host, and what the
// subscriber was told matches the table once it has been told everything;
// the engine's passes never allocate.
#include <sanitizer/allocator_interface.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "lndp_manage.h"
#include "lndp_packet.h"
#include "oswrap_api.h"
#include "vsock_wrappedSocketIf.h"

using namespace LNDP;

namespace {

// Names the broken invariant before the crash that libFuzzer records.
#define require(ok) ((ok) ? (void)0 : broken(__LINE__, #ok))
[[noreturn]] void broken(int line, const char* what)
{
    fprintf(stderr, "fuzz_lndp_hosts.cpp:%d: %s\n", line, what);
    abort();
}

// ---- the socket layer and clock the engine runs on here

constexpr int32_t kSocket = 7;
uint32_t gNow;
vsock_sockCallback gCallback;
uint8_t gDatagram[1600];
int32_t gDatagramLen = -1; // -1: nothing waiting
netc_endpoint gSource;
bool gSendLater; // the next send completes through the socket event

// Set while the engine runs a pass: nothing may be allocated then.
bool gInEngine;

void onMalloc(const volatile void*, size_t)
{
    require(!gInEngine);
}

} // namespace

extern "C" {

int32_t oswrap_Get1msCount(uint32_t* ms)
{
    *ms = gNow;
    return OSWRAP_E_OK;
}

int32_t vsock_wrappedSocketCreateSock(const T_VSOCK_CREATE_SOCK*, const T_VSOCK_SOCK_OPTION* options)
{
    gCallback = options->callback;
    return kSocket;
}

int32_t vsock_wrappedSocketDeleteSock(int32_t)
{
    gCallback = nullptr;
    return 0;
}

int32_t vsock_wrappedSocketRecvUdp(int32_t id, void* buf, int32_t size, netc_endpoint* source)
{
    require(id == kSocket);
    if (gDatagramLen < 0)
        return VSOCK_E_NODATA;
    if (gDatagramLen > size)
        return VSOCK_E_BUFSMALL;
    memcpy(buf, gDatagram, (size_t)gDatagramLen);
    *source = gSource;
    const int32_t n = gDatagramLen;
    gDatagramLen = -1;
    return n;
}

int32_t vsock_wrappedSocketSendUdp(int32_t id, const void* data, int32_t len, const netc_endpoint* dest, int32_t)
{
    require(id == kSocket && data != nullptr && len > 0 && dest->addr.family == NETC_AF_INET);
    return gSendLater ? VSOCK_E_INPROGRESS : len;
}

int32_t vsock_wrappedSocketGetLocalAddr(int32_t, int32_t, T_VSOCK_LOCAL_ADDR*, int32_t)
{
    return VSOCK_E_NOTACTIVE;
}

int32_t vsock_wrappedSocketAddMulticastAddr(int32_t, const netc_addr*)
{
    return 0;
}

} // extern "C"

namespace {

constexpr uint32_t kMaxCapacity = 16;
const netc_addr kLocal = {NETC_AF_INET, {10, 0, 0, 1}, 0};
const char* const kNames[] = {"_zel-scp", "_r", "_x"}; // an announcer's, a responder's, none

netc_addr v4(uint8_t last)
{
    netc_addr a = kLocal;
    a.addr[3] = last;
    return a;
}

bool sameHost(const _LNDP_HOST_INFO& a, const _LNDP_HOST_INFO& b)
{
    return a.senderRole == b.senderRole && memcmp(a.macAddr, b.macAddr, 6) == 0
           && lndp_addrEqual(&a.hostAddr, &b.hostAddr) && lndp_addrEqual(&a.sourceAddr, &b.sourceAddr)
           && lndp_addrEqual(&a.localAddr, &b.localAddr) && a.serviceNameLen == b.serviceNameLen
           && memcmp(a.serviceName, b.serviceName, a.serviceNameLen) == 0;
}

// A host as the engine may hold it: an answer to the announcer, or an
// announcement to the responder, on this binding.
void requireAccepted(const _LNDP_HOST_INFO& h)
{
    require(lndp_addrEqual(&h.localAddr, &kLocal));
    const bool announcer = h.serviceNameLen == 8 && memcmp(h.serviceName, kNames[0], 8) == 0;
    const bool responder = h.serviceNameLen == 2 && memcmp(h.serviceName, kNames[1], 2) == 0;
    require((announcer && h.senderRole == LNDP_ROLE_RESPONDER) || (responder && h.senderRole == LNDP_ROLE_ANNOUNCER));
    require(h.hostAddr.family == NETC_AF_INET || h.hostAddr.family == NETC_AF_INET6);
}

// What the subscriber was told: the hosts reported enabled and not lost since.
_LNDP_HOST_INFO gTold[kMaxCapacity];
uint32_t gToldCount;

uint32_t subscriber(const _LNDP_HOST_INFO* host, uint8_t enabled)
{
    requireAccepted(*host);
    uint32_t i = 0;
    while (i < gToldCount && !sameHost(gTold[i], *host))
        ++i;
    if (enabled) {
        // More hosts than the table holds would be told of here.
        require(i < gToldCount || gToldCount < gl_manage.hostCapacity());
        gTold[i] = *host;
        gToldCount += i == gToldCount ? 1 : 0;
    } else if (i < gToldCount) {
        // A host that came and aged out between two notifications is told
        // only as lost; the subscriber never heard of it.
        gTold[i] = gTold[--gToldCount];
    }
    return 0;
}

void checkTable(bool allTold)
{
    require(gl_manage.usedHostCount() <= (int32_t)gl_manage.hostCapacity());
    uint32_t count = 0;
    require(gl_manage.getNumOfActiveHost(count) == LNDP_OK && count <= gl_manage.hostCapacity());
    static _LNDP_HOST_INFO hosts[kMaxCapacity];
    for (uint32_t i = 0; i < count; ++i) {
        require(gl_manage.getHostInfoByIndex((uint16_t)i, hosts[i]) == LNDP_OK);
        requireAccepted(hosts[i]);
        for (uint32_t j = 0; j < i; ++j)
            require(!sameHost(hosts[i], hosts[j]));
    }
    require(gl_manage.getHostInfoByIndex((uint16_t)count, hosts[0]) == LNDP_E_PARAM);
    if (!allTold)
        return;
    // Told everything: the subscriber knows exactly the enabled hosts, as they are.
    require(count == gToldCount);
    for (uint32_t i = 0; i < count; ++i) {
        require(gl_manage.getHostInfoByIndex((uint16_t)i, hosts[i]) == LNDP_OK);
        uint32_t k = 0;
        while (k < gToldCount && !sameHost(gTold[k], hosts[i]))
            ++k;
        require(k < gToldCount && memcmp(&gTold[k], &hosts[i], sizeof hosts[i]) == 0);
    }
}

// Reads input bytes; zero once it is used up.
struct Input
{
    const uint8_t* data;
    size_t size;
    uint8_t byte() { return size ? (--size, *data++) : 0; }
};

// The next datagram from the input: an answer built from a few choices (so
// that most are accepted) or raw bytes. Its source address is chosen too.
void nextDatagram(Input& in)
{
    const uint8_t kind = in.byte();
    gSource.port = LNDP_SERVICE_PORT;
    gSource.addr = v4((uint8_t)(2 + (kind >> 5))); // 10.0.0.2..9; .1 is our own
    if (kind & 1) {
        const size_t n = ((size_t)in.byte() << 8 | in.byte()) % sizeof gDatagram;
        gDatagramLen = (int32_t)(n < in.size ? n : in.size);
        memcpy(gDatagram, in.data, (size_t)gDatagramLen);
        in.data += gDatagramLen;
        in.size -= (size_t)gDatagramLen;
        return;
    }
    const uint8_t choice = in.byte();
    const uint8_t role = (choice & 1) ? LNDP_ROLE_RESPONDER : LNDP_ROLE_ANNOUNCER;
    const char* name = kNames[(choice >> 1) % 3];
    const uint8_t status = (choice >> 3) & 1;
    const netc_addr host = (choice & 0x10) ? gSource.addr : v4(in.byte());
    const uint8_t mac[6] = {0x02, 0, 0, 0, (uint8_t)(choice >> 5), in.byte()};
    uint8_t exInfo[32];
    const uint8_t exInfoLen = in.byte() % sizeof exInfo;
    for (uint8_t i = 0; i < exInfoLen; ++i)
        exInfo[i] = in.byte();
    gDatagramLen = lndp_buildDatagram(gDatagram, sizeof gDatagram, role, 0, status, &host, mac, (const uint8_t*)name,
                                      (uint8_t)strlen(name), exInfo, exInfoLen);
    require(gDatagramLen > 0);
}

void deliver()
{
    if (!gCallback)
        return; // no socket at the moment: it is gone
    netc_sock_cb_prm event = {NETC_SOCK_EV_RECV, gDatagramLen};
    gCallback(kSocket, &event);
    int32_t rx = 0, tx = 0, notify = 0, more = 0;
    gInEngine = true;
    gl_manage.runSocketCallback(rx, tx);
    do
        gl_manage.runReceive(more, tx, notify);
    while (more);
    gInEngine = false;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    __sanitizer_install_malloc_and_free_hooks(onMalloc, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in{data, size};
    gl_manage.finalize();
    gNow = 1000000;
    gCallback = nullptr;
    gDatagramLen = -1;
    gSendLater = false;
    gToldCount = 0;
    const uint32_t capacity = 1 + in.byte() % kMaxCapacity;
    require(gl_manage.initialize(nullptr, nullptr, 0, 0, capacity) == LNDP_OK);
    require(gl_manage.attachTask([](int32_t) {}) == LNDP_OK);
    require(gl_manage.subscribeTask(1, subscriber) == LNDP_OK);
    _T_LNDP_NETWORK_SETUP_PROPERTY prop;
    memset(&prop, 0, sizeof prop);
    prop.localAddr = kLocal;
    prop.netmask = v4(0);
    prop.netmask.addr[0] = prop.netmask.addr[1] = prop.netmask.addr[2] = 0xFF;
    prop.port = LNDP_SERVICE_PORT;
    prop.intervalMs = 1000;
    int id = -1;
    for (int role = LNDP_ROLE_RESPONDER; role <= LNDP_ROLE_ANNOUNCER; ++role) {
        prop.role = (uint8_t)role;
        prop.serviceName = (const uint8_t*)kNames[role == LNDP_ROLE_ANNOUNCER ? 0 : 1];
        prop.serviceNameLen = (uint8_t)strlen((const char*)prop.serviceName);
        require(gl_manage.setConfigCore(id, prop) == LNDP_OK);
    }
    gl_manage.setState(LNDP_STATE_RUNNING);

    int32_t rx = 0, tx = 0, notify = 0, more = 0, other = 0;
    for (int steps = 0; in.size > 0 && steps < 4096; ++steps) {
        const uint8_t op = in.byte();
        bool allTold = false;
        gInEngine = true;
        switch (op % 5) {
        case 0:
        case 1:
            gInEngine = false;
            nextDatagram(in);
            deliver();
            gDatagramLen = -1;
            break;
        case 2: // time passes; the interval pass opens the socket again when it was closed
            gNow += (uint32_t)(op >> 3) * 500u;
            gl_manage.runInterval(rx, tx, notify);
            break;
        case 3: {
            gSendLater = (op & 8) != 0;
            gl_manage.runSend(more, other);
            if (gCallback && (op & 16)) {
                netc_sock_cb_prm event = {NETC_SOCK_EV_SEND, (op & 32) ? VSOCK_E_PARAM : 41};
                gCallback(kSocket, &event);
                gl_manage.runSocketCallback(rx, tx);
                gl_manage.runSend(more, other);
            }
            break;
        }
        default:
            gl_manage.notifyUpdateHostInfo();
            allTold = true;
            break;
        }
        gInEngine = false;
        checkTable(allTold);
    }
    gInEngine = true;
    gl_manage.notifyUpdateHostInfo();
    gInEngine = false;
    checkTable(true);
    return 0;
}
