#pragma once

#include <QObject>

#include <functional>

class PushLink;
class QThread;

// The thread every push channel's socket runs on (PushLink), so that what
// devices push is read, parsed and bounded off the user interface's thread.
// Started with the first channel; stopped when the application object goes,
// cutting off the closes that still run.
//
// Threads: run() and adopt() from any thread; what they are given runs on
// the push thread, in the order given.
class PushThread
{
public:
    // Takes the link (no parent, made on the caller's thread) over to the
    // push thread; it is deleted there by close(), or at the program's end.
    static void adopt(PushLink* link);
    // Runs `work` with the link on the push thread, unless the link is gone.
    static void run(PushLink* link, std::function<void(PushLink&)> work);
    // Closes the link on the push thread and deletes it there.
    static void close(PushLink* link);

    // Waits (blocking, not in an event loop) at most `timeoutMs` for the
    // closing handshakes that still run to end; those left are cut off. For
    // the program's end, after the last channel was closed. True when none
    // had to be cut off.
    static bool finishClosing(int timeoutMs);
};
