#include "BatchPlan.h"

#include "BatchOperation.h"
#include "BatchReport.h"
#include "BatchRules.h"
#include "Ctl.h"
#include "CtlCommon.h"
#include "DeviceFacade.h"
#include "HashGenerator.h"
#include "MultiPartBody.h"

#include <QFileInfo>
#include <QTextStream>

namespace Ctl {

std::optional<BatchPlan> readBatchPlan(QCommandLineParser& parser, const QStringList& arguments,
                                       const BatchOperation& operation, const QString& command, QTextStream& out,
                                       QTextStream& err, int& exit)
{
    const auto refuse = [&exit] {
        exit = Usage;
        return std::nullopt;
    };
    const QCommandLineOption parallel(QStringLiteral("parallel"),
                                      QStringLiteral("Uploads at once, 1 to 64 (1 unless given: one after another); "
                                                     "also the logins at once (16 unless given)."),
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
                       "FILE.jsonl; - writes the JSON report to standard output at the end. Only a regular file or a "
                       "new path is written."),
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
    addNewKeyOptions(parser);
    parser.addOptions({parallel, timeout, stallTimeout, retries, retryDelay, retryMaxTime, waitResult, resultTimeout,
                       maxFailures, canary, yes, dryRun, strict, json, quiet, report});
    if (versioned)
        parser.addOptions({skipSame, bundleVersion});
    if (const std::optional<int> done = parseOptions(parser, arguments, out, err, 1)) {
        exit = *done;
        return std::nullopt;
    }
    const QString prefix = QStringLiteral("corvanectl %1: ").arg(command);
    const std::optional<QStringList> named = readTargetNames(parser, command, err);
    if (!named)
        return refuse();
    BatchPlan plan;
    plan.names = *named;
    BatchSettings& settings = plan.settings;
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
    const std::optional<NewKeys> newKeys = readNewKeys(parser, command, err);
    const std::optional<bool> proceed = readTableFullProceeds(parser, command, err);
    if (!request || !atOnce || !timeoutSeconds || !stallSeconds || !tries || !firstDelay || !retryMax || !resultSeconds
        || !failureLimit || !canaries || !newKeys || !proceed)
        return refuse();
    plan.newKeys = *newKeys;
    plan.tableFullProceeds = *proceed;
    settings.maxFailures = *failureLimit;
    settings.canary = *canaries;
    settings.stallSeconds = *stallSeconds;
    settings.resultTimeoutSeconds = parser.isSet(waitResult) ? *resultSeconds : 0;
    settings.parallel = *atOnce;
    if (parser.isSet(parallel))
        settings.loginsAtOnce = *atOnce;
    settings.timeoutSeconds = *timeoutSeconds;
    settings.retries = *tries;
    settings.retryDelaySeconds = *firstDelay;
    settings.retryMaxSeconds = *retryMax;

    // The file: its kind, that it reads, its digest once for all devices.
    if (!BatchRules::suffixAccepted(operation, settings.filePath)) {
        err << prefix << "the file must end in " << BatchRules::acceptedSuffixes(operation) << ": " << settings.filePath
            << '\n';
        return refuse();
    }
    const QString fileName = QFileInfo(settings.filePath).fileName();
    if (!MultiPartBody::canQuoteFileName(fileName)) {
        err << prefix << "the file's name cannot be sent (it holds a double quote, a backslash or a control "
            << "character): " << printable(settings.filePath) << '\n';
        return refuse();
    }
    const std::optional<FileIdentity> identity = FileIdentity::of(settings.filePath);
    if (identity && identity->size == 0) {
        err << prefix << "the file is empty: " << settings.filePath << '\n';
        return refuse();
    }
    if (identity)
        settings.digest = HashGenerator::generate(settings.filePath, QCryptographicHash::Md5);
    if (!identity || settings.digest.isEmpty()) {
        err << prefix << "cannot read " << settings.filePath << '\n';
        return refuse();
    }
    if (FileIdentity::of(settings.filePath) != identity) {
        err << prefix << "the file changed while its digest was computed: " << settings.filePath << '\n';
        return refuse();
    }
    settings.file = *identity;
    settings.fileSize = identity->size;
    // The version a device must not run already to be sent the bundle.
    QString& sameVersion = plan.sameVersion;
    if (versioned && parser.isSet(skipSame)) {
        sameVersion = parser.isSet(bundleVersion) ? parser.value(bundleVersion) : BatchRules::versionInName(fileName);
        if (sameVersion.isEmpty()) {
            err << prefix << "the bundle's version cannot be read from its name " << printable(fileName)
                << "; give it with --bundle-version\n";
            return refuse();
        }
        if (!settings.json)
            err << prefix << "the bundle's version is " << printable(sameVersion)
                << (parser.isSet(bundleVersion) ? " (--bundle-version)" : " (read from its name)") << '\n';
    }
    plan.reportPath = parser.value(report);
    if (isStandardOutput(plan.reportPath) && settings.json) {
        err << prefix << "--report - and --json both write to standard output; give the report a file\n";
        return refuse();
    }
    if (parser.isSet(report) && !reportWritable(plan.reportPath, err))
        return refuse();
    plan.request = *request;
    plan.dryRun = parser.isSet(dryRun);
    plan.strict = parser.isSet(strict);
    plan.yes = parser.isSet(yes);
    plan.quiet = parser.isSet(quiet);
    plan.passwordFile = parser.value(QStringLiteral("password-file"));
    return plan;
}

void checkDevices(const std::vector<std::unique_ptr<DeviceRun>>& runs, const QHash<QString, Login>& logins,
                  const DeviceFacade& facade, const BatchOperation& operation, const QString& sameVersion)
{
    for (const std::unique_ptr<DeviceRun>& run : runs) {
        if (run->outcome != Outcome::Pending)
            continue;
        const Login login = logins.value(run->identity.macAddress);
        run->authCode = login.authCode;
        if (ResultCode::isFailure(login.result)) {
            run->outcome = failedAs(login.result, Outcome::Skipped);
            run->code = login.result;
            run->message = failureText(login.result);
            continue;
        }
        QVariant version;
        QVariant running;
        facade.getDeviceParameter(run->identity.macAddress, DeviceParameter::Version, version, DeviceFindPolicy::ById);
        facade.getDeviceParameter(run->identity.macAddress, DeviceParameter::RunningStatus, running,
                                  DeviceFindPolicy::ById);
        run->versionBefore = version.toString();
        if (!sameVersion.isEmpty() && run->versionBefore == sameVersion) {
            run->outcome = Outcome::Unchanged;
            run->versionAfter = run->versionBefore;
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
}

} // namespace Ctl
