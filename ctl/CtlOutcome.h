#pragma once

#include "ResultCode.h"

#include <QList>
#include <QString>

#include <cstdint>

// What became of each device in a command, and what that makes of the run:
// one table read by the text, the JSON, the reports and the exit status of
// every command, so that the same situation reads the same everywhere.
namespace Ctl {

enum class Outcome {
    Pending, // not yet judged
    Ready, // passed the check of a dry run; nothing was sent
    Succeeded,
    Failed,
    Skipped, // not sent: it failed the check or was not found
    Unknown, // it took the file, but its result could not be learned
    Interrupted, // the run was interrupted before this device's end
    Unchanged, // not sent: it already runs the bundle's version (--skip-same-version)
    IdentityChanged, // not sent: it showed another key than the one pinned for it, or another device's
    NewKey, // not sent: no key is pinned for it, and nobody accepted the one it shows
    AddressShared, // not sent: no key is pinned for it, and another device claims its address
    StoreUnusable, // not sent: the store of known devices cannot be read (or lost its pin)
};
inline constexpr int kOutcomeCount = int(Outcome::StoreUnusable) + 1;

// The outcome's word in every output ("succeeded", "interrupted", ...).
QString outcomeName(Outcome outcome);

// The exit status of a run whose devices came to these outcomes: 0 when all
// succeeded (or were ready, or unchanged), 1 when any failed, was skipped or interrupted,
// else 4 when any result is unknown; 6 when any device's key could not be
// trusted, whatever else happened but 5, when any device's identity
// changed. An interruption of the process itself exits with its own status
// (128 and the signal's number).
int exitStatusOf(const QList<Outcome>& outcomes);

// The outcome of a device that failed with `code` before its end: its own
// for a key the trust refused, else `otherwise`.
Outcome failedAs(int32_t code, Outcome otherwise);

// The command line's own verdicts on a device.
inline constexpr int32_t kNotFound = ResultCode::failure(ResultCode::Facility::CommandLine, 0x0001);
inline constexpr int32_t kInterrupted = ResultCode::failure(ResultCode::Facility::CommandLine, 0x0002);
inline constexpr int32_t kNoResult = ResultCode::failure(ResultCode::Facility::CommandLine, 0x0003);
inline constexpr int32_t kNotSent = ResultCode::failure(ResultCode::Facility::CommandLine, 0x0004);
// The shared password was not tried: the first devices refused it, and a
// device may lock an account out after a few wrong tries.
inline constexpr int32_t kPasswordSpared = ResultCode::failure(ResultCode::Facility::CommandLine, 0x0005);
// Not sent: --max-failures devices had failed; a canary device had not succeeded.
inline constexpr int32_t kTooManyFailures = ResultCode::failure(ResultCode::Facility::CommandLine, 0x0006);
inline constexpr int32_t kCanaryFailed = ResultCode::failure(ResultCode::Facility::CommandLine, 0x0007);

// The operator's line for a failure code: a time-out, a connection that
// failed, and an answer that broke off each read differently; the command
// line's own words for the codes the window has toasts for.
QString failureText(int32_t code);

} // namespace Ctl
