#include "Terminal.h"

#include <cstdio>
#include <string>

#include <io.h>
#include <windows.h>

bool isTerminal(FILE* stream)
{
    return _isatty(_fileno(stream)) != 0;
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
    if (canHide)
        SetConsoleMode(input, saved & ~DWORD(ENABLE_ECHO_INPUT));
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
    if (canHide)
        SetConsoleMode(input, saved);
    std::fputwc(L'\n', stderr);
    if (!complete && answer.empty())
        return std::nullopt;
    return QString::fromWCharArray(answer.data(), static_cast<qsizetype>(answer.size()));
}
