#include "Terminal.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <io.h>
#include <windows.h>

namespace {

std::atomic<int> s_caught{0};

// The console's input mode while a prompt hides what is typed; put back by
// the handler before the interruption takes its usual course.
std::atomic<DWORD> s_shownMode{0};
std::atomic<bool> s_hidden{false};

BOOL WINAPI restoreEcho(DWORD)
{
    if (s_hidden)
        SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), s_shownMode);
    return FALSE; // the next handler (the default: the process ends)
}

// Ctrl-C and Ctrl-Break as SIGINT; the console closing, a log-off or a
// shutdown as SIGTERM and SIGHUP are on POSIX.
BOOL WINAPI noteInterrupt(DWORD event)
{
    const int status = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? 130 : event == CTRL_CLOSE_EVENT ? 129 : 143;
    int expected = 0;
    if (!s_caught.compare_exchange_strong(expected, status))
        std::_Exit(expected);
    return TRUE;
}

} // namespace

bool isTerminal(FILE* stream)
{
    return _isatty(_fileno(stream)) != 0;
}

int terminalRows(FILE* stream)
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    if (!GetConsoleScreenBufferInfo(handle, &info))
        return 0;
    return info.srWindow.Bottom - info.srWindow.Top + 1;
}

std::optional<QString> promptPassword(const QString& prompt)
{
    if (!_isatty(_fileno(stdin)))
        return std::nullopt;
    std::fputws(reinterpret_cast<const wchar_t*>(prompt.utf16()), stderr);
    std::fflush(stderr);
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD saved = 0;
    const bool canHide = GetConsoleMode(input, &saved) != 0;
    if (canHide) {
        s_shownMode = saved;
        s_hidden = true;
        SetConsoleCtrlHandler(restoreEcho, TRUE);
        SetConsoleMode(input, saved & ~DWORD(ENABLE_ECHO_INPUT));
    }
    std::wstring answer;
    bool complete = false;
    for (wint_t c = std::fgetwc(stdin); c != WEOF; c = std::fgetwc(stdin)) {
        if (c == L'\n') {
            complete = true;
            break;
        }
        if (c != L'\r')
            answer.push_back(static_cast<wchar_t>(c));
    }
    if (canHide) {
        SetConsoleMode(input, saved);
        s_hidden = false;
        SetConsoleCtrlHandler(restoreEcho, FALSE);
    }
    std::fputwc(L'\n', stderr);
    if (!complete && answer.empty())
        return std::nullopt;
    return QString::fromWCharArray(answer.data(), static_cast<qsizetype>(answer.size()));
}

bool catchInterrupts()
{
    return SetConsoleCtrlHandler(noteInterrupt, TRUE) != 0;
}

int caughtInterrupt()
{
    return s_caught;
}
