#include "CtlBatch.h"

#include "BatchOperation.h"
#include "BatchProgress.h"
#include "BatchReport.h"
#include "BatchRules.h"
#include "BatchRun.h"
#include "Credentials.h"
#include "Ctl.h"
#include "CtlCommon.h"
#include "CtlDevices.h"
#include "DeviceEndpoints.h"
#include "DeviceFacade.h"
#include "DeviceNotificationObserver.h"
#include "DeviceNotificationSubscriber.h"
#include "FileIdentity.h"
#include "HashGenerator.h"
#include "MultiPartBody.h"
#include "ResultCode.h"
#include "ScannableInterfaces.h"
#include "Services.h"
#include "Terminal.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace Ctl {

namespace {

// A push channel opens within a second on any network a device can be
// updated on.
constexpr int kChannelWaitMs = 10000;

// Opens the push channel of every device still in the run and waits until
// they stand; a device whose channel does not open is left out, as the window
// leaves out a disconnected one.
void openChannels(const std::vector<std::unique_ptr<DeviceRun>>& runs, DeviceFacade& facade,
                  DeviceNotificationObserver& observer, const BatchOperation& operation)
{
    for (const std::unique_ptr<DeviceRun>& run : runs) {
        if (run->outcome == Outcome::Pending)
            observer.createSession(run->identity.ipAddress, DeviceEndpoints::kPushPort);
    }
    const auto allConnected = [&] {
        return std::all_of(runs.cbegin(), runs.cend(), [&facade](const std::unique_ptr<DeviceRun>& run) {
            return run->outcome != Outcome::Pending || facade.isConnected(run->identity.macAddress);
        });
    };
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (allConnected())
            loop.quit();
    });
    poll.start(50);
    QTimer::singleShot(kChannelWaitMs, &loop, &QEventLoop::quit);
    if (!allConnected())
        loop.exec();
    for (const std::unique_ptr<DeviceRun>& run : runs) {
        if (run->outcome == Outcome::Pending && !facade.isConnected(run->identity.macAddress)) {
            run->outcome = Outcome::Skipped;
            run->code = operation.disconnected;
            run->message = failureText(operation.disconnected);
        }
    }
}

