// A private veth link for tests that need a real subnet (broadcasts,
// multicast groups): the test process moves itself into a network namespace
// of its own ("near", where the code under test runs) and makes a second one
// ("far", the peer's). Near holds cvnear with 10.9.0.1/24 and 10.9.0.3/24,
// far holds cvfar with 10.9.0.2/24; nothing else is on either, so nothing
// leaves them, and both vanish with the process. Call make() first in main, before any thread
// starts.
#ifndef PRIVATE_LINK_H
#define PRIVATE_LINK_H

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace PrivateLink {

inline const char* const kNearIf = "cvnear";
inline const char* const kFarIf = "cvfar";
inline const char* const kNearAddr = "10.9.0.1";
inline const char* const kNearAddr2 = "10.9.0.3"; // a second address of near
inline const char* const kFarAddr = "10.9.0.2";
inline const char* const kBroadcast = "10.9.0.255";

inline int& nearFd()
{
    static int fd = -1;
    return fd;
}

inline int& farFd()
{
    static int fd = -1;
    return fd;
}

inline ino_t currentNamespace()
{
    struct stat st
    {
    };
    return stat("/proc/thread-self/ns/net", &st) == 0 ? st.st_ino : 0;
}

// Runs a command in the calling thread's namespace; true when it exits 0.
inline bool run(const std::vector<std::string>& argv)
{
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

inline bool isRunning(const char* ifName)
{
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq req{};
    strncpy(req.ifr_name, ifName, IFNAMSIZ - 1);
    const bool up = s >= 0 && ioctl(s, SIOCGIFFLAGS, &req) == 0 && (req.ifr_flags & IFF_RUNNING);
    if (s >= 0)
        close(s);
    return up;
}

// The calling thread runs fn in the far namespace; sockets made there stay
// there after it returns.
template <class F> bool inFar(F fn)
{
    if (setns(farFd(), CLONE_NEWNET) != 0)
        return false;
    fn();
    return setns(nearFd(), CLONE_NEWNET) == 0;
}

// Builds the link: 0; 77 where no namespace can be made (the test is
// skipped); 1 when the link cannot be set up. why gets the reason.
inline int make(std::string* why)
{
    const ino_t host = currentNamespace();
    if (unshare(CLONE_NEWNET) != 0) {
        *why = std::string("cannot create a network namespace: ") + strerror(errno);
        return 77;
    }
    // Every command below runs in namespaces made here, never on the host's.
    if (currentNamespace() == host || host == 0) {
        *why = "the new network namespace is not in effect";
        return 1;
    }
    nearFd() = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (nearFd() < 0 || unshare(CLONE_NEWNET) != 0) {
        *why = "cannot create the peer's network namespace";
        return 1;
    }
    farFd() = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (farFd() < 0 || setns(nearFd(), CLONE_NEWNET) != 0) {
        *why = "cannot switch between the namespaces";
        return 1;
    }
    const std::string farPath = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(farFd());
    bool ok = run({"ip", "link", "set", "lo", "up"})
              && run({"ip", "link", "add", kNearIf, "type", "veth", "peer", "name", kFarIf})
              && run({"ip", "link", "set", kFarIf, "netns", farPath})
              && run({"ip", "addr", "add", std::string(kNearAddr) + "/24", "dev", kNearIf})
              && run({"ip", "addr", "add", std::string(kNearAddr2) + "/24", "dev", kNearIf})
              && run({"ip", "link", "set", kNearIf, "up"});
    ok = ok && inFar([&] {
             ok = run({"ip", "link", "set", "lo", "up"})
                  && run({"ip", "addr", "add", std::string(kFarAddr) + "/24", "dev", kFarIf})
                  && run({"ip", "link", "set", kFarIf, "up"});
         });
    if (!ok) {
        *why = "cannot set up the veth link with ip";
        return 1;
    }
    // Datagrams sent before both ends have carrier are lost.
    bool farUp = false;
    for (int i = 0; i < 500; ++i) {
        inFar([&] { farUp = isRunning(kFarIf); });
        if (farUp && isRunning(kNearIf))
            return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    *why = "the veth link did not come up";
    return 1;
}

} // namespace PrivateLink

#endif
