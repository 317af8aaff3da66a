/*
 * OS wrapper: a small real-time-kernel style interface (numbered semaphores,
 * event flags, mailboxes, tasks with their own flag words, millisecond timers,
 * interlocked operations) used by the discovery engine and the socket wrapper.
 *
 * This header is the contract of the module. The entry points, with their
 * checks, live in oswrap_api.c; they call one port per system through
 * oswrap_port.h (Linux: oswrap_api_posix.c, Windows: oswrap_api_windows.c).
 * The portable timer and interlocked helpers are in oswrap_svcTimer.c.
 *
 * All objects live in static tables addressed by small ids. Results are
 * signed 32-bit: 0 (or a positive informational value) on success, one of
 * the negative OSWRAP_E_* codes on failure. oswrap_init() must run before
 * any other call except the timer, clock and interlocked helpers; before it,
 * object calls fail with OSWRAP_E_NOEXS.
 *
 * Time-outs are in milliseconds: OSWRAP_TMO_POL (0) polls once,
 * OSWRAP_TMO_FEVR (-1) waits without limit, other negative values are
 * rejected with OSWRAP_E_PAR. A timed wait ends at most the given time after
 * the call began, however often the object is signalled in between.
 */
#ifndef OSWRAP_API_H
#define OSWRAP_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- result codes ---- */
#define OSWRAP_E_OK ((int32_t)0)
#define OSWRAP_I_FULL ((int32_t)9) /* foreign-thread table full, id is 0 */
#define OSWRAP_I_EXPIRED ((int32_t)12) /* timer expired */
#define OSWRAP_E_FAIL ((int32_t)0x80000000u) /* generic failure (mailbox not empty) */
#define OSWRAP_E_NOSPT ((int32_t)0x80000002u) /* not supported on this platform */
#define OSWRAP_E_PAR ((int32_t)0x80000005u) /* bad parameter or id out of range */
#define OSWRAP_E_MBXID ((int32_t)0x80000006u) /* mailbox id out of range (send, receive) */
#define OSWRAP_E_NOEXS ((int32_t)0x80000007u) /* object not created, or being deleted */
#define OSWRAP_E_OBJ ((int32_t)0x80000008u) /* exists already / wrong state / other timer mode */
#define OSWRAP_E_ID0 ((int32_t)0x80000009u) /* the calling thread has id 0 */
#define OSWRAP_E_ABANDON ((int32_t)0x8000000Bu) /* wait abandoned */
#define OSWRAP_E_TMOUT ((int32_t)0x8000000Cu) /* time-out, or pattern not satisfied when polling */
#define OSWRAP_E_NONAME ((int32_t)0x8000000Eu) /* no object with that name */
#define OSWRAP_E_NOID ((int32_t)0x80000010u) /* no free id for automatic assignment */
#define OSWRAP_E_TERM ((int32_t)0x80000011u) /* the waiting task has been asked to terminate */
#define OSWRAP_E_SYS ((int32_t)0x80000013u) /* the underlying system call failed */

/* ---- time-outs ---- */
#define OSWRAP_TMO_POL ((int32_t)0)
#define OSWRAP_TMO_FEVR ((int32_t)-1)

/* ---- table sizes and id ranges ---- */
#define OSWRAP_MAX_SEM 100 /* ids 1..100; fixed 1..49, automatic 100 down to 50 */
#define OSWRAP_MAX_FLG 100
#define OSWRAP_MAX_MBX 100
#define OSWRAP_MAX_FIXED_ID 49
#define OSWRAP_MAX_TSK 50 /* ids 1..50; fixed 1..24, automatic 50 down to 25 */
#define OSWRAP_MAX_FIXED_TSK 24
#define OSWRAP_MAX_FOREIGN 100 /* foreign thread slots */
/* A foreign thread's id is 0x8000 | (generation << 7) | slot, 0x8000..0xFFFF:
 * the generation counts the slot's occupants (modulo 256), so a thread that
 * takes over a dead thread's slot gets another id than its last 255
 * predecessors there. The first occupant of slot k has 0x8000 + k. */
#define OSWRAP_FOREIGN_ID_BASE 0x8000
#define OSWRAP_FOREIGN_SLOT_BITS 7
#define OSWRAP_FOREIGN_GENERATIONS 256u
#define OSWRAP_NAME_LEN 8 /* longer names are truncated to 8 characters */

/* ---- flag wait modes and attributes ---- */
#define OSWRAP_TWF_ANDW 0x00 /* every bit of the pattern */
#define OSWRAP_TWF_ORW 0x01 /* any bit of the pattern */
#define OSWRAP_TA_CLR 0x04 /* flag attribute: clear the whole word when a wait is satisfied */
#define OSWRAP_TFL_TERMINATE 0x10000u /* task flag bit raised by oswrap_TerTsk */

