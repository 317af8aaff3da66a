#include "lndp_manage.h"

#include <string.h>

namespace LNDP {

T_LNDP_MANAGE gl_manage;

namespace {

void socketEventCallback(int32_t sockId, netc_sock_cb_prm *event)
{
    gl_manage.onSocketEvent(sockId, event);
}

bool timerExpired(T_OSWRAP_TIMER_MS *t)
{
    return oswrap_svcCheckOneshotTimerMs(t) == OSWRAP_I_EXPIRED;
}

void restartTimer(T_OSWRAP_TIMER_MS *t, uint32_t ms)
{
    oswrap_svcStopTimerMs(t);
    oswrap_svcStartOneshotTimerMs(t, ms);
}

bool sameName(const LndpService *s, const uint8_t *name, uint8_t len)
{
    return s->serviceNameLen == len && memcmp(s->serviceName, name, len) == 0;
}

// The fields that tell one host entry from another. The MAC address is one
// of them: the application names a device by it, so an answer with another
// MAC is another device and needs an entry (a free one) of its own. Were it
// an update in place, one sender could make the application hear of a new
// device with every datagram while the table held a single entry.
bool sameHost(const _LNDP_HOST_INFO &a, const _LNDP_HOST_INFO &b)
{
    return a.senderRole == b.senderRole && memcmp(a.macAddr, b.macAddr, sizeof a.macAddr) == 0
           && lndp_addrEqual(&a.hostAddr, &b.hostAddr) && lndp_addrEqual(&a.sourceAddr, &b.sourceAddr)
           && lndp_addrEqual(&a.localAddr, &b.localAddr) && a.serviceNameLen == b.serviceNameLen
           && memcmp(a.serviceName, b.serviceName, a.serviceNameLen) == 0;
}

void addrText(const netc_addr &a, char *buf, uint32_t size)
{
    if (vsock_ntop(&a, buf, size) != 0)
        buf[0] = '\0';
}

void resetService(LndpService *s)
{
    const int32_t id = s->id;
    oswrap_svcStopTimerMs(&s->timer);
    memset(s, 0, sizeof *s);
    s->id = id;
    oswrap_svcInitTimerMs(&s->timer);
}

} // namespace

// ---------------------------------------------------------------- set-up

void T_LNDP_MANAGE::buildTables()
{
    m_networksFree.init();
    m_networksUsed.init();
    m_servicesFree.init();
    m_servicesUsed.init();
    m_commsFree.init();
    m_commsUsed.init();
    m_hostsFree.init((int)m_hostLimit);
    m_hostsUsed.init((int)m_hostLimit);
    m_observersFree.init();
    m_observersUsed.init();

    for (int i = 0; i < LNDP_MAX_NETWORKS; ++i) {
        LndpNetwork &n = m_networks[i];
        memset(&n.localAddr, 0, sizeof n.localAddr);
        n.port = 0;
        n.comm = nullptr;
        n.services.init();
        m_networksFree.append(&n);
    }
    for (int i = 0; i < LNDP_MAX_SERVICES; ++i) {
        m_services[i].id = i;
        resetService(&m_services[i]);
        m_servicesFree.append(&m_services[i]);
        m_idMap[i] = -1;
    }
    for (int i = 0; i < LNDP_MAX_COMMS; ++i) {
        LndpComm &c = m_comms[i];
        c.sockId = -1;
        c.cb = &m_callbacks[i];
        c.index = (uint16_t)i;
        c.sockState = 0;
        memset(&c.localAddr, 0, sizeof c.localAddr);
        memset(&c.rx, 0, sizeof c.rx);
        c.tx.state = 0;
        c.tx.result = 0;
        c.tx.queue.init(LNDP_TX_PER_SERVICE * LNDP_MAX_SERVICES + (int)m_hostLimit);
        c.tx.headDropped = 0;
        memset(&m_callbacks[i], 0, sizeof m_callbacks[i]);
        m_callbacks[i].shared.sockId = -1;
        m_callbacks[i].priv.sockId = -1;
        m_commsFree.append(&c);
    }
    for (uint32_t i = 0; i < m_hostLimit; ++i) {
        LndpLocalHost &h = m_hosts[i];
        memset(&h.info, 0, sizeof h.info);
        oswrap_svcInitTimerMs(&h.ageTimer);
        h.changed = h.enabled = 0;
        memset(&h.reply, 0, sizeof h.reply);
        m_hostsFree.append(&h);
    }
    for (int i = 0; i < LNDP_MAX_OBSERVERS; ++i) {
        m_observers[i].taskId = 0;
        m_observers[i].callback = nullptr;
        m_observersFree.append(&m_observers[i]);
    }
    m_arrayMode = 0;
    m_intervalPasses = 0;
    m_hostTableFullNoted = 0;
}

int32_t T_LNDP_MANAGE::initialize(T_LNDP_LOCK_FN lock, T_LNDP_LOCK_FN unlock, int32_t mainSemId, int32_t vsockSemId,
                                  uint32_t hostCapacity)
{
    if (hostCapacity < LNDP_HOSTS_MIN || hostCapacity > LNDP_HOSTS_MAX)
        return LNDP_E_PARAM;
    if (m_state != LNDP_STATE_UNINIT)
        return LNDP_E_ALREADY;
    m_hostLimit = hostCapacity;
    m_lock = lock;
    m_unlock = unlock;
    m_mainSem = mainSemId;
    m_vsockSem = vsockSemId;
    m_eventFn = nullptr;
    buildTables();
    m_state = LNDP_STATE_INIT;
    return LNDP_OK;
}

void T_LNDP_MANAGE::finalize()
{
    // Runs once the engine task has ended; without the lock it still tears
    // down, but must not signal a semaphore it does not hold.
    const bool held = mainLock();
    LNDP_FOR_EACH(m_commsUsed, c) closeComm(c);
    m_observersUsed.init();
    m_commsUsed.init();
    m_hostsUsed.init();
    m_servicesUsed.init();
    m_networksUsed.init();
    m_observersFree.init();
    m_commsFree.init();
    m_hostsFree.init();
    m_servicesFree.init();
    m_networksFree.init();
    for (int i = 0; i < LNDP_MAX_SERVICES; ++i) {
        resetService(&m_services[i]);
        m_services[i].id = -1;
        m_idMap[i] = -1;
    }
    for (int i = 0; i < LNDP_MAX_NETWORKS; ++i)
        m_networks[i].services.init();
    m_eventFn = nullptr;
    m_arrayMode = 0;
    m_hostLimit = LNDP_HOSTS_DEFAULT; // the next start-up chooses again
    m_state = LNDP_STATE_UNINIT;
    T_LNDP_LOCK_FN unlock = m_unlock;
    const int32_t sem = m_mainSem;
    m_lock = m_unlock = nullptr;
    m_mainSem = m_vsockSem = 0;
    if (unlock && held)
        unlock(sem);
}

int32_t T_LNDP_MANAGE::attachTask(T_LNDP_EVENT_FN eventFn)
{
    if (!mainLock())
        return LNDP_E_NOTREADY;
    int32_t r = LNDP_OK;
    if (m_state == LNDP_STATE_UNINIT)
        buildTables();
    if (m_state == LNDP_STATE_UNINIT || m_state == LNDP_STATE_INIT) {
        // The socket task reads the event function without the main lock.
        if (vsockLock()) {
            m_eventFn = eventFn;
            vsockUnlock();
            m_state = LNDP_STATE_READY;
        } else {
            r = LNDP_E_NOTREADY;
        }
    } else {
        r = LNDP_E_ALREADY;
    }
    mainUnlock();
    return r;
}

bool T_LNDP_MANAGE::mainLock()
{
    // Before initialize there is nothing to lock (the state checks answer);
    // a wait that fails (the semaphore deleted under a waiter) holds nothing.
    return !m_lock || m_lock(m_mainSem) == 0;
}

void T_LNDP_MANAGE::mainUnlock()
{
    if (m_unlock)
        m_unlock(m_mainSem);
}

bool T_LNDP_MANAGE::vsockLock()
{
    return !m_lock || m_lock(m_vsockSem) == 0;
}

void T_LNDP_MANAGE::vsockUnlock()
{
    if (m_unlock)
        m_unlock(m_vsockSem);
}

void T_LNDP_MANAGE::setDiagnosticOutput(LNDP_PRINT_FN print)
{
    mainLock();
    m_diagPrint = print;
    mainUnlock();
}

void T_LNDP_MANAGE::noteHostTableFull()
{
    // Once per set-up: a busy network would otherwise repeat it every second.
    if (m_hostTableFullNoted)
        return;
    m_hostTableFullNoted = 1;
    if (m_diagPrint)
        m_diagPrint("LNDP host table full (%d hosts): further hosts are not listed\n", (int)m_hostsUsed.count());
}

void T_LNDP_MANAGE::raiseEvent(int32_t code)
{
    if (m_eventFn)
        m_eventFn(code);
}

// ------------------------------------------------------------- services

LndpNetwork *T_LNDP_MANAGE::findNetwork(const netc_addr &local, uint16_t port) const
{
    LNDP_FOR_EACH(m_networksUsed, n)
    {
        if (n->port == port && lndp_addrEqual(&n->localAddr, &local))
            return n;
    }
    return nullptr;
}

LndpService *T_LNDP_MANAGE::findService(int id, LndpNetwork **owner) const
{
    if (id < 0 || id >= LNDP_MAX_SERVICES)
        return nullptr;
    LNDP_FOR_EACH(m_networksUsed, n)
    {
        LNDP_FOR_EACH(n->services, s)
        {
            if (s->id == id) {
                if (owner)
                    *owner = n;
                return s;
            }
        }
    }
    return nullptr;
}

int32_t T_LNDP_MANAGE::setConfigCore(int &id, const _T_LNDP_NETWORK_SETUP_PROPERTY &prop)
{
    id = -1;
    // IPv4 is the only transport the socket layer offers.
    if (!lndp_addrIsSet(&prop.localAddr) || prop.localAddr.family != NETC_AF_INET)
        return LNDP_E_PARAM;
    if (prop.exInfoLen > LNDP_MAX_EXINFO || prop.serviceNameLen == 0 || !prop.serviceName
        || (prop.exInfoLen > 0 && !prop.exInfo))
        return LNDP_E_PARAM;

    // The checks run in a fixed order (binding, duplicate, interval,
    // service) so that a caller always learns the same first failure.
    const uint16_t bindPort = prop.ownPort ? 0 : prop.port;
    LndpNetwork *net = findNetwork(prop.localAddr, bindPort);
    if (!net && (m_networksFree.empty() || m_commsFree.empty()))
        return LNDP_E_FULL;
    const uint8_t role = (prop.role == LNDP_ROLE_ANNOUNCER || prop.role == LNDP_ROLE_LISTENING_ANNOUNCER)
                             ? prop.role
                             : (uint8_t)LNDP_ROLE_RESPONDER;
    if (net) {
        const LndpService *first = nullptr;
        const LndpService *second = nullptr;
        LNDP_FOR_EACH(net->services, s)
        {
            if (!sameName(s, prop.serviceName, prop.serviceNameLen))
                continue;
            if (!first)
                first = s;
            else if (!second)
                second = s;
        }
        if (second || (first && (first->role == role || first->role == LNDP_ROLE_LISTENING_ANNOUNCER)))
            return LNDP_E_ALREADY;
    }
    if (role != LNDP_ROLE_RESPONDER && prop.intervalMs == 0)
        return LNDP_E_PARAM;
    if (m_servicesFree.empty())
        return LNDP_E_FULL;

    // The binding is only taken once nothing can fail any more.
    if (!net) {
        net = m_networksFree.popFront();
        LndpComm *comm = m_commsFree.popFront();
        m_commsUsed.append(comm);
        net->comm = comm;
        net->localAddr = prop.localAddr;
        net->port = bindPort;
        net->services.init();
        comm->sockId = -1;
        comm->sockState = 0;
        comm->localAddr = prop.localAddr;
        m_networksUsed.append(net);
    }

    LndpService *s = m_servicesFree.popFront();
    m_servicesUsed.append(s);
    net->services.append(s);
    resetService(s);
    s->role = role;
    s->serviceNameLen = prop.serviceNameLen;
    memcpy(s->serviceName, prop.serviceName, prop.serviceNameLen);
    s->exInfoLen = prop.exInfoLen;
    if (prop.exInfoLen)
        memcpy(s->exInfo, prop.exInfo, prop.exInfoLen);
    if (lndp_addrIsSet(&prop.multicastAddr)) {
        s->multicast = 1;
        s->dest = prop.multicastAddr;
    } else {
        lndp_broadcastAddr(&prop.localAddr, &prop.netmask, &s->dest);
    }
    if (role != LNDP_ROLE_RESPONDER)
        s->intervalMs = prop.intervalMs;
    const int32_t len
        = lndp_buildDatagram(s->datagram, sizeof s->datagram, role, s->reserved, s->status, &prop.localAddr,
                             prop.macAddr, s->serviceName, s->serviceNameLen, s->exInfo, s->exInfoLen);
    if (len > 0) {
        s->datagramLen = len;
        s->flagsPos = 6;
        s->tx.pending = 0;
        s->tx.dest.port = prop.port;
        s->tx.dest.addr = s->dest;
        s->tx.data = s->datagram;
        s->tx.length = len;
    }
    id = s->id;

    // A binding that is set up again (a scan stopped and started on the same
    // address within the hosts' age) still holds its hosts, and their
    // answers change nothing, so nobody would hear of them again: they are
    // reported once more to whoever forgot them when the scan stopped.
    bool held = false;
    LNDP_FOR_EACH(m_hostsUsed, h)
    {
        if (h->enabled && lndp_addrEqual(&h->info.localAddr, &net->localAddr)) {
            h->changed = 1;
            held = true;
        }
    }
    if (held)
        raiseEvent(LNDP_EVENT_NOTIFY);
    m_hostTableFullNoted = 0; // a new scan may say it again
    return LNDP_OK;
}

int32_t T_LNDP_MANAGE::clearConfigCore(int id)
{
    LndpNetwork *net = nullptr;
    LndpService *s = findService(id, &net);
    if (!s)
        return LNDP_E_PARAM;
    net->services.remove(s);
    LndpComm *comm = net->comm;
    if (net->services.empty()) {
        closeComm(comm);
        m_commsUsed.remove(comm);
        m_commsFree.append(comm);
        net->comm = nullptr;
        memset(&net->localAddr, 0, sizeof net->localAddr);
        net->port = 0;
        m_networksUsed.remove(net);
        m_networksFree.append(net);
    } else {
        // Nothing queued may keep pointing at the datagram being wiped.
        purgeFromQueue(comm, s);
    }
    resetService(s);
    m_servicesUsed.remove(s);
    m_servicesFree.append(s);
    return LNDP_OK;
}

int32_t T_LNDP_MANAGE::changeStatusCore(int id, uint8_t status)
{
    LndpService *s = findService(id, nullptr);
    if (!s)
        return LNDP_E_PARAM;
    if (s->flagsPos > 0 && s->datagramLen > 0) {
        s->status = status;
        s->datagram[s->flagsPos] = (uint8_t)((s->datagram[s->flagsPos] & 0xF0u) | (status & 0x0Fu));
    }
    return LNDP_OK;
}

int32_t T_LNDP_MANAGE::changeTimeCore(int id, uint32_t intervalMs)
{
    LndpService *s = findService(id, nullptr);
    if (!s || s->role == LNDP_ROLE_RESPONDER)
        return LNDP_E_PARAM;
    s->intervalMs = intervalMs;
    return LNDP_OK;
}

int32_t T_LNDP_MANAGE::getStatusCore(int id)
{
    LndpService *s = findService(id, nullptr);
    if (!s || s->datagramLen <= 0)
        return LNDP_E_PARAM;
    return s->status;
}

int32_t T_LNDP_MANAGE::probeCore(int id, const netc_addr &dest)
{
    if (dest.family != NETC_AF_INET)
        return LNDP_E_PARAM;
    LndpService *s = findService(id, nullptr);
    if (!s || s->role == LNDP_ROLE_RESPONDER || s->datagramLen <= 0)
        return LNDP_E_PARAM;
    // A queued probe reads its destination when it is sent.
    if (s->probe.pending && !lndp_addrEqual(&s->probe.dest.addr, &dest))
        withdrawTx(&s->probe);
    s->probe.dest.port = s->tx.dest.port;
    s->probe.dest.addr = dest;
    s->probe.data = s->datagram;
    s->probe.length = s->datagramLen;
    s->probeDue = 1;
    raiseEvent(LNDP_EVENT_SETUP); // the interval pass queues it now
    return LNDP_OK;
}

// ------------------------------------------------------- hosts, observers

int32_t T_LNDP_MANAGE::subscribeTask(uint16_t taskId, LNDP_HOST_CALLBACK callback)
{
    if (m_state == LNDP_STATE_UNINIT)
        return LNDP_E_NOTREADY;
    if (!callback)
        return LNDP_E_PARAM;
    LNDP_FOR_EACH(m_observersUsed, o)
    {
        if (o->taskId == taskId)
            return LNDP_E_ALREADY;
    }
    LndpObserver *o = m_observersFree.popFront();
    if (!o)
        return LNDP_E_FULL;
    o->taskId = taskId;
    o->callback = callback;
    m_observersUsed.append(o);
    LNDP_FOR_EACH(m_hostsUsed, h)
    {
        if (h->enabled)
            callback(&h->info, 1);
    }
    return LNDP_OK;
}

int32_t T_LNDP_MANAGE::getNumOfActiveHost(uint32_t &count)
{
    count = 0;
    if (m_state != LNDP_STATE_RUNNING)
        return LNDP_E_NOTREADY;
    LNDP_FOR_EACH(m_hostsUsed, h) count += h->enabled ? 1u : 0u;
    return LNDP_OK;
}

int32_t T_LNDP_MANAGE::getHostInfoByIndex(uint16_t index, _LNDP_HOST_INFO &out)
{
    if (m_state != LNDP_STATE_RUNNING)
        return LNDP_E_NOTREADY;
    uint32_t k = 0;
    LNDP_FOR_EACH(m_hostsUsed, h)
    {
        if (!h->enabled)
            continue;
        if (k++ == index) {
            out = h->info;
            return LNDP_OK;
        }
    }
    return LNDP_E_PARAM;
}

void T_LNDP_MANAGE::withdrawTx(LndpTxData *d)
{
    if (!d->pending)
        return;
    LNDP_FOR_EACH(m_commsUsed, c)
    {
        if (!c->tx.queue.contains(d))
            continue;
        // A head being sent or already sent keeps its send state: the
        // completion, and a failure stored with it, are still accounted.
        if (c->tx.queue.front() == d && (c->tx.state == 2 || c->tx.state == 3))
            c->tx.headDropped = 1;
        else if (c->tx.queue.front() == d && c->tx.state != 0)
            c->tx.state = 0;
        c->tx.queue.remove(d);
    }
    d->pending = 0;
}

void T_LNDP_MANAGE::releaseHost(LndpLocalHost *host)
{
    withdrawTx(&host->reply);
    oswrap_svcStopTimerMs(&host->ageTimer);
    host->changed = host->enabled = 0;
    m_hostsUsed.remove(host);
    m_hostsFree.append(host);
}

// -------------------------------------------------------------- sockets

bool T_LNDP_MANAGE::enqueue(LndpComm *comm, LndpTxData *d)
{
    if (d->pending || !d->data || d->length <= 0)
        return false;
    if (!comm->tx.queue.append(d))
        return false;
    d->pending = 1;
    return true;
}

void T_LNDP_MANAGE::resetTx(LndpComm *comm)
{
    // Released descriptors can be queued again; otherwise a service whose
    // datagram was queued when the socket failed would never announce again.
    while (LndpTxData *d = comm->tx.queue.popFront())
        d->pending = 0;
    comm->tx.state = 0;
    comm->tx.result = 0;
    comm->tx.headDropped = 0;
}

void T_LNDP_MANAGE::purgeFromQueue(LndpComm *comm, const LndpService *svc)
{
    const LndpTxData *head = comm->tx.queue.front();
    LNDP_FOR_EACH(comm->tx.queue, d)
    {
        if (d != &svc->tx && d->data != svc->datagram)
            continue;
        if (d == head && (comm->tx.state == 2 || comm->tx.state == 3))
            comm->tx.headDropped = 1; // as in withdrawTx
        else if (d == head)
            comm->tx.state = 0;
        comm->tx.queue.remove(d);
        d->pending = 0;
    }
}

void T_LNDP_MANAGE::closeComm(LndpComm *comm)
{
    if (comm->sockId >= 0)
        vsock_wrappedSocketDeleteSock(comm->sockId);
    // The socket is gone, so no callback writes the record any more: it is
    // cleared even when the lock cannot be had.
    const bool held = vsockLock();
    memset(comm->cb, 0, sizeof *comm->cb);
    comm->cb->shared.sockId = -1;
    comm->cb->priv.sockId = -1;
    if (held)
        vsockUnlock();
    comm->sockId = -1;
    comm->sockState = 0;
    comm->rx.pending = 0;
    comm->rx.drain = 0;
    comm->rx.length = 0;
    resetTx(comm);
}

void T_LNDP_MANAGE::joinGroups(LndpNetwork *net, bool onlyNew)
{
    bool anyGroup = false;
    LNDP_FOR_EACH(net->services, s)
    {
        if (s->role != LNDP_ROLE_ANNOUNCER && s->multicast && (!onlyNew || !s->activated))
            anyGroup = true;
    }
    if (!anyGroup)
        return;
    // Join only when one of the host's adapters carries the binding's address.
    LndpComm *comm = net->comm;
    int32_t adapter = -1;
    for (int32_t index = 0; index < LNDP_MAX_ADAPTERS && adapter < 0; ++index) {
        const int32_t n = vsock_wrappedSocketGetLocalAddr(index, NETC_AF_INET, comm->ifScratch, LNDP_IF_SCRATCH);
        // Index 0 is the loopback adapter, absent while it is down; only
        // past the last Ethernet or wireless adapter is the search over.
        if (n == VSOCK_E_NOTACTIVE && index > 0)
            break;
        for (int32_t i = 0; i < n; ++i)
            if (lndp_addrEqual(&comm->ifScratch[i].addr, &net->localAddr))
                adapter = index;
    }
    if (adapter < 0)
        return;
    LNDP_FOR_EACH(net->services, s)
    {
        if (s->role != LNDP_ROLE_ANNOUNCER && s->multicast && (!onlyNew || !s->activated))
            vsock_wrappedSocketAddMulticastAddr(adapter, &s->dest);
    }
}

void T_LNDP_MANAGE::openSocket(LndpNetwork *net, int32_t &rx)
{
    LndpComm *comm = net->comm;
    T_VSOCK_CREATE_SOCK create;
    memset(&create, 0, sizeof create);
    create.type = VSOCK_TYPE_UDP;
    create.localPort = net->port;
    create.localAddr = net->localAddr;
    T_VSOCK_SOCK_OPTION opt;
    opt.flags = VSOCK_OPT_CALLBACK;
    opt.option = 0;
    opt.callback = socketEventCallback;
    const int32_t id = vsock_wrappedSocketCreateSock(&create, &opt);
    if (id < 0) {
        comm->sockState = 2;
        return;
    }
    vsockLock();
    memset(comm->cb, 0, sizeof *comm->cb);
    comm->cb->shared.sockId = id;
    comm->cb->priv.sockId = id;
    vsockUnlock();
    comm->sockId = id;
    comm->localAddr = net->localAddr;
    comm->sockState = 1;
    // Datagrams that arrived before the id was recorded raised events that
    // matched no socket: read until the ring is empty, or the engine would
    // stay that many datagrams behind for as long as the socket lives.
    comm->rx.pending = 1;
    comm->rx.drain = 1;
    rx = 1;
    joinGroups(net, false);
}

void T_LNDP_MANAGE::onSocketEvent(int32_t sockId, const netc_sock_cb_prm *event)
{
    if (sockId < 0 || !event)
        return;
    bool known = false;
    if (!vsockLock())
        return; // the engine is going away
    for (int i = 0; i < LNDP_MAX_COMMS; ++i) {
        LndpCallbackRecord &r = m_callbacks[i].shared;
        if (r.sockId != sockId)
            continue;
        known = true;
        if (event->event == NETC_SOCK_EV_SEND) {
            r.flags |= 2u;
            r.sendResult = event->result;
        } else if (event->event == NETC_SOCK_EV_RECV) {
            r.flags |= 1u;
            if (event->result < 0)
                r.recvError = event->result;
            else
                ++r.announced;
        }
    }
    T_LNDP_EVENT_FN fn = m_eventFn;
    vsockUnlock();
    if (known && fn)
        fn(LNDP_EVENT_SOCKET);
}

// --------------------------------------------------------------- passes

int32_t T_LNDP_MANAGE::runSetup(int32_t &again)
{
    again = 0;
    if (!mainLock())
        return LNDP_E_NOTREADY;
    if (m_state == LNDP_STATE_CLEARED) {
        LNDP_FOR_EACH(m_commsUsed, c) closeComm(c);
        LNDP_FOR_EACH(m_hostsUsed, h) releaseHost(h);
        m_state = LNDP_STATE_READY;
    } else {
        again = 1;
    }
    mainUnlock();
    return LNDP_OK;
}

int32_t T_LNDP_MANAGE::runInterval(int32_t &rx, int32_t &tx, int32_t &notify)
{
    rx = tx = notify = 0;
    if (!mainLock())
        return LNDP_E_NOTREADY;
    ++m_intervalPasses;
    LNDP_FOR_EACH(m_networksUsed, net)
    {
        LndpComm *comm = net->comm;
        if (comm->sockState == 0)
            openSocket(net, rx);
        if (comm->sockState != 1)
            continue;
        // Services configured after the socket came up are brought up here too.
        joinGroups(net, true);
        LNDP_FOR_EACH(net->services, s)
        {
            if (s->activated)
                continue;
            if (s->role != LNDP_ROLE_RESPONDER) {
                if (enqueue(comm, &s->tx))
                    tx = 1;
                restartTimer(&s->timer, s->intervalMs);
            }
            s->activated = 1;
        }
        LNDP_FOR_EACH(net->services, s)
        {
            if (s->role == LNDP_ROLE_RESPONDER)
                continue;
            if (timerExpired(&s->timer) && !s->tx.pending) {
                if (enqueue(comm, &s->tx))
                    tx = 1;
                restartTimer(&s->timer, s->intervalMs);
                // A probed device hears every announcement, or it would age
                // out between two probes.
                if (s->probe.data)
                    s->probeDue = 1;
            }
            if (s->probeDue) {
                if (enqueue(comm, &s->probe))
                    tx = 1;
                s->probeDue = 0; // queued now, or still queued from before
            }
        }
    }
    LNDP_FOR_EACH(m_hostsUsed, h)
    {
        if (h->enabled && timerExpired(&h->ageTimer)) {
            h->changed = 1;
            h->enabled = 0;
            notify = 1;
        }
    }
    mainUnlock();
    return LNDP_OK;
}

int32_t T_LNDP_MANAGE::runSocketCallback(int32_t &rx, int32_t &tx)
{
    rx = tx = 0;
    if (!mainLock())
        return LNDP_E_NOTREADY;
    if (!vsockLock()) {
        mainUnlock();
        return LNDP_E_NOTREADY;
    }
    for (int i = 0; i < LNDP_MAX_COMMS; ++i) {
        LndpCallbackPair &p = m_callbacks[i];
        p.priv = p.shared;
        p.shared.flags = 0;
        p.shared.announced = 0;
        p.shared.recvError = 0;
        p.shared.sendResult = 0;
    }
    vsockUnlock();
    LNDP_FOR_EACH(m_commsUsed, c)
    {
        const LndpCallbackRecord &r = c->cb->priv;
        if (c->sockId < 0 || r.sockId != c->sockId)
            continue;
        if ((r.flags & 1u) && r.announced > 0) {
            c->rx.pending += r.announced;
            rx = 1;
        }
        if ((r.flags & 2u) && c->tx.state == 2) {
            c->tx.state = 3;
            c->tx.result = r.sendResult;
            tx = 1;
        }
    }
    mainUnlock();
    return LNDP_OK;
}

void T_LNDP_MANAGE::handleDatagram(LndpNetwork *net, const netc_endpoint &src, int32_t &tx, int32_t &notify)
{
    LndpComm *comm = net->comm;
    if (lndp_validateDatagram(comm->rx.buf, comm->rx.length, &src.addr, &net->localAddr, &comm->rx.parse)
        != LNDP_CHECK_OK)
        return;
    lndp_decodeDatagram(comm->rx.buf, &comm->rx.parse, &net->localAddr, &src.addr, &m_rxHost);

    // The first two services of that name, in registration order.
    LndpService *accepting = nullptr;
    int matches = 0;
    LNDP_FOR_EACH(net->services, s)
    {
        if (matches == 2 || accepting)
            break;
        if (!sameName(s, m_rxHost.serviceName, m_rxHost.serviceNameLen))
            continue;
        ++matches;
        const bool fromResponder = m_rxHost.senderRole == LNDP_ROLE_RESPONDER;
        if (fromResponder ? s->role != LNDP_ROLE_RESPONDER : s->role != LNDP_ROLE_ANNOUNCER)
            accepting = s;
    }
    if (!accepting)
        return;

    LndpLocalHost *host = nullptr;
    LNDP_FOR_EACH(m_hostsUsed, h)
    {
        if (sameHost(h->info, m_rxHost)) {
            host = h;
            break;
        }
    }
    bool changed = false;
    if (host) {
        if (memcmp(&host->info, &m_rxHost, sizeof m_rxHost) != 0) {
            host->info = m_rxHost;
            host->changed = 1;
        }
        if (!host->enabled) {
            host->enabled = 1;
            host->changed = 1;
        }
        changed = host->changed != 0;
    } else {
        host = m_hostsFree.popFront();
        if (!host) {
            noteHostTableFull(); // known hosts keep being refreshed
            return;
        }
        m_hostsUsed.append(host);
        host->info = m_rxHost;
        host->changed = 1;
        host->enabled = 1;
        memset(&host->reply, 0, sizeof host->reply);
        changed = true;
    }
    restartTimer(&host->ageTimer, LNDP_HOST_AGE_MS);

    if (m_rxHost.senderRole != LNDP_ROLE_RESPONDER && accepting->role == LNDP_ROLE_RESPONDER && !host->reply.pending
        && accepting->datagramLen > 0) {
        host->reply.dest = src;
        host->reply.data = accepting->datagram;
        host->reply.length = accepting->datagramLen;
        if (enqueue(comm, &host->reply))
            tx = 1;
    }
    if (changed)
        notify = 1;
}

int32_t T_LNDP_MANAGE::runReceive(int32_t &more, int32_t &tx, int32_t &notify)
{
    more = tx = notify = 0;
    int32_t result = LNDP_OK;
    if (!mainLock())
        return LNDP_E_NOTREADY;
    LNDP_FOR_EACH(m_networksUsed, net)
    {
        LndpComm *comm = net->comm;
        if (comm->sockState != 1 || comm->sockId < 0) {
            result = LNDP_E_SOCKET;
            continue;
        }
        if (comm->rx.pending <= 0 && !comm->rx.drain)
            continue;
        netc_endpoint src;
        memset(&src, 0, sizeof src);
        const int32_t n = vsock_wrappedSocketRecvUdp(comm->sockId, comm->rx.buf, (int32_t)sizeof comm->rx.buf, &src);
        if (n == VSOCK_E_NODATA) {
            comm->rx.pending = 0;
            comm->rx.drain = 0;
            continue;
        }
        if (n < 0) {
            // Includes a datagram too large for the buffer: it would stay at
            // the head of the ring, so the socket is replaced.
            closeComm(comm);
            continue;
        }
        if (comm->rx.pending > 0)
            --comm->rx.pending;
        if (comm->rx.pending > 0 || comm->rx.drain)
            more = 1;
        comm->rx.length = n;
        handleDatagram(net, src, tx, notify);
    }
    mainUnlock();
    return result;
}

int32_t T_LNDP_MANAGE::runSend(int32_t &more, int32_t &other)
{
    more = other = 0;
    if (!mainLock())
        return LNDP_E_NOTREADY;
    LNDP_FOR_EACH(m_commsUsed, c)
    {
        T_LNDP_LINE_TX_INFO &t = c->tx;
        bool stopped = false;
        for (int step = 0; step < LNDP_SEND_STEPS && !stopped; ++step) {
            LndpTxData *head = t.queue.front();
            switch (t.state) {
            case 0:
                if (!head) {
                    stopped = true;
                } else if (!head->data || head->length <= 0) {
                    t.queue.popFront(); // nothing to send; never block the queue
                    head->pending = 0;
                } else {
                    t.state = 1;
                }
                break;
            case 1: {
                if (!head || c->sockState != 1) {
                    t.state = 0;
                    stopped = true;
                    break;
                }
                t.state = 2;
                t.headDropped = 0;
                memcpy(t.sending, head->data, (size_t)head->length);
                const int32_t r
                    = vsock_wrappedSocketSendUdp(c->sockId, t.sending, head->length, &head->dest, LNDP_SEND_TIMEOUT_MS);
                if (r == VSOCK_E_INPROGRESS) {
                    stopped = true;
                } else {
                    t.result = r;
                    t.state = 3;
                }
                break;
            }
            case 2:
                stopped = true;
                break;
            case 3:
                if (t.result == VSOCK_E_PARAM) {
                    closeComm(c);
                    stopped = true;
                    break;
                }
                if (!t.headDropped && head) {
                    t.queue.popFront();
                    head->pending = 0;
                }
                t.headDropped = 0;
                t.state = 0;
                break;
            default:
                t.state = 0;
                break;
            }
        }
        if (!stopped)
            more = 1;
    }
    mainUnlock();
    return LNDP_OK;
}

int32_t T_LNDP_MANAGE::notifyUpdateHostInfo()
{
    if (!mainLock())
        return LNDP_E_NOTREADY;
    LNDP_FOR_EACH(m_hostsUsed, h)
    {
        if (!h->changed)
            continue;
        LNDP_FOR_EACH(m_observersUsed, o) o->callback(&h->info, h->enabled);
        h->changed = 0;
        if (!h->enabled)
            releaseHost(h);
    }
    mainUnlock();
    return LNDP_OK;
}

// ---------------------------------------------------------- diagnostics

void T_LNDP_MANAGE::printHostList(LNDP_PRINT_FN print)
{
    if (!print)
        return;
    LNDP_FOR_EACH(m_hostsUsed, h)
    {
        char name[LNDP_MAX_NAME + 1];
        memcpy(name, h->info.serviceName, h->info.serviceNameLen);
        name[h->info.serviceNameLen] = '\0';
        char cpu[64];
        char com[64];
        addrText(h->info.hostAddr, cpu, sizeof cpu);
        addrText(h->info.sourceAddr, com, sizeof com);
        print("%2d:", (int)(h - m_hosts));
        print(h->enabled ? "(O) " : "(X) ");
        print("[ SERVICE:%-16s, ", name);
        print("CPU IP:%-20s, ", cpu);
        print("COM IP:%-20s, ", com);
        print("]\n");
    }
}

void T_LNDP_MANAGE::debugPrintStatus(LNDP_PRINT_FN print)
{
    if (!print)
        return;
    print("[\n");
    LNDP_FOR_EACH(m_networksUsed, n)
    {
        char ip[64];
        addrText(n->localAddr, ip, sizeof ip);
        print("<%2d:", (int)(n - m_networks));
        print("IP:%s, ", ip);
    }
    print("]\n");
}

int32_t T_LNDP_MANAGE::socketIdOf(const netc_addr &local, uint16_t port) const
{
    const LndpNetwork *n = findNetwork(local, port);
    return n ? n->comm->sockId : -1;
}

int32_t T_LNDP_MANAGE::socketStateOfService(int id) const
{
    LndpNetwork *net = nullptr;
    if (!findService(id, &net) || !net->comm)
        return LNDP_E_PARAM;
    switch (net->comm->sockState) {
    case 1:
        return 1;
    case 2:
        return LNDP_E_SOCKET;
    default:
        return 0;
    }
}

int32_t T_LNDP_MANAGE::socketStateOf(const netc_addr &local, uint16_t port) const
{
    const LndpNetwork *n = findNetwork(local, port);
    return n ? n->comm->sockState : -1;
}

int32_t T_LNDP_MANAGE::txQueueLength(const netc_addr &local, uint16_t port) const
{
    const LndpNetwork *n = findNetwork(local, port);
    return n ? n->comm->tx.queue.count() : -1;
}

} // namespace LNDP
