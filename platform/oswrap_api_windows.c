/*
 * OS wrapper, Windows port (oswrap_port.h): threads from _beginthreadex,
 * kernel semaphores and events waited on with WaitForMultipleObjects, one
 * module critical section, interlocked operations. The public entry points
 * and their checks are in oswrap_api.c.
 *
 * Every object carries a status word and a user counter. An operation enters
 * only while the status is "created" and counts itself as a user; deletion
 * moves the status to "deleting", signals the object's "gone" event (every
 * waiter waits on it beside the object, and returns OSWRAP_E_NOEXS) and
 * waits until the last user has left before the handles are closed, so no
 * operation ever touches a handle that is being closed or a slot being
 * reused.
 *
 * Timed waits keep their deadline across wake-ups: a flag set that does not
 * satisfy the waiter, or a message another receiver took first, never
 * stretches the wait.
 *
 * An event flag can have several waiters, each with its own pattern, and an
 * auto-reset event would wake only one of them. So a flag wakes its waiters
 * through a semaphore that every change releases once for each waiter that
 * has no wake-up pending yet: all of them re-test.
 */
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include "oswrap_port.h"

#include <process.h>
#include <string.h>
#include <windows.h>

enum { ST_FREE = 0, ST_CREATING = 1, ST_CREATED = 2, ST_DELETING = 3, ST_DELETED = 4 };

typedef struct
{
    volatile LONG status;
    volatile LONG users;
    HANDLE gone; /* manual-reset, set when deletion starts */
    char name[OSWRAP_NAME_LEN + 1];
} ObjHdr;

typedef struct
{
    ObjHdr h;
    HANDLE sem;
    volatile LONG count;
} SemEntry;

typedef struct
{
    ObjHdr h;
    volatile LONG pattern;
    uint32_t attr;
    HANDLE wake; /* semaphore: one release per waiting thread */
    LONG waiters; /* module lock */
    LONG pending; /* releases not yet taken by a waiter; module lock */
} FlgEntry;

typedef struct
{
    ObjHdr h;
    uint32_t attr;
    HANDLE event; /* manual-reset, signalled while messages wait */
    T_OSWRAP_MSG *head; /* module lock */
    T_OSWRAP_MSG *tail;
} MbxEntry;

typedef struct
{
    ObjHdr h;
    FlgEntry tfl; /* the task's own flag word, clears on wake */
    T_OSWRAP_CTSK rec; /* rec.name points nowhere; reported from h.name */
    uint16_t curPriority;
    volatile LONG state;
    volatile LONG terminateReq;
    HANDLE thread; /* the last started thread, until reaped */
    volatile DWORD threadId; /* while that thread runs its entry; else 0 */
    volatile LONG ended; /* that thread has left its entry (it may still be exiting) */
    void *arg;
    uint64_t lastCpu100ns;
    uint64_t lastWallUs;
} TskEntry;

static SemEntry sSemaphore[OSWRAP_MAX_SEM + 1];
static FlgEntry sEventFlag[OSWRAP_MAX_FLG + 1];
static MbxEntry sMailBox[OSWRAP_MAX_MBX + 1];
static TskEntry sTaskInfo[OSWRAP_MAX_TSK + 1];
static volatile LONG sUnmanagedTaskInfo[OSWRAP_MAX_FOREIGN]; /* 0 free, 1 taken */
/* Occupants of each foreign slot so far: part of the id, so that a thread
 * taking a dead thread's slot is not mistaken for it. Never reset. */
static volatile LONG sForeignGeneration[OSWRAP_MAX_FOREIGN];

/* Created once and kept: a call racing with oswrap_exit must never meet a
 * deleted critical section. */
static CRITICAL_SECTION sCriticalSection;
static INIT_ONCE sOnce = INIT_ONCE_STATIC_INIT;
static DWORD sForeignFls = FLS_OUT_OF_INDEXES;
static volatile LONG sInitialised;
/* Bumped by every oswrap_init so that a foreign id of an earlier session is
 * never taken for a current one. */
static volatile LONG sGeneration;

static LARGE_INTEGER sQpcFrequency; /* 0 when the counter is unavailable */
static uint64_t sLastProcCpu100ns, sLastProcWallUs; /* module lock */

static oswrap_ClockSource volatile sClockSource;

/* ------------------------------------------------------------------ helpers */

static uint64_t monoUs(void)
{
    LARGE_INTEGER now;
    if (sQpcFrequency.QuadPart > 0 && QueryPerformanceCounter(&now)) {
        const uint64_t f = (uint64_t)sQpcFrequency.QuadPart;
        const uint64_t c = (uint64_t)now.QuadPart;
        return c / f * 1000000u + c % f * 1000000u / f;
    }
    return (uint64_t)GetTickCount64() * 1000u;
}

