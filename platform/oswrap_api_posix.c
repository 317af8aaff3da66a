/*
 * OS wrapper, POSIX port (oswrap_port.h): POSIX threads, one mutex and one
 * condition variable (on the monotonic clock) per object, and C11 atomics.
 * The public entry points and their checks are in oswrap_api.c.
 *
 * Every object carries a status word and a user counter. An operation enters
 * only while the status is "created" and counts itself as a user; deletion
 * moves the status to "deleting", wakes every waiter (they return
 * OSWRAP_E_NOEXS) and waits until the last user has left before the slot is
 * cleared, so no operation ever touches a slot that is being reused.
 */
#define _GNU_SOURCE
#include "oswrap_port.h"

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <stdatomic.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { ST_FREE = 0, ST_CREATING = 1, ST_CREATED = 2, ST_DELETING = 3, ST_DELETED = 4 };

typedef struct
{
    pthread_mutex_t mtx;
    pthread_cond_t cond;
    int32_t status;
    int32_t users;
    char name[OSWRAP_NAME_LEN + 1];
} ObjHdr;

typedef struct
{
    ObjHdr h;
    int32_t count;
    int32_t waiters;
} SemEntry;

typedef struct
{
    ObjHdr h;
    uint32_t pattern;
    uint32_t attr;
} FlgEntry;

typedef struct
{
    ObjHdr h;
    uint32_t attr;
    T_OSWRAP_MSG *head;
    T_OSWRAP_MSG *tail;
} MbxEntry;

typedef struct
{
    ObjHdr h; /* status of the task slot; protects the fields below */
    FlgEntry tfl; /* the task's own flag word, clears on wake */
    T_OSWRAP_CTSK rec; /* rec.name points at h.name */
    uint16_t curPriority;
    int32_t state;
    int terminateReq;
    int hasThread; /* a thread was created and not yet joined */
    int ended; /* that thread has finished */
    int32_t generation;
    pthread_t thread;
    void *arg;
    uint64_t lastCpuNs;
    uint64_t lastWallNs;
} TskEntry;

static SemEntry sSemaphore[OSWRAP_MAX_SEM + 1];
static FlgEntry sEventFlag[OSWRAP_MAX_FLG + 1];
static MbxEntry sMailBox[OSWRAP_MAX_MBX + 1];
static TskEntry sTaskInfo[OSWRAP_MAX_TSK + 1];
static atomic_int sUnmanagedTaskInfo[OSWRAP_MAX_FOREIGN]; /* 0 free, 1 taken */
/* Occupants of each foreign slot so far: part of the id, so that a thread
 * taking a dead thread's slot is not mistaken for it (by a subscription
 * table, say). Never reset, not even by oswrap_init. */
static atomic_uint sForeignGeneration[OSWRAP_MAX_FOREIGN];

static pthread_mutex_t sCriticalSection = PTHREAD_MUTEX_INITIALIZER;
static pthread_once_t sOnce = PTHREAD_ONCE_INIT;
static pthread_key_t sForeignKey;
static int sOnceFailed;
static atomic_int sInitialised;
/* Bumped by every oswrap_init so that thread-local ids of an earlier
 * session are never mistaken for current ones. */
static atomic_int sGeneration;

static _Thread_local int32_t tlId;
static _Thread_local int32_t tlGeneration;

static pthread_mutex_t sLoadLock = PTHREAD_MUTEX_INITIALIZER;
static uint64_t sLastProcCpuNs, sLastProcWallNs;

static _Atomic(oswrap_ClockSource) sClockSource;

/* ------------------------------------------------------------------ helpers */

static uint64_t monoNs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

