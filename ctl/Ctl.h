#pragma once

#include <QStringList>

class QTextStream;

// The command-line front end: the window's discovery, device and
// communication services driven from a terminal or a script, one command per
// run. Output goes to `out` (what a script reads), diagnostics and usage
// errors to `err`.
namespace Ctl {

// Exit statuses, the same for every command.
enum Exit : int {
    Success = 0, // every device succeeded (or: devices were found)
    SomeFailed = 1, // at least one device failed
    Usage = 2, // a usage error, or a check before the run that stops it
    NoDevice = 3, // no device was found
    UnknownResult = 4, // a device took the file, its result is unknown
    // A device showed another key than the one pinned for it (or the key
    // pinned to another device): nothing was sent to it. Outweighs every
    // other status.
    IdentityChanged = 5,
    // A device's key could not be trusted: it is new and nobody accepted it,
    // its address is claimed by another device too, or the store of known
    // devices cannot be used. Nothing was sent to it. Outweighs all but 5.
    Untrusted = 6,
    // An interruption exits with 128 and the signal's number (130 Ctrl-C,
    // 143 SIGTERM, 129 SIGHUP).
};

// Runs one command line; arguments[0] is the program. Needs a
// QCoreApplication; returns the exit status.
int run(const QStringList& arguments, QTextStream& out, QTextStream& err);

} // namespace Ctl
