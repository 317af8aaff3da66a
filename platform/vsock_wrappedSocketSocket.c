/*
 * Socket wrapper: the managed socket table, the receive rings, the send and
 * receive state machines and the socket task. Portable; everything the
 * operating system does goes through vsock_sockApiWrapper.h.
 *
 * The socket task is the only thread that waits on sockets, receives and
 * sends. It blocks until a socket is ready, a send time-out falls due or a
 * public call wakes it, so an idle module costs no CPU, and events are
 * reported as soon as the kernel has them.
 *
 * Lock order: the management lock "VSWSINT" is held by every public call and
 * by the socket task around its handlers; callbacks run under it.
 */
#include <stdatomic.h>
#include <stddef.h>
#include <string.h>

#include "oswrap_api.h"
#include "vsock_sockApiWrapper.h"
#include "vsock_wrappedSocketIf.h"

enum { ENTRY_FREE = 0, ENTRY_CREATING = 1, ENTRY_ACTIVE = 3 };
enum { KIND_UDP = 1, KIND_TCP_CLIENT = 2, KIND_TCP_LISTENER = 3, KIND_ACCEPTED = 4 };
enum { SEND_IDLE = 0, SEND_REQUESTED = 2, SEND_SENT = 3, SEND_REPORTING = 4 };
enum { RECV_READY = 2, RECV_REPORTING = 3 };
enum { CONN_NONE = 0, CONN_PENDING = 1, CONN_DONE = 2, CONN_FAILED = 3 };

#define RING_BYTES (VSOCK_RING_WORDS * 4u)
#define RECORD_HEAD_WORDS 8u /* endpoint (7 words) and length */
/* Room in the ring for the largest datagram the socket task accepts. */
#define RECORD_MAX_WORDS (RECORD_HEAD_WORDS + (VSOCK_RX_BUFFER + 3u) / 4u)
#define MAX_UDP_PAYLOAD 65507

typedef struct
{
    int32_t state;
    T_VSOCK_CREATE_SOCK create;
    uint32_t optFlags;
    uint32_t optWord;
    vsock_sockCallback callback;
    int32_t osSlot;
    uint32_t owner;
    int32_t kind;
    int32_t sendState;
    const uint8_t *sendBuf;
    int32_t sendLen;
    int32_t sendDone;
    T_OSWRAP_TIMER_MS sendTimer;
    int32_t sendTimerArmed;
    uint32_t sendTag;
    netc_endpoint sendDest;
    int32_t recvState;
    int32_t lastRecv;
    /* UDP: ring of records; TCP: a linear byte buffer of ringUsed bytes. */
    uint32_t ringRead; /* words */
    uint32_t ringWrite; /* words */
    uint32_t tcpUsed; /* bytes */
    int32_t tcpPeerClosed;
    int32_t connState;
    int32_t connResult;
    union
    {
        uint32_t words[VSOCK_RING_WORDS];
        uint8_t bytes[RING_BYTES];
    } ring;
} WrappedSocket;

typedef struct
{
    int32_t inUse;
    vsock_osSock sock;
    int32_t entry;
} OsSocket;

typedef struct
{
    int32_t initialised;
    int32_t count;
    WrappedSocket *entries;
    int32_t lockSem;
    void (*handler[5])(int32_t id, uint8_t ready);
} WrappedSocketManage;

static WrappedSocket gl_wrappedSocketSocket[VSOCK_MAX_SOCKETS];
static OsSocket gl_osSocket[VSOCK_MAX_OS_SOCKETS];
static WrappedSocketManage gl_wrappedSocketSocketManage;
static atomic_int gl_wrappedSocketStatus;
static atomic_int gl_terminate;
static atomic_uint gl_waitEpoch; /* socket task: waits completed so far */
static atomic_int gl_callers; /* public calls in progress */
static atomic_flag gl_semGate = ATOMIC_FLAG_INIT; /* finding or creating "VSWSIF" */
static int32_t gl_hMySemId; /* "VSWSIF": module start and end */
static int32_t gl_hReadySem; /* the socket task reports readiness */
static int32_t gl_hTaskId;
/* An end whose socket task did not stop in time: the module stays in status
 * 1 with everything the task may still touch, until an end succeeds. */
static int32_t gl_endPending;
static _Atomic(vsock_stateCallback) gl_stateCallback;
static uint8_t gl_rxBuffer[VSOCK_RX_BUFFER]; /* socket task only */

/* 1 with the management lock held, 0 when it could not be taken (then the
 * caller must neither touch the table nor unlock). */
static int lock(void)
{
    return oswrap_WaiSem(gl_wrappedSocketSocketManage.lockSem) == OSWRAP_E_OK;
}

static void unlock(void)
{
    (void)oswrap_SigSem(gl_wrappedSocketSocketManage.lockSem);
}

/* Admits a public call while the module is ready. The count is raised before
 * the status is read and the end changes the status before it reads the
 * count (both sequentially consistent), so either the call sees the module
 * ending and leaves, or the end sees the call and waits for it. */
static int enterCall(void)
{
    atomic_fetch_add(&gl_callers, 1);
    if (atomic_load(&gl_wrappedSocketStatus) == VSOCK_STATUS_READY)
        return 1;
    atomic_fetch_sub(&gl_callers, 1);
    return 0;
}

static void leaveCall(void)
{
    atomic_fetch_sub(&gl_callers, 1);
}

static void report(int32_t id, int32_t event, int32_t result)
{
    WrappedSocket *e = &gl_wrappedSocketSocket[id];
    if ((e->optFlags & VSOCK_OPT_CALLBACK) && e->callback) {
        netc_sock_cb_prm prm = { event, result };
        e->callback(id, &prm);
    }
}