/* Milliseconds left until deadline (monoUs), rounded up; tmo -1: INFINITE. */
static DWORD remainingMs(int32_t tmoMs, uint64_t deadlineUs)
{
    if (tmoMs == OSWRAP_TMO_FEVR)
        return INFINITE;
    const uint64_t now = monoUs();
    if (now >= deadlineUs)
        return 0;
    return (DWORD)((deadlineUs - now + 999u) / 1000u);
}

static void WINAPI foreignThreadEnded(void *value)
{
    const uintptr_t v = (uintptr_t)value; /* (session << 16) | id */
    const int slot = (int)(v & ((1u << OSWRAP_FOREIGN_SLOT_BITS) - 1u));
    if (v && slot < OSWRAP_MAX_FOREIGN && (LONG)(v >> 16) == sGeneration)
        InterlockedExchange(&sUnmanagedTaskInfo[slot], 0);
}

static BOOL CALLBACK onceInit(PINIT_ONCE once, void *param, void **context)
{
    (void)once;
    (void)param;
    (void)context;
    InitializeCriticalSection(&sCriticalSection);
    if (!QueryPerformanceFrequency(&sQpcFrequency))
        sQpcFrequency.QuadPart = 0;
    sForeignFls = FlsAlloc(foreignThreadEnded);
    return TRUE;
}

int oswrapPort_ready(void)
{
    return InterlockedCompareExchange(&sInitialised, 0, 0) != 0;
}

static void lockModule(void)
{
    EnterCriticalSection(&sCriticalSection);
}

static void unlockModule(void)
{
    LeaveCriticalSection(&sCriticalSection);
}

/* Enters an object: counts the caller as a user while it is created. */
static int32_t enter(ObjHdr *h)
{
    if (h->status != ST_CREATED)
        return OSWRAP_E_NOEXS;
    InterlockedIncrement(&h->users);
    if (InterlockedCompareExchange(&h->status, ST_CREATED, ST_CREATED) != ST_CREATED) {
        InterlockedDecrement(&h->users);
        return OSWRAP_E_NOEXS;
    }
    return OSWRAP_E_OK;
}

static int32_t leave(ObjHdr *h, int32_t result)
{
    InterlockedDecrement(&h->users);
    return result;
}

/* Claims a free slot (0 -> 1) and creates its "gone" event. */
static int32_t claim(ObjHdr *h)
{
    if (InterlockedCompareExchange(&h->status, ST_CREATING, ST_FREE) != ST_FREE)
        return OSWRAP_E_OBJ;
    h->gone = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!h->gone) {
        InterlockedExchange(&h->status, ST_FREE);
        return OSWRAP_E_SYS;
    }
    return OSWRAP_E_OK;
}

/* A claim whose object could not be made: back to free. */
static int32_t unclaim(ObjHdr *h)
{
    CloseHandle(h->gone);
    h->gone = NULL;
    InterlockedExchange(&h->status, ST_FREE);
    return OSWRAP_E_SYS;
}

static void publish(ObjHdr *h, const char *name)
{
    lockModule();
    oswrapPort_copyName(h->name, name);
    unlockModule();
    InterlockedExchange(&h->status, ST_CREATED);
}

/* Starts a deletion: 2 -> 3, wakes the waiters and waits in 1 ms steps
 * until the users have left; the entry is then in state 4. */
static int32_t beginDelete(ObjHdr *h)
{
    if (InterlockedCompareExchange(&h->status, ST_DELETING, ST_CREATED) != ST_CREATED)
        return OSWRAP_E_NOEXS;
    SetEvent(h->gone);
    while (InterlockedCompareExchange(&h->users, 0, 0) != 0)
        Sleep(1);
    InterlockedExchange(&h->status, ST_DELETED);
    return OSWRAP_E_OK;
}

static void endDelete(ObjHdr *h)
{
    lockModule();
    memset(h->name, 0, sizeof h->name);
    unlockModule();
    CloseHandle(h->gone);
    h->gone = NULL;
    InterlockedExchange(&h->status, ST_FREE);
}

static ObjHdr *hdrOf(oswrapPort_Kind kind, int32_t id)
{
    switch (kind) {
    case OSWRAP_PORT_SEM:
        return &sSemaphore[id].h;
    case OSWRAP_PORT_FLG:
        return &sEventFlag[id].h;
    case OSWRAP_PORT_MBX:
        return &sMailBox[id].h;
    case OSWRAP_PORT_TSK:
        return &sTaskInfo[id].h;
    }
    return NULL;
}

