#include "BatchRun.h"

#include "BatchOperation.h"
#include "BatchRules.h"
#include "DeviceFacade.h"
#include "DeviceNotificationObserver.h"
#include "FileUploader.h"
#include "HttpAccessManager.h"
#include "MultiPartBody.h"
#include "SettingsFields.h"
#include "Terminal.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <algorithm>

namespace Ctl {

namespace {

// How often the run looks for an interruption and for pushed results.
constexpr int kPollMs = 100;

// The version a pushed message carries, if any.
QString pushedVersion(const QString& message)
{
    const SettingsFields::Entry& version = SettingsFields::entry(SettingsFields::Field::Version);
    return QJsonDocument::fromJson(message.toUtf8())
        .object()
        .value(SettingsFields::sectionKey(version.section))
        .toObject()
        .value(QLatin1String(version.key))
        .toString();
}

} // namespace

int retryDelayMs(int firstDelaySeconds, int attempt)
{
    qint64 delay = qint64(firstDelaySeconds) * 1000;
    for (int i = 1; i < attempt && delay < BatchSettings::kMaxRetryDelaySeconds * 1000; ++i)
        delay *= 2;
    return int(std::min<qint64>(delay, BatchSettings::kMaxRetryDelaySeconds * 1000));
}

DeviceRun::DeviceRun() = default;
DeviceRun::~DeviceRun() = default;

BatchRunner::BatchRunner(const BatchSettings& settings, QList<DeviceRun*> queue, Event event)
    : m_settings(settings)
    , m_queue(std::move(queue))
    , m_event(std::move(event))
{
}

void BatchRunner::run()
{
    m_remaining = int(m_queue.size());
    if (m_remaining == 0)
        return;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &m_loop, [this] {
        if (const int status = caughtInterrupt(); status != 0 && m_interruption == 0)
            interrupt(status);
        for (DeviceRun* device : std::as_const(m_queue)) {
            if (device->outcome == Outcome::Pending && device->sinceUploaded.isValid())
                pollResult(*device);
        }
    });
    poll.start(kPollMs);
    watchChannels();
    m_canaryLeft = int(std::min<qsizetype>(m_settings.canary, m_queue.size()));
    for (int i = 0; i < m_settings.parallel; ++i)
        startNext();
    if (m_remaining > 0)
        m_loop.exec();
}

void BatchRunner::startNext()
{
    // The canary devices run alone until each of them ended.
    if (m_canaryLeft > 0 && m_next >= m_settings.canary)
        return;
    if (m_next < m_queue.size() && m_interruption == 0 && !m_halted)
        start(*m_queue.at(m_next++));
}

void BatchRunner::halt(int32_t code)
{
    m_halted = true;
    for (qsizetype i = m_next; i < m_queue.size(); ++i) {
        if (m_queue.at(i)->outcome == Outcome::Pending)
            finish(*m_queue.at(i), Outcome::Skipped, code, 0);
    }
    m_next = m_queue.size();
}

void BatchRunner::start(DeviceRun& device)
{
    // An interruption may have ended it while it waited for another try.
    if (device.outcome != Outcome::Pending)
        return;
    ++device.attempts;
    if (!device.started.isValid()) {
        device.started = QDateTime::currentDateTimeUtc();
        device.sinceFirstTry.start();
    }
    device.state = QStringLiteral("uploading");
    device.percent = 0;
    // An earlier result must not pass for this upload's.
    m_settings.facade->setDeviceParameter(device.identity.macAddress, m_settings.operation->resultParameter, -1,
                                          DeviceFindPolicy::ById);
    m_event(device, QStringLiteral("start"));
    // A body goes out once: each attempt gets its own.
    device.uploader.reset();
    device.body = std::make_unique<MultiPartBody>(m_settings.filePath);
    int32_t result = device.body->generate(m_settings.digest);
    // The digest goes with the bytes it was taken of: a file replaced or
    // rewritten during the batch is not sent. Looked at once the body has it
    // open, so that what is sent is what was looked at.
    if (ResultCode::isSuccess(result) && FileIdentity::of(m_settings.filePath) != m_settings.file) {
        finish(device, Outcome::Failed, MultiPartBody::kHashFailed, 0,
               QStringLiteral("The file changed during the batch; it was not sent."));
        return;
    }
    if (ResultCode::isSuccess(result)) {
        device.uploader = std::make_unique<FileUploader>(device.identity.macAddress, device.identity.ipAddress,
                                                         m_settings.operation->uploadPath, device.body.get());
        QObject::connect(device.uploader.get(), &FileUploader::uploadProgress, device.uploader.get(),
                         [this, &device](const QString&, qint64 sent, qint64 total) {
                             device.bytesSent = sent;
                             const int percent = total > 0 ? int(sent * 100 / total) : 0;
                             if (percent != device.percent) {
                                 device.percent = percent;
                                 m_event(device, QStringLiteral("progress"));
                             }
                         });
        device.uploader->setStallTimeout(unsigned(m_settings.stallSeconds));
        const unsigned timeoutMs = unsigned(m_settings.timeoutSeconds) * 1000u;
        result = device.uploader->uploadAsync(device.authCode, timeoutMs,
                                              [this, &device](int32_t sent) { answered(device, sent); });
    }
    if (ResultCode::isFailure(result))
        finish(device, Outcome::Failed, result, 0);
}

