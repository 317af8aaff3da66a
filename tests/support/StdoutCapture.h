#pragma once

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

// What a call writes to standard output (printf of the C-style modules),
// without the lines of the test log that end up there meanwhile.
template <typename F> QString stdoutOf(F&& call)
{
    std::fflush(stdout);
    char path[] = "/tmp/corvane_stdout_XXXXXX";
    const int file = mkstemp(path);
    if (file < 0)
        return QStringLiteral("(cannot capture standard output)");
    const int saved = dup(STDOUT_FILENO);
    dup2(file, STDOUT_FILENO);
    call();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    QByteArray text;
    char buf[256];
    lseek(file, 0, SEEK_SET);
    for (ssize_t n; (n = read(file, buf, sizeof(buf))) > 0;)
        text.append(buf, static_cast<qsizetype>(n));
    close(file);
    unlink(path);
    QString printed;
    for (const QByteArray& line : text.split('\n'))
        if (!line.isEmpty() && !line.startsWith("QDEBUG ") && !line.startsWith("QWARN "))
            printed += QString::fromUtf8(line) + '\n';
    return printed;
}
