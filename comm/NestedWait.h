#pragma once

#include <functional>

class QEventLoop;

// How the running program waits on the user-interface thread: each wait (an
// operator's synchronous HTTP send, a digest computed on a worker thread)
// spins a loop of its own here, nested in whatever loop is running, so that
// queued events, painting among them, keep flowing while the caller waits.
// Only the operator's own actions wait here. Background work (re-login and
// reconnection of push channels, pushed messages, timers) is asynchronous
// and never does: nested loops unwind last-in first-out, so one slow wait
// would hold every wait begun beneath it.
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