/* Entry lookup for public calls, with the lock held. */
static int32_t activeEntry(int32_t id, WrappedSocket **out)
{
    if (id < 0 || id >= VSOCK_MAX_SOCKETS)
        return VSOCK_E_PARAM;
    WrappedSocket *e = &gl_wrappedSocketSocket[id];
    if (e->state != ENTRY_ACTIVE)
        return VSOCK_E_NOTACTIVE;
    *out = e;
    return 0;
}

static vsock_osSock osOf(const WrappedSocket *e)
{
    return gl_osSocket[e->osSlot].sock;
}

/* Frees an entry and hands back its OS socket, still open. */
static vsock_osSock detachEntry(int32_t id)
{
    WrappedSocket *e = &gl_wrappedSocketSocket[id];
    vsock_osSock s = VSOCK_OS_INVALID;
    if (e->osSlot >= 0) {
        s = gl_osSocket[e->osSlot].sock;
        gl_osSocket[e->osSlot].inUse = 0;
        gl_osSocket[e->osSlot].sock = VSOCK_OS_INVALID;
        gl_osSocket[e->osSlot].entry = -1;
    }
    /* The ring itself needs no clearing: its indices are reset. */
    memset(e, 0, offsetof(WrappedSocket, ring));
    e->osSlot = -1;
    e->state = ENTRY_FREE;
    return s;
}

/* Frees an entry and closes its socket; only while the socket task is not
 * waiting on it (the task has ended, or the socket was never waited on). */
static void freeEntry(int32_t id, int abortive)
{
    vsock_osSock s = detachEntry(id);
    if (s != VSOCK_OS_INVALID)
        vsock_sockApiClose(s, abortive);
}

/* Closes a socket detached (under the lock) from a running socket task. A
 * descriptor closed while the task waits on it stays open underneath, its
 * port bound, until that wait ends: a socket created right after on the same
 * port would fail. So the task is woken and the close waits until the wait
 * that may hold the descriptor has ended (the detached socket is not in any
 * later wait). Bounded, so that a misuse from the task itself cannot hang. */
static void closeDetached(vsock_osSock s, int abortive)
{
    if (s == VSOCK_OS_INVALID)
        return;
    int32_t self = 0;
    if (oswrap_GetTskId(&self) >= 0 && self != gl_hTaskId) {
        const unsigned epoch = atomic_load(&gl_waitEpoch);
        vsock_sockApiWake();
        for (int waited = 0; atomic_load(&gl_waitEpoch) == epoch && !atomic_load(&gl_terminate) && waited < 1000;
             ++waited)
            oswrap_WaiTsk(1);
    }
    vsock_sockApiClose(s, abortive);
}

/* Takes the lowest free entry and an OS slot, with the lock held. */
static int32_t allocEntry(int32_t *idOut, int32_t *slotOut)
{
    int32_t id = -1, slot = -1;
    for (int32_t i = 0; i < VSOCK_MAX_SOCKETS && id < 0; ++i)
        if (gl_wrappedSocketSocket[i].state == ENTRY_FREE)
            id = i;
    for (int32_t i = 0; i < VSOCK_MAX_OS_SOCKETS && slot < 0; ++i)
        if (!gl_osSocket[i].inUse)
            slot = i;
    if (id < 0 || slot < 0)
        return VSOCK_E_NOSPACE;
    *idOut = id;
    *slotOut = slot;
    return 0;
}

static void activate(int32_t id, int32_t slot, vsock_osSock s, int32_t kind, const T_VSOCK_SOCK_OPTION *options)
{
    WrappedSocket *e = &gl_wrappedSocketSocket[id];
    memset(e, 0, offsetof(WrappedSocket, ring));
    e->optFlags = options->flags;
    e->optWord = options->option;
    e->callback = options->callback;
    e->osSlot = slot;
    e->kind = kind;
    e->sendState = SEND_IDLE;
    e->recvState = RECV_READY;
    gl_osSocket[slot].inUse = 1;
    gl_osSocket[slot].sock = s;
    gl_osSocket[slot].entry = id;
    e->state = ENTRY_ACTIVE;
}

/* ------------------------------------------------------------------ ring */

static uint32_t ringUsedWords(const WrappedSocket *e)
{
    return (e->ringWrite + VSOCK_RING_WORDS - e->ringRead) % VSOCK_RING_WORDS;
}

static void ringPut(WrappedSocket *e, uint32_t *posWords, const void *src, uint32_t len)
{
    if (len == 0)
        return;
    uint32_t pos = *posWords * 4u;
    uint32_t first = len < RING_BYTES - pos ? len : RING_BYTES - pos;
    memcpy(e->ring.bytes + pos, src, first);
    memcpy(e->ring.bytes, (const uint8_t *)src + first, len - first);
    *posWords = (*posWords + (len + 3u) / 4u) % VSOCK_RING_WORDS;
}

static void ringGet(const WrappedSocket *e, uint32_t posWords, void *dst, uint32_t len)
{
    if (len == 0)
        return;
    uint32_t pos = posWords * 4u;
    uint32_t first = len < RING_BYTES - pos ? len : RING_BYTES - pos;
    memcpy(dst, e->ring.bytes + pos, first);
    memcpy((uint8_t *)dst + first, e->ring.bytes, len - first);
}

/* A datagram is taken from the system only while the ring can hold it: a
 * burst larger than the ring waits in the socket's own receive buffer, sized
 * for a site's answers, instead of being read and dropped here. */
static int ringHasRoom(const WrappedSocket *e)
{
    return VSOCK_RING_WORDS - 1u - ringUsedWords(e) >= RECORD_MAX_WORDS;
}

