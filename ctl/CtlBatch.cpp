#include "CtlBatch.h"

#include "BatchOperation.h"
#include "BatchPlan.h"
#include "BatchProgress.h"
#include "BatchReport.h"
#include "BatchRun.h"
#include "Credentials.h"
#include "Ctl.h"
#include "CtlCommon.h"
#include "CtlDevices.h"
#include "DeviceEndpoints.h"
#include "DeviceFacade.h"
#include "DeviceNotificationObserver.h"
#include "DeviceNotificationSubscriber.h"
#include "ResultCode.h"
#include "ScannableInterfaces.h"
#include "Services.h"
#include "Terminal.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
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
            observer.createSession(run->identity.macAddress, DeviceEndpoints::kPushPort);
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
    int exit = Success;
    const std::optional<BatchPlan> plan = readBatchPlan(parser, arguments, operation, command, out, err, exit);
    if (!plan)
        return exit;
    BatchSettings settings = plan->settings;
    const QStringList& names = plan->names;
    const QString prefix = QStringLiteral("corvanectl %1: ").arg(command);
    std::optional<Credentials> credentials = Credentials::load(plan->passwordFile, err);
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
    DeviceScan scan(facade, plan->request, names);
    if (!scan.run(namedDevicesAnswered(facade, names), err))
        return Usage;
    const ScannableInterface* chosen = &plan->request.chosen;
    const QList<DeviceIdentity> found = scan.devices();

    bool full = false;
    if (!scan.allowsAll(names, plan->tableFullProceeds, command, err, full))
        return Usage;
    const Targets resolved = resolveTargets(found, names, command, err);
    if (resolved.ambiguous)
        return Usage;
    if (resolved.devices.isEmpty() && names.isEmpty())
        err << prefix << "no device answered on " << chosen->interfaceName << '\n';
    for (const QString& name : resolved.missing)
        err << prefix << scan.whyMissing(name) << '\n';
    credentials->settle(namesOf(found), err);

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

    // The check before anything is sent: a key that may be given the
    // credential, logged in, and free to take the file by the operation's
    // rule.
    const QHash<QString, KeyCheck> keys = settleKeys(services, resolved.devices, plan->newKeys, command, err);
    for (const std::unique_ptr<DeviceRun>& run : runs) {
        if (keys.contains(run->identity.macAddress))
            run->key = keys.value(run->identity.macAddress).word();
    }
    QHash<QString, Login> logins
        = logInAll(services, trustedDevices(resolved.devices, keys), *credentials, kLoginWaitMs,
                   {settings.retries, settings.retryDelaySeconds}, settings.loginsAtOnce);
    addRefusals(keys, logins);
    checkDevices(runs, logins, facade, operation, plan->sameVersion);

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
    // The report on standard output is all a script reads there.
    const bool reportToOutput = isStandardOutput(plan->reportPath);
    BatchProgress progress(reportToOutput ? err : out, err,
                           settings.json ? BatchProgress::Mode::Json : BatchProgress::textMode(plan->quiet), all,
                           terminalRows(stderr));
    ReportJournal journal;
    if (!plan->reportPath.isEmpty() && !reportToOutput && !journal.open(plan->reportPath, err))
        return Usage;
    for (const DeviceRun* run : std::as_const(all)) {
        if (run->outcome != Outcome::Pending) {
            progress.event(*run, run->state);
            journal.append(reportEntry(*run, settings), err);
        }
    }

    // The summary and the report, whichever way the run ends.
    const auto conclude = [&](int status) {
        progress.close();
        QJsonArray entries;
        QList<Outcome> outcomes;
        for (const DeviceRun* run : std::as_const(all)) {
            outcomes << run->outcome;
            entries.append(reportEntry(*run, settings));
        }
        QJsonObject summary
            = batchSummary(command, all, double(clock.elapsed()) / 1000.0, full ? plan->request.maxDevices : 0);
        if (status < 0)
            status = std::max(exitStatusOf(outcomes), full ? int(SomeFailed) : int(Success));
        // Evidence that could not be kept fails the run.
        if (journal.failed() && status == Success)
            status = SomeFailed;
        summary.insert(QStringLiteral("exitStatus"), status);
        if (!plan->reportPath.isEmpty() && !writeReport(plan->reportPath, entries, summary, err, out)
            && status == Success)
            status = SomeFailed;
        QTextStream& said = reportToOutput ? err : out;
        if (settings.json && !reportToOutput)
            printJson(out, QJsonObject{{QStringLiteral("event"), QStringLiteral("summary")},
                                       {QStringLiteral("summary"), summary}});
        else
            said << summaryText(summary, settings, plan->dryRun) << '\n';
        said.flush();
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
    if (plan->dryRun) {
        settleQueue(Outcome::Ready, ResultCode::kSuccess, QStringLiteral("Passed the check; nothing was sent."));
        return conclude(-1);
    }
    const bool someFailedCheck
        = std::any_of(all.cbegin(), all.cend(), [](const DeviceRun* run) { return run->outcome == Outcome::Skipped; });
    if (someFailedCheck && plan->strict) {
        err << prefix << "a device failed the check; with --strict nothing is sent\n";
        settleQueue(Outcome::Skipped, kNotSent, failureText(kNotSent));
        return conclude(Usage);
    }
    // Every device that answers is a large thing to change by a slip of the
    // keyboard: on a terminal, the operator says yes first.
    if (names.isEmpty() && !queue.isEmpty() && !plan->yes && isTerminal(stdin) && isTerminal(stderr)) {
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
            journal.append(reportEntry(device, settings), err);
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
