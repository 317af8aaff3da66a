#include "TerminationSignals.h"

#include "Logger.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int s_signalPipe[2] = {-1, -1};

// Only async-signal-safe work here: one byte into the pipe, read by the
// event loop.
void onSignal(int signalNumber)
{
    const char byte = static_cast<char>(signalNumber);
    const int savedErrno = errno;
    [[maybe_unused]] const ssize_t written = ::write(s_signalPipe[0], &byte, 1);
    errno = savedErrno;
}

} // namespace

void quitOnTerminationSignals(QCoreApplication& app)
{
    if (s_signalPipe[0] >= 0)
        return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, s_signalPipe) != 0) {
        CORVANE_LOG("cannot create the signal pipe; termination signals end the program abruptly");
        return;
    }

    auto* notifier = new QSocketNotifier(s_signalPipe[1], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
        char byte = 0;
        while (::read(s_signalPipe[1], &byte, 1) > 0) {
        }
        CORVANE_LOG("termination requested");
        QCoreApplication::quit();
    });

    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signalNumber, &action, nullptr);
}
