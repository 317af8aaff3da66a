#include "ProcessGuard.h"

#include <sys/resource.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

bool forbidCoreDumps()
{
    const rlimit none{0, 0};
    bool forbidden = setrlimit(RLIMIT_CORE, &none) == 0;
#if defined(__linux__)
    // Not dumpable: no core even where a core pattern pipes it elsewhere,
    // and no ptrace attach by the same user.
    forbidden = prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0 && forbidden;
#endif
    return forbidden;
}