/* ---- task states ---- */
#define OSWRAP_TTS_RUN 1
#define OSWRAP_TTS_SUS 8
#define OSWRAP_TTS_DMT 16

/* ---- creation records ---- */
typedef struct
{
    uint32_t attr;
    int32_t initCount; /* 0 .. 0x7FFFFFFF */
    const char *name; /* may be null; truncated to 8 characters */
} T_OSWRAP_CSEM;

typedef struct
{
    uint32_t attr; /* OSWRAP_TA_CLR */
    uint32_t initPattern;
    const char *name;
} T_OSWRAP_CFLG;

typedef struct
{
    uint32_t attr;
    const char *name;
} T_OSWRAP_CMBX;

typedef void (*oswrap_TaskEntry)(void *arg);

typedef struct
{
    uint32_t attr;
    oswrap_TaskEntry entry;
    uint16_t priority; /* recorded and reported, not applied */
    uint32_t stackSize; /* bytes; see oswrap_StaTsk */
    const char *name;
} T_OSWRAP_CTSK;

/* Task report of oswrap_RefTsk. */
typedef struct
{
    uint32_t attr;
    oswrap_TaskEntry entry;
    uint16_t basePriority;
    uint16_t currentPriority;
    uint32_t stackSize;
    char name[OSWRAP_NAME_LEN + 1];
    int32_t state; /* OSWRAP_TTS_* */
} T_OSWRAP_RTSK;

/* Mailbox message: the first 8 bytes of every message belong to the mailbox
 * while it is queued. */
typedef struct T_OSWRAP_MSG
{
    union
    {
        struct T_OSWRAP_MSG *next;
        uint64_t reserved;
    } link;
} T_OSWRAP_MSG;

/* Caller-owned millisecond timer. */
#define OSWRAP_TIMER_STOPPED 0
#define OSWRAP_TIMER_FREERUN 1
#define OSWRAP_TIMER_ONESHOT 2
#define OSWRAP_TIMER_EXPIRED 3
typedef struct
{
    uint8_t mode;
    uint32_t start; /* oswrap_Get1msCount at start */
    uint32_t duration;
} T_OSWRAP_TIMER_MS;

/* ---- module ---- */
/* 0, or OSWRAP_E_OBJ when already initialised; OSWRAP_E_SYS when the
 * thread-exit hook cannot be created. */
int32_t oswrap_init(void);
/* 0, or OSWRAP_E_OBJ when not initialised. Terminates and deletes every task
 * (25..50, then 24..1) and frees every object. Must not be called by a task. */
int32_t oswrap_exit(void);
/* OSWRAP_E_NOSPT: the host system schedules threads itself. */
int32_t oswrap_os_start(void);

/* ---- semaphores ----
 * Create: 0; E_PAR (id outside 1..49, null record, count < 0); E_OBJ (exists);
 * E_NOEXS (module not initialised). Acre: 0 and *id; E_NOID when 50..100 are taken.
 * Del: 0; E_PAR (id outside 1..100); E_NOEXS. Waiters blocked on a deleted
 * semaphore return E_NOEXS.
 * Wai/Twai: 0; E_PAR; E_NOEXS; E_TMOUT.  Sig: 0; E_PAR; E_NOEXS; E_SYS when the
 * count would pass 0x7FFFFFFF. Vinq: 0 and *id; E_PAR (null); E_NONAME. */
int32_t oswrap_CreSem(int32_t id, const T_OSWRAP_CSEM *pk);
int32_t oswrap_AcreSem(int32_t *id, const T_OSWRAP_CSEM *pk);
int32_t oswrap_DelSem(int32_t id);
int32_t oswrap_WaiSem(int32_t id);
int32_t oswrap_TwaiSem(int32_t id, int32_t tmoMs);
int32_t oswrap_SigSem(int32_t id);
int32_t oswrap_SigSemFromISR(int32_t id); /* E_NOSPT */
int32_t oswrap_VinqSem(int32_t *id, const char *name);
/* Current count, for diagnostics: 0 and *count; E_PAR; E_NOEXS. */
int32_t oswrap_RefSem(int32_t id, int32_t *count);

/* ---- event flags ----
 * Cre/Acre/Del/Vinq as for semaphores. Set ORs bits, Clr ANDs the mask.
 * Pol: 0 and *out = flag word; E_TMOUT (and *out = 0) when not satisfied.
 * Wai/Twai: 0 and *out; E_TMOUT (*out = 0). A zero pattern or a mode other
 * than ANDW/ORW is E_PAR. Waiters on a deleted flag return E_NOEXS. */
