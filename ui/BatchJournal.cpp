#include "BatchJournal.h"

#include "BatchOperation.h"
#include "BatchRules.h"
#include "DeviceData.h"
#include "DeviceFacade.h"
#include "Logger.h"
#include "ResultsReport.h"

#include <QFileInfo>
#include <QSet>
#include <QVariantMap>

#include <algorithm>

namespace {

// A reason from the login dialog is shown and saved, not parsed: kept short.
constexpr int kReasonMaxLength = 200;

const char* outcomeName(BatchJournal::Outcome outcome)
{
    switch (outcome) {
    case BatchJournal::Outcome::Waiting:
        return "waiting";
    case BatchJournal::Outcome::Running:
        return "running";
    case BatchJournal::Outcome::Installing:
        return "installing";
    case BatchJournal::Outcome::Succeeded:
        return "succeeded";
    case BatchJournal::Outcome::Failed:
        return "failed";
    case BatchJournal::Outcome::Skipped:
        return "skipped";
    case BatchJournal::Outcome::Stopped:
        return "stopped";
    case BatchJournal::Outcome::NotStarted:
        return "not-started";
    case BatchJournal::Outcome::NoResult:
        return "no-result";
    }
    return "";
}

bool isFinal(BatchJournal::Outcome outcome)
{
    return outcome != BatchJournal::Outcome::Waiting && outcome != BatchJournal::Outcome::Running
           && outcome != BatchJournal::Outcome::Installing;
}

QString isoUtc(const QDateTime& time)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString();
}

QString devices(int count)
{
    return count == 1 ? QStringLiteral("1 device") : QStringLiteral("%1 devices").arg(count);
}

} // namespace

BatchJournal::BatchJournal(DeviceFacade& facade, QObject* parent)
    : QObject(parent)
    , m_facade(facade)
{
    m_resultTimer.setSingleShot(true);
    connect(&m_resultTimer, &QTimer::timeout, this, [this] {
        for (Device& device : m_devices) {
            if (device.outcome != Outcome::Installing && device.outcome != Outcome::Running)
                continue;
            settle(device, Outcome::NoResult, QStringLiteral("No result"));
            m_facade.setDeviceParameter(device.id, m_operation->resultParameter,
                                        QVariant::fromValue(BatchMark::NoResult), DeviceFindPolicy::ById);
        }
        finishIfDone();
    });
}

void BatchJournal::begin(const BatchOperation& operation, const QString& title, const QStringList& devices,
                         const QVariantList& skipped, const QString& filePath)
{
    for (const QMetaObject::Connection& watch : std::as_const(m_watches))
        disconnect(watch);
    m_watches.clear();
    m_resultTimer.stop();
    m_devices.clear();
    m_operation = &operation;
    m_title = title;
    m_fileName = QFileInfo(filePath).fileName();
    m_fileSize = QFileInfo(filePath).size();
    m_started = QDateTime::currentDateTimeUtc();
    m_finished = QDateTime();
    m_uploadsDone = false;

    QSet<QString> listed;
    const auto add = [&](const QString& id) {
        if (id.isEmpty() || listed.contains(id))
            return static_cast<Device*>(nullptr);
        listed.insert(id);
        Device device;
        device.id = id;
        QVariant value;
        if (m_facade.getDeviceParameter(id, DeviceParameter::ModelName, value, DeviceFindPolicy::ById))
            device.model = value.toString();
        if (m_facade.getDeviceParameter(id, DeviceParameter::HostName, value, DeviceFindPolicy::ById))
            device.hostName = value.toString();
        if (m_facade.getDeviceParameter(id, DeviceParameter::IpAddress, value, DeviceFindPolicy::ById))
            device.ipAddress = value.toString();
        if (m_facade.getDeviceParameter(id, DeviceParameter::Version, value, DeviceFindPolicy::ById))
            device.versionBefore = value.toString();
        m_devices.append(device);
        return &m_devices.last();
    };
    for (const QString& id : devices) {
        if (add(id) == nullptr)
            continue;
        // The last batch's result would read as this one's.
        m_facade.setDeviceParameter(id, operation.resultParameter, QVariant::fromValue(BatchMark::Waiting),
                                    DeviceFindPolicy::ById);
        std::shared_ptr<DeviceData> record;
        if (m_facade.getDeviceData(id, record)) {
            m_watches << connect(record.get(), &DeviceData::dataChanged, this,
                                 [this, id](const QString&, DeviceParameter type) {
                                     if (m_operation != nullptr && type == m_operation->resultParameter)
                                         onRecordChanged(id);
                                 });
        }
    }
    // At most one entry per device of the batch: the list comes with it.
    for (const QVariant& item : skipped) {
        const QVariantMap entry = item.toMap();
        Device* device = add(entry.value(QStringLiteral("device")).toString());
        if (device != nullptr)
            settle(*device, Outcome::Skipped, entry.value(QStringLiteral("reason")).toString().left(kReasonMaxLength));
    }

    m_busy = true;
    Q_EMIT busyChanged();
    if (m_ended) {
        m_ended = false;
        Q_EMIT endedChanged();
    }
    say(QStringLiteral("%1 started: %2").arg(m_title, ::devices(int(m_devices.size()))));
}

