#pragma once

#include <functional>

class QEventLoop;

// The one place in the program that spins a nested event loop: every wait on
// the user-interface thread (an operator's synchronous HTTP send, a digest
// computed on a worker thread) goes through it, so that queued events,
// painting among them, keep flowing while the caller waits. Background work
// (reconnection, pushed messages, timers) never waits here: nested loops
// unwind last-in first-out, so one slow wait would hold every wait begun
// beneath it.
namespace NestedWait {

// Runs `loop` on the caller's thread until `done()` holds; true then. The
// answer comes from `done()`, never from how the loop ended, so a wait whose
// work finished while another wait ran inside it still reports it. False when
// the loop ended without `done()`: the application is quitting (every loop of
// the thread is told to end, and no new one runs). Whoever makes `done()`
// true must quit the loop from an event of this thread (a queued signal, a
// timer), so that the quit cannot slip in before the loop runs.
bool run(QEventLoop& loop, const std::function<bool()>& done);

} // namespace NestedWait