int32_t oswrap_CreFlg(int32_t id, const T_OSWRAP_CFLG *pk);
int32_t oswrap_AcreFlg(int32_t *id, const T_OSWRAP_CFLG *pk);
int32_t oswrap_DelFlg(int32_t id);
int32_t oswrap_SetFlg(int32_t id, uint32_t bits);
int32_t oswrap_SetFlgFromISR(int32_t id, uint32_t bits); /* E_NOSPT */
int32_t oswrap_ClrFlg(int32_t id, uint32_t mask);
int32_t oswrap_PolFlg(uint32_t *out, int32_t id, uint32_t pattern, uint32_t mode);
int32_t oswrap_WaiFlg(uint32_t *out, int32_t id, uint32_t pattern, uint32_t mode);
int32_t oswrap_TwaiFlg(uint32_t *out, int32_t id, uint32_t pattern, uint32_t mode, int32_t tmoMs);
int32_t oswrap_VinqFlg(int32_t *id, const char *name);

/* ---- mailboxes ----
 * Cre/Acre/Del/Vinq as for semaphores. Snd/Rcv/Trcv with an id outside 1..100
 * give E_MBXID. Snd: 0; E_PAR (null msg); E_NOEXS. Rcv/Trcv: 0 and *msg
 * (oldest first); E_TMOUT. IsMsgBoxEmpty: 0 when empty, E_FAIL when a message
 * waits or the id is invalid. Deleting a mailbox drops its queued messages
 * (they remain the sender's memory) and wakes its receivers with E_NOEXS. */
int32_t oswrap_CreMbx(int32_t id, const T_OSWRAP_CMBX *pk);
int32_t oswrap_AcreMbx(int32_t *id, const T_OSWRAP_CMBX *pk);
int32_t oswrap_DelMbx(int32_t id);
int32_t oswrap_SndMsg(int32_t id, T_OSWRAP_MSG *msg);
int32_t oswrap_SndMsgFromISR(int32_t id, T_OSWRAP_MSG *msg); /* E_NOSPT */
int32_t oswrap_RcvMsg(T_OSWRAP_MSG **msg, int32_t id);
int32_t oswrap_TrcvMsg(T_OSWRAP_MSG **msg, int32_t id, int32_t tmoMs);
int32_t oswrap_IsMsgBoxEmpty(int32_t id);
int32_t oswrap_VinqMbx(int32_t *id, const char *name);

/* ---- tasks ----
 * Cre: 0; E_PAR (id outside 1..24, null record or entry); E_OBJ. Acre: ids
 * 50 down to 25; E_NOID. The task is dormant until oswrap_StaTsk.
 * Sta: 0; E_PAR; E_NOEXS; E_OBJ when the task's thread is still running;
 *   E_SYS when the thread cannot be created. The thread's stack is the
 *   recorded size, raised to at least OSWRAP_MIN_STACK.
 * Ter: 0 once the thread has ended; E_PAR; E_NOEXS; E_OBJ when the task is
 *   dormant or when a task asks to terminate itself (it must use ExtTsk).
 * Del: 0; E_PAR; E_NOEXS; E_OBJ when called by the task itself;
 *   E_TMOUT when a started thread does not end within 5000 ms (the task
 *   stays as it was, so the slot is never reused under a running thread).
 * Sus/Rsm: Linux: E_NOSPT (a thread cannot be suspended safely from outside).
 *   Windows: SuspendThread / ResumeThread, state 8 / 1: 0; E_PAR; E_NOEXS;
 *   E_OBJ when the task is not running (Sus) or not suspended (Rsm), or has
 *   been asked to terminate (Sus; TerTsk resumes a suspended task). A task
 *   may suspend itself. Suspending a thread that holds a lock of another
 *   library (the heap's, say) stalls every thread that needs it: suspend
 *   only tasks that are known to wait on this module's objects.
 * Ext: ends the calling task's thread; returns E_NOEXS only to a foreign caller.
 * Ref: 0 and *info; E_PAR; E_NOEXS. */
#define OSWRAP_MIN_STACK (256u * 1024u)
int32_t oswrap_CreTsk(int32_t id, const T_OSWRAP_CTSK *pk);
int32_t oswrap_AcreTsk(int32_t *id, const T_OSWRAP_CTSK *pk);
int32_t oswrap_StaTsk(int32_t id, void *arg);
int32_t oswrap_TerTsk(int32_t id);
int32_t oswrap_DelTsk(int32_t id);
int32_t oswrap_SusTsk(int32_t id);
int32_t oswrap_RsmTsk(int32_t id);
int32_t oswrap_ExtTsk(void);
int32_t oswrap_RefTsk(T_OSWRAP_RTSK *info, int32_t id);
int32_t oswrap_VinqTsk(int32_t *id, const char *name);

