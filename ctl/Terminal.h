#pragma once

#include <QString>

#include <cstdio>
#include <optional>

// What the command-line tool needs of the terminal and of the process's
// signals; one port per platform.

// True when the stream is a terminal (progress is redrawn in place there).
bool isTerminal(FILE* stream);

// The terminal's height in lines; 0 when the stream is no terminal or does
// not say.
int terminalRows(FILE* stream);

// Asks for a password on the terminal without showing what is typed: the
// prompt goes to standard error, the answer is read from standard input.
// nullopt when standard input is no terminal (a script must give the
// password another way) or the answer could not be read. The terminal shows
// what is typed again however the prompt ends, an interruption included
// (the interruption then takes its usual course).
std::optional<QString> promptPassword(const QString& prompt);

// From this call on, an interruption (Ctrl-C, SIGTERM, SIGHUP; on Windows
// Ctrl-C, Ctrl-Break and the console closing) no longer ends the process:
// the first is noted for caughtInterrupt(), and a second ends the process
// at once with the status the first asked for. False when they cannot be
// caught. Call once, from the main thread.
bool catchInterrupts();

// The exit status the first caught interruption asks for (128 and the
// signal's number: 130 for Ctrl-C, 143 for SIGTERM, 129 for SIGHUP); 0 while
// none came. Any thread.
int caughtInterrupt();