void BatchJournal::deviceStarting(const QString& deviceId)
{
    if (Device* device = find(deviceId)) {
        device->outcome = Outcome::Running;
        device->start = QDateTime::currentDateTimeUtc();
        device->attempts = 1;
    }
}

void BatchJournal::deviceHandled(const QString& deviceId, bool accepted)
{
    Device* device = find(deviceId);
    if (device == nullptr || device->outcome != Outcome::Running)
        return; // its result has come already
    if (accepted) {
        device->outcome = Outcome::Installing;
        return;
    }
    // A failure that wrote no result (no address or login to send with).
    settle(*device, Outcome::Failed, QStringLiteral("Not sent"));
}

void BatchJournal::stopRequested(bool now)
{
    if (!m_busy || m_uploadsDone)
        return;
    say(now ? QStringLiteral("Stopping now: the running upload is ended")
            : QStringLiteral("Stopping: the running device finishes, no other starts"));
}

void BatchJournal::uploadsDone()
{
    if (!m_busy)
        return;
    m_uploadsDone = true;
    for (Device& device : m_devices) {
        if (device.outcome != Outcome::Waiting)
            continue;
        settle(device, Outcome::NotStarted, QStringLiteral("Not started"));
        m_facade.setDeviceParameter(device.id, m_operation->resultParameter, QVariant::fromValue(BatchMark::NotStarted),
                                    DeviceFindPolicy::ById);
    }
    const int installing = count(Outcome::Installing);
    if (installing > 0) {
        m_line = QStringLiteral("%1 finishing: waiting for %2 to report").arg(m_title, ::devices(installing));
        Q_EMIT lineChanged();
        m_resultTimer.start(m_resultTimeoutMs);
    }
    finishIfDone();
}

BatchJournal::Device* BatchJournal::find(const QString& deviceId)
{
    for (Device& device : m_devices) {
        if (device.id == deviceId)
            return &device;
    }
    return nullptr;
}

void BatchJournal::settle(Device& device, Outcome outcome, const QString& message)
{
    device.outcome = outcome;
    device.message = message;
    device.end = QDateTime::currentDateTimeUtc();
}

void BatchJournal::onRecordChanged(const QString& deviceId)
{
    Device* device = find(deviceId);
    if (device == nullptr || m_operation == nullptr || isFinal(device->outcome))
        return;
    QVariant value;
    if (!m_facade.getDeviceParameter(deviceId, m_operation->resultParameter, value, DeviceFindPolicy::ById))
        return;
    if (value.metaType() == QMetaType::fromType<BatchMark>()) {
        if (value.value<BatchMark>() == BatchMark::Stopped)
            settle(*device, Outcome::Stopped, QStringLiteral("Stopped by the operator"));
    } else if (device->outcome != Outcome::Waiting) {
        const BatchRules::PushedResult result = BatchRules::pushedResult(*m_operation, value);
        if (!result.known)
            return;
        const bool skipped = result.text == QLatin1String("Update skipped");
        settle(*device,
               result.succeeded ? Outcome::Succeeded
               : skipped        ? Outcome::Skipped
                                : Outcome::Failed,
               result.text);
    }
    if (m_uploadsDone)
        finishIfDone();
}