static int32_t ringStore(WrappedSocket *e, const netc_endpoint *src, const void *data, uint32_t len)
{
    uint32_t need = RECORD_HEAD_WORDS + (len + 3u) / 4u;
    uint32_t freeWords = VSOCK_RING_WORDS - 1u - ringUsedWords(e);
    if (need > freeWords)
        return VSOCK_E_NOSPACE;
    uint32_t pos = e->ringWrite;
    ringPut(e, &pos, src, sizeof *src);
    ringPut(e, &pos, &len, sizeof len);
    ringPut(e, &pos, data, len);
    e->ringWrite = pos;
    return (int32_t)len;
}

/* --------------------------------------------------------------- handlers */

static void udpRead(int32_t id, uint8_t readyBits)
{
    (void)readyBits;
    WrappedSocket *e = &gl_wrappedSocketSocket[id];
    /* A burst is drained in one go, bounded so that other sockets get a turn. */
    for (int n = 0; n < 64 && e->state == ENTRY_ACTIVE && ringHasRoom(e); ++n) {
        netc_endpoint src;
        int32_t r = vsock_sockApiRecvFrom(osOf(e), gl_rxBuffer, sizeof gl_rxBuffer, &src);
        if (r == VSOCK_E_NODATA)
            return;
        if (r == VSOCK_E_BUFSMALL)
            r = VSOCK_E_OTHER; /* longer than any datagram we accept; dropped */
        else if (r >= 0)
            r = ringStore(e, &src, gl_rxBuffer, (uint32_t)r);
        e->lastRecv = r;
        e->recvState = RECV_REPORTING;
        report(id, NETC_SOCK_EV_RECV, r);
        e->recvState = RECV_READY;
    }
}

static void udpWrite(int32_t id, uint8_t readyBits)
{
    (void)readyBits;
    WrappedSocket *e = &gl_wrappedSocketSocket[id];
    if (e->sendState != SEND_REQUESTED)
        return;
    int32_t r = vsock_sockApiSendTo(osOf(e), e->sendBuf, e->sendLen, &e->sendDest);
    if (r == VSOCK_E_INPROGRESS)
        return; /* still would block: wait for writability */
    if (r >= 0) {
        e->sendState = SEND_SENT;
        e->sendDone = r;
    }
    e->sendState = SEND_REPORTING;
    e->sendTimerArmed = 0;
    e->sendBuf = NULL;
    report(id, NETC_SOCK_EV_SEND, r);
    if (e->state == ENTRY_ACTIVE)
        e->sendState = SEND_IDLE;
}

static void tcpRead(int32_t id, uint8_t readyBits)
{
    (void)readyBits;
    WrappedSocket *e = &gl_wrappedSocketSocket[id];
    if (e->kind == KIND_TCP_CLIENT && e->connState == CONN_PENDING) {
        e->connResult = vsock_sockApiConnectResult(osOf(e));
        e->connState = e->connResult == 0 ? CONN_DONE : CONN_FAILED;
        report(id, NETC_SOCK_EV_CONNECT, e->connResult);
        return;
    }
    if (e->tcpPeerClosed || e->tcpUsed >= RING_BYTES)
        return;
    int32_t r = vsock_sockApiRecv(osOf(e), e->ring.bytes + e->tcpUsed, (int32_t)(RING_BYTES - e->tcpUsed));
    if (r == VSOCK_E_NODATA)
        return;
    if (r > 0) {
        e->tcpUsed += (uint32_t)r;
        r = (int32_t)e->tcpUsed;
    } else {
        e->tcpPeerClosed = 1; /* 0: orderly close; negative: error */
    }
    e->lastRecv = r;
    e->recvState = RECV_REPORTING;
    report(id, NETC_SOCK_EV_RECV, r);
    e->recvState = RECV_READY;
}

static void tcpWrite(int32_t id, uint8_t readyBits)
{
    WrappedSocket *e = &gl_wrappedSocketSocket[id];
    if (e->kind == KIND_TCP_CLIENT && e->connState == CONN_PENDING) {
        tcpRead(id, readyBits);
        return;
    }
    if (e->sendState != SEND_REQUESTED)
        return;
    while (e->sendDone < e->sendLen) {
        int32_t r = vsock_sockApiSend(osOf(e), e->sendBuf + e->sendDone, e->sendLen - e->sendDone);
        if (r == VSOCK_E_INPROGRESS)
            return;
        if (r < 0) {
            e->sendState = SEND_REPORTING;
            e->sendBuf = NULL;
            report(id, NETC_SOCK_EV_SEND, r);
            if (e->state == ENTRY_ACTIVE)
                e->sendState = SEND_IDLE;
            return;
        }
        e->sendDone += r;
    }
    e->sendState = SEND_REPORTING;
    e->sendBuf = NULL;
    report(id, NETC_SOCK_EV_SEND, e->sendDone);
    if (e->state == ENTRY_ACTIVE)
        e->sendState = SEND_IDLE;
}

static void listenerAccept(int32_t id, uint8_t readyBits)
{
    (void)readyBits;
    WrappedSocket *e = &gl_wrappedSocketSocket[id];
    if (e->recvState != RECV_READY)
        return;
    /* Not watched again until the connection has been taken with Accept. */
    e->recvState = RECV_REPORTING;
    report(id, NETC_SOCK_EV_RECV, 1);
}

static uint8_t wantOf(const WrappedSocket *e)
{
    switch (e->kind) {
    case KIND_UDP:
        return (uint8_t)((e->recvState == RECV_READY && ringHasRoom(e) ? VSOCK_WAIT_READ : 0)
                         | (e->sendState == SEND_REQUESTED ? VSOCK_WAIT_WRITE : 0));
    case KIND_TCP_LISTENER:
        return e->recvState == RECV_READY ? VSOCK_WAIT_READ : 0;
    case KIND_TCP_CLIENT:
        if (e->connState == CONN_PENDING)
            return VSOCK_WAIT_WRITE | VSOCK_WAIT_EXCEPT;
        if (e->connState != CONN_DONE)
            return 0;
        /* fall through */
    case KIND_ACCEPTED:
        return (uint8_t)((!e->tcpPeerClosed && e->tcpUsed < RING_BYTES ? VSOCK_WAIT_READ : 0)
                         | (e->sendState == SEND_REQUESTED ? VSOCK_WAIT_WRITE : 0));
    default:
        return 0;
    }
}

