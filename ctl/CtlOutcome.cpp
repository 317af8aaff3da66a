#include "CtlOutcome.h"

#include "Ctl.h"
#include "HttpAccessManager.h"
#include "LoginController.h"

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
    {Outcome::NewKey, "new-key", Untrusted},
    {Outcome::AddressShared, "address-shared", Untrusted},
    {Outcome::StoreUnusable, "store-unusable", Untrusted},
};

const Row& rowOf(Outcome outcome)
{
    return *std::find_if(std::cbegin(kRows), std::cend(kRows),
                         [outcome](const Row& row) { return row.outcome == outcome; });
}

// The command line's words for the codes the window words for its toasts:
// those ask a person at the window to act ("Invalid password, please
// retry."); a report row says what happened.
QString ownText(int32_t code)
{
    using ResultCode::Facility;
    const uint16_t detail = ResultCode::caseOf(code);
    const bool httpStatus = detail >= 100 && detail < 600;
    switch (ResultCode::facilityOf(code)) {
    case Facility::Login:
        if (code == LoginController::kInvalidPassword)
            return QStringLiteral("Wrong password: the device refused it.");
        return httpStatus ? QStringLiteral("The device answered the login with HTTP %1.").arg(detail)
                          : QStringLiteral("The login failed on the network.");
    case Facility::FirmwareUpdate:
    case Facility::ConfigurationImport:
    case Facility::StandbyScreenImage:
        // The cases of BatchOperation, then a refusal's HTTP status.
        switch (detail) {
        case 0x0001:
            return QStringLiteral("The file could not be opened.");
        case 0x0002:
            return QStringLiteral("Not sent: the device is busy.");
        case 0x0003:
            return QStringLiteral("Not sent: the device's push channel did not open.");
        case 0x0004:
            return QStringLiteral("The device refused the upload (HTTP 403): it no longer takes the login.");
        default:
            return httpStatus ? QStringLiteral("The device answered HTTP %1.").arg(detail)
                              : QStringLiteral("The upload failed.");
        }
    case Facility::HttpAccess:
        return QStringLiteral("The request failed on the network.");
    case Facility::SettingsModels:
        return QStringLiteral("The device's settings could not be read from its answer.");
    case Facility::FileUploader:
        return QStringLiteral("The upload could not start.");
    case Facility::MultiPartBody:
        return QStringLiteral("The file could not be read for the upload.");
    case Facility::WebSocketClient:
    case Facility::PushSession:
        return QStringLiteral("The device's push channel failed.");
    default:
        return code == ResultCode::kFailure
                   ? QStringLiteral("Failed: the device's record could not be read or written.")
                   : QStringLiteral("Failed with code %1.").arg(ResultCode::toHex(code));
    }
}

} // namespace

QString outcomeName(Outcome outcome)
{
    return QLatin1String(rowOf(outcome).name);
}

int exitStatusOf(const QList<Outcome>& outcomes)
{
    // A changed identity outweighs an untrusted key, which outweighs a
    // failure, which outweighs an unknown result, which outweighs success.
    const auto weight = [](int exit) {
        switch (exit) {
        case IdentityChanged:
            return 4;
        case Untrusted:
            return 3;
        case SomeFailed:
            return 2;
        case UnknownResult:
            return 1;
        default:
            return 0;
        }
    };
    int status = Success;
    for (Outcome outcome : outcomes) {
        const int exit = rowOf(outcome).exitStatus;
        if (weight(exit) > weight(status))
            status = exit;
    }
    return status;
}

Outcome failedAs(int32_t code, Outcome otherwise)
{
    switch (code) {
    case HttpAccessManager::kKeyRefused:
    case HttpAccessManager::kKeyOfAnother:
        return Outcome::IdentityChanged;
    case HttpAccessManager::kKeyNew:
        return Outcome::NewKey;
    case HttpAccessManager::kAddressShared:
        return Outcome::AddressShared;
    case HttpAccessManager::kTrustUnavailable:
        return Outcome::StoreUnusable;
    default:
        return otherwise;
    }
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
        return QStringLiteral("The store of known devices cannot be used, or lost entries and holds no pin for this "
                              "device (corvanectl trust list tells why); nothing was sent.");
    case HttpAccessManager::kKeyNew:
        return QStringLiteral("New key: no key is pinned for this device and none was accepted; nothing was sent. "
                              "Pin it with corvanectl trust enroll, or give --trust-new.");
    case HttpAccessManager::kAddressShared:
        return QStringLiteral("Address shared: another device claims this device's address, and no key is pinned "
                              "for it; nothing was sent.");
    case HttpAccessManager::kKeyOfAnother:
        return QStringLiteral("Identity changed: the device shows the key pinned to another device; nothing was "
                              "sent.");
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
        return ownText(code);
    }
}

} // namespace Ctl
