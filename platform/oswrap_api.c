/*
 * OS wrapper, the entry points shared by every port: argument and id-range
 * checks, the "initialised" check, automatic id allocation, name look-ups
 * and the module's exit sequence. The kernel-object work behind them is the
 * port's (oswrap_port.h).
 */
#include "oswrap_port.h"

#include <stddef.h>

static int32_t checkTmo(int32_t tmo)
{
    return (tmo < OSWRAP_TMO_FEVR) ? OSWRAP_E_PAR : OSWRAP_E_OK;
}

/* Creates an object of the kind in slot id with the kind's creation record. */
static int32_t createAt(oswrapPort_Kind kind, int32_t id, const void *pk)
{
    switch (kind) {
    case OSWRAP_PORT_SEM:
        return oswrapPort_semCreate(id, (const T_OSWRAP_CSEM *)pk);
    case OSWRAP_PORT_FLG:
        return oswrapPort_flgCreate(id, (const T_OSWRAP_CFLG *)pk);
    case OSWRAP_PORT_MBX:
        return oswrapPort_mbxCreate(id, (const T_OSWRAP_CMBX *)pk);
    case OSWRAP_PORT_TSK:
        return oswrapPort_tskCreate(id, (const T_OSWRAP_CTSK *)pk);
    }
    return OSWRAP_E_PAR;
}

/* Automatic ids are handed out from the top of the table down to the first
 * one above the fixed range. The record has been checked by the caller. */
static int32_t acquire(oswrapPort_Kind kind, int32_t maxId, int32_t maxFixed, int32_t *id, const void *pk)
{
    if (!oswrapPort_ready())
        return OSWRAP_E_NOEXS;
    for (int32_t i = maxId; i > maxFixed; --i) {
        if (createAt(kind, i, pk) == OSWRAP_E_OK) {
            *id = i;
            return OSWRAP_E_OK;
        }
    }
    return OSWRAP_E_NOID;
}

static int32_t lookupName(oswrapPort_Kind kind, int32_t maxId, int32_t *id, const char *name)
{
    if (!id || !name)
        return OSWRAP_E_PAR;
    if (!oswrapPort_ready())
        return OSWRAP_E_NOEXS;
    if (name[0] == '\0')
        return OSWRAP_E_NONAME;
    for (int32_t i = 1; i <= maxId; ++i) {
        if (oswrapPort_hasName(kind, i, name)) {
            *id = i;
            return OSWRAP_E_OK;
        }
    }
    return OSWRAP_E_NONAME;
}

/* E_PAR for an id outside 1..maxId, E_NOEXS before oswrap_init, else 0. */
static int32_t door(int32_t id, int32_t maxId)
{
    if (id < 1 || id > maxId)
        return OSWRAP_E_PAR;
    if (!oswrapPort_ready())
        return OSWRAP_E_NOEXS;
    return OSWRAP_E_OK;
}

/* --------------------------------------------------------------- module */

int32_t oswrap_init(void)
{
    return oswrapPort_init();
}

static void terminateAndDelete(int32_t id)
{
    (void)oswrap_TerTsk(id); /* E_OBJ for a task that is not running */
    (void)oswrap_DelTsk(id);
}

int32_t oswrap_exit(void)
{
    int32_t r = oswrapPort_exitBegin();
    if (r != OSWRAP_E_OK)
        return r;
    for (int32_t id = OSWRAP_MAX_FIXED_TSK + 1; id <= OSWRAP_MAX_TSK; ++id)
        terminateAndDelete(id);
    for (int32_t id = OSWRAP_MAX_FIXED_TSK; id >= 1; --id)
        terminateAndDelete(id);
    for (int32_t id = 1; id <= OSWRAP_MAX_SEM; ++id)
        (void)oswrap_DelSem(id);
    for (int32_t id = 1; id <= OSWRAP_MAX_FLG; ++id)
        (void)oswrap_DelFlg(id);
    for (int32_t id = 1; id <= OSWRAP_MAX_MBX; ++id)
        (void)oswrap_DelMbx(id);
    oswrapPort_exitEnd();
    return OSWRAP_E_OK;
}

