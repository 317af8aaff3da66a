#include "CtlBatch.h"

#include "BatchOperation.h"
#include "Credentials.h"
#include "Ctl.h"
#include "CtlCommon.h"
#include "CtlDevices.h"
#include "DeviceEndpoints.h"
#include "DeviceFacade.h"
#include "DeviceNotificationObserver.h"
#include "DeviceNotificationSubscriber.h"
#include "DeviceStatus.h"
#include "FileIdentity.h"
#include "FileUploader.h"
#include "HashGenerator.h"
#include "HttpAccessManager.h"
#include "HttpStatus.h"
#include "MultiPartBody.h"
#include "ResultCode.h"
#include "ResultMessages.h"
#include "ScannableInterfaces.h"
#include "Terminal.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QTextStream>
#include <QTimer>

#include <memory>

namespace Ctl {

namespace {

// What the window gives one upload: a large file may take long to go in.
constexpr int kDefaultTimeoutSeconds = 3600;
constexpr int kDefaultStallSeconds = 60;
constexpr int kRetryDelayMs = 1000;
// A push channel opens within a second on any network a device can be
// updated on.
constexpr int kChannelWaitMs = 10000;

enum class Outcome { Pending, Skipped, Succeeded, Failed };

QString outcomeText(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Pending:
        return QStringLiteral("pending");
    case Outcome::Skipped:
        return QStringLiteral("skipped");
    case Outcome::Succeeded:
        return QStringLiteral("succeeded");
    case Outcome::Failed:
        return QStringLiteral("failed");
    }
    return QString();
}

// One device of the batch, from the check before the run to its verdict.
struct DeviceRun
{
    DeviceIdentity identity;
    QString authCode;
    QString versionBefore;
    QString versionAfter; // known once a pushed result came
    Outcome outcome = Outcome::Pending;
    QString state = QStringLiteral("waiting");
    int32_t code = ResultCode::kSuccess;
    int httpStatus = 0;
    QString message;
    int attempts = 0;
    int percent = 0;
    qint64 bytesSent = 0;
    QDateTime started;
    QDateTime ended;
    std::unique_ptr<MultiPartBody> body;
    std::unique_ptr<FileUploader> uploader;
};

struct Settings
{
    const BatchOperation* operation = nullptr;
    QString command;
    QString filePath;
    QByteArray digest;
    FileIdentity file; // the file whose digest was taken
    qint64 fileSize = 0;
    int parallel = 1;
    int timeoutSeconds = kDefaultTimeoutSeconds;
    int stallSeconds = kDefaultStallSeconds;
    int retries = 0;
    bool json = false;
    DeviceFacade* facade = nullptr;
    int resultTimeoutSeconds = 0; // 0: the upload's answer is the verdict
};

// What a pushed result of the operation means, as the window's status column
// reads it: its text, and whether the device took the file.
struct PushedResult
{
    bool known = false;
    bool succeeded = false;
    QString text;
};

PushedResult pushedResult(const BatchOperation& operation, const QVariant& value)
{
    DeviceStatusType type = DeviceStatusType::FirmwareUpdateResult;
    if (operation.resultParameter == DeviceParameter::ImportResult)
        type = DeviceStatusType::ConfigImportResult;
    else if (operation.resultParameter == DeviceParameter::StandbyImageResult)
        type = DeviceStatusType::StandbyScreenImageChangeResult;
    DeviceStatus board;
    board.setStatus(type, value);
    const DeviceStatusList status = board.getStatus(DeviceStatusDisplayPriority::Result);
    if (status == kNoStatus)
        return {};
    const DeviceStatus::Entry entry{status, QVariant()};
    const bool succeeded = status == DeviceStatusList::UpdateSuccessful || status == DeviceStatusList::ImportSuccessful
                           || status == DeviceStatusList::StandbyScreenImageUploaded;
    return {true, succeeded, board.getStatusMessage(entry)};
}

bool suffixAccepted(const BatchOperation& operation, const QString& filePath)
{
    const QString suffix = QFileInfo(filePath).suffix().toLower();
    for (const char* accepted : operation.suffixes) {
        if (accepted != nullptr && suffix == QLatin1String(accepted))
            return true;
    }
    return false;
}

QString acceptedSuffixes(const BatchOperation& operation)
{
    QStringList suffixes;
    for (const char* accepted : operation.suffixes) {
        if (accepted != nullptr)
            suffixes << QLatin1Char('.') + QLatin1String(accepted);
    }
    return suffixes.join(QLatin1String(", "));
}

// Tells of the run as it goes: one JSON object per event, lines redrawn in
// place on a terminal, or timestamped lines.
class Progress
{
public:
    Progress(QTextStream& out, const Settings& settings, QList<DeviceRun*> devices)
        : m_out(out)
        , m_settings(settings)
        , m_devices(std::move(devices))
        , m_redraw(!settings.json && isTerminal(stdout))
    {
    }