static void dispatch(int32_t id, uint8_t got)
{
    WrappedSocket *e = &gl_wrappedSocketSocket[id];
    void (**h)(int32_t, uint8_t) = gl_wrappedSocketSocketManage.handler;
    if (e->kind == KIND_UDP) {
        if (got & VSOCK_WAIT_READ)
            h[0](id, got);
        if ((got & VSOCK_WAIT_WRITE) && e->state == ENTRY_ACTIVE)
            h[1](id, got);
    } else if (e->kind == KIND_TCP_LISTENER) {
        h[2](id, got);
    } else {
        if (got & (VSOCK_WAIT_WRITE | VSOCK_WAIT_EXCEPT))
            h[4](id, got);
        if ((got & VSOCK_WAIT_READ) && e->state == ENTRY_ACTIVE)
            h[3](id, got);
    }
}

/* ------------------------------------------------------------ socket task */

static void vsock_sockTskMain(void *arg)
{
    (void)arg;
    static vsock_waitItem items[VSOCK_MAX_OS_SOCKETS];
    oswrap_SigSem(gl_hReadySem);
    while (!atomic_load(&gl_terminate)) {
        int32_t count = 0, timeout = -1;
        uint32_t now = 0;
        oswrap_Get1msCount(&now);
        if (!lock())
            return; /* the module is being torn down */
        for (int32_t s = 0; s < VSOCK_MAX_OS_SOCKETS; ++s) {
            if (!gl_osSocket[s].inUse)
                continue;
            const WrappedSocket *e = &gl_wrappedSocketSocket[gl_osSocket[s].entry];
            uint8_t want = wantOf(e);
            if (e->sendState == SEND_REQUESTED && e->sendTimerArmed) {
                uint32_t passed = now - e->sendTimer.start;
                int32_t left = passed >= e->sendTimer.duration ? 0 : (int32_t)(e->sendTimer.duration - passed);
                if (timeout < 0 || left < timeout)
                    timeout = left;
            }
            if (!want)
                continue;
            items[count].sock = gl_osSocket[s].sock;
            items[count].slot = s;
            items[count].want = want;
            items[count].got = 0;
            ++count;
        }
        unlock();

        (void)vsock_sockApiWait(items, count, timeout);
        atomic_fetch_add(&gl_waitEpoch, 1u);
        if (atomic_load(&gl_terminate))
            break;

        if (!lock())
            return;
        for (int32_t i = 0; i < count; ++i) {
            const OsSocket *o = &gl_osSocket[items[i].slot];
            /* The socket may have been deleted (and its slot reused) while
             * we waited; only act on the same descriptor in the same slot. */
            if (!items[i].got || !o->inUse || o->sock != items[i].sock)
                continue;
            dispatch(o->entry, items[i].got);
        }
        for (int32_t id = 0; id < VSOCK_MAX_SOCKETS; ++id) {
            WrappedSocket *e = &gl_wrappedSocketSocket[id];
            if (e->state != ENTRY_ACTIVE || e->kind != KIND_UDP || e->sendState != SEND_REQUESTED)
                continue;
            /* A UDP socket is nearly always writable: try at once rather
             * than after another wait. */
            udpWrite(id, VSOCK_WAIT_WRITE);
            if (e->state == ENTRY_ACTIVE && e->sendState == SEND_REQUESTED && e->sendTimerArmed
                && oswrap_svcCheckOneshotTimerMs(&e->sendTimer) == OSWRAP_I_EXPIRED) {
                e->sendState = SEND_REPORTING;
                e->sendTimerArmed = 0;
                e->sendBuf = NULL;
                report(id, NETC_SOCK_EV_SEND, VSOCK_E_TIMEOUT);
                if (e->state == ENTRY_ACTIVE)
                    e->sendState = SEND_IDLE;
            }
        }
        unlock();
    }
}

/* ----------------------------------------------------------------- module */

/* Status changes that callers can observe are reported (2 ready, 0 stopped). */
static void setStatus(int32_t s, int report)
{
    atomic_store(&gl_wrappedSocketStatus, s);
    vsock_stateCallback cb = atomic_load(&gl_stateCallback);
    if (report && cb)
        cb(s);
}

/* Id of the "VSWSIF" semaphore, created on first use when create is set; 0
 * when there is none. It is looked up by name every time (and never deleted
 * here) because oswrap_exit / oswrap_init may have replaced it since. */
static int32_t moduleSem(int create)
{
    while (atomic_flag_test_and_set(&gl_semGate))
        oswrap_yield();
    int32_t id = 0;
    if (oswrap_VinqSem(&id, "VSWSIF") != OSWRAP_E_OK) {
        T_OSWRAP_CSEM cs = { 0, 1, "VSWSIF" };
        id = 0;
        if (!create || oswrap_AcreSem(&id, &cs) != OSWRAP_E_OK)
            id = 0;
    }
    atomic_flag_clear(&gl_semGate);
    return id;
}

/* Stops the socket task and frees what it and the callers used; "VSWSIF"
 * held, status 1 (no call is admitted). 0 when done. When the task does not
 * end within the deletion limit (a callback that does not return), nothing
 * is freed: VSOCK_E_TIMEOUT, and the end stays pending. */
