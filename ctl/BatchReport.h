#pragma once

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

class QTextStream;

namespace Ctl {

struct BatchSettings;
struct DeviceRun;

// A device's entry in the report: the same fields in JSON, CSV and the
// journal, times in UTC.
QJsonObject reportEntry(const DeviceRun& device, const BatchSettings& settings);

// The run's summary: the operation, the number of devices per outcome
// ("succeeded", "failed", "skipped", "interrupted", "unknown", "ready",
// "unchanged", "identity-changed", "new-key", "address-shared",
// "store-unusable"), the seconds it took, and "tableFull": whether --all
// met a full device table (the site may hold more devices than were worked
// on), with its size as "maxDevices" when so (`tableFullAt`; 0: not full).
QJsonObject batchSummary(const QString& command, const QList<const DeviceRun*>& devices, double seconds,
                         int tableFullAt = 0);
// The summary as one line for a person: "update: 6 succeeded, 0 failed, 2
// skipped in 3.1 s", the other outcomes named only when there are any; for
// a dry run (or when devices were found ready) the devices ready for the
// file, and that nothing was sent. A full device table is said at the end.
QString summaryText(const QJsonObject& summary, const BatchSettings& settings, bool dryRun);

// The report as CSV: a UTF-8 byte-order mark (spreadsheets read UTF-8 by
// it), the columns, then a line per entry. A field holding a comma, a quote,
// CR or LF is quoted; one that a spreadsheet would take for a formula (it
// starts with =, +, -, @, tab or CR) is kept text by a leading apostrophe.
QByteArray csvReport(const QJsonArray& entries);

// The report's path that means standard output.
inline bool isStandardOutput(const QString& reportPath)
{
    return reportPath == QLatin1String("-");
}

// Writes the report, CSV when the path ends in ".csv", else JSON with the
// summary; all or nothing, every step of the write checked (a full disk
// leaves what was there). "-" writes the JSON to `out`. False with the reason
// on `err`.
bool writeReport(const QString& path, const QJsonArray& entries, const QJsonObject& summary, QTextStream& err,
                 QTextStream& out);

// Whether the report and its journal can be written there, tried before
// anything is sent: a report that fails after the fleet was updated is
// evidence lost. Only a regular file or a new path is written (never a
// device node, a FIFO, a folder or a symbolic link). False with the reason
// on `err`.
bool reportWritable(const QString& path, QTextStream& err);

// The report's journal beside it ("<report>.jsonl"): one JSON line per
// device as it ends, each flushed to the system at once, so that a process
// killed mid-batch still leaves what was done.
class ReportJournal
{
public:
    static QString pathFor(const QString& reportPath);

    // Starts the journal anew; false with the reason on `err`.
    bool open(const QString& reportPath, QTextStream& err);
    // Nothing when it is not open; a line that cannot be written (a full
    // disk) is said once on `err`, and failed() holds from then on.
    void append(const QJsonObject& entry, QTextStream& err);
    bool failed() const { return m_failed; }

private:
    QFile m_file;
    QString m_path;
    bool m_failed = false;
};

} // namespace Ctl
