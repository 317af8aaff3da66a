#include "BatchReport.h"

#include "BatchRun.h"
#include "CtlCommon.h"
#include "OutputFile.h"
#include "ResultsReport.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>
#include <QStringList>
#include <QTextStream>

#include <algorithm>

namespace Ctl {

namespace {

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
        {QStringLiteral("key"), device.key},
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
constexpr Outcome kEnds[]
    = {Outcome::Succeeded, Outcome::Failed,        Outcome::Skipped,      Outcome::Interrupted,
       Outcome::Unknown,   Outcome::Ready,         Outcome::Unchanged,    Outcome::IdentityChanged,
       Outcome::NewKey,    Outcome::AddressShared, Outcome::StoreUnusable};

} // namespace

QJsonObject batchSummary(const QString& command, const QList<const DeviceRun*>& devices, double seconds,
                         int tableFullAt)
{
    QJsonObject summary{{QStringLiteral("operation"), command}};
    for (Outcome outcome : kEnds) {
        const auto ended = [outcome](const DeviceRun* device) { return device->outcome == outcome; };
        summary.insert(outcomeName(outcome), int(std::count_if(devices.cbegin(), devices.cend(), ended)));
    }
    summary.insert(QStringLiteral("seconds"), seconds);
    summary.insert(QStringLiteral("tableFull"), tableFullAt > 0);
    if (tableFullAt > 0)
        summary.insert(QStringLiteral("maxDevices"), tableFullAt);
    return summary;
}

namespace {

QString tableFullNote(const QJsonObject& summary)
{
    if (!summary.value(QStringLiteral("tableFull")).toBool())
        return {};
    return QStringLiteral("; the device table filled up at %1 devices (--max-devices): the site may hold more")
        .arg(summary.value(QStringLiteral("maxDevices")).toInt());
}

} // namespace

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
                   .arg(printable(QFileInfo(settings.filePath).fileName()),
                        QString::fromLatin1(settings.digest.toHex()))
               + tableFullNote(summary);
    }
    QString text = QStringLiteral("%1: %2 succeeded, %3 failed, %4 skipped")
                       .arg(command)
                       .arg(count(Outcome::Succeeded))
                       .arg(count(Outcome::Failed))
                       .arg(count(Outcome::Skipped));
    for (Outcome outcome : {Outcome::Interrupted, Outcome::Unknown, Outcome::Unchanged, Outcome::IdentityChanged,
                            Outcome::NewKey, Outcome::AddressShared, Outcome::StoreUnusable}) {
        if (count(outcome) > 0)
            text += QStringLiteral(", %1 %2").arg(count(outcome)).arg(outcomeName(outcome));
    }
    return text + QStringLiteral(" in %1 s").arg(summary.value(QStringLiteral("seconds")).toDouble(), 0, 'f', 1)
           + tableFullNote(summary);
}

QByteArray csvReport(const QJsonArray& entries)
{
    return ResultsReport::csv(entries);
}

bool writeReport(const QString& path, const QJsonArray& entries, const QJsonObject& summary, QTextStream& err,
                 QTextStream& out)
{
    const QByteArray content = ResultsReport::content(path, entries, summary);
    if (isStandardOutput(path)) {
        out << QString::fromUtf8(content);
        out.flush();
        return out.status() == QTextStream::Ok;
    }
    // Looked at again: the path may have become something else meanwhile.
    QString why = outputPathRefusal(path);
    if (why.isEmpty() && ResultsReport::writeWhole(path, content, why))
        return true;
    err << "corvanectl: cannot write the report " << path << ": " << why << '\n';
    return false;
}

bool reportWritable(const QString& path, QTextStream& err)
{
    if (isStandardOutput(path))
        return true;
    for (const QString& written : {path, ReportJournal::pathFor(path)}) {
        QString reason = outputPathRefusal(written);
        if (reason.isEmpty() && written == path) {
            // Where the report will be written from: a file beside it.
            QSaveFile probe(path);
            if (!probe.open(QIODevice::WriteOnly))
                reason = probe.errorString();
            probe.cancelWriting();
        }
        if (!reason.isEmpty()) {
            err << "corvanectl: cannot write the " << (written == path ? "report " : "journal ") << written << ": "
                << reason << '\n';
            return false;
        }
    }
    return true;
}

QString ReportJournal::pathFor(const QString& reportPath)
{
    return reportPath + QStringLiteral(".jsonl");
}

bool ReportJournal::open(const QString& reportPath, QTextStream& err)
{
    QString why;
    m_path = pathFor(reportPath);
    if (openOutputFile(m_file, m_path, why))
        return true;
    err << "corvanectl: cannot write the journal " << pathFor(reportPath) << ": " << why << '\n';
    return false;
}

void ReportJournal::append(const QJsonObject& entry, QTextStream& err)
{
    if (!m_file.isOpen() || m_failed)
        return;
    const QByteArray line = QJsonDocument(entry).toJson(QJsonDocument::Compact) + '\n';
    if (m_file.write(line) == line.size())
        return;
    m_failed = true;
    err << "corvanectl: cannot write the journal " << m_path << ": " << m_file.errorString() << '\n';
}

} // namespace Ctl
