// Figures, not tests (loopback only): datagrams validated and decoded per
// second on one core, and the CPU of the engine task and the socket task
// while one announcer service runs on 127.0.4.2/31 for a while.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include "lndp_api.h"
#include "lndp_manage.h"
#include "lndp_packet.h"
#include "lndp_task.h"
#include "oswrap_api.h"
#include "vsock_wrappedSocketIf.h"

static double seconds(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// A free UDP port: the service port may be taken on a machine running the
// program, and the figures do not depend on the number.
static uint16_t freePort(void)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    bind(fd, (struct sockaddr*)&sa, sizeof sa);
    socklen_t l = sizeof sa;
    getsockname(fd, (struct sockaddr*)&sa, &l);
    close(fd);
    return ntohs(sa.sin_port);
}

int main(int argc, char** argv)
{
    const int runSeconds = argc > 1 ? atoi(argv[1]) : 10;

    // 1. Validation and decoding of a device's answer.
    netc_addr dev, local, src;
    memset(&dev, 0, sizeof dev);
    dev.family = 4;
    dev.addr[0] = 192, dev.addr[1] = 168, dev.addr[3] = 20;
    local = dev;
    local.addr[3] = 10;
    src = dev;
    const uint8_t mac[6] = {2, 0, 0, 0, 0, 1};
    const uint8_t ex[] = {0, 6, 'T', 'Q', '-', '7', '3', '0', 4, 'D', 'e', 's', 'k'};
    uint8_t d[LNDP_MAX_DATAGRAM];
    const int32_t n = lndp_buildDatagram(d, sizeof d, 1, 0, 0, &dev, mac, (const uint8_t*)"_zel-scp", 8, ex, sizeof ex);
    static _LNDP_HOST_INFO h;
    T_LNDP_PARSE p;
    const long iterations = 5000000;
    unsigned sink = 0;
    const double t0 = seconds();
    for (long i = 0; i < iterations; ++i) {
        d[29] = (uint8_t)i;
        if (lndp_validateDatagram(d, n, &src, &local, &p) == LNDP_CHECK_OK) {
            lndp_decodeDatagram(d, &p, &local, &src, &h);
            sink += h.macAddr[5];
        }
    }
    const double dt = seconds() - t0;
    printf("validate+decode: %.2f million datagrams/s on one core (%d-byte answer, checksum %u)\n",
           iterations / dt / 1e6, n, sink & 1);

    // 2. CPU of the engine task and the socket task with one announcer.
    if (oswrap_init() != 0 || lndp_startup() != 0) {
        fprintf(stderr, "bench_lndp: start-up failed\n");
        return 1;
    }
    _T_LNDP_NETWORK_SETUP_PROPERTY prop;
    memset(&prop, 0, sizeof prop);
    prop.role = 2;
    prop.localAddr.family = 4;
    prop.localAddr.addr[0] = 127, prop.localAddr.addr[2] = 4, prop.localAddr.addr[3] = 2;
    prop.netmask.family = 4;
    prop.netmask.addr[0] = prop.netmask.addr[1] = prop.netmask.addr[2] = 255;
    prop.netmask.addr[3] = 254; /* broadcast 127.0.4.3: stays on loopback */
    prop.port = freePort();
    prop.serviceNameLen = 8;
    prop.serviceName = (const uint8_t*)"_zel-scp";
    prop.intervalMs = 1000;
    int id = -1;
    const int32_t r = lndp2_setup(&id, &prop);
    int32_t vsockTask = 0;
    const int32_t engineTask = lndp_taskId();
    if (oswrap_VinqTsk(&vsockTask, "VSOCK") != 0) {
        fprintf(stderr, "bench_lndp: socket task not found\n");
        return 1;
    }
    uint32_t load = 0;
    oswrap_GetTskLoad(&load, engineTask);
    oswrap_GetTskLoad(&load, vsockTask);
    uint32_t processLoad = 0;
    oswrap_GetProcessLoad(&processLoad);
    oswrap_WaiTsk(runSeconds * 1000);
    uint32_t engineLoad = 0, sockLoad = 0;
    if (oswrap_GetTskLoad(&engineLoad, engineTask) != 0 || oswrap_GetTskLoad(&sockLoad, vsockTask) != 0) {
        fprintf(stderr, "bench_lndp: task load not available\n");
        return 1;
    }
    oswrap_GetProcessLoad(&processLoad);
    printf("one announcer for %d s (set-up %s): engine task %.2f %%, socket task %.2f %%, "
           "together %.2f %% of one core\n",
           runSeconds, r == 0 ? "ok" : "failed", engineLoad / 100.0, sockLoad / 100.0, (engineLoad + sockLoad) / 100.0);
    printf("whole process over the same time: %.2f %% of one processor\n", processLoad / 100.0);
    lndp2_clear(id);
    lndp_cleanup();
    oswrap_exit();
    return 0;
}
