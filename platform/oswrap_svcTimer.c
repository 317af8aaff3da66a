/*
 * OS wrapper: caller-owned millisecond timers and interlocked operations.
 * Portable: they need only oswrap_Get1msCount and compiler atomics.
 *
 * Elapsed time is "now - start" in unsigned 32-bit arithmetic, so a timer
 * that spans the wrap of the millisecond count (every 49.7 days) still
 * measures correctly as long as the duration itself is below 2^32 ms.
 */
#include "oswrap_api.h"

int32_t oswrap_svcInitTimerMs(T_OSWRAP_TIMER_MS *t)
{
    if (!t)
        return OSWRAP_E_PAR;
    t->mode = OSWRAP_TIMER_STOPPED;
    t->start = 0;
    t->duration = 0;
    return OSWRAP_E_OK;
}

int32_t oswrap_svcStopTimerMs(T_OSWRAP_TIMER_MS *t)
{
    if (!t)
        return OSWRAP_E_PAR;
    t->mode = OSWRAP_TIMER_STOPPED;
    return OSWRAP_E_OK;
}

int32_t oswrap_svcStartOneshotTimerMs(T_OSWRAP_TIMER_MS *t, uint32_t ms)
{
    if (!t)
        return OSWRAP_E_PAR;
    if (t->mode == OSWRAP_TIMER_FREERUN)
        return OSWRAP_E_OBJ;
    uint32_t now;
    if (oswrap_Get1msCount(&now) != OSWRAP_E_OK)
        return OSWRAP_E_SYS;
    t->start = now;
    t->duration = ms;
    t->mode = OSWRAP_TIMER_ONESHOT;
    return OSWRAP_E_OK;
}

int32_t oswrap_svcCheckOneshotTimerMs(T_OSWRAP_TIMER_MS *t)
{
    if (!t)
        return OSWRAP_E_PAR;
    if (t->mode == OSWRAP_TIMER_EXPIRED)
        return OSWRAP_I_EXPIRED;
    if (t->mode != OSWRAP_TIMER_ONESHOT)
        return OSWRAP_E_OBJ;
    uint32_t now;
    if (oswrap_Get1msCount(&now) != OSWRAP_E_OK)
        return OSWRAP_E_SYS;
    if ((uint32_t)(now - t->start) >= t->duration) {
        t->mode = OSWRAP_TIMER_EXPIRED;
        return OSWRAP_I_EXPIRED;
    }
    return OSWRAP_E_OK;
}

int32_t oswrap_svcStartFreerunTimerMs(T_OSWRAP_TIMER_MS *t)
{
    if (!t)
        return OSWRAP_E_PAR;
    if (t->mode > OSWRAP_TIMER_FREERUN)
        return OSWRAP_E_OBJ;
    uint32_t now;
    if (oswrap_Get1msCount(&now) != OSWRAP_E_OK)
        return OSWRAP_E_SYS;
    t->start = now;
    t->mode = OSWRAP_TIMER_FREERUN;
    return OSWRAP_E_OK;
}

int32_t oswrap_svcWatchFreerunTimerMs(T_OSWRAP_TIMER_MS *t, uint32_t *elapsed, uint32_t limit)
{
    if (!t || !elapsed)
        return OSWRAP_E_PAR;
    if (t->mode != OSWRAP_TIMER_FREERUN)
        return OSWRAP_E_OBJ;
    uint32_t now;
    if (oswrap_Get1msCount(&now) != OSWRAP_E_OK)
        return OSWRAP_E_SYS;
    *elapsed = now - t->start;
    return *elapsed >= limit ? OSWRAP_I_EXPIRED : OSWRAP_E_OK;
}

int32_t oswrap_svcIsActiveTimerMs(const T_OSWRAP_TIMER_MS *t)
{
    if (!t)
        return OSWRAP_E_PAR;
    return (t->mode == OSWRAP_TIMER_FREERUN || t->mode == OSWRAP_TIMER_ONESHOT) ? OSWRAP_E_OK : OSWRAP_E_OBJ;
}

uint32_t oswrap_CnvSysClk(uint32_t x)
{
    return x;
}
uint32_t oswrap_CnvSysClkToMsec(uint32_t x)
{
    return x;
}
int32_t oswrap_VsysClk(void)
{
    return OSWRAP_E_OK;
}
int32_t oswrap_RotRdq(void)
{
    return OSWRAP_E_OK;
}
int32_t oswrap_RefSys(void)
{
    return OSWRAP_E_OK;
}

/* A null word answers OSWRAP_E_PAR instead of faulting; that value is also
 * a possible old value, so callers that can pass null must not rely on it. */
int32_t oswrap_InterlockedIncrement(volatile int32_t *p)
{
    if (!p)
        return OSWRAP_E_PAR;
    return __atomic_fetch_add(p, 1, __ATOMIC_SEQ_CST);
}

int32_t oswrap_InterlockedDecrement(volatile int32_t *p)
{
    if (!p)
        return OSWRAP_E_PAR;
    return __atomic_fetch_sub(p, 1, __ATOMIC_SEQ_CST);
}

int32_t oswrap_InterlockedExchange(volatile int32_t *p, int32_t v)
{
    if (!p)
        return OSWRAP_E_PAR;
    return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}

int32_t oswrap_InterlockedCompareExchange(volatile int32_t *p, int32_t v, int32_t cmp)
{
    if (!p)
        return OSWRAP_E_PAR;
    __atomic_compare_exchange_n(p, &cmp, v, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return cmp;
}
