#include "MultipleLaunchCheckerImplPosix.h"

#include "LaunchErrorMessage.h"
#include "Logger.h"
#include "MultipleLaunchCheckerImplFactory.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

const char* const MultipleLaunchCheckerImplPosix::s_namePrefix = "Mutex";
const char* const MultipleLaunchCheckerImplPosix::s_makerTag = "Hvn";

namespace {

// Appends at most maxTake characters of piece, never writing past the buffer
// and always leaving it terminated.
void appendBounded(char* buffer, std::size_t bufferSize, const char* piece, std::size_t maxTake)
{
    std::size_t used = std::strlen(buffer);
    for (std::size_t i = 0; i < maxTake && piece[i] != '\0' && used + 1 < bufferSize; ++i)
        buffer[used++] = piece[i];
    buffer[used] = '\0';
}

// The file name of the running executable, as the kernel knows it.
bool readModuleBaseName(std::string& name)
{
    char path[PATH_MAX + 1] = {};
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0)
        return false;
    const char* base = std::strrchr(path, '/');
    base = (base != nullptr) ? base + 1 : path;
    if (*base == '\0')
        return false;
    name = base;
    return true;
}

// A folder only this user can write to, so another user can neither hold our
// lock nor swap the file under us.
bool isPrivateDirectory(const std::string& dir)
{
    struct stat info = {};
    return ::lstat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::getuid()
           && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

} // namespace

MultipleLaunchCheckerImplPosix::~MultipleLaunchCheckerImplPosix()
{
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

std::string MultipleLaunchCheckerImplPosix::buildLockName(const char* moduleName)
{
    char name[kNameBufferSize] = {};
    appendBounded(name, sizeof(name), s_namePrefix, 8);
    appendBounded(name, sizeof(name), s_makerTag, 8);
    if (moduleName != nullptr)
        appendBounded(name, sizeof(name), moduleName, sizeof(name));
    return name;
}

std::string MultipleLaunchCheckerImplPosix::lockDirectory()
{
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    if (runtimeDir != nullptr && runtimeDir[0] == '/')
        return runtimeDir;
    const char* tmp = std::getenv("TMPDIR");
    const std::string base = (tmp != nullptr && tmp[0] == '/') ? tmp : "/tmp";
    return base + "/corvane-" + std::to_string(::getuid());
}

bool MultipleLaunchCheckerImplPosix::alreadyLaunched()
{
    std::string moduleName;
    if (!readModuleBaseName(moduleName)) {
        CORVANE_LOG("cannot read the executable's name; starting without the instance guard");
        return false;
    }

    const std::string dir = lockDirectory();
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        CORVANE_LOG("cannot create " + dir + ": " + std::strerror(errno) + "; starting without the instance guard");
        return false;
    }
    if (!isPrivateDirectory(dir)) {
        CORVANE_LOG(dir + " is not a private folder; starting without the instance guard");
        return false;
    }

    const std::string path = dir + '/' + buildLockName(moduleName.c_str());
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        CORVANE_LOG("cannot open " + path + ": " + std::strerror(errno) + "; starting without the instance guard");
        return false;
    }
    m_lockFd = fd;

    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        return false;
    if (errno != EWOULDBLOCK) {
        CORVANE_LOG("cannot lock " + path + ": " + std::strerror(errno) + "; starting without the instance guard");
        return false;
    }

    showLaunchErrorMessage(QStringLiteral("Corvane is already running."), QStringLiteral("Launch error"));
    return true;
}

std::unique_ptr<MultipleLaunchCheckerImpl> createPlatformLaunchCheckerImpl()
{
    return std::make_unique<MultipleLaunchCheckerImplPosix>();
}
