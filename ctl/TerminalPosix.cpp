#include "Terminal.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <iterator>
#include <string>

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The signals an operator or a service manager ends a run with.
constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};

volatile sig_atomic_t s_caught = 0;

// The terminal's state while a prompt hides what is typed; the handler puts
// it back before the signal takes its usual course.
termios s_shown{};
volatile sig_atomic_t s_hidden = 0;

void restoreEchoAndRaise(int signal)
{
    if (s_hidden != 0)
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &s_shown);
    std::signal(signal, SIG_DFL);
    raise(signal);
}

void noteInterrupt(int signal)
{
    if (s_caught != 0)
        _exit(s_caught);
    s_caught = 128 + signal;
}

} // namespace

bool isTerminal(FILE* stream)
{
    return isatty(fileno(stream)) != 0;
}

int terminalRows(FILE* stream)
{
    winsize size{};
    if (ioctl(fileno(stream), TIOCGWINSZ, &size) != 0)
        return 0;
    return size.ws_row;
}

std::optional<QString> promptPassword(const QString& prompt)
{
    if (!isatty(STDIN_FILENO))
        return std::nullopt;
    std::fputs(prompt.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
    const bool canHide = tcgetattr(STDIN_FILENO, &s_shown) == 0;
    struct sigaction previous[std::size(kInterrupts)] = {};
    if (canHide) {
        struct sigaction restore = {};
        restore.sa_handler = restoreEchoAndRaise;
        sigemptyset(&restore.sa_mask);
        for (size_t i = 0; i < std::size(kInterrupts); ++i)
            sigaction(kInterrupts[i], &restore, &previous[i]);
        termios hidden = s_shown;
        hidden.c_lflag &= ~tcflag_t(ECHO);
        s_hidden = 1;
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &hidden);
    }
    std::string answer;
    bool complete = false;
    for (int c = std::getchar(); c != EOF; c = std::getchar()) {
        if (c == '\n') {
            complete = true;
            break;
        }
        answer.push_back(static_cast<char>(c));
    }
    if (canHide) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &s_shown);
        s_hidden = 0;
        for (size_t i = 0; i < std::size(kInterrupts); ++i)
            sigaction(kInterrupts[i], &previous[i], nullptr);
    }
    std::fputc('\n', stderr);
    if (!complete && answer.empty())
        return std::nullopt;
    return QString::fromLocal8Bit(answer.data(), static_cast<qsizetype>(answer.size()));
}

bool catchInterrupts()
{
    struct sigaction note = {};
    note.sa_handler = noteInterrupt;
    sigemptyset(&note.sa_mask);
    for (int signal : kInterrupts)
        sigaddset(&note.sa_mask, signal);
    // Blocking calls go on after the handler: the run looks at the flag.
    note.sa_flags = SA_RESTART;
    bool caught = true;
    for (int signal : kInterrupts)
        caught = sigaction(signal, &note, nullptr) == 0 && caught;
    return caught;
}

int caughtInterrupt()
{
    return s_caught;
}
