#pragma once

// The operating system's identifier of the calling thread (not Qt's handle),
// so that log lines can be matched with a debugger's or the system's view.
unsigned long long currentOsThreadId();
