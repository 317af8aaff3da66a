#pragma once

#include <QString>
#include <QVariant>

#include <cstdint>
#include <optional>

struct BatchOperation;
class DeviceFacade;
class PushSessionService;

// How a batch operation judges one device: before the upload, the answer to
// it and the result the device pushes afterwards. The window's batch
// controllers and the command-line tool both judge by these, so that a
// device fares the same in either. Pure functions of their arguments unless
// said otherwise; any thread.
namespace BatchRules {

// True when the file's name ends in one of the operation's suffixes, in any
// case.
bool suffixAccepted(const BatchOperation& operation, const QString& filePath);
// The accepted suffixes for messages: ".png, .jpg, .jpeg".
QString acceptedSuffixes(const BatchOperation& operation);
// The version a firmware file's name carries, as the devices read it: the
// first run of numbers joined by dots ("tq-2.4.1.bundle": "2.4.1"); empty
// when there is none.
QString versionInName(const QString& fileName);

// A device's state as its record holds it; an invalid value where the
// record could not be read.
struct DeviceState
{
    QVariant loggedIn;
    QVariant connection; // ConnectionStatus as int
    QVariant running; // the running status
};
// The state of `deviceId` in the facade's record (by id). The facade's
// thread.
DeviceState readState(const DeviceFacade& facade, const QString& deviceId);

// The code a device with this running status fails with before it is
// contacted (busy, or not ready when the status is unknown); nullopt when
// it may take the file. A code may be kSuccess: a failure without an alert.
std::optional<int32_t> runningRefusal(const BatchOperation& operation, const QVariant& running);
// The code a device fails with before it is contacted (not logged in,
// disconnected, busy, unknown state); nullopt when it can take the file now.
std::optional<int32_t> refusal(const BatchOperation& operation, const DeviceState& state);

// What an upload's HTTP answer means.
struct Answer
{
    bool accepted = false; // 200, 202, 204: the device took the file
    int32_t code = 0; // kSuccess, or the failure's own code for logs and reports
    // 403: the device no longer takes the login's code. The only refusal
    // the window raises an alert for; the others fail quietly.
    bool loginOver = false;
};
Answer answer(const BatchOperation& operation, int httpStatus);

// Ends a login the device refused (Answer::loginOver): the record's
// logged-in flag false and the device's push channel closed. The facade's
// thread; `sessions` may be null.
void endLogin(DeviceFacade& facade, PushSessionService* sessions, const QString& deviceId);

// What the result value the device pushed means, as the window's status
// column reads it: its text, and whether the device took the file. Unknown
// (known false) while no result has come.
struct PushedResult
{
    bool known = false;
    bool succeeded = false;
    QString text;
};
PushedResult pushedResult(const BatchOperation& operation, const QVariant& value);

} // namespace BatchRules
