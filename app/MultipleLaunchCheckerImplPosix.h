#pragma once

#include "MultipleLaunchCheckerImpl.h"

#include <cstddef>
#include <string>

// Single-instance guard on POSIX systems: an exclusive advisory lock (flock)
// on a per-user file named after the executable. The kernel drops the lock
// when the process ends, however it ends, so a crash never blocks a restart.
class MultipleLaunchCheckerImplPosix : public MultipleLaunchCheckerImpl
{
public:
    static constexpr std::size_t kNameBufferSize = 256;

    MultipleLaunchCheckerImplPosix() = default;
    ~MultipleLaunchCheckerImplPosix() override;
    MultipleLaunchCheckerImplPosix(const MultipleLaunchCheckerImplPosix&) = delete;
    MultipleLaunchCheckerImplPosix& operator=(const MultipleLaunchCheckerImplPosix&) = delete;

    bool alreadyLaunched() override;

    // "Mutex" + "Hvn" + moduleName, cut to fit a buffer of kNameBufferSize
    // characters including the terminator.
    static std::string buildLockName(const char* moduleName);
    // The per-user folder for the lock file: $XDG_RUNTIME_DIR when it names an
    // absolute path, else the system's temporary folder.
    static std::string lockDirectory();

private:
    static const char* const s_namePrefix;
    static const char* const s_makerTag;

    int m_lockFd = -1;
};