int32_t oswrap_os_start(void)
{
    return OSWRAP_E_NOSPT;
}

/* ----------------------------------------------------------- semaphores */

int32_t oswrap_CreSem(int32_t id, const T_OSWRAP_CSEM *pk)
{
    if (!pk || pk->initCount < 0)
        return OSWRAP_E_PAR;
    int32_t r = door(id, OSWRAP_MAX_FIXED_ID);
    return r != OSWRAP_E_OK ? r : oswrapPort_semCreate(id, pk);
}

int32_t oswrap_AcreSem(int32_t *id, const T_OSWRAP_CSEM *pk)
{
    if (!id || !pk || pk->initCount < 0)
        return OSWRAP_E_PAR;
    return acquire(OSWRAP_PORT_SEM, OSWRAP_MAX_SEM, OSWRAP_MAX_FIXED_ID, id, pk);
}

int32_t oswrap_DelSem(int32_t id)
{
    int32_t r = door(id, OSWRAP_MAX_SEM);
    return r != OSWRAP_E_OK ? r : oswrapPort_semDelete(id);
}

int32_t oswrap_TwaiSem(int32_t id, int32_t tmoMs)
{
    if (checkTmo(tmoMs) != OSWRAP_E_OK)
        return OSWRAP_E_PAR;
    int32_t r = door(id, OSWRAP_MAX_SEM);
    return r != OSWRAP_E_OK ? r : oswrapPort_semWait(id, tmoMs);
}

int32_t oswrap_WaiSem(int32_t id)
{
    return oswrap_TwaiSem(id, OSWRAP_TMO_FEVR);
}

int32_t oswrap_SigSem(int32_t id)
{
    int32_t r = door(id, OSWRAP_MAX_SEM);
    return r != OSWRAP_E_OK ? r : oswrapPort_semSignal(id);
}

int32_t oswrap_SigSemFromISR(int32_t id)
{
    (void)id;
    return OSWRAP_E_NOSPT;
}

int32_t oswrap_VinqSem(int32_t *id, const char *name)
{
    return lookupName(OSWRAP_PORT_SEM, OSWRAP_MAX_SEM, id, name);
}

int32_t oswrap_RefSem(int32_t id, int32_t *count)
{
    if (!count)
        return OSWRAP_E_PAR;
    int32_t r = door(id, OSWRAP_MAX_SEM);
    return r != OSWRAP_E_OK ? r : oswrapPort_semCount(id, count);
}

/* ---------------------------------------------------------- event flags */

int32_t oswrap_CreFlg(int32_t id, const T_OSWRAP_CFLG *pk)
{
    if (!pk)
        return OSWRAP_E_PAR;
    int32_t r = door(id, OSWRAP_MAX_FIXED_ID);
    return r != OSWRAP_E_OK ? r : oswrapPort_flgCreate(id, pk);
}

int32_t oswrap_AcreFlg(int32_t *id, const T_OSWRAP_CFLG *pk)
{
    if (!id || !pk)
        return OSWRAP_E_PAR;
    return acquire(OSWRAP_PORT_FLG, OSWRAP_MAX_FLG, OSWRAP_MAX_FIXED_ID, id, pk);
}

int32_t oswrap_DelFlg(int32_t id)
{
    int32_t r = door(id, OSWRAP_MAX_FLG);
    return r != OSWRAP_E_OK ? r : oswrapPort_flgDelete(id);
}

int32_t oswrap_SetFlg(int32_t id, uint32_t bits)
{
    int32_t r = door(id, OSWRAP_MAX_FLG);
    return r != OSWRAP_E_OK ? r : oswrapPort_flgModify(id, bits, 0xFFFFFFFFu);
}

int32_t oswrap_SetFlgFromISR(int32_t id, uint32_t bits)
{
    (void)id;
    (void)bits;
    return OSWRAP_E_NOSPT;
}

