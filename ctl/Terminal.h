#pragma once

#include <QString>

#include <cstdio>
#include <optional>

// What the command-line tool needs of the terminal; one port per platform.

// True when the stream is a terminal (progress is redrawn in place there).
bool isTerminal(FILE* stream);

// Asks for a password on the terminal without showing what is typed: the
// prompt goes to standard error, the answer is read from standard input.
// nullopt when standard input is no terminal (a script must give the
// password another way) or the answer could not be read. One port per
// platform.
std::optional<QString> promptPassword(const QString& prompt);