int runBatch(const Services& services, const BatchOperation& operation, const QString& command,
             QCommandLineParser& parser, const QStringList& arguments, QTextStream& out, QTextStream& err)
{
    const QCommandLineOption parallel(QStringLiteral("parallel"),
                                      QStringLiteral("Uploads at once, 1 to 64 (1 unless given: one after another)."),
                                      QStringLiteral("n"));
    const QCommandLineOption timeout(
        QStringLiteral("timeout"),
        QStringLiteral("Seconds one device's upload may take, 1 to 86400 (3600 unless given)."),
        QStringLiteral("seconds"));
    const QCommandLineOption stallTimeout(QStringLiteral("stall-timeout"),
                                          QStringLiteral("Seconds an upload may move no byte before it ends as a "
                                                         "time-out, 1 to 3600 (60 unless given)."),
                                          QStringLiteral("seconds"));
    const QCommandLineOption retries(QStringLiteral("retries"),
                                     QStringLiteral("Further tries after a failure of the network, 0 to 10 (never "
                                                    "after a device's own answer)."),
                                     QStringLiteral("n"));
    const QCommandLineOption retryDelay(
        QStringLiteral("retry-delay"),
        QStringLiteral("Seconds before the first further try, 1 to 600 (1 unless given); doubled after every try, "
                       "at most 60."),
        QStringLiteral("seconds"));
    const QCommandLineOption retryMaxTime(
        QStringLiteral("retry-max-time"),
        QStringLiteral("Seconds after a device's first try past which no further try starts, 1 to 86400 (no limit "
                       "unless given)."),
        QStringLiteral("seconds"));
    const QCommandLineOption waitResult(
        QStringLiteral("wait-result"),
        QStringLiteral("After the upload, wait for each device's own result (the installation's, the import's, the "
                       "image check's), pushed over its channel."));
    const QCommandLineOption resultTimeout(
        QStringLiteral("result-timeout"),
        QStringLiteral("Seconds to wait for that result, 1 to 86400 (600 unless given)."), QStringLiteral("seconds"));
    const QCommandLineOption maxFailures(
        QStringLiteral("max-failures"),
        QStringLiteral("Start no further upload once this many devices failed, 1 to 1024 (no limit unless given); "
                       "the others are skipped."),
        QStringLiteral("n"));
    const QCommandLineOption canary(QStringLiteral("canary"),
                                    QStringLiteral("The first n devices alone, 1 to 1024; the others only when each "
                                                   "of them succeeded."),
                                    QStringLiteral("n"));
    const QCommandLineOption yes(QStringLiteral("yes"),
                                 QStringLiteral("With --all on a terminal, send without asking first."));
    const QCommandLineOption dryRun(QStringLiteral("dry-run"),
                                    QStringLiteral("Check everything, print the plan, send nothing."));
    const QCommandLineOption strict(QStringLiteral("strict"),
                                    QStringLiteral("Send nothing when any device fails the check."));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("One JSON object per event."));
    const QCommandLineOption quiet(QStringLiteral("quiet"),
                                   QStringLiteral("No progress: only each device's end and the summary."));
    const QCommandLineOption report(
        QStringLiteral("report"),
        QStringLiteral("Write a report per device to FILE (.csv, else JSON), and each device's entry as it ends to "
                       "FILE.jsonl."),
        QStringLiteral("file"));
    // Only a firmware has a version to compare.
    const bool versioned = &operation == &BatchOperations::kFirmwareUpdate;
    const QCommandLineOption skipSame(
        QStringLiteral("skip-same-version"),
        QStringLiteral("Leave out the devices that already run the bundle's version: the first a.b[.c...] in the "
                       "file's name (tq-2.4.1.bundle: 2.4.1), unless --bundle-version gives it."));
    const QCommandLineOption bundleVersion(QStringLiteral("bundle-version"),
                                           QStringLiteral("The bundle's version for --skip-same-version."),
                                           QStringLiteral("version"));
    parser.addPositionalArgument(QStringLiteral("file"), QStringLiteral("The file to send."));
    addScanOptions(parser);
    addTargetOptions(parser);
    parser.addOptions({parallel, timeout, stallTimeout, retries, retryDelay, retryMaxTime, waitResult, resultTimeout,
                       maxFailures, canary, yes, dryRun, strict, json, quiet, report});
    if (versioned)
        parser.addOptions({skipSame, bundleVersion});
    if (const std::optional<int> done = parseOptions(parser, arguments, out, err, 1))
        return *done;
    const QString prefix = QStringLiteral("corvanectl %1: ").arg(command);
    const std::optional<QStringList> named = readTargetNames(parser, command, err);
    if (!named)
        return Usage;
    const QStringList names = *named;
    BatchSettings settings;
    settings.operation = &operation;
    settings.command = command;
    settings.filePath = QFileInfo(parser.positionalArguments().first()).absoluteFilePath();
    settings.json = parser.isSet(json);
    const std::optional<ScanRequest> request = readScanOptions(parser, command, err);
    const std::optional<int> atOnce = numberOption(parser, QStringLiteral("parallel"), 1, 1, 64, err);
    const std::optional<int> timeoutSeconds
        = numberOption(parser, QStringLiteral("timeout"), BatchSettings::kDefaultTimeoutSeconds, 1, 24 * 3600, err);
    const std::optional<int> stallSeconds
        = numberOption(parser, QStringLiteral("stall-timeout"), BatchSettings::kDefaultStallSeconds, 1, 3600, err);
    const std::optional<int> tries = numberOption(parser, QStringLiteral("retries"), 0, 0, 10, err);
    const std::optional<int> firstDelay
        = numberOption(parser, QStringLiteral("retry-delay"), BatchSettings::kDefaultRetryDelaySeconds, 1, 600, err);
    const std::optional<int> retryMax = numberOption(parser, QStringLiteral("retry-max-time"), 0, 1, 24 * 3600, err);
    const std::optional<int> resultSeconds
        = numberOption(parser, QStringLiteral("result-timeout"), 600, 1, 24 * 3600, err);
    const std::optional<int> failureLimit = numberOption(parser, QStringLiteral("max-failures"), 0, 1, 1024, err);
    const std::optional<int> canaries = numberOption(parser, QStringLiteral("canary"), 0, 1, 1024, err);
    if (!request || !atOnce || !timeoutSeconds || !stallSeconds || !tries || !firstDelay || !retryMax || !resultSeconds
        || !failureLimit || !canaries)
        return Usage;
    settings.maxFailures = *failureLimit;
    settings.canary = *canaries;
    settings.stallSeconds = *stallSeconds;
    settings.resultTimeoutSeconds = parser.isSet(waitResult) ? *resultSeconds : 0;
    settings.parallel = *atOnce;
    settings.timeoutSeconds = *timeoutSeconds;
    settings.retries = *tries;
    settings.retryDelaySeconds = *firstDelay;
    settings.retryMaxSeconds = *retryMax;

    // The file: its kind, that it reads, its digest once for all devices.
    if (!BatchRules::suffixAccepted(operation, settings.filePath)) {
        err << prefix << "the file must end in " << BatchRules::acceptedSuffixes(operation) << ": " << settings.filePath
            << '\n';
        return Usage;
    }
    const QString fileName = QFileInfo(settings.filePath).fileName();
    if (!MultiPartBody::canQuoteFileName(fileName)) {
        err << prefix << "the file's name cannot be sent (it holds a double quote, a backslash or a control "
            << "character): " << printable(settings.filePath) << '\n';
        return Usage;
    }
    const std::optional<FileIdentity> identity = FileIdentity::of(settings.filePath);
    if (identity && identity->size == 0) {
        err << prefix << "the file is empty: " << settings.filePath << '\n';
        return Usage;
    }
    if (identity)
        settings.digest = HashGenerator::generate(settings.filePath, QCryptographicHash::Md5);
    if (!identity || settings.digest.isEmpty()) {
        err << prefix << "cannot read " << settings.filePath << '\n';
        return Usage;
    }
    if (FileIdentity::of(settings.filePath) != identity) {
        err << prefix << "the file changed while its digest was computed: " << settings.filePath << '\n';
        return Usage;
    }
    settings.file = *identity;
    settings.fileSize = identity->size;
    // The version a device must not run already to be sent the bundle.
    QString sameVersion;
    if (versioned && parser.isSet(skipSame)) {
        sameVersion = parser.isSet(bundleVersion) ? parser.value(bundleVersion) : BatchRules::versionInName(fileName);
        if (sameVersion.isEmpty()) {
            err << prefix << "the bundle's version cannot be read from its name " << printable(fileName)
                << "; give it with --bundle-version\n";
            return Usage;
        }
        if (!settings.json)
            err << prefix << "the bundle's version is " << printable(sameVersion)
                << (parser.isSet(bundleVersion) ? " (--bundle-version)" : " (read from its name)") << '\n';
    }
    const QString reportPath = parser.value(report);
    if (parser.isSet(report) && !reportWritable(reportPath, err))
        return Usage;
    const std::optional<Credentials> credentials
        = Credentials::load(parser.value(QStringLiteral("password-file")), err);
    if (!credentials)
        return Usage;

    QElapsedTimer clock;
    clock.start();
    DeviceFacade& facade = *services.facade;
    settings.facade = &facade;
    // Results come over the devices' push channels, as in the window.
    std::unique_ptr<DeviceNotificationObserver> observer;
    std::unique_ptr<DeviceNotificationSubscriber> subscriber;
    if (settings.resultTimeoutSeconds > 0) {
        observer = std::make_unique<DeviceNotificationObserver>(facade, *services.httpAccess);
        subscriber = std::make_unique<DeviceNotificationSubscriber>(facade);
        subscriber->initialize(observer.get());
        settings.observer = observer.get();
    }
    DeviceScan scan(facade, *request, names);
    if (!scan.run(namedDevicesAnswered(facade, names), err))
        return Usage;
    const ScannableInterface* chosen = &request->chosen;
    const QList<DeviceIdentity> found = scan.devices();

    const bool full = names.isEmpty() && scan.tableFull(command, err);
    const Targets resolved = resolveTargets(found, names, command, err);
    if (resolved.ambiguous)
        return Usage;
    if (resolved.devices.isEmpty() && names.isEmpty())
        err << prefix << "no device answered on " << chosen->interfaceName << '\n';
    for (const QString& name : resolved.missing)
        err << prefix << scan.whyMissing(name) << '\n';

    // Every device of the run, those that fail the check included.
    std::vector<std::unique_ptr<DeviceRun>> runs;
    for (const DeviceIdentity& identity : resolved.devices) {
        runs.push_back(std::make_unique<DeviceRun>());
        runs.back()->identity = identity;
    }
    for (const QString& name : resolved.missing) {
        auto run = std::make_unique<DeviceRun>();
        run->identity.macAddress = name;
        run->outcome = Outcome::Skipped;
        run->code = kNotFound;
        run->message = failureText(kNotFound);
        runs.push_back(std::move(run));
    }

    // The check before anything is sent: logged in, and free to take the
    // file by the operation's rule.
    const QHash<QString, Login> logins = logInAll(services, resolved.devices, *credentials, kLoginWaitMs,
                                                  {settings.retries, settings.retryDelaySeconds});
    for (const std::unique_ptr<DeviceRun>& run : runs) {
        if (run->outcome != Outcome::Pending)
            continue;
        const Login login = logins.value(run->identity.macAddress);
        run->authCode = login.authCode;
        if (ResultCode::isFailure(login.result)) {
            run->outcome = Outcome::Skipped;
            run->code = login.result;
            run->message = failureText(login.result);
        }
    }
    for (const std::unique_ptr<DeviceRun>& run : runs) {
        if (run->outcome != Outcome::Pending)
            continue;
        QVariant version;
        QVariant running;
        facade.getDeviceParameter(run->identity.macAddress, DeviceParameter::Version, version, DeviceFindPolicy::ById);
        facade.getDeviceParameter(run->identity.macAddress, DeviceParameter::RunningStatus, running,
                                  DeviceFindPolicy::ById);
        run->versionBefore = version.toString();
        if (!sameVersion.isEmpty() && run->versionBefore == sameVersion) {
            run->outcome = Outcome::Unchanged;
            run->message
                = QStringLiteral("Already at version %1; nothing sent (--skip-same-version).").arg(sameVersion);
            continue;
        }
        if (const std::optional<int32_t> refused = BatchRules::runningRefusal(operation, running)) {
            run->outcome = Outcome::Skipped;
            run->code = *refused;
            run->message = failureText(*refused);
        }
    }

    if (observer)
        openChannels(runs, facade, *observer, operation);

    QList<const DeviceRun*> all;
    QList<DeviceRun*> queue;
    for (const std::unique_ptr<DeviceRun>& run : runs) {
        all.append(run.get());
        if (run->outcome == Outcome::Pending)
            queue.append(run.get());
        else
            run->state = outcomeName(run->outcome);
    }
    BatchProgress progress(out, err,
                           settings.json ? BatchProgress::Mode::Json : BatchProgress::textMode(parser.isSet(quiet)),
                           all, terminalRows(stderr));
    ReportJournal journal;
    if (parser.isSet(report) && !journal.open(reportPath, err))
        return Usage;
    for (const DeviceRun* run : std::as_const(all)) {
        if (run->outcome == Outcome::Skipped || run->outcome == Outcome::Unchanged) {
            progress.event(*run, run->state);
            journal.append(reportEntry(*run, settings));
        }
    }

    // The summary and the report, whichever way the run ends.
    const auto conclude = [&](int status) {
        progress.close();
        QJsonArray entries;
        QMap<Outcome, int> counts;
        QList<Outcome> outcomes;
        for (const DeviceRun* run : std::as_const(all)) {
            ++counts[run->outcome];
            outcomes << run->outcome;
            entries.append(reportEntry(*run, settings));
        }
        const double elapsed = double(clock.elapsed()) / 1000.0;
        QJsonObject summary{{QStringLiteral("operation"), command},
                            {QStringLiteral("succeeded"), counts.value(Outcome::Succeeded)},
                            {QStringLiteral("failed"), counts.value(Outcome::Failed)},
                            {QStringLiteral("skipped"), counts.value(Outcome::Skipped)},
                            {QStringLiteral("interrupted"), counts.value(Outcome::Interrupted)},
                            {QStringLiteral("unknown"), counts.value(Outcome::Unknown)},
                            {QStringLiteral("ready"), counts.value(Outcome::Ready)},
                            {QStringLiteral("unchanged"), counts.value(Outcome::Unchanged)},
                            {QStringLiteral("seconds"), elapsed}};
        if (status < 0)
            status = std::max(exitStatusOf(outcomes), full ? int(SomeFailed) : int(Success));
        summary.insert(QStringLiteral("exitStatus"), status);
        if (parser.isSet(report) && !writeReport(reportPath, entries, summary, err) && status == Success)
            status = SomeFailed;
        if (settings.json) {
            printJson(out, QJsonObject{{QStringLiteral("event"), QStringLiteral("summary")},
                                       {QStringLiteral("summary"), summary}});
        } else if (counts.value(Outcome::Ready) > 0 || parser.isSet(dryRun)) {
            out << command << ": " << counts.value(Outcome::Ready) << " of " << all.size() << " devices ready for "
                << printable(QFileInfo(settings.filePath).fileName()) << " (md5 " << settings.digest.toHex()
                << "); nothing sent\n";
        } else {
            out << command << ": " << counts.value(Outcome::Succeeded) << " succeeded, "
                << counts.value(Outcome::Failed) << " failed, " << counts.value(Outcome::Skipped) << " skipped";
            if (counts.value(Outcome::Interrupted) > 0)
                out << ", " << counts.value(Outcome::Interrupted) << " interrupted";
            if (counts.value(Outcome::Unknown) > 0)
                out << ", " << counts.value(Outcome::Unknown) << " unknown";
            if (counts.value(Outcome::Unchanged) > 0)
                out << ", " << counts.value(Outcome::Unchanged) << " unchanged";
            out << " in " << QString::number(elapsed, 'f', 1) << " s\n";
        }
        out.flush();
        return status;
    };

    // Every device that passed the check ends here, nothing sent.
    const auto settleQueue = [&](Outcome outcome, int32_t code, const QString& message) {
        for (DeviceRun* run : std::as_const(queue)) {
            run->outcome = outcome;
            run->state = outcomeName(outcome);
            run->code = code;
            run->message = message;
            progress.event(*run, run->state);
        }
    };
    if (resolved.devices.isEmpty())
        return conclude(NoDevice);
    if (parser.isSet(dryRun)) {
        settleQueue(Outcome::Ready, ResultCode::kSuccess, QStringLiteral("Passed the check; nothing was sent."));
        return conclude(-1);
    }
    const bool someFailedCheck
        = std::any_of(all.cbegin(), all.cend(), [](const DeviceRun* run) { return run->outcome == Outcome::Skipped; });
    if (someFailedCheck && parser.isSet(strict)) {
        err << prefix << "a device failed the check; with --strict nothing is sent\n";
        settleQueue(Outcome::Skipped, kNotSent, failureText(kNotSent));
        return conclude(Usage);
    }
    // Every device that answers is a large thing to change by a slip of the
    // keyboard: on a terminal, the operator says yes first.
    if (names.isEmpty() && !queue.isEmpty() && !parser.isSet(yes) && isTerminal(stdin) && isTerminal(stderr)) {
        err << prefix << "send " << printable(QFileInfo(settings.filePath).fileName()) << " to " << queue.size()
            << (queue.size() == 1 ? " device" : " devices") << " (--all)? [y/N] ";
        err.flush();
        char answer[16] = {};
        const bool read = std::fgets(answer, sizeof answer, stdin) != nullptr;
        if (!read || (answer[0] != 'y' && answer[0] != 'Y')) {
            err << prefix << "nothing was sent\n";
            settleQueue(Outcome::Skipped, kNotSent, QStringLiteral("Not sent: the operator did not confirm."));
            return conclude(Usage);
        }
    }

    // From here on an interruption ends the run in order (see BatchRunner).
    catchInterrupts();
    BatchRunner runner(settings, queue, [&](const DeviceRun& device, const QString& kind) {
        progress.event(device, kind);
        if (device.outcome != Outcome::Pending && kind == outcomeName(device.outcome))
            journal.append(reportEntry(device, settings));
    });
    runner.setInterruptNotice([&](int running) {
        err << prefix << "interrupted: no further upload starts";
        if (running > 0)
            err << "; " << running << " running end within " << BatchSettings::kGraceSeconds
                << " s (interrupt again to stop at once)";
        err << '\n';
        err.flush();
    });
    runner.run();
    return conclude(runner.interruption() != 0 ? runner.interruption() : -1);
}

} // namespace

int runUpdate(const Services& services, QCommandLineParser& parser, const QStringList& arguments, QTextStream& out,
              QTextStream& err)
{
    return runBatch(services, BatchOperations::kFirmwareUpdate, QStringLiteral("update"), parser, arguments, out, err);
}

int runImport(const Services& services, QCommandLineParser& parser, const QStringList& arguments, QTextStream& out,
              QTextStream& err)
{
    return runBatch(services, BatchOperations::kConfigurationImport, QStringLiteral("import"), parser, arguments, out,
                    err);
}

int runImage(const Services& services, QCommandLineParser& parser, const QStringList& arguments, QTextStream& out,
             QTextStream& err)
{
    return runBatch(services, BatchOperations::kStandbyScreenImageChange, QStringLiteral("image"), parser, arguments,
                    out, err);
}

} // namespace Ctl
