#pragma once

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonValue>
#include <QList>
#include <QStringList>

#include <optional>

class QTextStream;
struct ScannableInterface;

namespace Ctl {

// Parses a command's options (its --help and --verbose already added) and
// exactly `positionals` other arguments: nullopt to go on, or the exit
// status to end with (help shown, or a usage error explained on `err`).
std::optional<int> parseOptions(QCommandLineParser& parser, const QStringList& arguments, QTextStream& out,
                                QTextStream& err, int positionals = 0);

// The interface named by name or by one of its IPv4 addresses; nullopt with
// the reason on `err`.
std::optional<ScannableInterface> findInterface(const QString& nameOrAddress, QTextStream& err);

// A non-negative whole number option; nullopt with the reason on `err`.
std::optional<int> numberOption(const QCommandLineParser& parser, const QString& name, int defaultValue, int least,
                                int most, QTextStream& err);

// The cells of one CSV line ("" for a quote inside quotes); a line break
// inside quotes is not joined.
QStringList csvCells(const QString& line);

// A MAC address (":" or "-" between its bytes, any letter case) or an IPv4
// address: a name no two devices share.
bool isAddress(const QString& name);

// The text as a terminal may show it: control characters (C0, DEL, C1) as
// "\n", "\r", "\t" or "\xNN", and the characters that turn a line's
// direction as "\u{NNNN}", so that a device's name can neither move the
// cursor, nor split a row, nor disguise what follows it.
QString printable(const QString& text);

// Now in UTC, ISO 8601 with milliseconds and "Z".
QString utcNow();

// Rows as aligned columns under their titles, two spaces apart, every cell
// printable().
void printTable(QTextStream& out, const QStringList& titles, const QList<QStringList>& rows);

// The value as compact JSON on one line.
void printJson(QTextStream& out, const QJsonValue& value);

// Records as CSV: the keys as the header, then a line per record. A field
// holding a comma, a quote, CR or LF is quoted; one a spreadsheet would take
// for a formula (it starts with =, +, -, @, tab or CR) is kept text by a
// leading apostrophe. Numbers as numbers, a missing key empty.
QString csvText(const QStringList& keys, const QJsonArray& records);

// What `discover`, `info` and `interfaces` print: --output table|json|csv,
// and --json, the same as --output json.
enum class Output { Table, Json, Csv };
void addOutputOptions(QCommandLineParser& parser);
// nullopt with the reason on `err` (for `command`).
std::optional<Output> readOutput(const QCommandLineParser& parser, const QString& command, QTextStream& err);

} // namespace Ctl