int32_t oswrap_ClrFlg(int32_t id, uint32_t mask)
{
    int32_t r = door(id, OSWRAP_MAX_FLG);
    return r != OSWRAP_E_OK ? r : oswrapPort_flgModify(id, 0, mask);
}

int32_t oswrap_TwaiFlg(uint32_t *out, int32_t id, uint32_t pattern, uint32_t mode, int32_t tmoMs)
{
    if (!out || pattern == 0 || mode > OSWRAP_TWF_ORW || checkTmo(tmoMs) != OSWRAP_E_OK)
        return OSWRAP_E_PAR;
    int32_t r = door(id, OSWRAP_MAX_FLG);
    return r != OSWRAP_E_OK ? r : oswrapPort_flgWait(out, id, pattern, mode, tmoMs);
}

int32_t oswrap_PolFlg(uint32_t *out, int32_t id, uint32_t pattern, uint32_t mode)
{
    return oswrap_TwaiFlg(out, id, pattern, mode, OSWRAP_TMO_POL);
}

int32_t oswrap_WaiFlg(uint32_t *out, int32_t id, uint32_t pattern, uint32_t mode)
{
    return oswrap_TwaiFlg(out, id, pattern, mode, OSWRAP_TMO_FEVR);
}

int32_t oswrap_VinqFlg(int32_t *id, const char *name)
{
    return lookupName(OSWRAP_PORT_FLG, OSWRAP_MAX_FLG, id, name);
}

/* ------------------------------------------------------------ mailboxes */

int32_t oswrap_CreMbx(int32_t id, const T_OSWRAP_CMBX *pk)
{
    if (!pk)
        return OSWRAP_E_PAR;
    int32_t r = door(id, OSWRAP_MAX_FIXED_ID);
    return r != OSWRAP_E_OK ? r : oswrapPort_mbxCreate(id, pk);
}

int32_t oswrap_AcreMbx(int32_t *id, const T_OSWRAP_CMBX *pk)
{
    if (!id || !pk)
        return OSWRAP_E_PAR;
    return acquire(OSWRAP_PORT_MBX, OSWRAP_MAX_MBX, OSWRAP_MAX_FIXED_ID, id, pk);
}

int32_t oswrap_DelMbx(int32_t id)
{
    int32_t r = door(id, OSWRAP_MAX_MBX);
    return r != OSWRAP_E_OK ? r : oswrapPort_mbxDelete(id);
}

/* Send and receive report a bad id with their own code, before any other
 * check. */
int32_t oswrap_SndMsg(int32_t id, T_OSWRAP_MSG *msg)
{
    if (id < 1 || id > OSWRAP_MAX_MBX)
        return OSWRAP_E_MBXID;
    if (!msg)
        return OSWRAP_E_PAR;
    if (!oswrapPort_ready())
        return OSWRAP_E_NOEXS;
    return oswrapPort_mbxSend(id, msg);
}

int32_t oswrap_SndMsgFromISR(int32_t id, T_OSWRAP_MSG *msg)
{
    (void)id;
    (void)msg;
    return OSWRAP_E_NOSPT;
}

int32_t oswrap_TrcvMsg(T_OSWRAP_MSG **msg, int32_t id, int32_t tmoMs)
{
    if (id < 1 || id > OSWRAP_MAX_MBX)
        return OSWRAP_E_MBXID;
    if (!msg || checkTmo(tmoMs) != OSWRAP_E_OK)
        return OSWRAP_E_PAR;
    if (!oswrapPort_ready())
        return OSWRAP_E_NOEXS;
    return oswrapPort_mbxReceive(msg, id, tmoMs);
}

int32_t oswrap_RcvMsg(T_OSWRAP_MSG **msg, int32_t id)
{
    return oswrap_TrcvMsg(msg, id, OSWRAP_TMO_FEVR);
}

