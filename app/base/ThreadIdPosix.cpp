#include "ThreadId.h"

#include <sys/syscall.h>
#include <unistd.h>

unsigned long long currentOsThreadId()
{
    return static_cast<unsigned long long>(::syscall(SYS_gettid));
}
