/*
 * LNDP engine: services, interface bindings with one UDP socket each, the
 * announcement and reply exchange, the host table with ageing and the
 * subscribers. One static object, LNDP::gl_manage; every table has a fixed
 * capacity and nothing is ever allocated. The host table is static storage
 * for LNDP_HOSTS_MAX entries of which initialize() puts the chosen number to
 * use: start-up has no allocation that could fail, and entries past the
 * limit are never written, so the unused storage stays untouched zero pages.
 *
 * The passes (runSetup, runInterval, runSocketCallback, runReceive, runSend,
 * notifyUpdateHostInfo) take the main lock themselves and are run by the
 * engine task only; the configuration and query operations expect the
 * caller (the C interface) to hold the main lock. The socket task only
 * enters through the socket-event callback, which takes the vsock lock.
 * Lock order: main lock, then the socket wrapper's lock, then vsock lock.
 */
#ifndef LNDP_MANAGE_H
#define LNDP_MANAGE_H

#include <stdint.h>

#include "lndp_list.h"
#include "lndp_packet.h"
#include "lndp_types.h"
#include "oswrap_api.h"
#include "vsock_wrappedSocketIf.h"

namespace LNDP {

// Semaphore wait / signal (oswrap_WaiSem, oswrap_SigSem).
typedef int32_t (*T_LNDP_LOCK_FN)(int32_t semId);
// Raises an engine event on the engine task.
typedef void (*T_LNDP_EVENT_FN)(int32_t code);

// Event codes handed to the event function.
enum { LNDP_EVENT_NOTIFY = 0, LNDP_EVENT_SETUP = 1, LNDP_EVENT_SOCKET = 2 };

// Engine states.
enum {
    LNDP_STATE_UNINIT = 0,
    LNDP_STATE_INIT = 1,
    LNDP_STATE_READY = 2,
    LNDP_STATE_CONFIG = 3,
    LNDP_STATE_CLEARED = 4,
    LNDP_STATE_RUNNING = 5
};

enum {
    LNDP_MAX_NETWORKS = 2,
    LNDP_MAX_SERVICES = 4,
    LNDP_MAX_COMMS = 2,
    LNDP_MAX_HOSTS = LNDP_HOSTS_MAX, // storage; the table in use is initialize()'s
    LNDP_MAX_OBSERVERS = 5,
    // Send descriptors that can exist: per service its announcement and its
    // probe, per host entry its reply. A queue limited to their number (of
    // the table in use) never meets a full queue, as each is queued once.
    LNDP_TX_PER_SERVICE = 2,
    LNDP_TX_QUEUE = LNDP_TX_PER_SERVICE * LNDP_MAX_SERVICES + LNDP_MAX_HOSTS,
    LNDP_SEND_STEPS = 100,
    LNDP_SEND_TIMEOUT_MS = 1000,
    LNDP_IF_SCRATCH = 10,
    LNDP_MAX_ADAPTERS = 16
};

// Send descriptor: queued at most once (pending 1 while queued).
struct LndpTxData
{
    int32_t pending;
    netc_endpoint dest;
    const uint8_t *data;
    int32_t length;
};

struct LndpService
{
    int32_t id; // fixed per slot; -1 after finalize
    uint8_t role;
    uint8_t reserved;
    uint8_t status;
    int32_t flagsPos; // 6 once the datagram is built
    uint8_t multicast;
    netc_addr dest;
    uint8_t serviceNameLen;
    uint8_t serviceName[LNDP_MAX_NAME];
    uint16_t exInfoLen;
    uint8_t exInfo[LNDP_MAX_EXINFO];
    uint8_t datagram[LNDP_MAX_DATAGRAM];
    int32_t datagramLen;
    LndpTxData tx;
    // The same datagram by unicast to one address, for networks that drop
    // broadcasts: queued with every announcement (data null while unset).
    LndpTxData probe;
    uint8_t probeDue; // to be queued at the next interval pass
    uint32_t intervalMs;
    T_OSWRAP_TIMER_MS timer;
    uint8_t activated;
};

// Socket-event record: bit 0 datagram event, bit 1 send completed.
struct LndpCallbackRecord
{
    int32_t sockId;
    uint32_t flags;
    int32_t sendResult;
    int32_t recvError;
    int32_t announced;
};

// Shared part (socket task, vsock lock) and the engine's private copy.
struct LndpCallbackPair
{
    LndpCallbackRecord shared;
    LndpCallbackRecord priv;
};

struct T_LNDP_LINE_RX_INFO
{
    int32_t pending; // datagrams announced and not yet read
    // Read until the ring is empty: datagrams that came while the socket was
    // being opened raised events the engine could not yet match to it.
    uint8_t drain;
    int32_t length;
    uint8_t buf[LNDP_MAX_DATAGRAM];
    T_LNDP_PARSE parse;
};

struct T_LNDP_LINE_TX_INFO
{
    int32_t state; // 0 idle, 1 head ready, 2 sending, 3 finished
    int32_t result;
    LndpList<LndpTxData, LNDP_TX_QUEUE> queue;
    // The socket layer reads the bytes until the send completes; it gets
    // this copy so that a service may be removed or re-stamped meanwhile.
    uint8_t sending[LNDP_MAX_DATAGRAM];
    uint8_t headDropped; // the in-flight head was withdrawn
};

struct LndpComm
{
    int32_t sockId; // -1 when closed
    LndpCallbackPair *cb;
    uint16_t index;
    int32_t sockState; // 0 not created, 1 open, 2 creation failed
    netc_addr localAddr;
    T_VSOCK_LOCAL_ADDR ifScratch[LNDP_IF_SCRATCH];
    T_LNDP_LINE_RX_INFO rx;
    T_LNDP_LINE_TX_INFO tx;
};

struct LndpNetwork
{
    netc_addr localAddr;
    uint16_t port;
    LndpComm *comm;
    LndpList<LndpService, LNDP_MAX_SERVICES> services;
};

struct LndpLocalHost
{
    _LNDP_HOST_INFO info;
    T_OSWRAP_TIMER_MS ageTimer;
    uint8_t changed;
    uint8_t enabled;
    LndpTxData reply;
};

struct LndpObserver
{
    uint16_t taskId;
    LNDP_HOST_CALLBACK callback;
};

class T_LNDP_MANAGE
{
public:
    // Stores the lock functions and semaphore ids, builds every table with
    // room for hostCapacity hosts (the send queues to match), state 1.
    // 0; LNDP_E_PARAM (hostCapacity outside LNDP_HOSTS_MIN..LNDP_HOSTS_MAX);
    // LNDP_E_ALREADY when not in state 0.
    int32_t initialize(T_LNDP_LOCK_FN lock, T_LNDP_LOCK_FN unlock, int32_t mainSemId, int32_t vsockSemId,
                       uint32_t hostCapacity = LNDP_HOSTS_DEFAULT);
    // Closes every socket and releases every table; state 0, the host
    // capacity back to LNDP_HOSTS_DEFAULT.
    void finalize();
    // The engine task registers its event function: state 0 builds the
    // tables first; 0 → 2 or 1 → 2 returns 0, any other state LNDP_E_ALREADY.
    int32_t attachTask(T_LNDP_EVENT_FN eventFn);