int32_t oswrap_IsMsgBoxEmpty(int32_t id)
{
    if (id < 1 || id > OSWRAP_MAX_MBX || !oswrapPort_ready())
        return OSWRAP_E_FAIL;
    return oswrapPort_mbxWaiting(id) == 0 ? OSWRAP_E_OK : OSWRAP_E_FAIL;
}

int32_t oswrap_VinqMbx(int32_t *id, const char *name)
{
    return lookupName(OSWRAP_PORT_MBX, OSWRAP_MAX_MBX, id, name);
}

/* ---------------------------------------------------------------- tasks */

int32_t oswrap_CreTsk(int32_t id, const T_OSWRAP_CTSK *pk)
{
    if (!pk || !pk->entry)
        return OSWRAP_E_PAR;
    int32_t r = door(id, OSWRAP_MAX_FIXED_TSK);
    return r != OSWRAP_E_OK ? r : oswrapPort_tskCreate(id, pk);
}

int32_t oswrap_AcreTsk(int32_t *id, const T_OSWRAP_CTSK *pk)
{
    if (!id || !pk || !pk->entry)
        return OSWRAP_E_PAR;
    return acquire(OSWRAP_PORT_TSK, OSWRAP_MAX_TSK, OSWRAP_MAX_FIXED_TSK, id, pk);
}

int32_t oswrap_StaTsk(int32_t id, void *arg)
{
    int32_t r = door(id, OSWRAP_MAX_TSK);
    return r != OSWRAP_E_OK ? r : oswrapPort_tskStart(id, arg);
}

int32_t oswrap_TerTsk(int32_t id)
{
    int32_t r = door(id, OSWRAP_MAX_TSK);
    return r != OSWRAP_E_OK ? r : oswrapPort_tskTerminate(id);
}

int32_t oswrap_DelTsk(int32_t id)
{
    int32_t r = door(id, OSWRAP_MAX_TSK);
    if (r != OSWRAP_E_OK)
        return r;
    if (oswrapPort_currentTaskId() == id)
        return OSWRAP_E_OBJ;
    return oswrapPort_tskDelete(id);
}

int32_t oswrap_SusTsk(int32_t id)
{
    if (!oswrapPort_canSuspend())
        return OSWRAP_E_NOSPT;
    int32_t r = door(id, OSWRAP_MAX_TSK);
    return r != OSWRAP_E_OK ? r : oswrapPort_tskSuspend(id);
}

int32_t oswrap_RsmTsk(int32_t id)
{
    if (!oswrapPort_canSuspend())
        return OSWRAP_E_NOSPT;
    int32_t r = door(id, OSWRAP_MAX_TSK);
    return r != OSWRAP_E_OK ? r : oswrapPort_tskResume(id);
}

int32_t oswrap_ExtTsk(void)
{
    int32_t id = oswrapPort_currentTaskId();
    if (id < 1 || id > OSWRAP_MAX_TSK)
        return OSWRAP_E_NOEXS;
    oswrapPort_tskExit(id);
    return OSWRAP_E_OK; /* not reached */
}

int32_t oswrap_RefTsk(T_OSWRAP_RTSK *info, int32_t id)
{
    if (!info)
        return OSWRAP_E_PAR;
    int32_t r = door(id, OSWRAP_MAX_TSK);
    return r != OSWRAP_E_OK ? r : oswrapPort_tskRef(info, id);
}

int32_t oswrap_VinqTsk(int32_t *id, const char *name)
{
    return lookupName(OSWRAP_PORT_TSK, OSWRAP_MAX_TSK, id, name);
}

int32_t oswrap_VsetTfl(int32_t id, uint32_t bits)
{
    int32_t r = door(id, OSWRAP_MAX_TSK);
    return r != OSWRAP_E_OK ? r : oswrapPort_flgModify(OSWRAP_PORT_TFL(id), bits, 0xFFFFFFFFu);
}

int32_t oswrap_VsetTflFromISR(int32_t id, uint32_t bits)
{
    (void)id;
    (void)bits;
    return OSWRAP_E_NOSPT;
}