    void event(const DeviceRun& device, const QString& kind)
    {
        if (m_settings.json) {
            QJsonObject object{{QStringLiteral("time"), now()},
                               {QStringLiteral("event"), kind},
                               {QStringLiteral("macAddress"), device.identity.macAddress},
                               {QStringLiteral("ipAddress"), device.identity.ipAddress},
                               {QStringLiteral("state"), device.state}};
            if (kind == QLatin1String("progress"))
                object.insert(QStringLiteral("percent"), device.percent);
            if (device.outcome == Outcome::Failed || device.outcome == Outcome::Skipped) {
                object.insert(QStringLiteral("code"), ResultCode::toHex(device.code));
                object.insert(QStringLiteral("message"), device.message);
            }
            printJson(m_out, object);
        } else if (m_redraw) {
            redraw();
        } else if (kind != QLatin1String("progress") || device.percent % 10 == 0) {
            m_out << now() << "  " << device.identity.ipAddress << "  " << device.identity.macAddress << "  "
                  << device.state
                  << (kind == QLatin1String("progress") ? QStringLiteral(" %1%").arg(device.percent) : QString());
            if (!device.message.isEmpty() && device.outcome != Outcome::Succeeded)
                m_out << "  " << device.message;
            m_out << '\n';
        }
        m_out.flush();
    }

private:
    static QString now() { return QDateTime::currentDateTime().toString(Qt::ISODateWithMs); }

    void redraw()
    {
        // Back to the first line of the block, then every line anew.
        if (m_drawn > 0)
            m_out << "\x1b[" << m_drawn << 'F';
        for (const DeviceRun* device : std::as_const(m_devices)) {
            QString line = QStringLiteral("%1  %2  %3")
                               .arg(device->identity.ipAddress, -15)
                               .arg(device->identity.macAddress, device->state);
            if (device->state == QLatin1String("uploading"))
                line += QStringLiteral(" %1%").arg(device->percent);
            if (!device->message.isEmpty() && device->outcome != Outcome::Succeeded)
                line += QStringLiteral("  ") + device->message;
            m_out << "\x1b[2K" << line << '\n';
        }
        m_drawn = int(m_devices.size());
    }

    QTextStream& m_out;
    const Settings& m_settings;
    const QList<DeviceRun*> m_devices;
    const bool m_redraw;
    int m_drawn = 0;
};

// Runs the uploads, `parallel` at a time, in the devices' order.
class Runner
{
public:
    Runner(const Settings& settings, QList<DeviceRun*> queue, Progress& progress)
        : m_settings(settings)
        , m_queue(std::move(queue))
        , m_progress(progress)
    {
    }

    void run()
    {
        m_remaining = int(m_queue.size());
        if (m_remaining == 0)
            return;
        for (int i = 0; i < m_settings.parallel; ++i)
            startNext();
        if (m_remaining > 0)
            m_loop.exec();
    }

private:
    void startNext()
    {
        if (m_next >= m_queue.size())
            return;
        start(*m_queue.at(m_next++));
    }