void BatchRunner::answered(DeviceRun& device, int32_t sent)
{
    int status = 0;
    const int32_t read = ResultCode::isSuccess(sent) ? device.uploader->getResponseStatusCode(status) : sent;
    if (ResultCode::isFailure(read)) {
        // The network failed (no answer, a time-out): worth another try,
        // after a pause that grows with every try, for whatever broke the
        // connection (a reboot, a switch) to pass.
        const int delayMs = retryDelayMs(m_settings.retryDelaySeconds, device.attempts);
        const bool inTime = m_settings.retryMaxSeconds == 0
                            || device.sinceFirstTry.elapsed() + delayMs <= qint64(m_settings.retryMaxSeconds) * 1000;
        // A key other than the pinned one stays so until the operator's word.
        const bool worthIt = read != HttpAccessManager::kKeyRefused;
        if (worthIt && device.attempts <= m_settings.retries && inTime && m_interruption == 0) {
            device.state = QStringLiteral("retrying");
            device.code = read;
            device.message = failureText(read);
            m_event(device, QStringLiteral("retry"));
            QTimer::singleShot(delayMs, &m_loop, [this, &device] { start(device); });
            return;
        }
        finish(device, Outcome::Failed, read, 0);
        return;
    }
    device.httpStatus = status;
    // The device's own verdict is never retried.
    const BatchRules::Answer answer = BatchRules::answer(*m_settings.operation, status);
    if (answer.accepted && m_settings.resultTimeoutSeconds > 0) {
        awaitResult(device);
        return;
    }
    if (answer.accepted) {
        // A configuration or an image leaves the firmware as it was; a new
        // firmware's version is known only from its result (--wait-result).
        if (m_settings.operation->resultParameter != DeviceParameter::UpdateResult)
            device.versionAfter = device.versionBefore;
        finish(device, Outcome::Succeeded, ResultCode::kSuccess, status);
        return;
    }
    if (answer.loginOver)
        BatchRules::endLogin(*m_settings.facade, m_settings.observer, device.identity.macAddress);
    finish(device, Outcome::Failed, answer.code, status, QStringLiteral("The device answered HTTP %1.").arg(status));
}

// The device took the file; its verdict comes over the push channel (into
// the record) after the installation or the check.
void BatchRunner::awaitResult(DeviceRun& device)
{
    device.state = QStringLiteral("awaiting result");
    device.sinceUploaded.start();
    m_event(device, QStringLiteral("uploaded"));
}

void BatchRunner::pollResult(DeviceRun& device)
{
    const BatchOperation& operation = *m_settings.operation;
    const QString& id = device.identity.macAddress;
    QVariant value;
    m_settings.facade->getDeviceParameter(id, operation.resultParameter, value, DeviceFindPolicy::ById);
    const BatchRules::PushedResult result = BatchRules::pushedResult(operation, value);
    QVariant read;
    m_settings.facade->getDeviceParameter(id, DeviceParameter::Version, read, DeviceFindPolicy::ById);
    const QString version = read.toString(); // as of the device's last login
    const bool late = device.sinceUploaded.elapsed() > qint64(m_settings.resultTimeoutSeconds) * 1000;
    const bool firmware = operation.resultParameter == DeviceParameter::UpdateResult;

    if (result.known) {
        const bool newFirmware = firmware && result.succeeded;
        if (!device.sinceResult.isValid()) {
            device.sinceResult.start();
            device.cameBack = false; // the login that tells the new version comes after the reboot
        }
        // A new firmware's version comes pushed with the result, or with the
        // login after the reboot; a device that tells neither in time keeps
        // its success without one rather than with the old version.
        if (newFirmware && device.pushedVersion.isEmpty() && !device.cameBack && !late
            && device.sinceResult.elapsed() < BatchSettings::kVersionWaitSeconds * 1000)
            return;
        if (!device.pushedVersion.isEmpty())
            device.versionAfter = device.pushedVersion;
        else if (!newFirmware || device.cameBack)
            device.versionAfter = version;
        finish(device, result.succeeded ? Outcome::Succeeded : Outcome::Failed,
               result.succeeded ? ResultCode::kSuccess : ResultCode::kFailure, device.httpStatus, result.text);
        return;
    }
    // The result was pushed while the channel was down (the device
    // rebooted): a device that came back running another firmware took it.
    if (firmware && device.cameBack && !version.isEmpty() && version != device.versionBefore) {
        device.versionAfter = version;
        finish(device, Outcome::Succeeded, ResultCode::kSuccess, device.httpStatus,
               QStringLiteral("Its result was not pushed; it came back with version %1.").arg(version));
        return;
    }
    if (!late)
        return;
    // Neither the device's word nor its version tells what became of the file.
    QString message = QStringLiteral("No result came within %1 s").arg(m_settings.resultTimeoutSeconds);
    if (device.cameBack) {
        device.versionAfter = version;
        message += QStringLiteral("; its channel dropped, and it came back still at version %1").arg(version);
    }
    finish(device, Outcome::Unknown, kNoResult, device.httpStatus, message + QLatin1Char('.'));
}

