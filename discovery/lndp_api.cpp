// C entry points of the LNDP engine: argument and state checks at the door,
// then the engine call under the main lock.
#include "lndp_api.h"

#include "lndp_manage.h"
#include "oswrap_api.h"

using namespace LNDP;

namespace {

// Holds the main lock for the lifetime of the object, when it could be
// taken: a wait that failed (the lock deleted by a clean-up) holds nothing,
// and the call answers "not ready" without touching the engine.
class MainLock
{
public:
    MainLock()
        : m_held(gl_manage.mainLock())
    {
    }
    ~MainLock()
    {
        if (m_held)
            gl_manage.mainUnlock();
    }
    bool held() const { return m_held; }
    MainLock(const MainLock &) = delete;
    MainLock &operator=(const MainLock &) = delete;

private:
    const bool m_held;
};

bool intervalValid(uint32_t intervalMs, uint32_t seconds)
{
    return intervalMs >= LNDP_INTERVAL_MIN_MS && intervalMs <= LNDP_INTERVAL_MAX_MS
           && (uint64_t)seconds * 1000u >= intervalMs;
}

int32_t changeStatusLocked(int id, uint8_t status)
{
    if (status >= 2)
        return LNDP_E_PARAM;
    if (gl_manage.state() != LNDP_STATE_RUNNING)
        return LNDP_E_NOTREADY;
    return gl_manage.changeStatusCore(id, status);
}

int32_t getStatusLocked(int id)
{
    if (gl_manage.state() != LNDP_STATE_RUNNING)
        return LNDP_E_NOTREADY;
    return gl_manage.getStatusCore(id);
}

// A unicast IPv4 address: not "this network" (0/8), multicast or above.
bool probeAddressValid(uint32_t ipv4)
{
    return (ipv4 >> 24) != 0 && (ipv4 >> 28) < 0xEu;
}

int32_t changeTimeLocked(int id, uint32_t intervalMs, uint32_t seconds)
{
    if (!intervalValid(intervalMs, seconds))
        return LNDP_E_PARAM;
    if (gl_manage.state() != LNDP_STATE_RUNNING)
        return LNDP_E_NOTREADY;
    return gl_manage.changeTimeCore(id, intervalMs);
}

} // namespace