static int32_t stopModule(int wasReady)
{
    WrappedSocketManage *m = &gl_wrappedSocketSocketManage;
    atomic_store(&gl_terminate, 1);
    if (gl_hTaskId) {
        vsock_sockApiWake();
        const int32_t r = oswrap_DelTsk(gl_hTaskId); /* waits up to 5 s for the task */
        if (r != OSWRAP_E_OK && r != OSWRAP_E_NOEXS) {
            gl_endPending = 1;
            return r == OSWRAP_E_TMOUT ? VSOCK_E_TIMEOUT : VSOCK_E_NOTREADY;
        }
    }
    /* Calls admitted before the status changed finish first; with the task
     * gone nothing holds the lock for long. */
    while (atomic_load(&gl_callers) != 0)
        oswrap_WaiTsk(1);
    gl_hTaskId = 0; /* read by the calls (closeDetached) */
    for (int32_t i = 0; i < VSOCK_MAX_SOCKETS; ++i)
        if (gl_wrappedSocketSocket[i].state != ENTRY_FREE)
            freeEntry(i, 0);
    vsock_sockApiCleanup();
    if (gl_hReadySem)
        oswrap_DelSem(gl_hReadySem);
    if (m->lockSem)
        oswrap_DelSem(m->lockSem);
    gl_hReadySem = m->lockSem = 0;
    m->initialised = 0;
    gl_endPending = 0;
    setStatus(VSOCK_STATUS_STOPPED, wasReady);
    return 0;
}

int32_t vsock_wrappedSocketInitModule(void)
{
    if (atomic_load(&gl_wrappedSocketStatus) == VSOCK_STATUS_READY)
        return 0;
    const int32_t sem = moduleSem(1);
    if (!sem || oswrap_WaiSem(sem) != OSWRAP_E_OK)
        return VSOCK_E_NOTREADY;
    gl_hMySemId = sem;
    const int32_t status = atomic_load(&gl_wrappedSocketStatus);
    if (status != VSOCK_STATUS_STOPPED) {
        /* Ready (another caller started it) or an end still pending. */
        oswrap_SigSem(sem);
        return status == VSOCK_STATUS_READY ? 0 : VSOCK_E_NOTREADY;
    }
    T_OSWRAP_CSEM lockRec = { 0, 1, "VSWSINT" };
    T_OSWRAP_CSEM readyRec = { 0, 0, "VSWSRDY" };
    T_OSWRAP_CTSK task = { 0, vsock_sockTskMain, 15, 4096, "VSOCK" };
    WrappedSocketManage *m = &gl_wrappedSocketSocketManage;
    m->lockSem = 0;
    gl_hReadySem = 0;
    gl_hTaskId = 0;
    setStatus(VSOCK_STATUS_STARTING, 0);
    if (oswrap_AcreSem(&m->lockSem, &lockRec) != OSWRAP_E_OK || oswrap_AcreSem(&gl_hReadySem, &readyRec) != OSWRAP_E_OK
        || vsock_sockApiStartup() != 0)
        goto fail;
    m->initialised = 1;
    m->count = VSOCK_MAX_SOCKETS;
    m->entries = gl_wrappedSocketSocket;
    m->handler[0] = udpRead;
    m->handler[1] = udpWrite;
    m->handler[2] = listenerAccept;
    m->handler[3] = tcpRead;
    m->handler[4] = tcpWrite;
    for (int32_t i = 0; i < VSOCK_MAX_SOCKETS; ++i) {
        memset(&gl_wrappedSocketSocket[i], 0, offsetof(WrappedSocket, ring));
        gl_wrappedSocketSocket[i].osSlot = -1;
    }
    for (int32_t i = 0; i < VSOCK_MAX_OS_SOCKETS; ++i) {
        gl_osSocket[i].inUse = 0;
        gl_osSocket[i].sock = VSOCK_OS_INVALID;
        gl_osSocket[i].entry = -1;
    }
    atomic_store(&gl_terminate, 0);
    if (oswrap_AcreTsk(&gl_hTaskId, &task) != OSWRAP_E_OK) {
        gl_hTaskId = 0;
        goto fail;
    }
    if (oswrap_StaTsk(gl_hTaskId, NULL) != OSWRAP_E_OK || oswrap_TwaiSem(gl_hReadySem, 5000) != OSWRAP_E_OK)
        goto fail;
    setStatus(VSOCK_STATUS_READY, 1);
    oswrap_SigSem(sem);
    return 0;

fail:
    (void)stopModule(0); /* a task that cannot be stopped leaves the end pending */
    oswrap_SigSem(sem);
    return VSOCK_E_NOTREADY;
}

int32_t vsock_wrappedSocketEndModule(void)
{
    if (atomic_load(&gl_wrappedSocketStatus) == VSOCK_STATUS_STOPPED)
        return 0;
    const int32_t sem = moduleSem(0);
    if (!sem || oswrap_WaiSem(sem) != OSWRAP_E_OK)
        return VSOCK_E_NOTREADY;
    int32_t r = 0;
    const int32_t status = atomic_load(&gl_wrappedSocketStatus);
    if (status == VSOCK_STATUS_READY) {
        setStatus(VSOCK_STATUS_STARTING, 0); /* admit no new call */
        r = stopModule(1);
    } else if (status == VSOCK_STATUS_STARTING && gl_endPending) {
        r = stopModule(1);
    }
    oswrap_SigSem(sem);
    return r;
}

static int32_t setStateCallback(vsock_stateCallback fn)
{
    atomic_store(&gl_stateCallback, fn);
    return 0;
}

/* ---------------------------------------------------------- public calls */

