#include "ProcessGuard.h"

#include <windows.h>

bool forbidCoreDumps()
{
    // No fault dialog and no report (with its memory dump) for this process.
    SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    return true;
}