static struct timespec deadlineAfter(int32_t ms)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += ms / 1000;
    ts.tv_nsec += (long)(ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

static void initHdr(ObjHdr *h)
{
    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    pthread_mutex_init(&h->mtx, NULL);
    pthread_cond_init(&h->cond, &ca);
    pthread_condattr_destroy(&ca);
    h->status = ST_FREE;
    h->users = 0;
    memset(h->name, 0, sizeof h->name);
}

static void foreignThreadEnded(void *value)
{
    intptr_t v = (intptr_t)value; /* (generation << 8) | (slot + 1) */
    int slot = (int)(v & 0xFF) - 1;
    if (slot >= 0 && slot < OSWRAP_MAX_FOREIGN && (int)(v >> 8) == atomic_load(&sGeneration))
        atomic_store(&sUnmanagedTaskInfo[slot], 0);
}

static void onceInit(void)
{
    for (int i = 0; i <= OSWRAP_MAX_SEM; ++i)
        initHdr(&sSemaphore[i].h);
    for (int i = 0; i <= OSWRAP_MAX_FLG; ++i)
        initHdr(&sEventFlag[i].h);
    for (int i = 0; i <= OSWRAP_MAX_MBX; ++i)
        initHdr(&sMailBox[i].h);
    for (int i = 0; i <= OSWRAP_MAX_TSK; ++i) {
        initHdr(&sTaskInfo[i].h);
        initHdr(&sTaskInfo[i].tfl.h);
    }
    if (pthread_key_create(&sForeignKey, foreignThreadEnded) != 0)
        sOnceFailed = 1;
}

/* Enters an object: locks it and counts the caller as a user. */
static int32_t enter(ObjHdr *h)
{
    pthread_mutex_lock(&h->mtx);
    if (h->status != ST_CREATED) {
        pthread_mutex_unlock(&h->mtx);
        return OSWRAP_E_NOEXS;
    }
    h->users++;
    return OSWRAP_E_OK;
}

static int32_t leave(ObjHdr *h, int32_t result)
{
    h->users--;
    if (h->status == ST_DELETING && h->users == 0)
        pthread_cond_broadcast(&h->cond);
    pthread_mutex_unlock(&h->mtx);
    return result;
}

/* Waits on the object's condition; 0, ETIMEDOUT. deadline null: no limit. */
static int waitOn(ObjHdr *h, const struct timespec *deadline)
{
    if (!deadline) {
        pthread_cond_wait(&h->cond, &h->mtx);
        return 0;
    }
    return pthread_cond_timedwait(&h->cond, &h->mtx, deadline);
}

/* Claims a free slot: 0 → 1 (creating). Called with the entry unlocked. */
static int32_t claim(ObjHdr *h)
{
    pthread_mutex_lock(&h->mtx);
    if (h->status != ST_FREE) {
        pthread_mutex_unlock(&h->mtx);
        return OSWRAP_E_OBJ;
    }
    h->status = ST_CREATING;
    return OSWRAP_E_OK; /* still locked */
}

static void publish(ObjHdr *h, const char *name)
{
    oswrapPort_copyName(h->name, name);
    h->status = ST_CREATED;
    pthread_mutex_unlock(&h->mtx);
}

/* Starts a deletion: 2 → 3, wakes the waiters and waits for the users to
 * leave. Returns with the entry locked in state 4 on success. */
static int32_t beginDelete(ObjHdr *h)
{
    pthread_mutex_lock(&h->mtx);
    if (h->status != ST_CREATED) {
        pthread_mutex_unlock(&h->mtx);
        return OSWRAP_E_NOEXS;
    }
    h->status = ST_DELETING;
    pthread_cond_broadcast(&h->cond);
    while (h->users > 0)
        pthread_cond_wait(&h->cond, &h->mtx);
    h->status = ST_DELETED;
    return OSWRAP_E_OK;
}

static void endDelete(ObjHdr *h)
{
    memset(h->name, 0, sizeof h->name);
    h->status = ST_FREE;
    pthread_mutex_unlock(&h->mtx);
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
    pthread_mutex_lock(&h->mtx);
    int hit = h->status == ST_CREATED && strcmp(h->name, name) == 0;
    pthread_mutex_unlock(&h->mtx);
    return hit;
}

/* --------------------------------------------------------------- module */

int oswrapPort_ready(void)
{
    return atomic_load(&sInitialised);
}

int32_t oswrapPort_init(void)
{
    pthread_once(&sOnce, onceInit);
    if (sOnceFailed)
        return OSWRAP_E_SYS;
    pthread_mutex_lock(&sCriticalSection);
    if (atomic_load(&sInitialised)) {
        pthread_mutex_unlock(&sCriticalSection);
        return OSWRAP_E_OBJ;
    }
    atomic_fetch_add(&sGeneration, 1);
    for (int i = 0; i < OSWRAP_MAX_FOREIGN; ++i)
        atomic_store(&sUnmanagedTaskInfo[i], 0);
    pthread_mutex_lock(&sLoadLock);
    sLastProcCpuNs = sLastProcWallNs = 0;
    pthread_mutex_unlock(&sLoadLock);
    atomic_store(&sInitialised, 1);
    pthread_mutex_unlock(&sCriticalSection);
    return OSWRAP_E_OK;
}

int32_t oswrapPort_exitBegin(void)
{
    pthread_mutex_lock(&sCriticalSection);
    int initialised = atomic_load(&sInitialised);
    pthread_mutex_unlock(&sCriticalSection);
    return initialised ? OSWRAP_E_OK : OSWRAP_E_OBJ;
}

void oswrapPort_exitEnd(void)
{
    pthread_mutex_lock(&sCriticalSection);
    atomic_store(&sInitialised, 0);
    pthread_mutex_unlock(&sCriticalSection);
}

/* ----------------------------------------------------------- semaphores */

int32_t oswrapPort_semCreate(int32_t id, const T_OSWRAP_CSEM *pk)
{
    SemEntry *e = &sSemaphore[id];
    int32_t r = claim(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    e->count = pk->initCount;
    e->waiters = 0;
    publish(&e->h, pk->name);
    return OSWRAP_E_OK;
}

int32_t oswrapPort_semDelete(int32_t id)
{
    SemEntry *e = &sSemaphore[id];
    int32_t r = beginDelete(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    e->count = 0;
    e->waiters = 0;
    endDelete(&e->h);
    return OSWRAP_E_OK;
}

int32_t oswrapPort_semWait(int32_t id, int32_t tmoMs)
{
    SemEntry *e = &sSemaphore[id];
    int32_t r = enter(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    struct timespec dl;
    if (tmoMs > 0)
        dl = deadlineAfter(tmoMs);
    e->waiters++;
    while (e->count == 0 && e->h.status == ST_CREATED) {
        if (tmoMs == OSWRAP_TMO_POL || waitOn(&e->h, tmoMs > 0 ? &dl : NULL) == ETIMEDOUT) {
            if (e->count > 0 || e->h.status != ST_CREATED)
                break;
            e->waiters--;
            return leave(&e->h, OSWRAP_E_TMOUT);
        }
    }
    e->waiters--;
    if (e->h.status != ST_CREATED)
        return leave(&e->h, OSWRAP_E_NOEXS);
    e->count--;
    return leave(&e->h, OSWRAP_E_OK);
}

int32_t oswrapPort_semSignal(int32_t id)
{
    SemEntry *e = &sSemaphore[id];
    int32_t r = enter(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    if (e->count == INT32_MAX)
        return leave(&e->h, OSWRAP_E_SYS);
    e->count++;
    if (e->waiters > 0)
        pthread_cond_broadcast(&e->h.cond);
    return leave(&e->h, OSWRAP_E_OK);
}

int32_t oswrapPort_semCount(int32_t id, int32_t *count)
{
    SemEntry *e = &sSemaphore[id];
    int32_t r = enter(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    *count = e->count;
    return leave(&e->h, OSWRAP_E_OK);
}

/* ---------------------------------------------------------- event flags */

/* Flag wait on an entered, locked entry. */
static int32_t flagWaitLocked(FlgEntry *e, uint32_t *out, uint32_t pattern, uint32_t mode, int32_t tmoMs)
{
    struct timespec dl;
    if (tmoMs > 0)
        dl = deadlineAfter(tmoMs);
    for (;;) {
        if (e->h.status != ST_CREATED)
            return OSWRAP_E_NOEXS;
        if (oswrapPort_satisfied(e->pattern, pattern, mode)) {
            *out = e->pattern;
            if (e->attr & OSWRAP_TA_CLR)
                e->pattern = 0;
            return OSWRAP_E_OK;
        }
        if (tmoMs == OSWRAP_TMO_POL || waitOn(&e->h, tmoMs > 0 ? &dl : NULL) == ETIMEDOUT) {
            if (e->h.status == ST_CREATED && oswrapPort_satisfied(e->pattern, pattern, mode))
                continue;
            *out = 0;
            return e->h.status == ST_CREATED ? OSWRAP_E_TMOUT : OSWRAP_E_NOEXS;
        }
    }
}

int32_t oswrapPort_flgCreate(int32_t id, const T_OSWRAP_CFLG *pk)
{
    FlgEntry *e = flagAt(id);
    int32_t r = claim(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    e->pattern = pk->initPattern;
    e->attr = pk->attr;
    publish(&e->h, pk->name);
    return OSWRAP_E_OK;
}

int32_t oswrapPort_flgDelete(int32_t id)
{
    FlgEntry *e = flagAt(id);
    int32_t r = beginDelete(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
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
    e->pattern = (e->pattern & andMask) | orBits;
    pthread_cond_broadcast(&e->h.cond);
    return leave(&e->h, OSWRAP_E_OK);
}

int32_t oswrapPort_flgWait(uint32_t *out, int32_t id, uint32_t pattern, uint32_t mode, int32_t tmoMs)
{
    FlgEntry *e = flagAt(id);
    int32_t r = enter(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    return leave(&e->h, flagWaitLocked(e, out, pattern, mode, tmoMs));
}

/* ------------------------------------------------------------ mailboxes */

int32_t oswrapPort_mbxCreate(int32_t id, const T_OSWRAP_CMBX *pk)
{
    MbxEntry *e = &sMailBox[id];
    int32_t r = claim(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
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
    e->head = e->tail = NULL;
    endDelete(&e->h);
    return OSWRAP_E_OK;
}

int32_t oswrapPort_mbxSend(int32_t id, T_OSWRAP_MSG *msg)
{
    MbxEntry *e = &sMailBox[id];
    int32_t r = enter(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    msg->link.next = NULL;
    if (e->tail)
        e->tail->link.next = msg;
    else
        e->head = msg;
    e->tail = msg;
    pthread_cond_broadcast(&e->h.cond);
    return leave(&e->h, OSWRAP_E_OK);
}

int32_t oswrapPort_mbxReceive(T_OSWRAP_MSG **msg, int32_t id, int32_t tmoMs)
{
    MbxEntry *e = &sMailBox[id];
    int32_t r = enter(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    struct timespec dl;
    if (tmoMs > 0)
        dl = deadlineAfter(tmoMs);
    while (!e->head && e->h.status == ST_CREATED) {
        if (tmoMs == OSWRAP_TMO_POL || waitOn(&e->h, tmoMs > 0 ? &dl : NULL) == ETIMEDOUT) {
            if (e->head || e->h.status != ST_CREATED)
                break;
            return leave(&e->h, OSWRAP_E_TMOUT);
        }
    }
    if (e->h.status != ST_CREATED)
        return leave(&e->h, OSWRAP_E_NOEXS);
    T_OSWRAP_MSG *m = e->head;
    e->head = m->link.next;
    if (!e->head)
        e->tail = NULL;
    m->link.next = NULL;
    *msg = m;
    return leave(&e->h, OSWRAP_E_OK);
}

int32_t oswrapPort_mbxWaiting(int32_t id)
{
    MbxEntry *e = &sMailBox[id];
    int32_t r = enter(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    return leave(&e->h, e->head ? 1 : 0);
}

/* ---------------------------------------------------------------- tasks */

/* The thread-local id: a task's id, or the id given to a foreign thread in
 * this session; 0 otherwise. */
int32_t oswrapPort_currentTaskId(void)
{
    if (tlGeneration != atomic_load(&sGeneration))
        return 0;
    return tlId;
}

int32_t oswrapPort_foreignId(int32_t *id)
{
    int gen = atomic_load(&sGeneration);
    for (int slot = 0; slot < OSWRAP_MAX_FOREIGN; ++slot) {
        int expected = 0;
        if (atomic_compare_exchange_strong(&sUnmanagedTaskInfo[slot], &expected, 1)) {
            const uint32_t occupant = atomic_fetch_add(&sForeignGeneration[slot], 1u);
            tlId = OSWRAP_FOREIGN_ID_BASE
                   | (int32_t)((occupant % OSWRAP_FOREIGN_GENERATIONS) << OSWRAP_FOREIGN_SLOT_BITS) | slot;
            tlGeneration = gen;
            pthread_setspecific(sForeignKey, (void *)(((intptr_t)gen << 8) | (slot + 1)));
            *id = tlId;
            return OSWRAP_E_OK;
        }
    }
    *id = 0;
    return OSWRAP_I_FULL;
}

int32_t oswrapPort_tskCreate(int32_t id, const T_OSWRAP_CTSK *pk)
{
    TskEntry *e = &sTaskInfo[id];
    int32_t r = claim(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    /* A running thread from before a failed deletion would still own the
     * slot; claim() only succeeds on a free slot, which has none. */
    e->rec = *pk;
    e->rec.name = NULL; /* reported from h.name */
    e->curPriority = pk->priority;
    e->state = OSWRAP_TTS_DMT;
    e->terminateReq = 0;
    e->hasThread = 0;
    e->ended = 0;
    e->lastCpuNs = e->lastWallNs = 0;
    T_OSWRAP_CFLG fl = { OSWRAP_TA_CLR, 0, pk->name };
    (void)oswrapPort_flgCreate(OSWRAP_PORT_TFL(id), &fl);
    publish(&e->h, pk->name);
    return OSWRAP_E_OK;
}

static void taskEnded(void *p)
{
    TskEntry *e = (TskEntry *)p;
    pthread_mutex_lock(&e->h.mtx);
    e->state = OSWRAP_TTS_DMT;
    e->ended = 1;
    pthread_cond_broadcast(&e->h.cond);
    pthread_mutex_unlock(&e->h.mtx);
}

static void *taskTrampoline(void *p)
{
    TskEntry *e = (TskEntry *)p;
    pthread_mutex_lock(&e->h.mtx);
    oswrap_TaskEntry entry = e->rec.entry;
    void *arg = e->arg;
    tlId = (int32_t)(e - sTaskInfo);
    tlGeneration = e->generation;
    pthread_mutex_unlock(&e->h.mtx);

    pthread_cleanup_push(taskEnded, e);
    entry(arg);
    pthread_cleanup_pop(1);
    return NULL;
}

int32_t oswrapPort_tskStart(int32_t id, void *arg)
{
    TskEntry *e = &sTaskInfo[id];
    int32_t r = enter(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    if (e->hasThread && !e->ended)
        return leave(&e->h, OSWRAP_E_OBJ);
    if (e->hasThread) {
        /* The previous thread has finished (oswrap_ExtTsk); reap it. */
        pthread_t old = e->thread;
        e->hasThread = 0;
        pthread_mutex_unlock(&e->h.mtx);
        pthread_join(old, NULL);
        pthread_mutex_lock(&e->h.mtx);
        if (e->hasThread) /* another starter won meanwhile */
            return leave(&e->h, OSWRAP_E_OBJ);
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    size_t stack = e->rec.stackSize < OSWRAP_MIN_STACK ? OSWRAP_MIN_STACK : e->rec.stackSize;
    long page = sysconf(_SC_PAGESIZE);
    if (page > 0)
        stack = (stack + (size_t)page - 1) / (size_t)page * (size_t)page;
    pthread_attr_setstacksize(&attr, stack);
    e->arg = arg;
    e->generation = atomic_load(&sGeneration);
    e->terminateReq = 0;
    e->ended = 0;
    e->state = OSWRAP_TTS_RUN;
    e->lastCpuNs = e->lastWallNs = 0;
    /* A terminate bit left from an earlier run must not end the new one. */
    pthread_mutex_lock(&e->tfl.h.mtx);
    e->tfl.pattern &= ~OSWRAP_TFL_TERMINATE;
    pthread_mutex_unlock(&e->tfl.h.mtx);
    int rc = pthread_create(&e->thread, &attr, taskTrampoline, e);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        e->state = OSWRAP_TTS_DMT;
        return leave(&e->h, OSWRAP_E_SYS);
    }
    e->hasThread = 1;
    return leave(&e->h, OSWRAP_E_OK);
}

/* Waits (entered, locked) until the task's thread has ended, then joins it.
 * deadline null: no limit. Returns 0 or E_TMOUT. */
static int32_t reapThread(TskEntry *e, const struct timespec *deadline)
{
    while (e->hasThread && !e->ended) {
        if (waitOn(&e->h, deadline) == ETIMEDOUT && !e->ended)
            return OSWRAP_E_TMOUT;
    }
    if (e->hasThread) {
        pthread_t t = e->thread;
        e->hasThread = 0;
        pthread_mutex_unlock(&e->h.mtx);
        pthread_join(t, NULL);
        pthread_mutex_lock(&e->h.mtx);
    }
    return OSWRAP_E_OK;
}

int32_t oswrapPort_tskTerminate(int32_t id)
{
    TskEntry *e = &sTaskInfo[id];
    int32_t r = enter(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    if (oswrapPort_currentTaskId() == id)
        return leave(&e->h, OSWRAP_E_OBJ);
    if (!e->hasThread)
        return leave(&e->h, OSWRAP_E_OBJ);
    if (!e->ended) {
        e->terminateReq = 1;
        (void)oswrapPort_flgModify(OSWRAP_PORT_TFL(id), OSWRAP_TFL_TERMINATE, 0xFFFFFFFFu);
    }
    return leave(&e->h, reapThread(e, NULL));
}

int32_t oswrapPort_tskDelete(int32_t id)
{
    TskEntry *e = &sTaskInfo[id];
    int32_t r = beginDelete(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    struct timespec dl = deadlineAfter(5000);
    if (reapThread(e, &dl) != OSWRAP_E_OK) {
        /* Never free a slot whose thread still runs. */
        e->h.status = ST_CREATED;
        pthread_mutex_unlock(&e->h.mtx);
        return OSWRAP_E_TMOUT;
    }
    (void)oswrapPort_flgDelete(OSWRAP_PORT_TFL(id));
    memset(&e->rec, 0, sizeof e->rec);
    e->state = OSWRAP_TTS_DMT;
    e->terminateReq = 0;
    e->ended = 0;
    endDelete(&e->h);
    return OSWRAP_E_OK;
}

/* A thread cannot be suspended safely from outside. */
int oswrapPort_canSuspend(void)
{
    return 0;
}

int32_t oswrapPort_tskSuspend(int32_t id)
{
    (void)id;
    return OSWRAP_E_NOSPT;
}

int32_t oswrapPort_tskResume(int32_t id)
{
    (void)id;
    return OSWRAP_E_NOSPT;
}

void oswrapPort_tskExit(int32_t id)
{
    (void)id;
    pthread_exit(NULL); /* taskEnded() marks the task dormant */
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
    memcpy(info->name, e->h.name, sizeof info->name);
    info->state = e->state;
    return leave(&e->h, OSWRAP_E_OK);
}

int32_t oswrapPort_tskTerminateRequested(int32_t id)
{
    TskEntry *e = &sTaskInfo[id];
    int32_t r = enter(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    return leave(&e->h, e->terminateReq ? OSWRAP_E_OK : OSWRAP_E_OBJ);
}

void oswrapPort_tskJoin(int32_t id)
{
    TskEntry *e = &sTaskInfo[id];
    if (enter(&e->h) != OSWRAP_E_OK)
        return;
    while (e->hasThread && !e->ended)
        waitOn(&e->h, NULL);
    (void)leave(&e->h, OSWRAP_E_OK);
}

int oswrapPort_tskAsked(int32_t id)
{
    TskEntry *e = &sTaskInfo[id];
    pthread_mutex_lock(&e->h.mtx);
    const int asked = e->terminateReq;
    pthread_mutex_unlock(&e->h.mtx);
    return asked;
}

int32_t oswrapPort_flgTake(uint32_t *out, int32_t id)
{
    FlgEntry *e = flagAt(id);
    int32_t r = enter(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    *out = e->pattern;
    e->pattern = 0;
    return leave(&e->h, OSWRAP_E_OK);
}

/* ----------------------------------------------------------------- load */

/* CPU time over wall time in hundredths of a percent of one processor, at
 * most 10000. The product is formed in 128 bits: nanosecond counts times
 * 10000 pass 64 bits after about 21 days of CPU time. */
static uint32_t loadOf(uint64_t cpuNs, uint64_t wallNs)
{
    if (wallNs == 0)
        return 0;
    unsigned __int128 v = (unsigned __int128)cpuNs * 10000u / wallNs;
    return v > 10000u ? 10000u : (uint32_t)v;
}

int32_t oswrapPort_tskLoad(uint32_t *load, int32_t id)
{
    TskEntry *e = &sTaskInfo[id];
    int32_t r = enter(&e->h);
    if (r != OSWRAP_E_OK)
        return r;
    if (!e->hasThread || e->ended)
        return leave(&e->h, OSWRAP_E_OBJ);
    clockid_t cid;
    struct timespec ts;
    if (pthread_getcpuclockid(e->thread, &cid) != 0 || clock_gettime(cid, &ts) != 0)
        return leave(&e->h, OSWRAP_E_SYS);
    uint64_t cpu = (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
    uint64_t wall = monoNs();
    *load = e->lastWallNs ? loadOf(cpu - e->lastCpuNs, wall - e->lastWallNs) : 0;
    e->lastCpuNs = cpu;
    e->lastWallNs = wall;
    return leave(&e->h, OSWRAP_E_OK);
}

int32_t oswrapPort_processLoad(uint32_t *load)
{
    struct timespec ts;
    if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts) != 0)
        return OSWRAP_E_SYS;
    uint64_t cpu = (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
    uint64_t wall = monoNs();
    pthread_mutex_lock(&sLoadLock);
    *load = sLastProcWallNs ? loadOf(cpu - sLastProcCpuNs, wall - sLastProcWallNs) : 0;
    sLastProcCpuNs = cpu;
    sLastProcWallNs = wall;
    pthread_mutex_unlock(&sLoadLock);
    return OSWRAP_E_OK;
}

/* ----------------------------------------------------- sleeping, clock */

void oswrapPort_sleepMs(int32_t ms)
{
    struct timespec ts = { ms / 1000, (long)(ms % 1000) * 1000000L };
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) { }
}

void oswrapPort_yield(void)
{
    sched_yield();
}

void oswrap_VsetClkSrc(oswrap_ClockSource src)
{
    atomic_store(&sClockSource, src);
}

/* The replaced clock when one is set, else the monotonic one. */
int32_t oswrapPort_monoMs(uint32_t *ms)
{
    oswrap_ClockSource src = atomic_load(&sClockSource);
    if (src) {
        *ms = src();
        return OSWRAP_E_OK;
    }
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0)
        return OSWRAP_E_SYS;
    *ms = (uint32_t)((uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u);
    return OSWRAP_E_OK;
}

int32_t oswrapPort_monoUs(uint32_t *high, uint32_t *low)
{
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0)
        return OSWRAP_E_NOSPT;
    uint64_t us = (uint64_t)ts.tv_sec * 1000000u + (uint64_t)ts.tv_nsec / 1000u;
    *high = (uint32_t)(us >> 32);
    *low = (uint32_t)us;
    return OSWRAP_E_OK;
}
