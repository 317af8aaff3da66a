#include "ResultsReport.h"

#include <QJsonDocument>
#include <QJsonValue>
#include <QSaveFile>

namespace ResultsReport {

const QStringList& columns()
{
    static const QStringList kColumns{
        QStringLiteral("model"),
        QStringLiteral("hostName"),
        QStringLiteral("ipAddress"),
        QStringLiteral("macAddress"),
        QStringLiteral("versionBefore"),
        QStringLiteral("versionAfter"),
        QStringLiteral("fileName"),
        QStringLiteral("fileSize"),
        QStringLiteral("fileMd5"),
        QStringLiteral("result"),
        QStringLiteral("code"),
        QStringLiteral("httpStatus"),
        QStringLiteral("message"),
        QStringLiteral("attempts"),
        QStringLiteral("bytesSent"),
        QStringLiteral("start"),
        QStringLiteral("end"),
        QStringLiteral("durationSeconds"),
        // Added last, so that readers that count columns keep theirs.
        QStringLiteral("key"),
    };
    return kColumns;
}

QString printable(const QString& text)
{
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u'\n')
            shown += QLatin1String("\\n");
        else if (u == u'\r')
            shown += QLatin1String("\\r");
        else if (u == u'\t')
            shown += QLatin1String("\\t");
        else if (u < 0x20 || (u >= 0x7F && u < 0xA0))
            shown += QStringLiteral("\\x%1").arg(unsigned(u), 2, 16, QLatin1Char('0'));
        else if (u == 0x200E || u == 0x200F || (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069))
            shown += QStringLiteral("\\u{%1}").arg(unsigned(u), 4, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

namespace {

QString csvField(const QJsonValue& value)
{
    if (value.isDouble())
        return QString::number(value.toDouble(), 'g', 12);
    // Control characters escaped as in the table: a device's name may carry
    // a terminal's escape sequences, or a NUL that cuts a reader's line.
    QString text = printable(value.toString());
    static const QString formulaStarts = QStringLiteral("=+-@");
    if (!text.isEmpty() && formulaStarts.contains(text.front()))
        text.prepend(QLatin1Char('\''));
    if (text.contains(QLatin1Char(',')) || text.contains(QLatin1Char('"')))
        text = QLatin1Char('"') + text.replace(QLatin1Char('"'), QLatin1String("\"\"")) + QLatin1Char('"');
    return text;
}

} // namespace

QString csvText(const QStringList& keys, const QJsonArray& records)
{
    QString text = keys.join(QLatin1Char(',')) + QLatin1Char('\n');
    for (const QJsonValue& record : records) {
        QStringList fields;
        for (const QString& key : keys)
            fields << csvField(record.toObject().value(key));
        text += fields.join(QLatin1Char(',')) + QLatin1Char('\n');
    }
    return text;
}

QByteArray csv(const QJsonArray& entries)
{
    return QByteArray("\xEF\xBB\xBF") + csvText(columns(), entries).toUtf8();
}

QByteArray content(const QString& path, const QJsonArray& entries, const QJsonObject& summary)
{
    if (path.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive))
        return csv(entries);
    return QJsonDocument(QJsonObject{{QStringLiteral("devices"), entries}, {QStringLiteral("summary"), summary}})
        .toJson(QJsonDocument::Indented);
}

bool writeWhole(const QString& path, const QByteArray& bytes, QString& why)
{
    QSaveFile file(path);
    // A write that fits the buffer fails only when it is flushed, which the
    // commit would not report: each step is checked.
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush()
        && file.error() == QFileDevice::NoError && file.commit())
        return true;
    why = file.errorString();
    file.cancelWriting();
    return false;
}

} // namespace ResultsReport
