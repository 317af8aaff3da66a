#include "Terminal.h"

#include <cstdio>
#include <string>

#include <termios.h>
#include <unistd.h>

bool isTerminal(FILE* stream)
{
    return isatty(fileno(stream)) != 0;
}

std::optional<QString> promptPassword(const QString& prompt)
{
    if (!isatty(STDIN_FILENO))
        return std::nullopt;
    std::fputs(prompt.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
    termios saved{};
    const bool canHide = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (canHide) {
        termios hidden = saved;
        hidden.c_lflag &= ~tcflag_t(ECHO);
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
    if (canHide)
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputc('\n', stderr);
    if (!complete && answer.empty())
        return std::nullopt;
    return QString::fromLocal8Bit(answer.data(), static_cast<qsizetype>(answer.size()));
}