int32_t oswrap_VclrTfl(int32_t id, uint32_t mask)
{
    int32_t r = door(id, OSWRAP_MAX_TSK);
    return r != OSWRAP_E_OK ? r : oswrapPort_flgModify(OSWRAP_PORT_TFL(id), 0, mask);
}

int32_t oswrap_VtwaiTfl(uint32_t *out, uint32_t pattern, int32_t tmoMs)
{
    if (!out || checkTmo(tmoMs) != OSWRAP_E_OK)
        return OSWRAP_E_PAR;
    if (!oswrapPort_ready())
        return OSWRAP_E_NOEXS;
    int32_t id = oswrapPort_currentTaskId();
    if (id < 1 || id > OSWRAP_MAX_TSK)
        return OSWRAP_E_NOEXS;
    /* The terminate bit is cleared with the rest of the word on wake; the
     * request itself stays, so a task that waits again still learns it. */
    uint32_t word = 0;
    if (oswrapPort_tskAsked(id)) {
        int32_t r = oswrapPort_flgTake(&word, OSWRAP_PORT_TFL(id));
        if (r != OSWRAP_E_OK)
            return r;
        *out = word & ~OSWRAP_TFL_TERMINATE;
        return OSWRAP_E_TERM;
    }
    int32_t r = oswrapPort_flgWait(&word, OSWRAP_PORT_TFL(id), pattern | OSWRAP_TFL_TERMINATE, OSWRAP_TWF_ORW, tmoMs);
    if (r == OSWRAP_E_OK && (word & OSWRAP_TFL_TERMINATE)) {
        *out = word & ~OSWRAP_TFL_TERMINATE;
        return OSWRAP_E_TERM;
    }
    *out = word;
    return r;
}

int32_t oswrap_GetTskId(int32_t *id)
{
    if (!id)
        return OSWRAP_E_PAR;
    if (!oswrapPort_ready())
        return OSWRAP_E_NOEXS;
    int32_t cur = oswrapPort_currentTaskId();
    if (cur != 0) {
        *id = cur;
        return OSWRAP_E_OK;
    }
    return oswrapPort_foreignId(id);
}

int32_t oswrap_CheckReqTerminate(void)
{
    int32_t id = 0;
    int32_t r = oswrap_GetTskId(&id);
    if (r < 0)
        return r;
    if (id == 0)
        return OSWRAP_E_ID0;
    if (id > OSWRAP_MAX_TSK)
        return OSWRAP_E_NOEXS;
    return oswrapPort_tskTerminateRequested(id);
}

int32_t oswrap_GetTskLoad(uint32_t *load, int32_t id)
{
    if (!load)
        return OSWRAP_E_PAR;
    int32_t r = door(id, OSWRAP_MAX_TSK);
    return r != OSWRAP_E_OK ? r : oswrapPort_tskLoad(load, id);
}

int32_t oswrap_GetProcessLoad(uint32_t *load)
{
    if (!load)
        return OSWRAP_E_PAR;
    return oswrapPort_processLoad(load);
}

/* ----------------------------------------------------- sleeping, clock */

int32_t oswrap_WaiTsk(int32_t ms)
{
    if (ms < 0)
        return OSWRAP_E_PAR;
    oswrapPort_sleepMs(ms);
    return OSWRAP_E_OK;
}

int32_t oswrap_yield(void)
{
    oswrapPort_yield();
    return OSWRAP_E_OK;
}

int32_t oswrap_WaitForSysMainTaskFinished(void)
{
    if (!oswrapPort_ready())
        return OSWRAP_E_NOEXS;
    oswrapPort_tskJoin(1);
    return OSWRAP_E_OK;
}

int32_t oswrap_Get1msCount(uint32_t *ms)
{
    if (!ms)
        return OSWRAP_E_PAR;
    return oswrapPort_monoMs(ms);
}

int32_t oswrap_Get1usCount(uint32_t *high, uint32_t *low)
{
    if (!high || !low)
        return OSWRAP_E_PAR;
    return oswrapPort_monoUs(high, low);
}
