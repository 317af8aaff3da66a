#include "TerminationSignals.h"

#include "Logger.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int s_signalPipe[2] = {-1, -1};

// What the event loop knows of the requests; user-interface thread only.
struct Requests
{
    QPointer<UninterruptibleWork> work;
    QMetaObject::Connection workChanged;
    std::function<void()> deferred;
    bool waiting = false;
};
Requests s_requests;

// Only async-signal-safe work here: one byte per signal into the pipe, read
// by the event loop.
void onSignal(int signalNumber)
{
    const char byte = static_cast<char>(signalNumber);
    const int savedErrno = errno;
    [[maybe_unused]] const ssize_t written = ::write(s_signalPipe[0], &byte, 1);
    errno = savedErrno;
}

bool workBusy()
{
    return s_requests.work != nullptr && s_requests.work->busy();
}

void onRequest()
{
    if (s_requests.waiting) {
        CORVANE_LOG("termination requested again: ending now, the running operation is cut off");
        s_requests.waiting = false;
        // Not quit(): that asks the window first, and the window refuses to
        // close while an operation runs.
        QCoreApplication::exit(0);
        return;
    }
    if (workBusy()) {
        CORVANE_LOG("termination requested while an operation runs: deferred until it ends"
                    " (a second request ends the program at once)");
        s_requests.waiting = true;
        if (s_requests.deferred)
            s_requests.deferred();
        return;
    }
    CORVANE_LOG("termination requested");
    QCoreApplication::quit();
}

void onWorkChanged()
{
    if (!s_requests.waiting || workBusy())
        return;
    s_requests.waiting = false;
    CORVANE_LOG("the operation has ended: terminating as requested");
    // Queued: the change is announced while its owner still holds its own
    // state, and every other listener (the window among them) must see it
    // before the window is asked to close.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
}

} // namespace

void quitOnTerminationSignals(QCoreApplication& app, UninterruptibleWork* work, std::function<void()> deferred)
{
    QObject::disconnect(s_requests.workChanged);
    s_requests.work = work;
    s_requests.deferred = std::move(deferred);
    s_requests.waiting = false;
    if (work != nullptr)
        s_requests.workChanged = QObject::connect(work, &UninterruptibleWork::busyChanged, &app, onWorkChanged);

    if (s_signalPipe[0] >= 0)
        return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, s_signalPipe) != 0) {
        CORVANE_LOG("cannot create the signal pipe; termination signals end the program abruptly");
        return;
    }

    auto* notifier = new QSocketNotifier(s_signalPipe[1], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
        char byte = 0;
        while (::read(s_signalPipe[1], &byte, 1) > 0)
            onRequest();
    });

    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signalNumber, &action, nullptr);
}
