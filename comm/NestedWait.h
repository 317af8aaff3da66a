#pragma once

class QEventLoop;

// The one place in the program that spins a nested event loop: every wait on
// the user-interface thread (a synchronous HTTP send, a digest computed on a
// worker thread) goes through it, so that queued events, painting among
// them, keep flowing while the caller waits.
namespace NestedWait {

inline constexpr int kNoTimeout = -1;

// Runs `loop` on the caller's thread until something quits it (true) or
// `timeoutMs` milliseconds pass (false; kNoTimeout waits for the quit only).
// A quit must be delivered as an event of that thread (a queued signal),
// so that it cannot slip in before the loop runs.
bool run(QEventLoop& loop, int timeoutMs);

} // namespace NestedWait