    // true with the main lock held (or before initialize, when there is no
    // lock); false when the wait failed: then nothing is held, the caller
    // must answer "not ready" and must not call mainUnlock.
    bool mainLock();
    void mainUnlock();

    uint8_t state() const { return m_state; }
    void setState(uint8_t s) { m_state = s; }
    bool arrayMode() const { return m_arrayMode != 0; }
    void setArrayMode(bool on) { m_arrayMode = on ? 1 : 0; }
    bool hasEventFunction() const { return m_eventFn != nullptr; }
    bool hasServices() const { return !m_networksUsed.empty(); }
    int32_t idMap(int index) const { return m_idMap[index]; }
    void setIdMap(int index, int32_t id) { m_idMap[index] = id; }
    void raiseEvent(int32_t code);
    // Where the engine tells an operator what it cannot show otherwise (a
    // full host table, once per set-up). Null: silent. print is called on
    // the engine task with the main lock held; it stays set across
    // finalize. Takes the main lock once initialised, so never from a
    // subscriber callback.
    void setDiagnosticOutput(LNDP_PRINT_FN print);

    // --- configuration and queries: the caller holds the main lock ---
    // Configures one service; id its service id (0..3), -1 on failure.
    // Enabled hosts already held on its binding are reported again (notify
    // event) and the host-table-full notice is re-armed.
    // 0; LNDP_E_PARAM (local address unset or not IPv4, intervalMs 0 for an
    // announcer, exInfoLen > 1024, name length 0); LNDP_E_FULL (no binding,
    // socket context or service left); LNDP_E_ALREADY (name already
    // registered twice, with the same role, or by a role-3 service).
    int32_t setConfigCore(int &id, const _T_LNDP_NETWORK_SETUP_PROPERTY &prop);
    // Removes one service; the binding and its socket go with its last
    // service. 0; LNDP_E_PARAM (no such service).
    int32_t clearConfigCore(int id);
    // Stores the status and re-stamps the built datagram. 0; LNDP_E_PARAM.
    int32_t changeStatusCore(int id, uint8_t status);
    // New interval for an announcer, from the next timer restart. 0; LNDP_E_PARAM.
    int32_t changeTimeCore(int id, uint32_t intervalMs);
    // The status (0..15); LNDP_E_PARAM (no such service, datagram not built).
    int32_t getStatusCore(int id);
    // The announcer's datagram also goes by unicast to dest (IPv4) on the
    // service port: at the next interval pass (the set-up event is raised)
    // and with every announcement after it, until the service is removed. A
    // new address replaces the old one, withdrawing a send still queued.
    // 0; LNDP_E_PARAM (dest not IPv4, no such service, a responder, datagram
    // not built).
    int32_t probeCore(int id, const netc_addr &dest);
    // 0; LNDP_E_NOTREADY (state 0); LNDP_E_ALREADY (task subscribed);
    // LNDP_E_FULL. Calls the callback at once for every enabled host.
    int32_t subscribeTask(uint16_t taskId, LNDP_HOST_CALLBACK callback);
    // 0 and the enabled-host count; LNDP_E_NOTREADY (count 0) when not running.
    int32_t getNumOfActiveHost(uint32_t &count);
    // 0; LNDP_E_NOTREADY (not running); LNDP_E_PARAM (index >= enabled count).
    int32_t getHostInfoByIndex(uint16_t index, _LNDP_HOST_INFO &out);