static int32_t createSock(const T_VSOCK_CREATE_SOCK *create, const T_VSOCK_SOCK_OPTION *options)
{
    if (!create || !options || create->type < VSOCK_TYPE_UDP || create->type > VSOCK_TYPE_TCP_CLIENT
        || create->localAddr.family != NETC_AF_INET || !(options->flags & VSOCK_OPT_CALLBACK) || !options->callback)
        return VSOCK_E_PARAM;
    if (!lock())
        return VSOCK_E_NOTREADY;
    int32_t id, slot;
    int32_t r = allocEntry(&id, &slot);
    if (r != 0) {
        unlock();
        return r;
    }
    gl_wrappedSocketSocket[id].state = ENTRY_CREATING;
    vsock_osSock s = VSOCK_OS_INVALID;
    r = vsock_sockApiOpen(create->type, &create->localAddr, create->localPort, &s);
    if (r != 0) {
        gl_wrappedSocketSocket[id].state = ENTRY_FREE;
        unlock();
        return r;
    }
    int32_t kind = create->type == VSOCK_TYPE_UDP          ? KIND_UDP
                   : create->type == VSOCK_TYPE_TCP_CLIENT ? KIND_TCP_CLIENT
                                                           : KIND_TCP_LISTENER;
    activate(id, slot, s, kind, options);
    gl_wrappedSocketSocket[id].create = *create;
    unlock();
    vsock_sockApiWake();
    return id;
}

static int32_t deleteSock(int32_t id)
{
    if (!lock())
        return VSOCK_E_NOTREADY;
    WrappedSocket *e;
    vsock_osSock s = VSOCK_OS_INVALID;
    int32_t r = activeEntry(id, &e);
    if (r == 0)
        s = detachEntry(id);
    unlock();
    if (r == 0)
        closeDetached(s, 0);
    return r;
}

static int32_t getLocalEndpoint(int32_t id, netc_endpoint *out)
{
    if (!out)
        return VSOCK_E_PARAM;
    if (!lock())
        return VSOCK_E_NOTREADY;
    WrappedSocket *e;
    int32_t r = activeEntry(id, &e);
    if (r == 0)
        r = vsock_sockApiLocalEndpoint(osOf(e), out);
    unlock();
    return r;
}

static int32_t sendUdp(int32_t id, const void *data, int32_t len, const netc_endpoint *dest, int32_t timeoutMs)
{
    if ((!data && len > 0) || len < 0 || len > MAX_UDP_PAYLOAD || !dest || dest->addr.family != NETC_AF_INET
        || timeoutMs < -1)
        return VSOCK_E_PARAM;
    if (!lock())
        return VSOCK_E_NOTREADY;
    WrappedSocket *e;
    int32_t r = activeEntry(id, &e);
    if (r == 0 && e->kind != KIND_UDP)
        r = VSOCK_E_PARAM;
    if (r == 0 && e->sendState != SEND_IDLE)
        r = VSOCK_E_NOTREADY;
    if (r == 0) {
        e->sendBuf = (const uint8_t *)data;
        e->sendLen = len;
        e->sendDone = 0;
        e->sendDest = *dest;
        e->sendTag++;
        e->sendTimerArmed = 0;
        if (timeoutMs >= 0) {
            oswrap_svcInitTimerMs(&e->sendTimer);
            e->sendTimerArmed = oswrap_svcStartOneshotTimerMs(&e->sendTimer, (uint32_t)timeoutMs) == OSWRAP_E_OK;
        }
        e->sendState = SEND_REQUESTED;
        r = VSOCK_E_INPROGRESS;
    }
    unlock();
    if (r == VSOCK_E_INPROGRESS)
        vsock_sockApiWake();
    return r;
}

static int32_t recvUdp(int32_t id, void *buf, int32_t size, netc_endpoint *source)
{
    if (size < 0 || (!buf && size > 0))
        return VSOCK_E_PARAM;
    if (!lock())
        return VSOCK_E_NOTREADY;
    WrappedSocket *e;
    int32_t r = activeEntry(id, &e);
    if (r == 0 && e->kind != KIND_UDP)
        r = VSOCK_E_PARAM;
    int wasFull = 0;
    if (r == 0) {
        wasFull = !ringHasRoom(e);
        if (e->ringRead == e->ringWrite) {
            r = VSOCK_E_NODATA;
        } else {
            netc_endpoint src;
            uint32_t len;
            ringGet(e, e->ringRead, &src, sizeof src);
            ringGet(e, (e->ringRead + 7u) % VSOCK_RING_WORDS, &len, sizeof len);
            if (len > (uint32_t)size) {
                r = VSOCK_E_BUFSMALL;
            } else {
                ringGet(e, (e->ringRead + RECORD_HEAD_WORDS) % VSOCK_RING_WORDS, buf, len);
                e->ringRead = (e->ringRead + RECORD_HEAD_WORDS + (len + 3u) / 4u) % VSOCK_RING_WORDS;
                if (source)
                    *source = src;
                r = (int32_t)len;
            }
        }
    }
    /* The socket is watched again once the ring has room. */
    const int wake = wasFull && r >= 0 && ringHasRoom(e);
    unlock();
    if (wake)
        vsock_sockApiWake();
    return r;
}

static int32_t getLocalAddr(int32_t index, int32_t family, T_VSOCK_LOCAL_ADDR *out, int32_t max)
{
    if (index < 0 || !out || max < 0 || (family != 0 && family != NETC_AF_INET && family != NETC_AF_INET6))
        return VSOCK_E_PARAM;
    return vsock_sockApiGetLocalAddr(index, family, out, max);
}

static int32_t membership(int32_t index, const netc_addr *group, int join)
{
    if (!group || index < 0)
        return VSOCK_E_PARAM;
    if (group->family != NETC_AF_INET)
        return 0;
    int32_t r = 0;
    if (!lock())
        return VSOCK_E_NOTREADY;
    for (int32_t id = 0; id < VSOCK_MAX_SOCKETS; ++id) {
        WrappedSocket *e = &gl_wrappedSocketSocket[id];
        if (e->state != ENTRY_ACTIVE || e->kind != KIND_UDP || e->create.localAddr.family != NETC_AF_INET)
            continue;
        /* Leave on the interface that was joined, or the kernel may look
         * for the membership on another one. */
        r = vsock_sockApiMembership(osOf(e), join, group, &e->create.localAddr);
    }
    unlock();
    return r;
}