void BatchJournal::finishIfDone()
{
    if (!m_busy || !m_uploadsDone)
        return;
    for (const Device& device : std::as_const(m_devices)) {
        if (!isFinal(device.outcome))
            return;
    }
    finish();
}

void BatchJournal::finish()
{
    m_resultTimer.stop();
    m_finished = QDateTime::currentDateTimeUtc();
    for (Device& device : m_devices) {
        QVariant value;
        if (m_facade.getDeviceParameter(device.id, DeviceParameter::Version, value, DeviceFindPolicy::ById))
            device.versionAfter = value.toString();
    }
    for (const QMetaObject::Connection& watch : std::as_const(m_watches))
        disconnect(watch);
    m_watches.clear();
    const QString text = summaryText();
    CORVANE_LOG(text);
    m_ended = true;
    Q_EMIT endedChanged();
    // Said before the batch stops being busy: a close that waits for it
    // comes after the summary.
    say(text);
    m_busy = false;
    Q_EMIT busyChanged();
}

void BatchJournal::say(const QString& text)
{
    m_line = text;
    Q_EMIT lineChanged();
    Q_EMIT announced(text);
}

int BatchJournal::count(Outcome outcome) const
{
    return int(std::count_if(m_devices.cbegin(), m_devices.cend(),
                             [outcome](const Device& device) { return device.outcome == outcome; }));
}

QString BatchJournal::summaryText() const
{
    QString text = QStringLiteral("%1 finished: %2 succeeded, %3 failed, %4 skipped, %5 stopped")
                       .arg(m_title)
                       .arg(count(Outcome::Succeeded))
                       .arg(count(Outcome::Failed))
                       .arg(count(Outcome::Skipped))
                       .arg(count(Outcome::Stopped) + count(Outcome::NotStarted));
    if (const int missing = count(Outcome::NoResult))
        text += QStringLiteral(", %1 no result").arg(missing);
    return text;
}

QJsonArray BatchJournal::entries() const
{
    QJsonArray entries;
    for (const Device& device : m_devices) {
        entries.append(QJsonObject{
            {QStringLiteral("model"), device.model},
            {QStringLiteral("hostName"), device.hostName},
            {QStringLiteral("ipAddress"), device.ipAddress},
            {QStringLiteral("macAddress"), device.id},
            {QStringLiteral("versionBefore"), device.versionBefore},
            {QStringLiteral("versionAfter"), device.versionAfter},
            {QStringLiteral("fileName"), m_fileName},
            {QStringLiteral("fileSize"), m_fileSize},
            {QStringLiteral("result"), QLatin1String(outcomeName(device.outcome))},
            {QStringLiteral("message"), device.message},
            {QStringLiteral("attempts"), device.attempts},
            {QStringLiteral("start"), isoUtc(device.start)},
            {QStringLiteral("end"), isoUtc(device.end)},
            {QStringLiteral("durationSeconds"),
             device.start.isValid() && device.end.isValid() ? double(device.start.msecsTo(device.end)) / 1000.0 : 0.0},
        });
    }
    return entries;
}

QJsonObject BatchJournal::summary() const
{
    QJsonObject summary{{QStringLiteral("operation"), m_title}};
    for (Outcome outcome : {Outcome::Succeeded, Outcome::Failed, Outcome::Skipped, Outcome::Stopped,
                            Outcome::NotStarted, Outcome::NoResult})
        summary.insert(QLatin1String(outcomeName(outcome)), count(outcome));
    summary.insert(QStringLiteral("seconds"),
                   m_started.isValid() && m_finished.isValid() ? double(m_started.msecsTo(m_finished)) / 1000.0 : 0.0);
    return summary;
}

QString BatchJournal::saveResults(const QUrl& file) const
{
    if (!m_ended)
        return QStringLiteral("no batch has ended");
    const QString path = file.toLocalFile();
    if (path.isEmpty())
        return QStringLiteral("not a local file");
    QString why;
    if (ResultsReport::writeWhole(path, ResultsReport::content(path, entries(), summary()), why)) {
        CORVANE_LOG(QStringLiteral("batch results saved to %1").arg(path));
        return QString();
    }
    CORVANE_LOG(QStringLiteral("cannot save the batch results to %1: %2").arg(path, why));
    return why;
}