/* Flag ids above OSWRAP_MAX_FLG address the tasks' own flag words. */
static FlgEntry *flagAt(int32_t id)
{
    return id > OSWRAP_MAX_FLG ? &sTaskInfo[id - OSWRAP_MAX_FLG].tfl : &sEventFlag[id];
}

int oswrapPort_hasName(oswrapPort_Kind kind, int32_t id, const char *name)
{
    ObjHdr *h = hdrOf(kind, id);
    if (!h)
        return 0;
    lockModule();
    const int hit = h->status == ST_CREATED && strcmp(h->name, name) == 0;
    unlockModule();
    return hit;
}

/* Result of a wait on {object, gone}. */
static int32_t waitResult(DWORD w)
{
    switch (w) {
    case WAIT_OBJECT_0:
        return OSWRAP_E_OK;
    case WAIT_OBJECT_0 + 1:
        return OSWRAP_E_NOEXS;
    case WAIT_TIMEOUT:
        return OSWRAP_E_TMOUT;
    case WAIT_ABANDONED_0:
    case WAIT_ABANDONED_0 + 1:
        return OSWRAP_E_ABANDON;
    default:
        return OSWRAP_E_SYS;
    }
}

static int32_t waitTwo(HANDLE object, HANDLE gone, DWORD ms)
{
    HANDLE hs[2] = { object, gone };
    return waitResult(WaitForMultipleObjects(2, hs, FALSE, ms));
}

/* --------------------------------------------------------------- module */

int32_t oswrapPort_init(void)
{
    InitOnceExecuteOnce(&sOnce, onceInit, NULL, NULL);
    if (sForeignFls == FLS_OUT_OF_INDEXES)
        return OSWRAP_E_SYS;
    lockModule();
    if (oswrapPort_ready()) {
        unlockModule();
        return OSWRAP_E_OBJ;
    }
    InterlockedIncrement(&sGeneration);
    for (int i = 0; i < OSWRAP_MAX_FOREIGN; ++i)
        InterlockedExchange(&sUnmanagedTaskInfo[i], 0);
    sLastProcCpu100ns = sLastProcWallUs = 0;
    InterlockedExchange(&sInitialised, 1);
    unlockModule();
    return OSWRAP_E_OK;
}

int32_t oswrapPort_exitBegin(void)
{
    InitOnceExecuteOnce(&sOnce, onceInit, NULL, NULL);
    return oswrapPort_ready() ? OSWRAP_E_OK : OSWRAP_E_OBJ;
}

void oswrapPort_exitEnd(void)
{
    lockModule();
    InterlockedExchange(&sInitialised, 0);
    unlockModule();
}

/* ----------------------------------------------------------- semaphores */

