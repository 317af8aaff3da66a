#include "BatchReport.h"

#include "BatchRun.h"
#include "CtlCommon.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>
#include <QStringList>
#include <QTextStream>

#include <algorithm>

namespace Ctl {

namespace {

const QStringList kReportColumns{
    QStringLiteral("model"),      QStringLiteral("hostName"),      QStringLiteral("ipAddress"),
    QStringLiteral("macAddress"), QStringLiteral("versionBefore"), QStringLiteral("versionAfter"),
    QStringLiteral("fileName"),   QStringLiteral("fileSize"),      QStringLiteral("fileMd5"),
    QStringLiteral("result"),     QStringLiteral("code"),          QStringLiteral("httpStatus"),
    QStringLiteral("message"),    QStringLiteral("attempts"),      QStringLiteral("bytesSent"),
    QStringLiteral("start"),      QStringLiteral("end"),           QStringLiteral("durationSeconds"),
};

QString isoUtc(const QDateTime& time)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString();
}

} // namespace

QJsonObject reportEntry(const DeviceRun& device, const BatchSettings& settings)
{
    return QJsonObject{
        {QStringLiteral("model"), device.identity.model},
        {QStringLiteral("hostName"), device.identity.hostName},
        {QStringLiteral("ipAddress"), device.identity.ipAddress},
        {QStringLiteral("macAddress"), device.identity.macAddress},
        {QStringLiteral("versionBefore"), device.versionBefore},
        {QStringLiteral("versionAfter"), device.versionAfter},
        {QStringLiteral("fileName"), QFileInfo(settings.filePath).fileName()},
        {QStringLiteral("fileSize"), settings.fileSize},
        {QStringLiteral("fileMd5"), QString::fromLatin1(settings.digest.toHex())},
        {QStringLiteral("result"), outcomeName(device.outcome)},
        {QStringLiteral("code"), ResultCode::toHex(device.code)},
        {QStringLiteral("httpStatus"), device.httpStatus},
        {QStringLiteral("message"), device.message},
        {QStringLiteral("attempts"), device.attempts},
        {QStringLiteral("bytesSent"), device.bytesSent},
        {QStringLiteral("start"), isoUtc(device.started)},
        {QStringLiteral("end"), isoUtc(device.ended)},
        {QStringLiteral("durationSeconds"), device.started.isValid() && device.ended.isValid()
                                                ? double(device.started.msecsTo(device.ended)) / 1000.0
                                                : 0.0},
    };
}

namespace {

// The outcomes a run's devices end with, in the summary's order.
constexpr Outcome kEnds[] = {Outcome::Succeeded, Outcome::Failed, Outcome::Skipped,   Outcome::Interrupted,
                             Outcome::Unknown,   Outcome::Ready,  Outcome::Unchanged, Outcome::IdentityChanged};

} // namespace

QJsonObject batchSummary(const QString& command, const QList<const DeviceRun*>& devices, double seconds)
{
    QJsonObject summary{{QStringLiteral("operation"), command}};
    for (Outcome outcome : kEnds) {
        const auto ended = [outcome](const DeviceRun* device) { return device->outcome == outcome; };
        summary.insert(outcomeName(outcome), int(std::count_if(devices.cbegin(), devices.cend(), ended)));
    }
    summary.insert(QStringLiteral("seconds"), seconds);
    return summary;
}

QString summaryText(const QJsonObject& summary, const BatchSettings& settings, bool dryRun)
{
    const auto count = [&summary](Outcome outcome) { return summary.value(outcomeName(outcome)).toInt(); };
    const QString command = summary.value(QStringLiteral("operation")).toString();
    if (count(Outcome::Ready) > 0 || dryRun) {
        int devices = 0;
        for (Outcome outcome : kEnds)
            devices += count(outcome);
        return QStringLiteral("%1: %2 of %3 devices ready for %4 (md5 %5); nothing sent")
            .arg(command)
            .arg(count(Outcome::Ready))
            .arg(devices)
            .arg(printable(QFileInfo(settings.filePath).fileName()), QString::fromLatin1(settings.digest.toHex()));
    }
    QString text = QStringLiteral("%1: %2 succeeded, %3 failed, %4 skipped")
                       .arg(command)
                       .arg(count(Outcome::Succeeded))
                       .arg(count(Outcome::Failed))
                       .arg(count(Outcome::Skipped));
    for (Outcome outcome : {Outcome::Interrupted, Outcome::Unknown, Outcome::Unchanged, Outcome::IdentityChanged}) {
        if (count(outcome) > 0)
            text += QStringLiteral(", %1 %2").arg(count(outcome)).arg(outcomeName(outcome));
    }
    return text + QStringLiteral(" in %1 s").arg(summary.value(QStringLiteral("seconds")).toDouble(), 0, 'f', 1);
}

QByteArray csvReport(const QJsonArray& entries)
{
    return QByteArray("\xEF\xBB\xBF") + csvText(kReportColumns, entries).toUtf8();
}

bool writeReport(const QString& path, const QJsonArray& entries, const QJsonObject& summary, QTextStream& err)
{
    const QByteArray content
        = path.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive)
              ? csvReport(entries)
              : QJsonDocument(QJsonObject{{QStringLiteral("devices"), entries}, {QStringLiteral("summary"), summary}})
                    .toJson(QJsonDocument::Indented);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit()) {
        err << "corvanectl: cannot write the report " << path << ": " << file.errorString() << '\n';
        return false;
    }
    return true;
}

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

QString ReportJournal::pathFor(const QString& reportPath)
{
    return reportPath + QStringLiteral(".jsonl");
}

bool ReportJournal::open(const QString& reportPath, QTextStream& err)
{
    m_file.setFileName(pathFor(reportPath));
    if (m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return true;
    err << "corvanectl: cannot write the journal " << m_file.fileName() << ": " << m_file.errorString() << '\n';
    return false;
}

void ReportJournal::append(const QJsonObject& entry)
{
    if (m_file.isOpen())
        m_file.write(QJsonDocument(entry).toJson(QJsonDocument::Compact) + '\n');
}

} // namespace Ctl
