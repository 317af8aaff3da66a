#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// A batch's results as a file, the same from the window and from
// corvanectl: one entry per device under the same columns, CSV for a
// spreadsheet or JSON, written whole or not at all. Pure functions of their
// arguments; any thread.
namespace ResultsReport {

// The columns, in order; an entry's keys.
const QStringList& columns();

// The text as a terminal may show it: control characters (C0, DEL, C1) as
// "\n", "\r", "\t" or "\xNN", and the characters that turn a line's
// direction as "\u{NNNN}", so that a device's name can neither move the
// cursor, nor split a row, nor disguise what follows it.
QString printable(const QString& text);

// Records as CSV: the keys as the header, then a line per record. A field
// holding a comma, a quote, CR or LF is quoted; one a spreadsheet would take
// for a formula (it starts with =, +, -, @, tab or CR) is kept text by a
// leading apostrophe. Numbers as numbers, a missing key empty.
QString csvText(const QStringList& keys, const QJsonArray& records);

// The entries as CSV under columns(), after a UTF-8 byte-order mark
// (spreadsheets read UTF-8 by it).
QByteArray csv(const QJsonArray& entries);

// CSV when the path ends in ".csv" (any case), else JSON: {"devices":
// entries, "summary": summary}, indented.
QByteArray content(const QString& path, const QJsonArray& entries, const QJsonObject& summary);

// Writes `bytes` to `path` all or nothing: every step of the write is
// checked (a full disk leaves what was there). False with the reason in
// `why`.
bool writeWhole(const QString& path, const QByteArray& bytes, QString& why);

} // namespace ResultsReport
