#include "CtlCommon.h"

#include "ResultsReport.h"
#include "ScannableInterfaces.h"

#include <QDateTime>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTextStream>

namespace Ctl {

namespace {

// Qt's help names the program as started; the command belongs in it too.
QString helpText(const QCommandLineParser& parser, const QString& command)
{
    QString text = parser.helpText();
    // The positional arguments after the options stay.
    const qsizetype lineEnd = text.indexOf(QLatin1Char('\n'));
    const qsizetype options = text.indexOf(QLatin1String("[options]"));
    const QString positionals
        = options >= 0 && options < lineEnd ? text.mid(options + 9, lineEnd - options - 9) : QString();
    return text.replace(0, lineEnd, QStringLiteral("Usage: %1 [options]%2").arg(command, positionals));
}

} // namespace

std::optional<int> parseOptions(QCommandLineParser& parser, const QStringList& arguments, QTextStream& out,
                                QTextStream& err, int positionals)
{
    if (!parser.parse(arguments)) {
        err << arguments.first() << ": " << parser.errorText() << "\n\n" << helpText(parser, arguments.first());
        return 2;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        out << helpText(parser, arguments.first());
        return 0;
    }
    if (parser.positionalArguments().size() != positionals) {
        const QString problem = parser.positionalArguments().size() > positionals
                                    ? QStringLiteral("unexpected \"%1\"").arg(parser.positionalArguments().last())
                                    : QStringLiteral("an argument is missing");
        err << arguments.first() << ": " << problem << "\n\n" << helpText(parser, arguments.first());
        return 2;
    }
    return std::nullopt;
}

std::optional<ScannableInterface> findInterface(const QString& nameOrAddress, QTextStream& err)
{
    const QList<ScannableInterface> rows = scannableInterfaces();
    for (const ScannableInterface& row : rows) {
        if (row.interfaceName == nameOrAddress || row.ipAddress == nameOrAddress)
            return row;
    }
    err << "corvanectl: no interface with an IPv4 address is named \"" << nameOrAddress
        << "\"; 'corvanectl interfaces' lists them\n";
    return std::nullopt;
}

std::optional<int> numberOption(const QCommandLineParser& parser, const QString& name, int defaultValue, int least,
                                int most, QTextStream& err)
{
    if (!parser.isSet(name))
        return defaultValue;
    bool ok = false;
    const int value = parser.value(name).toInt(&ok);
    if (ok && value >= least && value <= most)
        return value;
    err << "corvanectl: --" << name << " takes a whole number from " << least << " to " << most << ", not \""
        << parser.value(name) << "\"\n";
    return std::nullopt;
}

bool isAddress(const QString& name)
{
    static const QRegularExpression mac(QStringLiteral("^([0-9A-Fa-f]{2}[:-]){5}[0-9A-Fa-f]{2}$"));
    return mac.match(name).hasMatch() || QHostAddress(name).protocol() == QAbstractSocket::IPv4Protocol;
}

QString printable(const QString& text)
{
    return ResultsReport::printable(text);
}

QString utcNow()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

void printTable(QTextStream& out, const QStringList& titles, const QList<QStringList>& rows)
{
    QList<int> widths;
    for (const QString& title : titles)
        widths.append(int(title.size()));
    QList<QStringList> shown;
    for (const QStringList& row : rows) {
        shown.append(QStringList());
        for (const QString& cell : row)
            shown.last().append(printable(cell));
    }
    for (const QStringList& row : std::as_const(shown)) {
        for (int column = 0; column < row.size() && column < widths.size(); ++column)
            widths[column] = std::max(widths.at(column), int(row.at(column).size()));
    }
    const auto line = [&](const QStringList& cells) {
        QString text;
        for (int column = 0; column < cells.size(); ++column) {
            const bool last = column + 1 == cells.size();
            text += last ? cells.at(column) : cells.at(column).leftJustified(widths.value(column) + 2);
        }
        out << text << '\n';
    };
    line(titles);
    for (const QStringList& row : std::as_const(shown))
        line(row);
}

void printJson(QTextStream& out, const QJsonValue& value)
{
    const QJsonDocument document = value.isArray() ? QJsonDocument(value.toArray()) : QJsonDocument(value.toObject());
    out << document.toJson(QJsonDocument::Compact) << '\n';
}

QStringList csvCells(const QString& line)
{
    QStringList cells{QString()};
    bool quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (quoted && c == QLatin1Char('"') && i + 1 < line.size() && line.at(i + 1) == QLatin1Char('"')) {
            cells.last() += c;
            ++i;
        } else if (c == QLatin1Char('"')) {
            quoted = !quoted;
        } else if (c == QLatin1Char(',') && !quoted) {
            cells.append(QString());
        } else {
            cells.last() += c;
        }
    }
    return cells;
}

QString csvText(const QStringList& keys, const QJsonArray& records)
{
    return ResultsReport::csvText(keys, records);
}

void addOutputOptions(QCommandLineParser& parser)
{
    parser.addOptions({
        {QStringLiteral("output"), QStringLiteral("What to print: table (unless given), json or csv."),
         QStringLiteral("format")},
        {QStringLiteral("json"), QStringLiteral("The same as --output json.")},
    });
}

std::optional<Output> readOutput(const QCommandLineParser& parser, const QString& command, QTextStream& err)
{
    const QString format = parser.value(QStringLiteral("output"));
    if (parser.isSet(QStringLiteral("json")) && parser.isSet(QStringLiteral("output"))
        && format != QLatin1String("json")) {
        err << "corvanectl " << command << ": --json and --output " << format << " contradict each other\n";
        return std::nullopt;
    }
    if (parser.isSet(QStringLiteral("json")) || format == QLatin1String("json"))
        return Output::Json;
    if (format.isEmpty() || format == QLatin1String("table"))
        return Output::Table;
    if (format == QLatin1String("csv"))
        return Output::Csv;
    err << "corvanectl " << command << ": --output takes table, json or csv, not \"" << format << "\"\n";
    return std::nullopt;
}

} // namespace Ctl