extern "C" {

int32_t lndp2_setup(int *id, const _T_LNDP_NETWORK_SETUP_PROPERTY *prop)
{
    if (!id || !prop)
        return LNDP_E_PARAM;
    MainLock lock;
    if (!lock.held())
        return LNDP_E_NOTREADY;
    const uint8_t before = gl_manage.state();
    if (before == LNDP_STATE_UNINIT)
        return LNDP_E_NOTREADY;
    if (before == LNDP_STATE_CONFIG || before == LNDP_STATE_CLEARED || !gl_manage.hasEventFunction())
        return LNDP_E_MODE;
    gl_manage.setState(LNDP_STATE_CONFIG);
    *id = -1;
    int32_t r = LNDP_E_PARAM;
    if (prop->exInfoLen <= LNDP_MAX_EXINFO)
        r = gl_manage.setConfigCore(*id, *prop);
    if (r == LNDP_OK) {
        gl_manage.setState(LNDP_STATE_RUNNING);
        gl_manage.raiseEvent(LNDP_EVENT_SETUP);
        return LNDP_OK;
    }
    // A refused service must not stop the ones already running.
    if (before == LNDP_STATE_RUNNING && gl_manage.hasServices()) {
        gl_manage.setState(LNDP_STATE_RUNNING);
    } else {
        gl_manage.setArrayMode(false);
        gl_manage.setState(LNDP_STATE_READY);
    }
    return r;
}

int32_t lndp2_clear(int id)
{
    MainLock lock;
    if (!lock.held())
        return LNDP_E_NOTREADY;
    return gl_manage.clearConfigCore(id);
}

int32_t lndp2_changeStatus(int id, uint8_t status)
{
    if (id < 0)
        return LNDP_E_PARAM;
    MainLock lock;
    if (!lock.held())
        return LNDP_E_NOTREADY;
    if (gl_manage.arrayMode())
        return LNDP_E_MODE;
    return changeStatusLocked(id, status);
}

int32_t lndp2_getStatus(int id)
{
    if (id < 0)
        return LNDP_E_PARAM;
    MainLock lock;
    if (!lock.held())
        return LNDP_E_NOTREADY;
    if (gl_manage.arrayMode())
        return LNDP_E_MODE;
    return getStatusLocked(id);
}

int32_t lndp2_changeTime(int id, uint32_t intervalMs, uint32_t seconds)
{
    if (id < 0)
        return LNDP_E_PARAM;
    MainLock lock;
    if (!lock.held())
        return LNDP_E_NOTREADY;
    if (gl_manage.arrayMode())
        return LNDP_E_MODE;
    return changeTimeLocked(id, intervalMs, seconds);
}

int32_t lndp2_getSocketState(int id)
{
    if (id < 0)
        return LNDP_E_PARAM;
    MainLock lock;
    if (!lock.held())
        return LNDP_E_NOTREADY;
    return gl_manage.socketStateOfService(id);
}

int32_t lndp2_probe(int id, uint32_t ipv4)
{
    if (id < 0 || !probeAddressValid(ipv4))
        return LNDP_E_PARAM;
    MainLock lock;
    if (!lock.held())
        return LNDP_E_NOTREADY;
    if (gl_manage.arrayMode())
        return LNDP_E_MODE;
    if (gl_manage.state() != LNDP_STATE_RUNNING)
        return LNDP_E_NOTREADY;
    netc_addr dest = {};
    dest.family = NETC_AF_INET;
    dest.addr[0] = (uint8_t)(ipv4 >> 24);
    dest.addr[1] = (uint8_t)(ipv4 >> 16);
    dest.addr[2] = (uint8_t)(ipv4 >> 8);
    dest.addr[3] = (uint8_t)ipv4;
    return gl_manage.probeCore(id, dest);
}

int32_t lndp_setup(const _T_LNDP_NETWORK_SETUP_PROPERTY *props, uint32_t count)
{
    if (!props || count > LNDP_MAX_SERVICES)
        return LNDP_E_PARAM;
    MainLock lock;
    if (!lock.held())
        return LNDP_E_NOTREADY;
    const uint8_t st = gl_manage.state();
    if (st == LNDP_STATE_UNINIT)
        return LNDP_E_NOTREADY;
    if (st == LNDP_STATE_INIT || !gl_manage.hasEventFunction())
        return LNDP_E_MODE;
    if (st != LNDP_STATE_READY)
        return LNDP_E_ALREADY;
    gl_manage.setState(LNDP_STATE_CONFIG);
    int32_t ids[LNDP_MAX_SERVICES] = { -1, -1, -1, -1 };
    int32_t r = LNDP_OK;
    for (uint32_t i = 0; i < count && r == LNDP_OK; ++i) {
        int id = -1;
        r = props[i].exInfoLen <= LNDP_MAX_EXINFO ? gl_manage.setConfigCore(id, props[i]) : LNDP_E_PARAM;
        ids[i] = id;
    }
    if (r != LNDP_OK) {
        for (uint32_t i = 0; i < count; ++i)
            if (ids[i] >= 0)
                gl_manage.clearConfigCore(ids[i]);
        gl_manage.setArrayMode(false);
        gl_manage.setState(LNDP_STATE_READY);
        return r;
    }
    for (int i = 0; i < LNDP_MAX_SERVICES; ++i)
        gl_manage.setIdMap(i, ids[i]);
    gl_manage.setArrayMode(true);
    gl_manage.setState(LNDP_STATE_RUNNING);
    gl_manage.raiseEvent(LNDP_EVENT_SETUP);
    return LNDP_OK;
}

int32_t lndp_clear(void)
{
    MainLock lock;
    if (!lock.held())
        return LNDP_E_NOTREADY;
    const uint8_t st = gl_manage.state();
    if (st == LNDP_STATE_UNINIT)
        return LNDP_E_NOTREADY;
    if (st == LNDP_STATE_READY || st == LNDP_STATE_CLEARED || !gl_manage.arrayMode())
        return LNDP_E_MODE;
    for (int i = 0; i < LNDP_MAX_SERVICES; ++i) {
        if (gl_manage.idMap(i) >= 0)
            gl_manage.clearConfigCore(gl_manage.idMap(i));
        gl_manage.setIdMap(i, -1);
    }
    gl_manage.setArrayMode(false);
    gl_manage.setState(LNDP_STATE_CLEARED);
    gl_manage.raiseEvent(LNDP_EVENT_SETUP);
    return LNDP_OK;
}

// The service behind an array index; the main lock is held.
static int32_t mappedServiceIdLocked(uint32_t index, int32_t &id)
{
    if (!gl_manage.arrayMode())
        return LNDP_E_MODE;
    id = gl_manage.idMap((int)index);
    return id < 0 ? LNDP_E_PARAM : LNDP_OK;
}

int32_t lndp_changeTime(uint32_t index, uint32_t intervalMs, uint32_t seconds)
{
    if (index >= LNDP_MAX_SERVICES)
        return LNDP_E_PARAM;
    MainLock lock;
    if (!lock.held())
        return LNDP_E_NOTREADY;
    int32_t id = -1;
    const int32_t r = mappedServiceIdLocked(index, id);
    return r != LNDP_OK ? r : changeTimeLocked(id, intervalMs, seconds);
}

int32_t lndp_changeStatus(uint32_t index, uint8_t status)
{
    if (index >= LNDP_MAX_SERVICES)
        return LNDP_E_PARAM;
    MainLock lock;
    if (!lock.held())
        return LNDP_E_NOTREADY;
    int32_t id = -1;
    const int32_t r = mappedServiceIdLocked(index, id);
    return r != LNDP_OK ? r : changeStatusLocked(id, status);
}

int32_t lndp_getStatus(uint32_t index)
{
    if (index >= LNDP_MAX_SERVICES)
        return LNDP_E_PARAM;
    MainLock lock;
    if (!lock.held())
        return LNDP_E_NOTREADY;
    int32_t id = -1;
    const int32_t r = mappedServiceIdLocked(index, id);
    return r != LNDP_OK ? r : getStatusLocked(id);
}

int32_t lndp_subscribe(LNDP_HOST_CALLBACK callback)
{
    int32_t taskId = 0;
    if (oswrap_GetTskId(&taskId) != OSWRAP_E_OK || taskId == 0 || taskId > 0xFFFF)
        return LNDP_E_TASK;
    if (!callback)
        return LNDP_E_PARAM;
    MainLock lock;
    if (!lock.held())
        return LNDP_E_NOTREADY;
    return gl_manage.subscribeTask((uint16_t)taskId, callback);
}

int32_t lndp_getNumOfHost(uint32_t *count)
{
    if (!count)
        return LNDP_E_PARAM;
    *count = 0;
    MainLock lock;
    if (!lock.held())
        return LNDP_E_NOTREADY;
    return gl_manage.getNumOfActiveHost(*count);
}

int32_t lndp_getHostInfo(uint32_t index, _LNDP_HOST_INFO *out)
{
    if (!out || index > 0xFFFFu)
        return LNDP_E_PARAM;
    MainLock lock;
    if (!lock.held())
        return LNDP_E_NOTREADY;
    return gl_manage.getHostInfoByIndex((uint16_t)index, *out);
}

int32_t lndp_debugPrintHostList(LNDP_PRINT_FN print)
{
    if (!print)
        return LNDP_E_PARAM;
    MainLock lock;
    if (!lock.held())
        return LNDP_E_NOTREADY;
    gl_manage.printHostList(print);
    return LNDP_OK;
}

int32_t lndp_debugPrintStatus(LNDP_PRINT_FN print)
{
    if (!print)
        return LNDP_E_PARAM;
    MainLock lock;
    if (!lock.held())
        return LNDP_E_NOTREADY;
    gl_manage.debugPrintStatus(print);
    return LNDP_OK;
}

} // extern "C"
