/*
 * OS wrapper, port interface (private to the platform layer).
 *
 * oswrap_api.c holds every public entry point of oswrap_api.h: the argument
 * and id-range checks, the "initialised" check, the allocation of automatic
 * ids, name look-ups and the module's exit sequence. It calls the functions
 * below, which one port per operating system implements with its kernel
 * objects (oswrap_api_posix.c, oswrap_api_windows.c).
 *
 * Contract for every oswrapPort_* function taking an id:
 * - the caller has checked the id against the table's range and that the
 *   module is initialised; pointers passed in are not null and time-outs are
 *   OSWRAP_TMO_POL, OSWRAP_TMO_FEVR or positive;
 * - results are the OSWRAP_* codes of oswrap_api.h, as documented there for
 *   the matching public call (E_NOEXS when the object is not created or is
 *   being deleted, E_SYS when the system refuses);
 * - each port does its own locking; every function may be called from any
 *   thread at any time, concurrently with a deletion of the same object;
 * - no function allocates memory.
 */
#ifndef OSWRAP_PORT_H
#define OSWRAP_PORT_H

#include "oswrap_api.h"

#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Object kinds, for the generic look-ups. */
typedef enum { OSWRAP_PORT_SEM, OSWRAP_PORT_FLG, OSWRAP_PORT_MBX, OSWRAP_PORT_TSK } oswrapPort_Kind;

/* ---- helpers for the ports (pure, any thread) ---- */
/* Whether a flag word satisfies a wait for pattern in mode ANDW / ORW. */
static inline int oswrapPort_satisfied(uint32_t flags, uint32_t pattern, uint32_t mode)
{
    if (mode & OSWRAP_TWF_ORW)
        return (flags & pattern) != 0;
    return (flags & pattern) == pattern;
}

/* An object name: at most OSWRAP_NAME_LEN characters, zero-filled; null is
 * the empty name. dst holds OSWRAP_NAME_LEN + 1 characters. */
static inline void oswrapPort_copyName(char *dst, const char *src)
{
    memset(dst, 0, OSWRAP_NAME_LEN + 1);
    if (src)
        strncpy(dst, src, OSWRAP_NAME_LEN);
}

/* ---- module ---- */
/* Nonzero between a successful oswrap_init and the end of oswrap_exit. */
int oswrapPort_ready(void);
/* 0; E_OBJ when already initialised; E_SYS when the thread-exit hook
 * cannot be made. */
int32_t oswrapPort_init(void);
/* 0 when initialised (the exit may go on), E_OBJ when not. */
int32_t oswrapPort_exitBegin(void);
/* Marks the module uninitialised once every object has been deleted. */
void oswrapPort_exitEnd(void);

/* 1 when the object exists and carries exactly this name. */
int oswrapPort_hasName(oswrapPort_Kind kind, int32_t id, const char *name);

/* ---- semaphores ---- */
/* Create: 0; E_OBJ (slot taken); E_SYS. */
int32_t oswrapPort_semCreate(int32_t id, const T_OSWRAP_CSEM *pk);
int32_t oswrapPort_semDelete(int32_t id);
int32_t oswrapPort_semWait(int32_t id, int32_t tmoMs);
int32_t oswrapPort_semSignal(int32_t id);
int32_t oswrapPort_semCount(int32_t id, int32_t *count);

/* ---- event flags (pattern nonzero, mode ANDW or ORW) ----
 * Ids 1..OSWRAP_MAX_FLG are the event flags; OSWRAP_PORT_TFL(task) is the
 * flag word of a task (created and deleted with the task). */
#define OSWRAP_PORT_TFL(taskId) (OSWRAP_MAX_FLG + (taskId))
int32_t oswrapPort_flgCreate(int32_t id, const T_OSWRAP_CFLG *pk);
int32_t oswrapPort_flgDelete(int32_t id);
/* word = (word & andMask) | orBits, then wakes the waiters to re-test. */
int32_t oswrapPort_flgModify(int32_t id, uint32_t orBits, uint32_t andMask);
int32_t oswrapPort_flgWait(uint32_t *out, int32_t id, uint32_t pattern, uint32_t mode, int32_t tmoMs);
/* Takes the whole word and clears it: 0 and *out; E_NOEXS. */
int32_t oswrapPort_flgTake(uint32_t *out, int32_t id);

/* ---- mailboxes ---- */
int32_t oswrapPort_mbxCreate(int32_t id, const T_OSWRAP_CMBX *pk);
int32_t oswrapPort_mbxDelete(int32_t id);
int32_t oswrapPort_mbxSend(int32_t id, T_OSWRAP_MSG *msg);
int32_t oswrapPort_mbxReceive(T_OSWRAP_MSG **msg, int32_t id, int32_t tmoMs);
/* 0 when empty, 1 when a message waits, E_NOEXS. */
int32_t oswrapPort_mbxWaiting(int32_t id);

/* ---- tasks ---- */
/* The calling thread's task id, 0 when it runs no task's entry. A port may
 * also return the id it gave a foreign thread earlier (0x8000 and up). */
int32_t oswrapPort_currentTaskId(void);
/* A new id for a foreign thread: 0 and *id; OSWRAP_I_FULL with *id = 0. */
int32_t oswrapPort_foreignId(int32_t *id);
int32_t oswrapPort_tskCreate(int32_t id, const T_OSWRAP_CTSK *pk);
int32_t oswrapPort_tskStart(int32_t id, void *arg);
int32_t oswrapPort_tskTerminate(int32_t id);
/* Not called by the task itself (the caller has checked). */
int32_t oswrapPort_tskDelete(int32_t id);
/* Nonzero when SusTsk / RsmTsk are supported; 0: both give E_NOSPT for any
 * argument. */
int oswrapPort_canSuspend(void);
int32_t oswrapPort_tskSuspend(int32_t id);
int32_t oswrapPort_tskResume(int32_t id);
/* Ends the calling task's thread (id is its own task id); does not return. */
void oswrapPort_tskExit(int32_t id);
int32_t oswrapPort_tskRef(T_OSWRAP_RTSK *info, int32_t id);
/* 0 when the task has been asked to terminate, E_OBJ when not, E_NOEXS. */
int32_t oswrapPort_tskTerminateRequested(int32_t id);
/* Waits until the task's thread has ended (returns at once without one). */
void oswrapPort_tskJoin(int32_t id);
int32_t oswrapPort_tskLoad(uint32_t *load, int32_t id);
int32_t oswrapPort_processLoad(uint32_t *load);

/* Nonzero once the task has been asked to terminate (until it is started
 * again), whatever the task's state; for the task itself. */
int oswrapPort_tskAsked(int32_t id);

/* ---- sleeping, clock ---- */
void oswrapPort_sleepMs(int32_t ms);
void oswrapPort_yield(void);
int32_t oswrapPort_monoMs(uint32_t *ms);
int32_t oswrapPort_monoUs(uint32_t *high, uint32_t *low);

#ifdef __cplusplus
}
#endif

#endif /* OSWRAP_PORT_H */