/* Task flag word: Vset ORs, Vclr ANDs (0; E_PAR; E_NOEXS).
 * VtwaiTfl: the calling task waits for any bit of pattern or for the
 * terminate bit; the word is cleared when the wait is satisfied.
 * 0 and *out = the word; E_TERM (out = the other bits) once the task has been
 * asked to terminate - also on every later call; E_TMOUT (out = 0);
 * E_NOEXS when the caller is not a task; E_PAR (null out, bad time-out). */
int32_t oswrap_VsetTfl(int32_t id, uint32_t bits);
int32_t oswrap_VsetTflFromISR(int32_t id, uint32_t bits); /* E_NOSPT */
int32_t oswrap_VclrTfl(int32_t id, uint32_t mask);
int32_t oswrap_VtwaiTfl(uint32_t *out, uint32_t pattern, int32_t tmoMs);

/* Id of the calling thread: the task id, or for a foreign thread an id
 * 0x8000..0xFFFF made of its slot and the slot's generation (see
 * OSWRAP_FOREIGN_ID_BASE; the slot is freed when that thread ends). 0; OSWRAP_I_FULL with
 * *id = 0 when the foreign table is full; E_PAR (null); E_NOEXS (module
 * not initialised). */
int32_t oswrap_GetTskId(int32_t *id);
/* 0 when the calling task has been asked to terminate, E_OBJ when not,
 * E_NOEXS for a foreign thread, E_ID0 when the caller has no id. */
int32_t oswrap_CheckReqTerminate(void);

/* CPU load since the previous call for the same task (or process): CPU
 * time (kernel and user) x 10000 / wall time, so hundredths of a percent of
 * one processor, capped at 10000 (a process busy on several processors shows
 * 10000). 0 when no time has passed (first call). E_PAR; E_NOEXS; E_SYS when
 * the clock cannot be read. */
int32_t oswrap_GetTskLoad(uint32_t *load, int32_t id);
int32_t oswrap_GetProcessLoad(uint32_t *load);

int32_t oswrap_WaiTsk(int32_t ms); /* sleep; E_PAR when negative */
int32_t oswrap_yield(void);
/* Waits until the thread of task 1 has ended, when task 1 has been started. */
int32_t oswrap_WaitForSysMainTaskFinished(void);

/* ---- clock ----
 * Monotonic milliseconds truncated to 32 bits. 0; E_PAR (null); E_SYS. */
int32_t oswrap_Get1msCount(uint32_t *ms);
int32_t oswrap_Get1usCount(uint32_t *high, uint32_t *low);
/* Replaces the millisecond clock (for deterministic tests); null restores
 * the monotonic clock. */
typedef uint32_t (*oswrap_ClockSource)(void);
void oswrap_VsetClkSrc(oswrap_ClockSource src);

uint32_t oswrap_CnvSysClk(uint32_t x);
uint32_t oswrap_CnvSysClkToMsec(uint32_t x);
int32_t oswrap_VsysClk(void);
int32_t oswrap_RotRdq(void);
int32_t oswrap_RefSys(void);

/* ---- millisecond timers (caller-owned; null → E_PAR) ---- */
int32_t oswrap_svcInitTimerMs(T_OSWRAP_TIMER_MS *t);
int32_t oswrap_svcStopTimerMs(T_OSWRAP_TIMER_MS *t);
/* E_OBJ when free-running (which it stays). */
int32_t oswrap_svcStartOneshotTimerMs(T_OSWRAP_TIMER_MS *t, uint32_t ms);
/* OSWRAP_I_EXPIRED once now - start >= duration (modular 32-bit
 * arithmetic, so the wrap of the millisecond count is harmless), else 0;
 * E_OBJ when not a one-shot timer. */
int32_t oswrap_svcCheckOneshotTimerMs(T_OSWRAP_TIMER_MS *t);
/* E_OBJ when a one-shot timer is running or expired. */
int32_t oswrap_svcStartFreerunTimerMs(T_OSWRAP_TIMER_MS *t);
/* *elapsed = now - start; OSWRAP_I_EXPIRED when >= limit, else 0; E_OBJ
 * when not free-running. */
int32_t oswrap_svcWatchFreerunTimerMs(T_OSWRAP_TIMER_MS *t, uint32_t *elapsed, uint32_t limit);
/* 0 when free-running or one-shot running, E_OBJ otherwise. */
int32_t oswrap_svcIsActiveTimerMs(const T_OSWRAP_TIMER_MS *t);

/* ---- interlocked operations: each returns the value held before; a null
 * word gives OSWRAP_E_PAR and is not touched ---- */
int32_t oswrap_InterlockedIncrement(volatile int32_t *p);
int32_t oswrap_InterlockedDecrement(volatile int32_t *p);
int32_t oswrap_InterlockedExchange(volatile int32_t *p, int32_t v);
int32_t oswrap_InterlockedCompareExchange(volatile int32_t *p, int32_t v, int32_t cmp);

#ifdef __cplusplus
}
#endif

#endif /* OSWRAP_API_H */
