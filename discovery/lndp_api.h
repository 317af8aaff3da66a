/*
 * LNDP C interface: start-up and clean-up of the engine and its task,
 * service set-up (id family lndp2_ and array family lndp_ indexed 0..3),
 * subscription and host queries. Every call except lndp_startup and
 * lndp_cleanup holds the engine's main lock ("LNDPMAIN") for its duration,
 * so none of them may be called from inside a subscriber callback; when the
 * lock cannot be taken (a clean-up deleted it) they answer LNDP_E_NOTREADY.
 *
 * The OS wrapper must be initialised (oswrap_init) before lndp_startup.
 * lndp_startup brings up the socket wrapper module when it is not running
 * yet, and the matching last lndp_cleanup ends it again; a module started
 * by someone else is left alone. Codes: see lndp_types.h.
 */
#ifndef LNDP_API_H
#define LNDP_API_H

#include <stdint.h>

#include "lndp_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* 0: engine, locks and task "LNDPSVC" up (returns once the task is attached).
 * LNDP_E_ALREADY: already started; the start-up count is raised anyway and
 * each start needs its clean-up. LNDP_E_TASK: semaphores, socket module or
 * task could not be brought up, the engine was already initialised by
 * someone else, or an earlier clean-up is still pending (nothing is left
 * behind, count stays 0). The host table holds LNDP_HOSTS_DEFAULT (32) hosts. */
int32_t lndp_startup(void);
/* lndp_startup with a host table of hostCapacity entries, shared by every
 * binding; the send queues are sized to match. Hosts beyond it are not
 * listed. LNDP_E_PARAM, nothing changed and the count not raised, for
 * hostCapacity outside LNDP_HOSTS_MIN..LNDP_HOSTS_MAX (1..1024); otherwise
 * as lndp_startup, so a running engine keeps the capacity it was started
 * with (LNDP_E_ALREADY). Start-up is the only moment it can be chosen. */
int32_t lndp_startupEx(uint32_t hostCapacity);
/* 0: last user, everything stopped. LNDP_I_USERS_REMAIN (9): count lowered,
 * engine keeps running. LNDP_E_ALREADY: not started. LNDP_E_TASK: the engine
 * task did not end within 5 s (a subscriber callback that does not return);
 * nothing it may touch is released, start-up is refused, and a later
 * clean-up (count 0) finishes the job. Not from a subscriber callback. */
int32_t lndp_cleanup(void);

/* Configures one service; *id gets its id (0..3) or -1.
 * 0; LNDP_E_PARAM (null, exInfoLen > 1024, bad record); LNDP_E_NOTREADY
 * (not started); LNDP_E_MODE (set-up or clear in progress, engine task not
 * attached); LNDP_E_FULL; LNDP_E_ALREADY (duplicate service). A failure
 * while services are running leaves them running (state stays 5). */
int32_t lndp2_setup(int *id, const _T_LNDP_NETWORK_SETUP_PROPERTY *prop);
/* 0; LNDP_E_PARAM (no such service). */
int32_t lndp2_clear(int id);
/* status 0 or 1. 0; LNDP_E_PARAM (id < 0, status >= 2, no such service);
 * LNDP_E_MODE (array mode); LNDP_E_NOTREADY (not running). */
int32_t lndp2_changeStatus(int id, uint8_t status);
/* The status (>= 0); LNDP_E_PARAM (id < 0, no service or no datagram);
 * LNDP_E_MODE (array mode); LNDP_E_NOTREADY (not running). */
int32_t lndp2_getStatus(int id);
/* New announcement interval, from the next timer restart. 0; LNDP_E_PARAM
 * (id < 0, intervalMs outside 100..0x10000000, seconds * 1000 < intervalMs,
 * not an announcer); LNDP_E_MODE (array mode); LNDP_E_NOTREADY. */
int32_t lndp2_changeTime(int id, uint32_t intervalMs, uint32_t seconds);
/* Also sends the announcer id's datagram by unicast to ipv4 (host byte
 * order) on the service port, for networks that drop broadcasts: at once and
 * with every announcement after it, until the service is cleared; the
 * answers are taken as any others. One address per service: a second call
 * replaces it. 0; LNDP_E_PARAM (id < 0, ipv4 in 0.0.0.0/8 or at or above
 * 224.0.0.0 (multicast, reserved, broadcast), no such service, a responder);
 * LNDP_E_MODE (array mode); LNDP_E_NOTREADY (not running). */
int32_t lndp2_probe(int id, uint32_t ipv4);
/* The socket of service id's binding: 0 not opened yet (the engine task
 * opens it at its next pass), 1 open, LNDP_E_SOCKET when it could not be had
 * (its address and port held by another program, the address gone); such a
 * binding stays without a socket until the service is cleared.
 * LNDP_E_PARAM (no such service); LNDP_E_NOTREADY. */
int32_t lndp2_getSocketState(int id);

/* Array family: count records configured in order, all or none.
 * 0; LNDP_E_PARAM (null, count > 4, a bad record); LNDP_E_NOTREADY (state 0);
 * LNDP_E_MODE (task not attached); LNDP_E_ALREADY (not in the ready state);
 * the first failing record's code after rolling back. */
int32_t lndp_setup(const _T_LNDP_NETWORK_SETUP_PROPERTY *props, uint32_t count);
/* Clears every service of the array set-up; the engine task then closes the
 * sockets and forgets the hosts without reporting them.
 * 0; LNDP_E_NOTREADY (state 0); LNDP_E_MODE (ready, clearing, not array mode). */
int32_t lndp_clear(void);
/* index 0..3 (LNDP_E_PARAM otherwise); LNDP_E_MODE when not in array mode;
 * then as the lndp2_ variants. */
int32_t lndp_changeTime(uint32_t index, uint32_t intervalMs, uint32_t seconds);
int32_t lndp_changeStatus(uint32_t index, uint8_t status);
int32_t lndp_getStatus(uint32_t index);

/* Subscribes the calling thread's task; the callback gets every enabled host
 * at once (on this thread) and every later change (on the engine task).
 * 0; LNDP_E_TASK (no task id); LNDP_E_PARAM (null); LNDP_E_NOTREADY;
 * LNDP_E_ALREADY (this task subscribed); LNDP_E_FULL (5 subscribers). */
int32_t lndp_subscribe(LNDP_HOST_CALLBACK callback);
/* 0 and *count; LNDP_E_PARAM (null); LNDP_E_NOTREADY (*count 0). */
int32_t lndp_getNumOfHost(uint32_t *count);
/* 0 and *out = the index-th enabled host; LNDP_E_PARAM (null, index >
 * 0xFFFF or >= the enabled count); LNDP_E_NOTREADY. */
int32_t lndp_getHostInfo(uint32_t index, _LNDP_HOST_INFO *out);
/* 0; LNDP_E_PARAM (null). */
int32_t lndp_debugPrintHostList(LNDP_PRINT_FN print);
int32_t lndp_debugPrintStatus(LNDP_PRINT_FN print);

#ifdef __cplusplus
}
#endif

#endif /* LNDP_API_H */
