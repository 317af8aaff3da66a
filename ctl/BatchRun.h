#pragma once

#include "CtlDevices.h"
#include "CtlOutcome.h"
#include "FileIdentity.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QList>
#include <QString>

#include <functional>
#include <memory>

class DeviceFacade;
class DeviceNotificationObserver;
class FileUploader;
class MultiPartBody;
struct BatchOperation;

namespace Ctl {

// How a batch command was asked to run, fixed once its options were read.
struct BatchSettings
{
    static constexpr int kDefaultTimeoutSeconds = 3600; // a large file may take long to go in
    static constexpr int kDefaultStallSeconds = 60;
    static constexpr int kDefaultRetryDelaySeconds = 1;
    // Longest pause between two tries, however many came before.
    static constexpr int kMaxRetryDelaySeconds = 60;
    // How long running uploads may go on after an interruption.
    static constexpr int kGraceSeconds = 10;

    const BatchOperation* operation = nullptr;
    QString command;
    QString filePath;
    QByteArray digest;
    FileIdentity file; // the file whose digest was taken
    qint64 fileSize = 0;
    int parallel = 1;
    int loginsAtOnce = kLoginsAtOnce; // --parallel when given
    int timeoutSeconds = kDefaultTimeoutSeconds;
    int stallSeconds = kDefaultStallSeconds;
    int retries = 0;
    int retryDelaySeconds = kDefaultRetryDelaySeconds; // doubled after every try
    int retryMaxSeconds = 0; // no try starts later than this after the first; 0: no limit
    bool json = false;
    DeviceFacade* facade = nullptr;
    int resultTimeoutSeconds = 0; // 0: the upload's answer is the verdict
    int maxFailures = 0; // no upload starts once this many devices failed; 0: no limit
    int canary = 0; // the first devices, alone; the others only when each of them succeeded
    // The devices' push channels, kept while results are awaited; null
    // when no result is.
    DeviceNotificationObserver* observer = nullptr;
    // How long a firmware's success waits for the new version when the
    // device pushed none (its reboot and next login tell it).
    static constexpr int kVersionWaitSeconds = 30;
};

// The pause before try `attempt` + 1 (1-based) with this first delay:
// doubled after every try, at most kMaxRetryDelaySeconds.
int retryDelayMs(int firstDelaySeconds, int attempt);

// One device of the batch, from the check before the run to its verdict.
struct DeviceRun
{
    DeviceIdentity identity;
    QString authCode;
    QString versionBefore;
    QString versionAfter; // known once its result came
    QString key; // its key before the run: KeyCheck::word(), empty when it was not reached
    Outcome outcome = Outcome::Pending;
    QString state = QStringLiteral("waiting");
    int32_t code = ResultCode::kSuccess;
    int httpStatus = 0;
    QString message;
    int attempts = 0;
    int percent = 0;
    qint64 bytesSent = 0;
    QDateTime started; // UTC
    QDateTime ended; // UTC
    QElapsedTimer sinceFirstTry;
    QElapsedTimer sinceUploaded;
    // Since the upload: the last version the device pushed, and whether it
    // logged in again after its channel dropped (after its result, once
    // that came), which reads its version anew.
    QString pushedVersion;
    bool cameBack = false;
    QElapsedTimer sinceResult; // its pushed result came
    std::unique_ptr<MultiPartBody> body;
    std::unique_ptr<FileUploader> uploader;

    DeviceRun();
    ~DeviceRun();
};

// Runs the uploads, `parallel` at a time, in the devices' order, and tells
// `event` of each step ("start", "progress", "retry", "uploaded" and the
// outcome's name at the end) and `finished` of each device's end. Stops
// starting uploads at the first interruption of the process (Ctrl-C,
// SIGTERM, SIGHUP), gives the running ones BatchSettings::kGraceSeconds to
// end, then ends them as interrupted. Waits in an event loop of its own:
// the operator's own action.
class BatchRunner
{
public:
    using Event = std::function<void(const DeviceRun& device, const QString& kind)>;

    BatchRunner(const BatchSettings& settings, QList<DeviceRun*> queue, Event event);

    // Told once, at the interruption, with the number of running uploads.
    void setInterruptNotice(std::function<void(int running)> notice) { m_interruptNotice = std::move(notice); }

    // Returns once every device of the queue came to its outcome.
    void run();
    // The exit status the interruption asks for; 0 when none came.
    int interruption() const { return m_interruption; }

private:
    void startNext();
    void start(DeviceRun& device);
    void answered(DeviceRun& device, int32_t sent);
    void awaitResult(DeviceRun& device);
    void pollResult(DeviceRun& device);
    void watchChannels();
    void interrupt(int status);
    // No further upload starts: the devices not started yet end with `code`.
    void halt(int32_t code);
    void endRunning();
    void finish(DeviceRun& device, Outcome outcome, int32_t code, int status, const QString& message = {});

    const BatchSettings& m_settings;
    const QList<DeviceRun*> m_queue;
    const Event m_event;
    std::function<void(int)> m_interruptNotice;
    QEventLoop m_loop;
    qsizetype m_next = 0;
    int m_remaining = 0;
    int m_interruption = 0;
    int m_failures = 0;
    int m_canaryLeft = 0; // canary devices not ended yet
    bool m_halted = false;
};

} // namespace Ctl
