#include "CtlOutcome.h"

#include "Ctl.h"
#include "HttpAccessManager.h"
#include "ResultMessages.h"

#include <algorithm>

namespace Ctl {

namespace {

struct Row
{
    Outcome outcome;
    const char* name;
    int exitStatus;
};

constexpr Row kRows[] = {
    {Outcome::Pending, "pending", SomeFailed},
    {Outcome::Ready, "ready", Success},
    {Outcome::Succeeded, "succeeded", Success},
    {Outcome::Failed, "failed", SomeFailed},
    {Outcome::Skipped, "skipped", SomeFailed},
    {Outcome::Unknown, "unknown", UnknownResult},
    {Outcome::Interrupted, "interrupted", SomeFailed},
    {Outcome::Unchanged, "unchanged", Success},
    {Outcome::IdentityChanged, "identity-changed", IdentityChanged},
};

const Row& rowOf(Outcome outcome)
{
    return *std::find_if(std::cbegin(kRows), std::cend(kRows),
                         [outcome](const Row& row) { return row.outcome == outcome; });
}

} // namespace

QString outcomeName(Outcome outcome)
{
    return QLatin1String(rowOf(outcome).name);
}

int exitStatusOf(const QList<Outcome>& outcomes)
{
    int status = Success;
    for (Outcome outcome : outcomes) {
        const int exit = rowOf(outcome).exitStatus;
        // A changed identity outweighs a failure, which outweighs an
        // unknown result, which outweighs success.
        if (exit == IdentityChanged || (exit == SomeFailed && status != IdentityChanged)
            || (exit == UnknownResult && status == Success))
            status = exit;
    }
    return status;
}

Outcome failedAs(int32_t code, Outcome otherwise)
{
    return code == HttpAccessManager::kKeyRefused ? Outcome::IdentityChanged : otherwise;
}

QString failureText(int32_t code)
{
    switch (code) {
    case HttpAccessManager::kTimedOut:
        return QStringLiteral("Timed out: no end within --timeout, or no byte moved within --stall-timeout.");
    case HttpAccessManager::kNoStatus:
        return QStringLiteral("The connection failed or dropped before the device answered.");
    case HttpAccessManager::kAnswerBroken:
        return QStringLiteral("The connection broke off during the device's answer.");
    case HttpAccessManager::kTooLarge:
        return QStringLiteral("The device's answer was too large.");
    case HttpAccessManager::kKeyRefused:
        return QStringLiteral("Identity changed: the device shows another key than the one pinned for it; nothing "
                              "was sent. Once the device is known to be genuine: corvanectl trust accept.");
    case HttpAccessManager::kTrustUnavailable:
        return QStringLiteral("The store of known devices cannot be used (corvanectl trust list tells why); no "
                              "device's key can be checked, and nothing was sent.");
    case kNotFound:
        return QStringLiteral("No such device answered the scan.");
    case kInterrupted:
        return QStringLiteral("Interrupted before the upload started.");
    case kNoResult:
        return QStringLiteral("The device took the file; its result could not be learned.");
    case kNotSent:
        return QStringLiteral("Not sent: another device failed the check (--strict).");
    case kTooManyFailures:
        return QStringLiteral("Not sent: the failure limit (--max-failures) was reached.");
    case kCanaryFailed:
        return QStringLiteral("Not sent: a canary device (--canary) did not succeed.");
    case kPasswordSpared:
        return QStringLiteral("Not tried: the first devices refused the shared password (sparing a lock-out).");
    default:
        return ResultMessages::text(quint32(code));
    }
}

} // namespace Ctl