// What the push channels tell beside the record: the versions pushed, and
// the logins again after a channel dropped (a reboot), which read the
// version into the record.
void BatchRunner::watchChannels()
{
    if (!m_settings.observer)
        return;
    // By device: a record that claims a device's address hears nothing of it.
    const auto awaiting = [this](const QString& deviceId, const std::function<void(DeviceRun&)>& note) {
        for (DeviceRun* device : std::as_const(m_queue)) {
            if (device->outcome == Outcome::Pending && device->sinceUploaded.isValid()
                && device->identity.macAddress == deviceId)
                note(*device);
        }
    };
    QObject::connect(m_settings.observer, &DeviceNotificationObserver::receivedTextMessage, &m_loop,
                     [awaiting](const QString& deviceId, const QString& message) {
                         const QString version = pushedVersion(message);
                         if (!version.isEmpty())
                             awaiting(deviceId, [&version](DeviceRun& device) { device.pushedVersion = version; });
                     });
    QObject::connect(m_settings.observer, &DeviceNotificationObserver::reloginAttempted, &m_loop,
                     [awaiting](const QString& deviceId, int, int32_t result) {
                         if (ResultCode::isSuccess(result))
                             awaiting(deviceId, [](DeviceRun& device) { device.cameBack = true; });
                     });
}

// No upload starts any more; devices waiting for their first try or for
// another end now, the running ones get the grace.
void BatchRunner::interrupt(int status)
{
    m_interruption = status;
    for (qsizetype i = 0; i < m_queue.size(); ++i) {
        DeviceRun& device = *m_queue.at(i);
        if (device.outcome != Outcome::Pending)
            continue;
        if (i >= m_next)
            finish(device, Outcome::Interrupted, kInterrupted, 0);
        else if (device.state == QLatin1String("retrying"))
            finish(device, Outcome::Interrupted, kInterrupted, 0,
                   QStringLiteral("Interrupted while waiting to try again: %1").arg(device.message));
    }
    m_next = m_queue.size();
    if (m_interruptNotice)
        m_interruptNotice(m_remaining);
    if (m_remaining > 0)
        QTimer::singleShot(BatchSettings::kGraceSeconds * 1000, &m_loop, [this] { endRunning(); });
}

void BatchRunner::endRunning()
{
    for (DeviceRun* device : std::as_const(m_queue)) {
        if (device->outcome != Outcome::Pending)
            continue;
        // Gone, the uploader ends its request and calls nothing more.
        device->uploader.reset();
        const bool uploaded = device->sinceUploaded.isValid();
        finish(*device, Outcome::Interrupted, uploaded ? kNoResult : kInterrupted, device->httpStatus,
               uploaded ? QStringLiteral("Interrupted while awaiting the result; the device took the file.")
                        : QStringLiteral("Interrupted during the upload; the device did not take the file."));
    }
}

void BatchRunner::finish(DeviceRun& device, Outcome failedOrOther, int32_t code, int status, const QString& message)
{
    const Outcome outcome = failedOrOther == Outcome::Failed ? failedAs(code, failedOrOther) : failedOrOther;
    device.outcome = outcome;
    device.code = code;
    device.httpStatus = status;
    device.ended = QDateTime::currentDateTimeUtc();
    device.state = outcomeName(outcome);
    if (!message.isEmpty()) {
        device.message = message;
    } else if (outcome == Outcome::Succeeded) {
        device.message.clear();
        device.percent = 100;
    } else {
        device.message = failureText(code);
    }
    m_event(device, device.state);
    const bool canary = m_canaryLeft > 0 && m_queue.indexOf(&device) < m_settings.canary;
    if (outcome == Outcome::Failed || outcome == Outcome::IdentityChanged || outcome == Outcome::Unknown
        || (canary && outcome != Outcome::Succeeded))
        ++m_failures;
    // Released from the loop, not from inside the uploader's own call.
    QTimer::singleShot(0, &m_loop, [&device] {
        device.uploader.reset();
        device.body.reset();
    });
    if (--m_remaining == 0) {
        m_loop.quit();
        return;
    }
    if (m_halted)
        return;
    if (canary && --m_canaryLeft == 0) {
        if (m_failures > 0)
            return halt(kCanaryFailed);
        for (int i = 0; i < m_settings.parallel; ++i)
            startNext();
        return;
    }
    if (m_settings.maxFailures > 0 && m_failures >= m_settings.maxFailures)
        return halt(kTooManyFailures);
    startNext();
}

} // namespace Ctl
