/*
 * Socket wrapper figures, on loopback only:
 *  1. CPU used by the socket task (and the whole process) over an idle
 *     period with one open UDP socket;
 *  2. round-trip time of a datagram between two managed sockets: a sends to
 *     b, b's receive event answers from the socket task's side via the
 *     benchmark thread, and a's receive event ends the trip.
 * Usage: bench_vsock [idle seconds (10)] [round trips (2000)]
 */
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "oswrap_api.h"
#include "vsock_wrappedSocketIf.h"

static pthread_mutex_t gMtx = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t gCond = PTHREAD_COND_INITIALIZER;
static int gRecvA, gRecvB;
static int32_t gIdA = -1, gIdB = -1;

static void onEvent(int32_t id, netc_sock_cb_prm* p)
{
    if (p->event != NETC_SOCK_EV_RECV)
        return;
    pthread_mutex_lock(&gMtx);
    if (id == gIdA)
        gRecvA++;
    else if (id == gIdB)
        gRecvB++;
    pthread_cond_broadcast(&gCond);
    pthread_mutex_unlock(&gMtx);
}

static double nowS(clockid_t c)
{
    struct timespec ts;
    clock_gettime(c, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static int waitCount(int* counter, int target)
{
    struct timespec dl;
    clock_gettime(CLOCK_REALTIME, &dl);
    dl.tv_sec += 5;
    pthread_mutex_lock(&gMtx);
    int rc = 0;
    while (*counter < target && rc == 0)
        rc = pthread_cond_timedwait(&gCond, &gMtx, &dl);
    int ok = *counter >= target;
    pthread_mutex_unlock(&gMtx);
    return ok;
}

static int32_t openUdp(void)
{
    T_VSOCK_CREATE_SOCK c;
    memset(&c, 0, sizeof c);
    c.type = VSOCK_TYPE_UDP;
    c.localAddr.family = NETC_AF_INET;
    c.localAddr.addr[0] = 127;
    c.localAddr.addr[3] = 1;
    T_VSOCK_SOCK_OPTION o = {VSOCK_OPT_CALLBACK, 0, onEvent};
    return vsock_wrappedSocketCreateSock(&c, &o);
}

static int cmpDouble(const void* a, const void* b)
{
    double x = *(const double*)a, y = *(const double*)b;
    return x < y ? -1 : x > y;
}

int main(int argc, char** argv)
{
    int idleSeconds = argc > 1 ? atoi(argv[1]) : 10;
    int trips = argc > 2 ? atoi(argv[2]) : 2000;
    if (oswrap_init() != 0 || vsock_wrappedSocketInitModule() != 0) {
        fprintf(stderr, "start-up failed\n");
        return 1;
    }
    int32_t task = 0;
    oswrap_VinqTsk(&task, "VSOCK");

    /* 1. Idle. */
    gIdA = openUdp();
    uint32_t load = 0;
    oswrap_GetTskLoad(&load, task);
    double cpu0 = nowS(CLOCK_PROCESS_CPUTIME_ID), wall0 = nowS(CLOCK_MONOTONIC);
    struct timespec idle = {idleSeconds, 0};
    nanosleep(&idle, NULL);
    double cpu1 = nowS(CLOCK_PROCESS_CPUTIME_ID), wall1 = nowS(CLOCK_MONOTONIC);
    oswrap_GetTskLoad(&load, task);
    printf("idle: %d s with one open UDP socket\n", idleSeconds);
    printf("  socket task CPU: %.2f %% of one core (oswrap_GetTskLoad %u/10000)\n", load / 100.0, load);
    printf("  process CPU:     %.4f %% of one core (%.3f ms CPU in %.2f s)\n", (cpu1 - cpu0) * 100.0 / (wall1 - wall0),
           (cpu1 - cpu0) * 1000.0, wall1 - wall0);

    /* 2. Round trips a -> b -> a. */
    gIdB = openUdp();
    netc_endpoint ea, eb;
    vsock_wrappedSocketGetLocalEndpoint(gIdA, &ea);
    vsock_wrappedSocketGetLocalEndpoint(gIdB, &eb);
    static char payload[64] = "corvane round trip";
    char buf[128];
    double* rtt = calloc((size_t)trips, sizeof *rtt);
    int done = 0;
    for (int i = 0; i < trips + 100; ++i) { /* the first 100 warm up */
        double t0 = nowS(CLOCK_MONOTONIC);
        int a0 = gRecvA, b0 = gRecvB;
        if (vsock_wrappedSocketSendUdp(gIdA, payload, sizeof payload, &eb, -1) != VSOCK_E_INPROGRESS)
            break;
        if (!waitCount(&gRecvB, b0 + 1))
            break;
        netc_endpoint src;
        vsock_wrappedSocketRecvUdp(gIdB, buf, sizeof buf, &src);
        int32_t r;
        while ((r = vsock_wrappedSocketSendUdp(gIdB, payload, sizeof payload, &src, -1)) == VSOCK_E_NOTREADY)
            ; /* b's previous reply is still being reported */
        if (r != VSOCK_E_INPROGRESS || !waitCount(&gRecvA, a0 + 1))
            break;
        vsock_wrappedSocketRecvUdp(gIdA, buf, sizeof buf, NULL);
        double t1 = nowS(CLOCK_MONOTONIC);
        if (i >= 100)
            rtt[done++] = (t1 - t0) * 1e6;
        while (vsock_wrappedSocketSendUdp(gIdA, NULL, 0, &ea, -1) == VSOCK_E_NOTREADY)
            ; /* wait until a's send is reported, then drop this probe */
        waitCount(&gRecvA, a0 + 2);
        vsock_wrappedSocketRecvUdp(gIdA, buf, sizeof buf, NULL);
    }
    if (done == 0) {
        fprintf(stderr, "round trips failed\n");
        return 1;
    }
    qsort(rtt, (size_t)done, sizeof *rtt, cmpDouble);
    double sum = 0;
    for (int i = 0; i < done; ++i)
        sum += rtt[i];
    printf("round trip a->b->a on 127.0.0.1, %d datagrams of %zu bytes:\n", done, sizeof payload);
    printf("  median %.1f us, mean %.1f us, p99 %.1f us, max %.1f us\n", rtt[done / 2], sum / done,
           rtt[(int)(done * 0.99)], rtt[done - 1]);
    free(rtt);
    vsock_wrappedSocketEndModule();
    oswrap_exit();
    return 0;
}
