// Engine task "LNDPSVC", its event function, and engine start-up / clean-up.
#include "lndp_task.h"

#include <atomic>

#include "lndp_api.h"
#include "lndp_manage.h"
#include "oswrap_api.h"
#include "vsock_wrappedSocketIf.h"

using LNDP::gl_manage;

namespace {

uint32_t gl_ulStartupCnt = 0;
uint16_t gl_hMainSemId = 0;
uint16_t gl_hVsockSemId = 0;
// Read by the socket task when it raises events; written at start and stop.
std::atomic<uint16_t> gl_hMyTskId{ 0 };
bool gl_startedSocketModule = false;
// Set by the clean-up: the task ends at its next wake-up. Cooperative and
// checked by the task itself, so that the clean-up can bound its wait.
std::atomic<bool> gl_stopRequested{ false };
// A clean-up whose task did not end in time: the engine, its locks and the
// socket module are kept for that task until a later clean-up succeeds.
bool gl_teardownPending = false;

uint32_t nowMs()
{
    uint32_t ms = 0;
    oswrap_Get1msCount(&ms);
    return ms;
}

bool stopRequested(int32_t waitResult)
{
    return waitResult == OSWRAP_E_TERM || gl_stopRequested.load();
}

// Ends the task: waits for the termination request only.
void waitForTermination()
{
    uint32_t flags = 0;
    while (!stopRequested(oswrap_VtwaiTfl(&flags, LNDP_TFL_ALL, OSWRAP_TMO_FEVR))) { }
}

} // namespace

int32_t lndp_taskId(void)
{
    return gl_hMyTskId.load();
}

void lndp_setMyEvent(int32_t code)
{
    const uint16_t id = gl_hMyTskId.load();
    if (!id)
        return;
    uint32_t bit = LNDP_TFL_OTHER;
    switch (code) {
    case LNDP::LNDP_EVENT_NOTIFY:
        bit = LNDP_TFL_NOTIFY;
        break;
    case LNDP::LNDP_EVENT_SETUP:
        bit = LNDP_TFL_SETUP;
        break;
    case LNDP::LNDP_EVENT_SOCKET:
        bit = LNDP_TFL_SOCKET;
        break;
    default:
        break;
    }
    oswrap_VsetTfl(id, bit);
}

void lndp_taskMain(void *)
{
    int32_t myId = 0;
    oswrap_GetTskId(&myId);
    if (gl_manage.attachTask(lndp_setMyEvent) != LNDP_OK) {
        waitForTermination();
        return;
    }
    uint32_t lastInterval = nowMs();
    for (;;) {
        uint32_t flags = 0;
        const int32_t r = oswrap_VtwaiTfl(&flags, LNDP_TFL_ALL, LNDP_TASK_INTERVAL_MS);
        if (stopRequested(r))
            break;
        if (r == OSWRAP_E_TMOUT)
            flags = LNDP_TFL_INTERVAL;
        else if (r != OSWRAP_E_OK)
            flags = 0;
        // Steady socket traffic never lets the wait time out; the interval
        // pass (announcements, ageing) must still run every 100 ms.
        if ((uint32_t)(nowMs() - lastInterval) >= LNDP_TASK_INTERVAL_MS)
            flags |= LNDP_TFL_INTERVAL;

        int32_t rx = 0, tx = 0, notify = 0, more = 0, moreTx = 0, other = 0;
        bool readMore = false;
        bool sendMore = false;
        if (flags & LNDP_TFL_SETUP) {
            int32_t again = 0;
            gl_manage.runSetup(again);
            if (again)
                flags |= LNDP_TFL_INTERVAL;
        }
        if (flags & LNDP_TFL_INTERVAL) {
            gl_manage.runInterval(rx, tx, notify);
            lastInterval = nowMs();
            flags |= (rx ? LNDP_TFL_RECEIVE : 0u) | (tx ? LNDP_TFL_SEND : 0u) | (notify ? LNDP_TFL_NOTIFY : 0u);
        }
        if (flags & LNDP_TFL_SOCKET) {
            gl_manage.runSocketCallback(rx, tx);
            flags |= (rx ? LNDP_TFL_RECEIVE : 0u) | (tx ? LNDP_TFL_SEND : 0u);
        }
        if (flags & LNDP_TFL_RECEIVE) {
            gl_manage.runReceive(more, tx, notify);
            readMore = more != 0;
            flags |= (tx ? LNDP_TFL_SEND : 0u) | (notify ? LNDP_TFL_NOTIFY : 0u);
        }
        if (flags & LNDP_TFL_SEND) {
            gl_manage.runSend(moreTx, other);
            sendMore = moreTx != 0;
        }
        if (flags & LNDP_TFL_NOTIFY)
            gl_manage.notifyUpdateHostInfo();

        if (readMore || sendMore) {
            oswrap_yield();
            oswrap_VsetTfl(myId, (readMore ? LNDP_TFL_RECEIVE : 0u) | (sendMore ? LNDP_TFL_SEND : 0u));
        }
    }
}