    // --- passes: each takes the main lock (LNDP_E_NOTREADY, doing nothing,
    // when it cannot) ---
    // State 4: close every socket, wipe hosts silently, state 2 (again 0).
    // Any other state: again 1 (an interval pass is wanted now).
    int32_t runSetup(int32_t &again);
    int32_t runInterval(int32_t &rx, int32_t &tx, int32_t &notify);
    int32_t runSocketCallback(int32_t &rx, int32_t &tx);
    // One datagram per binding; more when datagrams were announced and not
    // yet read, or a new socket has not been read empty yet. 0, or
    // LNDP_E_SOCKET when a binding has no socket.
    int32_t runReceive(int32_t &more, int32_t &tx, int32_t &notify);
    int32_t runSend(int32_t &more, int32_t &other);
    int32_t notifyUpdateHostInfo();

    void printHostList(LNDP_PRINT_FN print);
    void debugPrintStatus(LNDP_PRINT_FN print);

    // Socket-event callback body (socket task).
    void onSocketEvent(int32_t sockId, const netc_sock_cb_prm *event);

    // Diagnostics for tests and benchmarks (caller holds the main lock or
    // the engine is idle).
    int32_t socketIdOf(const netc_addr &local, uint16_t port) const;
    int32_t socketStateOf(const netc_addr &local, uint16_t port) const;
    // As lndp2_getSocketState.
    int32_t socketStateOfService(int id) const;
    uint32_t intervalPassCount() const { return m_intervalPasses; }
    int32_t usedHostCount() const { return m_hostsUsed.count(); }
    uint32_t hostCapacity() const { return m_hostLimit; }
    int32_t txQueueLength(const netc_addr &local, uint16_t port) const;

private:
    void buildTables();
    LndpNetwork *findNetwork(const netc_addr &local, uint16_t port) const;
    LndpService *findService(int id, LndpNetwork **owner) const;
    bool enqueue(LndpComm *comm, LndpTxData *d);
    void resetTx(LndpComm *comm);
    void closeComm(LndpComm *comm);
    void purgeFromQueue(LndpComm *comm, const LndpService *svc);
    void withdrawTx(LndpTxData *d);
    void releaseHost(LndpLocalHost *host);
    void joinGroups(LndpNetwork *net, bool onlyNew);
    void openSocket(LndpNetwork *net, int32_t &rx);
    bool vsockLock(); // as mainLock
    void vsockUnlock();
    void handleDatagram(LndpNetwork *net, const netc_endpoint &src, int32_t &tx, int32_t &notify);
    void noteHostTableFull();