    void start(DeviceRun& device)
    {
        ++device.attempts;
        if (!device.started.isValid())
            device.started = QDateTime::currentDateTime();
        device.state = QStringLiteral("uploading");
        device.percent = 0;
        // An earlier result must not pass for this upload's.
        m_settings.facade->setDeviceParameter(device.identity.macAddress, m_settings.operation->resultParameter, -1,
                                              DeviceFindPolicy::ById);
        m_progress.event(device, QStringLiteral("start"));
        // A body goes out once: each attempt gets its own.
        device.uploader.reset();
        device.body = std::make_unique<MultiPartBody>(m_settings.filePath);
        int32_t result = device.body->generate(m_settings.digest);
        // The digest goes with the bytes it was taken of: a file replaced or
        // rewritten during the batch is not sent. Looked at once the body
        // has it open, so that what is sent is what was looked at.
        if (ResultCode::isSuccess(result) && FileIdentity::of(m_settings.filePath) != m_settings.file) {
            finish(device, Outcome::Failed, MultiPartBody::kHashFailed, 0,
                   QStringLiteral("The file changed during the batch; it was not sent."));
            return;
        }
        if (ResultCode::isSuccess(result)) {
            device.uploader = std::make_unique<FileUploader>(device.identity.ipAddress,
                                                             m_settings.operation->uploadPath, device.body.get());
            QObject::connect(device.uploader.get(), &FileUploader::uploadProgress, device.uploader.get(),
                             [this, &device](const QString&, qint64 sent, qint64 total) {
                                 device.bytesSent = sent;
                                 const int percent = total > 0 ? int(sent * 100 / total) : 0;
                                 if (percent != device.percent) {
                                     device.percent = percent;
                                     m_progress.event(device, QStringLiteral("progress"));
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

    void answered(DeviceRun& device, int32_t sent)
    {
        int status = 0;
        const int32_t read = ResultCode::isSuccess(sent) ? device.uploader->getResponseStatusCode(status) : sent;
        if (ResultCode::isFailure(read)) {
            // The network failed (no answer, a time-out): worth another try.
            if (device.attempts <= m_settings.retries) {
                device.state = QStringLiteral("retrying");
                device.message = ResultMessages::text(quint32(read));
                m_progress.event(device, QStringLiteral("retry"));
                // A moment for whatever broke the connection (a reboot, a
                // switch) to pass.
                QTimer::singleShot(kRetryDelayMs, &m_loop, [this, &device] { start(device); });
                return;
            }
            finish(device, Outcome::Failed, read, 0);
            return;
        }
        // The device's own verdict is never retried.
        if (HttpStatus::isAccepted(status) && m_settings.resultTimeoutSeconds > 0)
            awaitResult(device, status);
        else if (HttpStatus::isAccepted(status))
            finish(device, Outcome::Succeeded, ResultCode::kSuccess, status);
        else
            finish(device, Outcome::Failed, status == 403 ? m_settings.operation->forbidden : ResultCode::kSuccess,
                   status);
    }

    // The device took the file; its verdict comes over the push channel
    // (into the record) after the installation or the check.
    void awaitResult(DeviceRun& device, int status)
    {
        device.state = QStringLiteral("awaiting result");
        device.httpStatus = status;
        m_progress.event(device, QStringLiteral("uploaded"));
        auto* poll = new QTimer(&m_loop);
        QElapsedTimer* since = new QElapsedTimer;
        since->start();
        QObject::connect(poll, &QTimer::timeout, &m_loop, [this, &device, poll, since, status] {
            QVariant value;
            m_settings.facade->getDeviceParameter(device.identity.macAddress, m_settings.operation->resultParameter,
                                                  value, DeviceFindPolicy::ById);
            const PushedResult result = pushedResult(*m_settings.operation, value);
            const bool late = since->elapsed() > qint64(m_settings.resultTimeoutSeconds) * 1000;
            if (!result.known && !late)
                return;
            poll->deleteLater();
            delete since;
            QVariant version;
            m_settings.facade->getDeviceParameter(device.identity.macAddress, DeviceParameter::Version, version,
                                                  DeviceFindPolicy::ById);
            if (result.known)
                device.versionAfter = version.toString();
            if (!result.known) {
                device.message = QStringLiteral("No result came within %1 s.").arg(m_settings.resultTimeoutSeconds);
                finish(device, Outcome::Failed, ResultCode::kFailure, status, device.message);
            } else {
                finish(device, result.succeeded ? Outcome::Succeeded : Outcome::Failed,
                       result.succeeded ? ResultCode::kSuccess : ResultCode::kFailure, status, result.text);
            }
        });
        poll->start(100);
    }

    void finish(DeviceRun& device, Outcome outcome, int32_t code, int status, const QString& message = {})
    {
        device.outcome = outcome;
        device.code = code;
        device.httpStatus = status;
        device.ended = QDateTime::currentDateTime();
        device.state = outcomeText(outcome);
        if (!message.isEmpty()) {
            device.message = message;
        } else if (outcome == Outcome::Succeeded) {
            device.message.clear();
            device.percent = 100;
        } else if (code != ResultCode::kSuccess) {
            device.message = ResultMessages::text(quint32(code));
        } else {
            device.message = QStringLiteral("The device answered HTTP %1.").arg(status);
        }
        m_progress.event(device, device.state);
        // Released from the loop, not from inside the uploader's own call.
        QTimer::singleShot(0, &m_loop, [&device] {
            device.uploader.reset();
            device.body.reset();
        });
        if (--m_remaining == 0)
            m_loop.quit();
        else
            startNext();
    }

    const Settings& m_settings;
    const QList<DeviceRun*> m_queue;
    Progress& m_progress;
    QEventLoop m_loop;
    qsizetype m_next = 0;
    int m_remaining = 0;
};

QJsonObject reportEntry(const DeviceRun& device, const Settings& settings)
{
    const QFileInfo file(settings.filePath);
    return QJsonObject{
        {QStringLiteral("model"), device.identity.model},
        {QStringLiteral("hostName"), device.identity.hostName},
        {QStringLiteral("ipAddress"), device.identity.ipAddress},
        {QStringLiteral("macAddress"), device.identity.macAddress},
        {QStringLiteral("versionBefore"), device.versionBefore},
        {QStringLiteral("versionAfter"), device.versionAfter},
        {QStringLiteral("fileName"), file.fileName()},
        {QStringLiteral("fileSize"), settings.fileSize},
        {QStringLiteral("fileMd5"), QString::fromLatin1(settings.digest.toHex())},
        {QStringLiteral("result"), outcomeText(device.outcome)},
        {QStringLiteral("code"), ResultCode::toHex(device.code)},
        {QStringLiteral("httpStatus"), device.httpStatus},
        {QStringLiteral("message"), device.message},
        {QStringLiteral("attempts"), device.attempts},
        {QStringLiteral("bytesSent"), device.bytesSent},
        {QStringLiteral("start"), device.started.isValid() ? device.started.toString(Qt::ISODateWithMs) : QString()},
        {QStringLiteral("end"), device.ended.isValid() ? device.ended.toString(Qt::ISODateWithMs) : QString()},
        {QStringLiteral("durationSeconds"), device.started.isValid() && device.ended.isValid()
                                                ? double(device.started.msecsTo(device.ended)) / 1000.0
                                                : 0.0},
    };
}

const QStringList kReportColumns{
    QStringLiteral("model"),      QStringLiteral("hostName"),      QStringLiteral("ipAddress"),
    QStringLiteral("macAddress"), QStringLiteral("versionBefore"), QStringLiteral("versionAfter"),
    QStringLiteral("fileName"),   QStringLiteral("fileSize"),      QStringLiteral("fileMd5"),
    QStringLiteral("result"),     QStringLiteral("code"),          QStringLiteral("httpStatus"),
    QStringLiteral("message"),    QStringLiteral("attempts"),      QStringLiteral("bytesSent"),
    QStringLiteral("start"),      QStringLiteral("end"),           QStringLiteral("durationSeconds"),
};

QString csvField(const QJsonValue& value)
{
    QString text = value.isDouble() ? QString::number(value.toDouble(), 'g', 12) : value.toString();
    if (text.contains(QLatin1Char(',')) || text.contains(QLatin1Char('"')) || text.contains(QLatin1Char('\n')))
        text = QLatin1Char('"') + text.replace(QLatin1Char('"'), QLatin1String("\"\"")) + QLatin1Char('"');
    return text;
}

// JSON or CSV by the file's suffix; false with the reason on `err`.
bool writeReport(const QString& path, const QJsonArray& entries, const QJsonObject& summary, QTextStream& err)
{
    QByteArray content;
    if (path.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive)) {
        QString text = kReportColumns.join(QLatin1Char(',')) + QLatin1Char('\n');
        for (const QJsonValue& entry : entries) {
            QStringList fields;
            for (const QString& column : kReportColumns)
                fields << csvField(entry.toObject().value(column));
            text += fields.join(QLatin1Char(',')) + QLatin1Char('\n');
        }
        content = text.toUtf8();
    } else {
        content = QJsonDocument(QJsonObject{{QStringLiteral("devices"), entries}, {QStringLiteral("summary"), summary}})
                      .toJson(QJsonDocument::Indented);
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit()) {
        err << "corvanectl: cannot write the report " << path << '\n';
        return false;
    }
    return true;
}

// Whether the report can be written where it is asked for, before anything
// is sent: a report that fails after the fleet was updated is evidence lost.
bool reportWritable(const QString& path, QTextStream& err)
{
    const QFileInfo info(path);
    QString reason;
    if (info.isDir())
        reason = QStringLiteral("it is a folder");
    else if (!info.dir().exists())
        reason = QStringLiteral("its folder does not exist");
    else if (info.exists() && !info.isWritable())
        reason = QStringLiteral("it is not writable");
    if (reason.isEmpty()) {
        // Where the report will be written from: a file beside it.
        QSaveFile probe(path);
        if (!probe.open(QIODevice::WriteOnly))
            reason = probe.errorString();
        probe.cancelWriting();
    }
    if (reason.isEmpty())
        return true;
    err << "corvanectl: cannot write the report " << path << ": " << reason << '\n';
    return false;
}

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
            run->message = ResultMessages::text(quint32(operation.disconnected));
        }
    }
}

int runBatch(const BatchOperation& operation, const QString& command, QCommandLineParser& parser,
             const QStringList& arguments, QTextStream& out, QTextStream& err)
{
    const QCommandLineOption parallel(QStringLiteral("parallel"),
                                      QStringLiteral("Uploads at once (1 unless given: one after another)."),
                                      QStringLiteral("n"));
    const QCommandLineOption timeout(QStringLiteral("timeout"),
                                     QStringLiteral("Seconds one device's upload may take (3600 unless given)."),
                                     QStringLiteral("seconds"));
    const QCommandLineOption stallTimeout(
        QStringLiteral("stall-timeout"),
        QStringLiteral("Seconds an upload may move no byte before it ends as a time-out (60 unless given)."),
        QStringLiteral("seconds"));
    const QCommandLineOption retries(
        QStringLiteral("retries"),
        QStringLiteral("Further tries after a failure of the network (never after a device's own answer)."),
        QStringLiteral("n"));
    const QCommandLineOption waitResult(
        QStringLiteral("wait-result"),
        QStringLiteral("After the upload, wait for each device's own result (the installation's, the import's, the "
                       "image check's), pushed over its channel."));
    const QCommandLineOption resultTimeout(QStringLiteral("result-timeout"),
                                           QStringLiteral("Seconds to wait for that result (600 unless given)."),
                                           QStringLiteral("seconds"));
    const QCommandLineOption dryRun(QStringLiteral("dry-run"),
                                    QStringLiteral("Check everything, print the plan, send nothing."));
    const QCommandLineOption strict(QStringLiteral("strict"),
                                    QStringLiteral("Send nothing when any device fails the check."));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("One JSON object per event."));
    const QCommandLineOption report(QStringLiteral("report"),
                                    QStringLiteral("Write a report per device to FILE (.json or .csv)."),
                                    QStringLiteral("file"));
    parser.addPositionalArgument(QStringLiteral("file"), QStringLiteral("The file to send."));
    addScanOptions(parser);
    addTargetOptions(parser);
    parser.addOptions(
        {parallel, timeout, stallTimeout, retries, waitResult, resultTimeout, dryRun, strict, json, report});
    if (const std::optional<int> done = parseOptions(parser, arguments, out, err, 1))
        return *done;
    const QString prefix = QStringLiteral("corvanectl %1: ").arg(command);
    const std::optional<QStringList> named = readTargetNames(parser, command, err);
    if (!named)
        return Usage;
    const QStringList names = *named;
    Settings settings;
    settings.operation = &operation;
    settings.command = command;
    settings.filePath = QFileInfo(parser.positionalArguments().first()).absoluteFilePath();
    settings.json = parser.isSet(json);
    const std::optional<ScanRequest> request = readScanOptions(parser, command, err);
    const std::optional<int> atOnce = numberOption(parser, QStringLiteral("parallel"), 1, 1, 64, err);
    const std::optional<int> timeoutSeconds
        = numberOption(parser, QStringLiteral("timeout"), kDefaultTimeoutSeconds, 1, 24 * 3600, err);
    const std::optional<int> stallSeconds
        = numberOption(parser, QStringLiteral("stall-timeout"), kDefaultStallSeconds, 1, 3600, err);
    const std::optional<int> tries = numberOption(parser, QStringLiteral("retries"), 0, 0, 10, err);
    const std::optional<int> resultSeconds
        = numberOption(parser, QStringLiteral("result-timeout"), 600, 1, 24 * 3600, err);
    if (!request || !atOnce || !timeoutSeconds || !stallSeconds || !tries || !resultSeconds)
        return Usage;
    settings.stallSeconds = *stallSeconds;
    settings.resultTimeoutSeconds = parser.isSet(waitResult) ? *resultSeconds : 0;
    settings.parallel = *atOnce;
    settings.timeoutSeconds = *timeoutSeconds;
    settings.retries = *tries;

