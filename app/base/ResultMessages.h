#pragma once

#include <QString>

// The one-line message an operator reads for a result code: first by the
// whole code, then by its facility, else "Unknown error.", for the window's
// toasts (the command-line tool words its reports itself). Tables fixed at
// compile time; any thread.
namespace ResultMessages {

QString text(quint32 code);

} // namespace ResultMessages