    T_LNDP_LOCK_FN m_lock = nullptr;
    T_LNDP_LOCK_FN m_unlock = nullptr;
    int32_t m_mainSem = 0;
    int32_t m_vsockSem = 0;
    T_LNDP_EVENT_FN m_eventFn = nullptr;
    uint8_t m_state = LNDP_STATE_UNINIT;
    uint8_t m_arrayMode = 0;
    uint32_t m_intervalPasses = 0;
    LNDP_PRINT_FN m_diagPrint = nullptr;
    uint8_t m_hostTableFullNoted = 0;
    uint32_t m_hostLimit = LNDP_HOSTS_DEFAULT; // entries of m_hosts in use

    // The engine's tables, known in the protocol's documents by their gl_ names.
    LndpNetwork m_networks[LNDP_MAX_NETWORKS]; // gl_networks
    LndpService m_services[LNDP_MAX_SERVICES]; // gl_services
    LndpComm m_comms[LNDP_MAX_COMMS]; // gl_comms
    LndpCallbackPair m_callbacks[LNDP_MAX_COMMS]; // gl_callbacks
    LndpLocalHost m_hosts[LNDP_MAX_HOSTS]; // gl_hosts, the first m_hostLimit in use
    LndpObserver m_observers[LNDP_MAX_OBSERVERS]; // gl_observers
    int32_t m_idMap[LNDP_MAX_SERVICES] = { -1, -1, -1, -1 }; // gl_idMap

    LndpList<LndpNetwork, LNDP_MAX_NETWORKS> m_networksFree, m_networksUsed;
    LndpList<LndpService, LNDP_MAX_SERVICES> m_servicesFree, m_servicesUsed;
    LndpList<LndpComm, LNDP_MAX_COMMS> m_commsFree, m_commsUsed;
    LndpList<LndpLocalHost, LNDP_MAX_HOSTS> m_hostsFree, m_hostsUsed;
    LndpList<LndpObserver, LNDP_MAX_OBSERVERS> m_observersFree, m_observersUsed;

    _LNDP_HOST_INFO m_rxHost; // decode scratch of the receive pass
};

extern T_LNDP_MANAGE gl_manage;

} // namespace LNDP

#endif /* LNDP_MANAGE_H */