namespace {

void deleteSemaphores()
{
    if (gl_hMainSemId)
        oswrap_DelSem(gl_hMainSemId);
    if (gl_hVsockSemId)
        oswrap_DelSem(gl_hVsockSemId);
    gl_hMainSemId = gl_hVsockSemId = 0;
}

void endSocketModule()
{
    if (gl_startedSocketModule)
        vsock_wrappedSocketEndModule();
    gl_startedSocketModule = false;
}

} // namespace

// Stops the engine task within the deletion limit, then releases the engine,
// its locks and the socket module. LNDP_E_TASK, releasing nothing, when the
// task is still running (a subscriber callback that does not return).
static int32_t teardown()
{
    const uint16_t taskId = gl_hMyTskId.load();
    if (taskId) {
        gl_stopRequested.store(true);
        oswrap_VsetTfl(taskId, LNDP_TFL_OTHER);
        const int32_t r = oswrap_DelTsk(taskId); // waits up to 5 s
        if (r != OSWRAP_E_OK && r != OSWRAP_E_NOEXS) {
            gl_teardownPending = true;
            return LNDP_E_TASK;
        }
        gl_hMyTskId.store(0);
    }
    gl_manage.finalize();
    deleteSemaphores();
    endSocketModule();
    gl_teardownPending = false;
    return LNDP_OK;
}

int32_t lndp_startup(void)
{
    return lndp_startupEx(LNDP_HOSTS_DEFAULT);
}

int32_t lndp_startupEx(uint32_t hostCapacity)
{
    if (hostCapacity < LNDP_HOSTS_MIN || hostCapacity > LNDP_HOSTS_MAX)
        return LNDP_E_PARAM;
    if (gl_ulStartupCnt != 0) {
        ++gl_ulStartupCnt;
        return LNDP_E_ALREADY;
    }
    if (gl_teardownPending)
        return LNDP_E_TASK;
    // The engine's sockets need the socket module; start it unless someone
    // else already did (every call but the address conversions answers
    // "not ready" before the start).
    if (vsock_wrappedSocketGetSockStatus(0) == VSOCK_E_NOTREADY) {
        if (vsock_wrappedSocketInitModule() != 0)
            return LNDP_E_TASK;
        gl_startedSocketModule = true;
    }
    T_OSWRAP_CSEM sem = { 0, 1, "LNDPMAIN" };
    int32_t mainId = 0;
    int32_t vsockId = 0;
    if (oswrap_AcreSem(&mainId, &sem) != OSWRAP_E_OK) {
        endSocketModule();
        return LNDP_E_TASK;
    }
    gl_hMainSemId = (uint16_t)mainId;
    sem.name = "LNDPVSOCK";
    if (oswrap_AcreSem(&vsockId, &sem) != OSWRAP_E_OK) {
        deleteSemaphores();
        endSocketModule();
        return LNDP_E_TASK;
    }
    gl_hVsockSemId = (uint16_t)vsockId;

    // An engine already initialised belongs to someone else (or to a
    // clean-up that did not finish): neither its tables nor its locks are ours.
    if (gl_manage.initialize(oswrap_WaiSem, oswrap_SigSem, mainId, vsockId, hostCapacity) != LNDP_OK) {
        deleteSemaphores();
        endSocketModule();
        return LNDP_E_TASK;
    }

    gl_stopRequested.store(false);
    T_OSWRAP_CTSK tsk = { 0, lndp_taskMain, LNDP_TASK_PRIORITY, LNDP_TASK_STACK, "LNDPSVC" };
    int32_t taskId = 0;
    if (oswrap_AcreTsk(&taskId, &tsk) != OSWRAP_E_OK) {
        gl_manage.finalize();
        deleteSemaphores();
        endSocketModule();
        return LNDP_E_TASK;
    }
    gl_hMyTskId.store((uint16_t)taskId);
    if (oswrap_StaTsk(taskId, nullptr) != OSWRAP_E_OK) {
        gl_hMyTskId.store(0);
        oswrap_DelTsk(taskId);
        gl_manage.finalize();
        deleteSemaphores();
        endSocketModule();
        return LNDP_E_TASK;
    }
    // Return once the task has attached, so a set-up right after start-up
    // does not race the task and fail with "not attached".
    for (int i = 0; i < 2000; ++i) {
        bool attached = false;
        if (gl_manage.mainLock()) {
            attached = gl_manage.hasEventFunction();
            gl_manage.mainUnlock();
        }
        if (attached)
            break;
        oswrap_WaiTsk(1);
    }
    gl_ulStartupCnt = 1;
    return LNDP_OK;
}

int32_t lndp_cleanup(void)
{
    if (gl_ulStartupCnt == 0)
        return gl_teardownPending ? teardown() : LNDP_E_ALREADY;
    if (--gl_ulStartupCnt > 0)
        return LNDP_I_USERS_REMAIN;
    return teardown();
}