    // The file: its kind, that it reads, its digest once for all devices.
    if (!suffixAccepted(operation, settings.filePath)) {
        err << prefix << "the file must end in " << acceptedSuffixes(operation) << ": " << settings.filePath << '\n';
        return Usage;
    }
    const QString fileName = QFileInfo(settings.filePath).fileName();
    if (!MultiPartBody::canQuoteFileName(fileName)) {
        err << prefix << "the file's name cannot be sent (it holds a double quote, a backslash or a control "
            << "character): " << settings.filePath << '\n';
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
    if (parser.isSet(report) && !reportWritable(parser.value(report), err))
        return Usage;
    const std::optional<Credentials> credentials
        = Credentials::load(parser.value(QStringLiteral("password-file")), err);
    if (!credentials)
        return Usage;

    QElapsedTimer clock;
    clock.start();
    DeviceFacade facade;
    settings.facade = &facade;
    // Results come over the devices' push channels, as in the window.
    std::unique_ptr<DeviceNotificationObserver> observer;
    std::unique_ptr<DeviceNotificationSubscriber> subscriber;
    if (settings.resultTimeoutSeconds > 0) {
        observer = std::make_unique<DeviceNotificationObserver>(facade, HttpAccessManager::getInstance());
        subscriber = std::make_unique<DeviceNotificationSubscriber>(facade);
        subscriber->initialize(observer.get());
    }
    DeviceScan scan(facade, *request);
    if (!scan.run(namedDevicesAnswered(facade, names), err))
        return Usage;
    const ScannableInterface* chosen = &request->chosen;
    const QList<DeviceIdentity> found = listDevices(facade);

    const bool full = names.isEmpty() && scan.tableFull(command, err);
    const Targets resolved = resolveTargets(found, names, command, err);
    if (resolved.ambiguous)
        return Usage;
    if (resolved.devices.isEmpty()) {
        if (names.isEmpty())
            err << prefix << "no device answered on " << chosen->interfaceName << '\n';
        for (const QString& name : resolved.missing)
            err << prefix << "no device " << name << " answered on " << chosen->interfaceName << '\n';
        return NoDevice;
    }

    // Every device of the run, those that failed the check included.
    std::vector<std::unique_ptr<DeviceRun>> runs;
    for (const DeviceIdentity& identity : resolved.devices) {
        runs.push_back(std::make_unique<DeviceRun>());
        runs.back()->identity = identity;
    }
    for (const QString& name : resolved.missing) {
        auto run = std::make_unique<DeviceRun>();
        run->identity.macAddress = name;
        run->outcome = Outcome::Skipped;
        run->code = ResultCode::kFailure;
        run->message = QStringLiteral("No such device answered the scan.");
        runs.push_back(std::move(run));
    }

    // The check before anything is sent: logged in, and free to take the
    // file by the operation's rule.
    const QHash<QString, Login> logins = logInAll(facade, resolved.devices, *credentials);
    for (const std::unique_ptr<DeviceRun>& run : runs) {
        if (run->outcome != Outcome::Pending)
            continue;
        const Login login = logins.value(run->identity.macAddress);
        run->authCode = login.authCode;
        if (ResultCode::isFailure(login.result)) {
            run->outcome = Outcome::Skipped;
            run->code = login.result;
            run->message = ResultMessages::text(quint32(login.result));
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
        const int status = running.isValid() ? running.toInt() : -1;
        const bool blocked = operation.busyRule == BatchOperation::BusyRule::NotIdle ? status != 0 : status == 1;
        if (blocked) {
            run->outcome = Outcome::Skipped;
            run->code = operation.busy;
            run->message = ResultMessages::text(quint32(operation.busy));
        }
    }

    if (observer)
        openChannels(runs, facade, *observer, operation);

    QList<DeviceRun*> all_;
    QList<DeviceRun*> queue;
    for (const std::unique_ptr<DeviceRun>& run : runs) {
        all_.append(run.get());
        if (run->outcome == Outcome::Pending)
            queue.append(run.get());
        else
            run->state = QStringLiteral("skipped");
    }
    Progress progress(out, settings, all_);
    for (DeviceRun* run : std::as_const(all_)) {
        if (run->outcome == Outcome::Skipped)
            progress.event(*run, QStringLiteral("skipped"));
    }
    const bool checkFailed = queue.size() != all_.size();
    if (parser.isSet(dryRun)) {
        for (DeviceRun* run : std::as_const(queue)) {
            run->state = QStringLiteral("ready");
            progress.event(*run, QStringLiteral("ready"));
        }
        if (!settings.json)
            out << command << ": " << queue.size() << " of " << all_.size() << " devices ready for "
                << QFileInfo(settings.filePath).fileName() << " (md5 " << settings.digest.toHex()
                << "); nothing sent\n";
        return checkFailed || full ? SomeFailed : Success;
    }
    if (checkFailed && parser.isSet(strict)) {
        err << prefix << "a device failed the check; with --strict nothing is sent\n";
        return Usage;
    }

    Runner(settings, queue, progress).run();

    int succeeded = 0;
    int failed = 0;
    int skipped = 0;
    QJsonArray entries;
    for (const DeviceRun* run : std::as_const(all_)) {
        succeeded += run->outcome == Outcome::Succeeded ? 1 : 0;
        failed += run->outcome == Outcome::Failed ? 1 : 0;
        skipped += run->outcome == Outcome::Skipped ? 1 : 0;
        entries.append(reportEntry(*run, settings));
    }
    const double elapsed = double(clock.elapsed()) / 1000.0;
    const QJsonObject summary{{QStringLiteral("operation"), command},
                              {QStringLiteral("succeeded"), succeeded},
                              {QStringLiteral("failed"), failed},
                              {QStringLiteral("skipped"), skipped},
                              {QStringLiteral("seconds"), elapsed}};
    if (parser.isSet(report) && !writeReport(parser.value(report), entries, summary, err))
        return SomeFailed;
    if (settings.json)
        printJson(out, QJsonObject{{QStringLiteral("event"), QStringLiteral("summary")},
                                   {QStringLiteral("summary"), summary}});
    else
        out << command << ": " << succeeded << " succeeded, " << failed << " failed, " << skipped << " skipped in "
            << QString::number(elapsed, 'f', 1) << " s\n";
    return failed + skipped > 0 || full ? SomeFailed : Success;
}

} // namespace

int runUpdate(QCommandLineParser& parser, const QStringList& arguments, QTextStream& out, QTextStream& err)
{
    return runBatch(BatchOperations::kFirmwareUpdate, QStringLiteral("update"), parser, arguments, out, err);
}

int runImport(QCommandLineParser& parser, const QStringList& arguments, QTextStream& out, QTextStream& err)
{
    return runBatch(BatchOperations::kConfigurationImport, QStringLiteral("import"), parser, arguments, out, err);
}

int runImage(QCommandLineParser& parser, const QStringList& arguments, QTextStream& out, QTextStream& err)
{
    return runBatch(BatchOperations::kStandbyScreenImageChange, QStringLiteral("image"), parser, arguments, out, err);
}

} // namespace Ctl
