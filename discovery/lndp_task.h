/*
 * Engine task "LNDPSVC" and its task flags; internal to the discovery module
 * (lndp_api.cpp, tests).
 */
#ifndef LNDP_TASK_H
#define LNDP_TASK_H

#include <stdint.h>

#define LNDP_TFL_INTERVAL 0x80000000u
#define LNDP_TFL_SETUP 0x40000000u
#define LNDP_TFL_NOTIFY 0x20000000u
#define LNDP_TFL_OTHER 0x10000000u
#define LNDP_TFL_SOCKET 0x08000000u
#define LNDP_TFL_RECEIVE 0x04000000u
#define LNDP_TFL_SEND 0x02000000u
#define LNDP_TFL_ALL 0xFE000000u

#define LNDP_TASK_INTERVAL_MS 100
#define LNDP_TASK_PRIORITY 15
#define LNDP_TASK_STACK 4096

/* Entry of the engine task. */
void lndp_taskMain(void *arg);
/* Maps an engine event code to the task flags: 0 notify, 1 set-up,
 * 2 socket event, anything else "other". */
void lndp_setMyEvent(int32_t code);
/* Id of the engine task, 0 when it is not running. */
int32_t lndp_taskId(void);

#endif /* LNDP_TASK_H */