static int32_t setSockOption(int32_t id, const T_VSOCK_SOCK_OPTION *options)
{
    if (!options)
        return VSOCK_E_PARAM;
    if (!lock())
        return VSOCK_E_NOTREADY;
    WrappedSocket *e;
    int32_t r = activeEntry(id, &e);
    if (r == 0) {
        e->optFlags = options->flags;
        e->optWord = options->option;
        e->callback = options->callback;
    }
    unlock();
    return r;
}

static int32_t getSockOption(int32_t id, T_VSOCK_SOCK_OPTION *options)
{
    if (!options)
        return VSOCK_E_PARAM;
    if (!lock())
        return VSOCK_E_NOTREADY;
    WrappedSocket *e;
    int32_t r = activeEntry(id, &e);
    if (r == 0) {
        options->flags = e->optFlags;
        options->option = e->optWord;
        options->callback = e->callback;
    }
    unlock();
    return r;
}

static int32_t getSockStatus(int32_t id)
{
    if (id < 0 || id >= VSOCK_MAX_SOCKETS)
        return VSOCK_E_PARAM;
    if (!lock())
        return VSOCK_E_NOTREADY;
    int32_t r = gl_wrappedSocketSocket[id].state == ENTRY_ACTIVE ? 1 : 0;
    unlock();
    return r;
}

/* ------------------------------------------------------------------- TCP */

static int32_t connect(int32_t id, const netc_endpoint *peer)
{
    if (!peer || peer->addr.family != NETC_AF_INET)
        return VSOCK_E_PARAM;
    if (!lock())
        return VSOCK_E_NOTREADY;
    WrappedSocket *e;
    int32_t r = activeEntry(id, &e);
    if (r == 0 && e->kind != KIND_TCP_CLIENT)
        r = VSOCK_E_PARAM;
    if (r == 0 && e->connState != CONN_NONE)
        r = VSOCK_E_NOTREADY;
    if (r == 0) {
        r = vsock_sockApiConnect(osOf(e), peer);
        if (r == 0 || r == VSOCK_E_INPROGRESS) {
            /* Even an immediate success is reported through event 1. */
            e->connState = CONN_PENDING;
            r = VSOCK_E_INPROGRESS;
        }
    }
    unlock();
    if (r == VSOCK_E_INPROGRESS)
        vsock_sockApiWake();
    return r;
}

static int32_t accept(int32_t listenerId, const T_VSOCK_SOCK_OPTION *options, netc_endpoint *peer)
{
    if (!options || !(options->flags & VSOCK_OPT_CALLBACK) || !options->callback)
        return VSOCK_E_PARAM;
    if (!lock())
        return VSOCK_E_NOTREADY;
    WrappedSocket *l = NULL;
    int32_t r = activeEntry(listenerId, &l);
    if (r == 0 && l->kind != KIND_TCP_LISTENER)
        r = VSOCK_E_PARAM;
    int isListener = r == 0;
    int32_t id = -1, slot = -1;
    if (r == 0)
        r = allocEntry(&id, &slot);
    vsock_osSock s = VSOCK_OS_INVALID;
    if (r == 0)
        r = vsock_sockApiAccept(osOf(l), &s, peer);
    if (r == 0) {
        activate(id, slot, s, KIND_ACCEPTED, options);
        gl_wrappedSocketSocket[id].create = l->create;
        gl_wrappedSocketSocket[id].create.type = VSOCK_TYPE_TCP_CLIENT;
        r = id;
    }
    if (isListener)
        l->recvState = RECV_READY; /* watch for the next connection */
    unlock();
    vsock_sockApiWake();
    return r;
}

static int32_t sendTcp(int32_t id, const void *data, int32_t len)
{
    if (!data || len <= 0)
        return VSOCK_E_PARAM;
    if (!lock())
        return VSOCK_E_NOTREADY;
    WrappedSocket *e;
    int32_t r = activeEntry(id, &e);
    if (r == 0 && e->kind != KIND_ACCEPTED && e->kind != KIND_TCP_CLIENT)
        r = VSOCK_E_PARAM;
    if (r == 0 && e->kind == KIND_TCP_CLIENT && e->connState != CONN_DONE)
        r = VSOCK_E_NOTACTIVE;
    if (r == 0 && e->sendState != SEND_IDLE)
        r = VSOCK_E_NOTREADY;
    if (r == 0) {
        e->sendBuf = (const uint8_t *)data;
        e->sendLen = len;
        e->sendDone = 0;
        e->sendState = SEND_REQUESTED;
        r = VSOCK_E_INPROGRESS;
    }
    unlock();
    if (r == VSOCK_E_INPROGRESS)
        vsock_sockApiWake();
    return r;
}

static int32_t recvTcp(int32_t id, void *buf, int32_t size)
{
    if (!buf || size <= 0)
        return VSOCK_E_PARAM;
    if (!lock())
        return VSOCK_E_NOTREADY;
    WrappedSocket *e;
    int32_t r = activeEntry(id, &e);
    if (r == 0 && e->kind != KIND_ACCEPTED && e->kind != KIND_TCP_CLIENT)
        r = VSOCK_E_PARAM;
    int wasFull = 0;
    if (r == 0) {
        if (e->tcpUsed == 0) {
            r = e->tcpPeerClosed ? (e->lastRecv < 0 ? e->lastRecv : 0) : VSOCK_E_NODATA;
        } else {
            uint32_t n = e->tcpUsed < (uint32_t)size ? e->tcpUsed : (uint32_t)size;
            wasFull = e->tcpUsed >= RING_BYTES;
            memcpy(buf, e->ring.bytes, n);
            memmove(e->ring.bytes, e->ring.bytes + n, e->tcpUsed - n);
            e->tcpUsed -= n;
            r = (int32_t)n;
        }
    }
    unlock();
    if (wasFull)
        vsock_sockApiWake();
    return r;
}