int32_t oswrapPort_semCreate(int32_t id, const T_OSWRAP_CSEM *pk)
{
    SemEntry *e = &sSemaphore[id];
    int32_t r = claim(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    e->sem = CreateSemaphoreA(NULL, pk->initCount, 0x7FFFFFFF, NULL);
    if (!e->sem)
        return unclaim(&e->h);
    e->count = pk->initCount;
    publish(&e->h, pk->name);
    return OSWRAP_E_OK;
}

int32_t oswrapPort_semDelete(int32_t id)
{
    SemEntry *e = &sSemaphore[id];
    int32_t r = beginDelete(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    CloseHandle(e->sem);
    e->sem = NULL;
    e->count = 0;
    endDelete(&e->h);
    return OSWRAP_E_OK;
}

int32_t oswrapPort_semWait(int32_t id, int32_t tmoMs)
{
    SemEntry *e = &sSemaphore[id];
    int32_t r = enter(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    /* One kernel wait: a semaphore never wakes a waiter without a count. */
    r = waitTwo(e->sem, e->h.gone, tmoMs == OSWRAP_TMO_FEVR ? INFINITE : (DWORD)tmoMs);
    if (r == OSWRAP_E_OK)
        InterlockedDecrement(&e->count);
    return leave(&e->h, r);
}

int32_t oswrapPort_semSignal(int32_t id)
{
    SemEntry *e = &sSemaphore[id];
    int32_t r = enter(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    /* Counted before the release, so that a woken waiter's decrement never
     * shows a negative count. */
    InterlockedIncrement(&e->count);
    if (!ReleaseSemaphore(e->sem, 1, NULL)) {
        InterlockedDecrement(&e->count);
        return leave(&e->h, OSWRAP_E_SYS);
    }
    return leave(&e->h, OSWRAP_E_OK);
}

int32_t oswrapPort_semCount(int32_t id, int32_t *count)
{
    SemEntry *e = &sSemaphore[id];
    int32_t r = enter(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    *count = InterlockedCompareExchange(&e->count, 0, 0);
    return leave(&e->h, OSWRAP_E_OK);
}

/* ---------------------------------------------------------- event flags */

/* Takes the word when it satisfies the wait (clearing it on wake when the
 * flag says so): 1 and *out, else 0. Module lock held. */
static int takeIfSatisfied(FlgEntry *e, uint32_t *out, uint32_t pattern, uint32_t mode)
{
    for (;;) {
        const LONG w = InterlockedCompareExchange(&e->pattern, 0, 0);
        if (!oswrapPort_satisfied((uint32_t)w, pattern, mode))
            return 0;
        if (!(e->attr & OSWRAP_TA_CLR) || InterlockedCompareExchange(&e->pattern, 0, w) == w) {
            *out = (uint32_t)w;
            return 1;
        }
    }
}

/* Flag wait on an entered entry. */
static int32_t flagWait(FlgEntry *e, uint32_t *out, uint32_t pattern, uint32_t mode, int32_t tmoMs)
{
    const uint64_t deadline = tmoMs > 0 ? monoUs() + (uint64_t)tmoMs * 1000u : 0;
    int last = 0;
    for (;;) {
        lockModule();
        if (takeIfSatisfied(e, out, pattern, mode)) {
            unlockModule();
            return OSWRAP_E_OK;
        }
        if (tmoMs == OSWRAP_TMO_POL || last) {
            unlockModule();
            *out = 0;
            return OSWRAP_E_TMOUT;
        }
        e->waiters++;
        unlockModule();
        int32_t r = waitTwo(e->wake, e->h.gone, remainingMs(tmoMs, deadline));
        lockModule();
        e->waiters--;
        if (r == OSWRAP_E_OK) {
            e->pending--;
        } else if (e->pending > e->waiters) {
            /* A release meant for this waiter: take it back. */
            if (WaitForSingleObject(e->wake, 0) == WAIT_OBJECT_0)
                e->pending--;
        }
        unlockModule();
        if (r == OSWRAP_E_TMOUT)
            last = 1; /* one more test: a set may have raced the time-out */
        else if (r != OSWRAP_E_OK) {
            *out = 0;
            return r;
        }
    }
}

/* Wakes every waiter of the flag to re-test. */
static void flagWake(FlgEntry *e)
{
    lockModule();
    const LONG missing = e->waiters - e->pending;
    if (missing > 0 && ReleaseSemaphore(e->wake, missing, NULL))
        e->pending += missing;
    unlockModule();
}

int32_t oswrapPort_flgCreate(int32_t id, const T_OSWRAP_CFLG *pk)
{
    FlgEntry *e = flagAt(id);
    int32_t r = claim(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    e->wake = CreateSemaphoreA(NULL, 0, 0x7FFFFFFF, NULL);
    if (!e->wake)
        return unclaim(&e->h);
    e->pattern = (LONG)pk->initPattern;
    e->attr = pk->attr;
    e->waiters = 0;
    e->pending = 0;
    publish(&e->h, pk->name);
    return OSWRAP_E_OK;
}

int32_t oswrapPort_flgDelete(int32_t id)
{
    FlgEntry *e = flagAt(id);
    int32_t r = beginDelete(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    CloseHandle(e->wake);
    e->wake = NULL;
    e->pattern = 0;
    e->attr = 0;
    endDelete(&e->h);
    return OSWRAP_E_OK;
}

int32_t oswrapPort_flgModify(int32_t id, uint32_t orBits, uint32_t andMask)
{
    FlgEntry *e = flagAt(id);
    int32_t r = enter(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    if (andMask != 0xFFFFFFFFu)
        InterlockedAnd(&e->pattern, (LONG)andMask);
    if (orBits)
        InterlockedOr(&e->pattern, (LONG)orBits);
    flagWake(e);
    return leave(&e->h, OSWRAP_E_OK);
}

int32_t oswrapPort_flgWait(uint32_t *out, int32_t id, uint32_t pattern, uint32_t mode, int32_t tmoMs)
{
    FlgEntry *e = flagAt(id);
    int32_t r = enter(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    return leave(&e->h, flagWait(e, out, pattern, mode, tmoMs));
}

/* ------------------------------------------------------------ mailboxes */

int32_t oswrapPort_mbxCreate(int32_t id, const T_OSWRAP_CMBX *pk)
{
    MbxEntry *e = &sMailBox[id];
    int32_t r = claim(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    e->event = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!e->event)
        return unclaim(&e->h);
    e->attr = pk->attr;
    e->head = e->tail = NULL;
    publish(&e->h, pk->name);
    return OSWRAP_E_OK;
}

int32_t oswrapPort_mbxDelete(int32_t id)
{
    MbxEntry *e = &sMailBox[id];
    int32_t r = beginDelete(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    CloseHandle(e->event);
    e->event = NULL;
    lockModule();
    e->head = e->tail = NULL;
    unlockModule();
    endDelete(&e->h);
    return OSWRAP_E_OK;
}

int32_t oswrapPort_mbxSend(int32_t id, T_OSWRAP_MSG *msg)
{
    MbxEntry *e = &sMailBox[id];
    int32_t r = enter(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    lockModule();
    msg->link.next = NULL;
    if (e->tail)
        e->tail->link.next = msg;
    else
        e->head = msg;
    e->tail = msg;
    SetEvent(e->event);
    unlockModule();
    return leave(&e->h, OSWRAP_E_OK);
}

int32_t oswrapPort_mbxReceive(T_OSWRAP_MSG **msg, int32_t id, int32_t tmoMs)
{
    MbxEntry *e = &sMailBox[id];
    int32_t r = enter(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    const uint64_t deadline = tmoMs > 0 ? monoUs() + (uint64_t)tmoMs * 1000u : 0;
    int last = tmoMs == OSWRAP_TMO_POL;
    for (;;) {
        /* The event is signalled exactly while the list holds messages:
         * both change only under the module lock. */
        lockModule();
        T_OSWRAP_MSG *m = e->head;
        if (m) {
            e->head = m->link.next;
            if (!e->head) {
                e->tail = NULL;
                ResetEvent(e->event);
            }
            m->link.next = NULL;
        }
        unlockModule();
        if (m) {
            *msg = m;
            return leave(&e->h, OSWRAP_E_OK);
        }
        if (last)
            return leave(&e->h, OSWRAP_E_TMOUT);
        r = waitTwo(e->event, e->h.gone, remainingMs(tmoMs, deadline));
        if (r == OSWRAP_E_TMOUT)
            last = 1;
        else if (r != OSWRAP_E_OK)
            return leave(&e->h, r);
    }
}

int32_t oswrapPort_mbxWaiting(int32_t id)
{
    MbxEntry *e = &sMailBox[id];
    int32_t r = enter(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    lockModule();
    const int waiting = e->head != NULL;
    unlockModule();
    return leave(&e->h, waiting ? 1 : 0);
}

/* ---------------------------------------------------------------- tasks */

/* The calling thread's task id, found by its Windows thread id; 0 for a
 * thread that is not running a task's entry. */
int32_t oswrapPort_currentTaskId(void)
{
    const DWORD self = GetCurrentThreadId();
    for (int i = 1; i <= OSWRAP_MAX_TSK; ++i)
        if (sTaskInfo[i].threadId == self)
            return i;
    return 0;
}

/* Module lock held. */
static int threadEnded(const TskEntry *e)
{
    return !e->thread || e->ended;
}

int32_t oswrapPort_tskCreate(int32_t id, const T_OSWRAP_CTSK *pk)
{
    TskEntry *e = &sTaskInfo[id];
    int32_t r = claim(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    T_OSWRAP_CFLG fl = { OSWRAP_TA_CLR, 0, pk->name };
    if (oswrapPort_flgCreate(OSWRAP_PORT_TFL(id), &fl) != OSWRAP_E_OK)
        return unclaim(&e->h);
    e->rec = *pk;
    e->rec.name = NULL;
    e->curPriority = pk->priority;
    e->state = OSWRAP_TTS_DMT;
    e->terminateReq = 0;
    e->thread = NULL;
    e->threadId = 0;
    e->ended = 0;
    e->lastCpu100ns = e->lastWallUs = 0;
    publish(&e->h, pk->name);
    return OSWRAP_E_OK;
}

/* The task's thread leaves its entry: dormant, and no longer found by id. */
static void taskEnded(TskEntry *e)
{
    lockModule();
    InterlockedExchange(&e->state, OSWRAP_TTS_DMT);
    e->threadId = 0;
    e->ended = 1;
    unlockModule();
}

/* Closes the handle of a thread that has left its entry, once it has
 * exited (which it does at once). Entered, module lock not held. */
static void reapThread(TskEntry *e)
{
    lockModule();
    HANDLE t = e->ended ? e->thread : NULL;
    if (t)
        e->thread = NULL;
    unlockModule();
    if (t) {
        WaitForSingleObject(t, INFINITE);
        CloseHandle(t);
    }
}

static unsigned __stdcall taskTrampoline(void *p)
{
    TskEntry *e = (TskEntry *)p;
    e->rec.entry(e->arg);
    taskEnded(e);
    return 0;
}

int32_t oswrapPort_tskStart(int32_t id, void *arg)
{
    TskEntry *e = &sTaskInfo[id];
    int32_t r = enter(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    lockModule();
    if (!threadEnded(e)) {
        unlockModule();
        return leave(&e->h, OSWRAP_E_OBJ);
    }
    unlockModule();
    /* The previous thread has left its entry (oswrap_ExtTsk or a return). */
    reapThread(e);
    lockModule();
    if (e->thread) { /* another start won meanwhile */
        unlockModule();
        return leave(&e->h, OSWRAP_E_OBJ);
    }
    uint32_t stack = e->rec.stackSize < OSWRAP_MIN_STACK ? OSWRAP_MIN_STACK : e->rec.stackSize;
    e->arg = arg;
    e->terminateReq = 0;
    e->lastCpu100ns = e->lastWallUs = 0;
    /* A terminate bit left from an earlier run must not end the new one. */
    InterlockedAnd(&e->tfl.pattern, (LONG)~OSWRAP_TFL_TERMINATE);
    unsigned tid = 0;
    /* Suspended until its id is recorded, so that the task finds itself
     * from its first instruction on. */
    uintptr_t h = _beginthreadex(NULL, stack, taskTrampoline, e, CREATE_SUSPENDED, &tid);
    if (h) {
        e->thread = (HANDLE)h;
        e->threadId = tid;
        e->ended = 0;
        InterlockedExchange(&e->state, OSWRAP_TTS_RUN);
        ResumeThread(e->thread);
    }
    unlockModule();
    return leave(&e->h, h ? OSWRAP_E_OK : OSWRAP_E_SYS);
}

/* A handle of the task's current thread that stays valid whatever a start
 * does meanwhile; null when the task has none. Close it after use. */
static HANDLE threadHandle(TskEntry *e)
{
    HANDLE t = NULL;
    lockModule();
    if (e->thread
        && !DuplicateHandle(GetCurrentProcess(), e->thread, GetCurrentProcess(), &t, 0, FALSE, DUPLICATE_SAME_ACCESS))
        t = NULL;
    unlockModule();
    return t;
}

int32_t oswrapPort_tskTerminate(int32_t id)
{
    TskEntry *e = &sTaskInfo[id];
    int32_t r = enter(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    if (oswrapPort_currentTaskId() == id)
        return leave(&e->h, OSWRAP_E_OBJ);
    HANDLE t = threadHandle(e);
    if (!t)
        return leave(&e->h, OSWRAP_E_OBJ);
    if (!e->ended) {
        InterlockedExchange(&e->terminateReq, 1);
        (void)oswrapPort_flgModify(OSWRAP_PORT_TFL(id), OSWRAP_TFL_TERMINATE, 0xFFFFFFFFu);
        /* A suspended task could never notice the request. */
        if (InterlockedCompareExchange(&e->state, OSWRAP_TTS_RUN, OSWRAP_TTS_SUS) == OSWRAP_TTS_SUS) {
            DWORD previous;
            do
                previous = ResumeThread(t);
            while (previous != (DWORD)-1 && previous > 1);
        }
    }
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
    reapThread(e);
    return leave(&e->h, OSWRAP_E_OK);
}

int32_t oswrapPort_tskDelete(int32_t id)
{
    TskEntry *e = &sTaskInfo[id];
    int32_t r = beginDelete(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    if (e->thread && WaitForSingleObject(e->thread, 5000) != WAIT_OBJECT_0) {
        /* Never free a slot whose thread still runs. */
        ResetEvent(e->h.gone);
        InterlockedExchange(&e->h.status, ST_CREATED);
        return OSWRAP_E_TMOUT;
    }
    if (e->thread)
        CloseHandle(e->thread);
    e->thread = NULL;
    e->threadId = 0;
    e->ended = 0;
    (void)oswrapPort_flgDelete(OSWRAP_PORT_TFL(id));
    memset(&e->rec, 0, sizeof e->rec);
    e->state = OSWRAP_TTS_DMT;
    e->terminateReq = 0;
    endDelete(&e->h);
    return OSWRAP_E_OK;
}

int oswrapPort_canSuspend(void)
{
    return 1;
}

/* Suspends a running task's thread; the caller may be the task itself. */
int32_t oswrapPort_tskSuspend(int32_t id)
{
    TskEntry *e = &sTaskInfo[id];
    int32_t r = enter(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    if (e->terminateReq)
        return leave(&e->h, OSWRAP_E_OBJ);
    HANDLE t = threadHandle(e);
    if (!t || e->ended || InterlockedCompareExchange(&e->state, OSWRAP_TTS_SUS, OSWRAP_TTS_RUN) != OSWRAP_TTS_RUN) {
        if (t)
            CloseHandle(t);
        return leave(&e->h, OSWRAP_E_OBJ);
    }
    /* A task suspending itself must not stay counted as a user while it
     * sleeps: its deletion would wait for it for ever. */
    const int self = oswrapPort_currentTaskId() == id;
    if (self)
        leave(&e->h, OSWRAP_E_OK);
    const DWORD previous = SuspendThread(t);
    if (previous == (DWORD)-1)
        InterlockedCompareExchange(&e->state, OSWRAP_TTS_RUN, OSWRAP_TTS_SUS);
    CloseHandle(t);
    r = previous == (DWORD)-1 ? OSWRAP_E_SYS : OSWRAP_E_OK;
    return self ? r : leave(&e->h, r);
}

int32_t oswrapPort_tskResume(int32_t id)
{
    TskEntry *e = &sTaskInfo[id];
    int32_t r = enter(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    HANDLE t = threadHandle(e);
    if (!t || InterlockedCompareExchange(&e->state, OSWRAP_TTS_RUN, OSWRAP_TTS_SUS) != OSWRAP_TTS_SUS) {
        if (t)
            CloseHandle(t);
        return leave(&e->h, OSWRAP_E_OBJ);
    }
    /* A suspension still on its way (SusTsk between its state change and
     * SuspendThread) is waited for, so that the resume never comes first. */
    DWORD previous = 0;
    for (int spins = 0; spins < 100000 && previous == 0; ++spins) {
        previous = ResumeThread(t);
        if (previous == 0)
            SwitchToThread();
    }
    CloseHandle(t);
    return leave(&e->h, previous == (DWORD)-1 ? OSWRAP_E_SYS : OSWRAP_E_OK);
}

int32_t oswrapPort_tskRef(T_OSWRAP_RTSK *info, int32_t id)
{
    TskEntry *e = &sTaskInfo[id];
    int32_t r = enter(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    info->attr = e->rec.attr;
    info->entry = e->rec.entry;
    info->basePriority = e->rec.priority;
    info->currentPriority = e->curPriority;
    info->stackSize = e->rec.stackSize;
    lockModule();
    memcpy(info->name, e->h.name, sizeof info->name);
    unlockModule();
    info->state = e->state;
    return leave(&e->h, OSWRAP_E_OK);
}

void oswrapPort_tskExit(int32_t id)
{
    taskEnded(&sTaskInfo[id]);
    _endthreadex(0);
}

int32_t oswrapPort_tskTerminateRequested(int32_t id)
{
    TskEntry *e = &sTaskInfo[id];
    int32_t r = enter(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    return leave(&e->h, e->terminateReq ? OSWRAP_E_OK : OSWRAP_E_OBJ);
}

/* The id a foreign thread got in this session is kept in fibre-local
 * storage; a new one takes a free slot. */
int32_t oswrapPort_foreignId(int32_t *id)
{
    const LONG gen = sGeneration;
    const uintptr_t mine = (uintptr_t)FlsGetValue(sForeignFls);
    if (mine && (LONG)(mine >> 16) == gen) {
        *id = (int32_t)(mine & 0xFFFFu);
        return OSWRAP_E_OK;
    }
    for (int slot = 0; slot < OSWRAP_MAX_FOREIGN; ++slot) {
        if (InterlockedCompareExchange(&sUnmanagedTaskInfo[slot], 1, 0) == 0) {
            const uint32_t occupant = (uint32_t)InterlockedIncrement(&sForeignGeneration[slot]) - 1u;
            const int32_t fid = OSWRAP_FOREIGN_ID_BASE
                                | (int32_t)((occupant % OSWRAP_FOREIGN_GENERATIONS) << OSWRAP_FOREIGN_SLOT_BITS) | slot;
            FlsSetValue(sForeignFls, (void *)(((uintptr_t)gen << 16) | (uintptr_t)fid));
            *id = fid;
            return OSWRAP_E_OK;
        }
    }
    *id = 0;
    return OSWRAP_I_FULL;
}

int oswrapPort_tskAsked(int32_t id)
{
    return InterlockedCompareExchange(&sTaskInfo[id].terminateReq, 0, 0) != 0;
}

int32_t oswrapPort_flgTake(uint32_t *out, int32_t id)
{
    FlgEntry *e = flagAt(id);
    int32_t r = enter(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    *out = (uint32_t)InterlockedExchange(&e->pattern, 0);
    return leave(&e->h, OSWRAP_E_OK);
}

/* ----------------------------------------------------------------- load */

static uint64_t fileTime100ns(const FILETIME *ft)
{
    return ((uint64_t)ft->dwHighDateTime << 32) | ft->dwLowDateTime;
}

/* CPU time (100 ns units) over wall time (us) in hundredths of a percent of
 * one processor, at most 10000. */
static uint32_t loadOf(uint64_t cpu100ns, uint64_t wallUs)
{
    if (wallUs == 0)
        return 0;
    /* cpu100ns / 10 us x 10000 / wallUs, without overflow for any
     * realistic interval: 2^64 / 1000 100 ns units are 58 years. */
    const uint64_t v = cpu100ns * 1000u / wallUs;
    return v > 10000u ? 10000u : (uint32_t)v;
}

int32_t oswrapPort_tskLoad(uint32_t *load, int32_t id)
{
    TskEntry *e = &sTaskInfo[id];
    int32_t r = enter(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    HANDLE t = threadHandle(e);
    if (!t || e->ended) {
        if (t)
            CloseHandle(t);
        return leave(&e->h, OSWRAP_E_OBJ);
    }
    FILETIME created, exited, kernel, user;
    const BOOL timed = GetThreadTimes(t, &created, &exited, &kernel, &user);
    CloseHandle(t);
    if (!timed)
        return leave(&e->h, OSWRAP_E_SYS);
    const uint64_t cpu = fileTime100ns(&kernel) + fileTime100ns(&user);
    const uint64_t wall = monoUs();
    lockModule();
    *load = e->lastWallUs ? loadOf(cpu - e->lastCpu100ns, wall - e->lastWallUs) : 0;
    e->lastCpu100ns = cpu;
    e->lastWallUs = wall;
    unlockModule();
    return leave(&e->h, OSWRAP_E_OK);
}

int32_t oswrapPort_processLoad(uint32_t *load)
{
    InitOnceExecuteOnce(&sOnce, onceInit, NULL, NULL);
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return OSWRAP_E_SYS;
    const uint64_t cpu = fileTime100ns(&kernel) + fileTime100ns(&user);
    const uint64_t wall = monoUs();
    lockModule();
    *load = sLastProcWallUs ? loadOf(cpu - sLastProcCpu100ns, wall - sLastProcWallUs) : 0;
    sLastProcCpu100ns = cpu;
    sLastProcWallUs = wall;
    unlockModule();
    return OSWRAP_E_OK;
}

/* ----------------------------------------------------- sleeping, clock */

void oswrapPort_sleepMs(int32_t ms)
{
    Sleep((DWORD)ms);
}

void oswrapPort_yield(void)
{
    SwitchToThread();
}

void oswrapPort_tskJoin(int32_t id)
{
    TskEntry *e = &sTaskInfo[id];
    if (enter(&e->h) != OSWRAP_E_OK)
        return;
    HANDLE t = threadHandle(e);
    if (t) {
        WaitForSingleObject(t, INFINITE);
        CloseHandle(t);
    }
    (void)leave(&e->h, OSWRAP_E_OK);
}

void oswrap_VsetClkSrc(oswrap_ClockSource src)
{
    InterlockedExchangePointer((void *volatile *)&sClockSource, (void *)src);
}

/* The replaced clock when one is set, else the performance counter. */
int32_t oswrapPort_monoMs(uint32_t *ms)
{
    oswrap_ClockSource src
        = (oswrap_ClockSource)InterlockedCompareExchangePointer((void *volatile *)&sClockSource, NULL, NULL);
    if (src) {
        *ms = src();
        return OSWRAP_E_OK;
    }
    InitOnceExecuteOnce(&sOnce, onceInit, NULL, NULL);
    if (sQpcFrequency.QuadPart > 0) {
        LARGE_INTEGER now;
        if (!QueryPerformanceCounter(&now))
            return OSWRAP_E_SYS;
        const uint64_t f = (uint64_t)sQpcFrequency.QuadPart;
        const uint64_t c = (uint64_t)now.QuadPart;
        *ms = (uint32_t)(c / f * 1000u + c % f * 1000u / f);
        return OSWRAP_E_OK;
    }
    *ms = GetTickCount();
    return OSWRAP_E_OK;
}

int32_t oswrapPort_monoUs(uint32_t *high, uint32_t *low)
{
    InitOnceExecuteOnce(&sOnce, onceInit, NULL, NULL);
    if (sQpcFrequency.QuadPart <= 0)
        return OSWRAP_E_NOSPT;
    const uint64_t us = monoUs();
    *high = (uint32_t)(us >> 32);
    *low = (uint32_t)us;
    return OSWRAP_E_OK;
}