static int32_t shutdown(int32_t id, int32_t how)
{
    if (how < 0 || how > 2)
        return VSOCK_E_PARAM;
    if (!lock())
        return VSOCK_E_NOTREADY;
    WrappedSocket *e;
    int32_t r = activeEntry(id, &e);
    if (r == 0 && e->kind != KIND_ACCEPTED && e->kind != KIND_TCP_CLIENT)
        r = VSOCK_E_PARAM;
    if (r == 0)
        r = vsock_sockApiShutdown(osOf(e), how);
    unlock();
    return r;
}

static int32_t abortSock(int32_t id)
{
    if (!lock())
        return VSOCK_E_NOTREADY;
    WrappedSocket *e;
    vsock_osSock s = VSOCK_OS_INVALID;
    int abortive = 0;
    int32_t r = activeEntry(id, &e);
    if (r == 0) {
        abortive = e->kind == KIND_ACCEPTED || e->kind == KIND_TCP_CLIENT;
        s = detachEntry(id);
    }
    unlock();
    if (r == 0)
        closeDetached(s, abortive);
    return r;
}

/* ------------------------------------------------------ the public door */

/* Every public call runs between enterCall and leaveCall; the module is
 * ended only once no call is inside, so nothing a call uses (the lock, the
 * wake-up channel, the tables) goes away under it. */
#define VSOCK_GATED(call)                                                                                              \
    do {                                                                                                               \
        if (!enterCall())                                                                                              \
            return VSOCK_E_NOTREADY;                                                                                   \
        const int32_t gatedResult = (call);                                                                            \
        leaveCall();                                                                                                   \
        return gatedResult;                                                                                            \
    } while (0)

int32_t vsock_wrappedSocketCreateSock(const T_VSOCK_CREATE_SOCK *create, const T_VSOCK_SOCK_OPTION *options)
{
    VSOCK_GATED(createSock(create, options));
}

int32_t vsock_wrappedSocketDeleteSock(int32_t id)
{
    VSOCK_GATED(deleteSock(id));
}

int32_t vsock_wrappedSocketGetLocalEndpoint(int32_t id, netc_endpoint *out)
{
    VSOCK_GATED(getLocalEndpoint(id, out));
}

int32_t vsock_wrappedSocketSendUdp(int32_t id, const void *data, int32_t len, const netc_endpoint *dest,
                                   int32_t timeoutMs)
{
    VSOCK_GATED(sendUdp(id, data, len, dest, timeoutMs));
}

int32_t vsock_wrappedSocketRecvUdp(int32_t id, void *buf, int32_t size, netc_endpoint *source)
{
    VSOCK_GATED(recvUdp(id, buf, size, source));
}

int32_t vsock_wrappedSocketGetLocalAddr(int32_t index, int32_t family, T_VSOCK_LOCAL_ADDR *out, int32_t max)
{
    VSOCK_GATED(getLocalAddr(index, family, out, max));
}

int32_t vsock_wrappedSocketSetSockOption(int32_t id, const T_VSOCK_SOCK_OPTION *options)
{
    VSOCK_GATED(setSockOption(id, options));
}

int32_t vsock_wrappedSocketGetSockOption(int32_t id, T_VSOCK_SOCK_OPTION *options)
{
    VSOCK_GATED(getSockOption(id, options));
}

int32_t vsock_wrappedSocketGetSockStatus(int32_t id)
{
    VSOCK_GATED(getSockStatus(id));
}

int32_t vsock_wrappedSocketConnect(int32_t id, const netc_endpoint *peer)
{
    VSOCK_GATED(connect(id, peer));
}

int32_t vsock_wrappedSocketAccept(int32_t listenerId, const T_VSOCK_SOCK_OPTION *options, netc_endpoint *peer)
{
    VSOCK_GATED(accept(listenerId, options, peer));
}

int32_t vsock_wrappedSocketSendTcp(int32_t id, const void *data, int32_t len)
{
    VSOCK_GATED(sendTcp(id, data, len));
}

int32_t vsock_wrappedSocketRecvTcp(int32_t id, void *buf, int32_t size)
{
    VSOCK_GATED(recvTcp(id, buf, size));
}

int32_t vsock_wrappedSocketShutdown(int32_t id, int32_t how)
{
    VSOCK_GATED(shutdown(id, how));
}

int32_t vsock_wrappedSocketAbort(int32_t id)
{
    VSOCK_GATED(abortSock(id));
}

int32_t vsock_wrappedSocketSetStateCallback(vsock_stateCallback fn)
{
    VSOCK_GATED(setStateCallback(fn));
}

int32_t vsock_wrappedSocketAddMulticastAddr(int32_t index, const netc_addr *group)
{
    VSOCK_GATED(membership(index, group, 1));
}

int32_t vsock_wrappedSocketDelMulticastAddr(int32_t index, const netc_addr *group)
{
    VSOCK_GATED(membership(index, group, 0));
}

static int32_t canSendMulticast(void)
{
    return 1;
}

int32_t vsock_wrappedSocketCanSendMulticast(void)
{
    VSOCK_GATED(canSendMulticast());
}

static int32_t sendGARP(const netc_addr *addr)
{
    if (!addr || addr->family != NETC_AF_INET)
        return VSOCK_E_PARAM;
    return vsock_sockApiSendGARP(addr);
}

int32_t vsock_wrappedSocketSendGARP(const netc_addr *addr)
{
    VSOCK_GATED(sendGARP(addr));
}
