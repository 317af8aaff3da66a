#include "CtlTrust.h"

#include "Ctl.h"
#include "CtlCommon.h"
#include "KnownDevices.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTextStream>

namespace Ctl {

namespace {

// The verb and how many arguments it takes with it.
int positionalsOf(const QString& verb)
{
    return verb == QLatin1String("forget") ? 2 : 1;
}

int list(QCommandLineParser& parser, KnownDevices& store, QTextStream& out, QTextStream& err)
{
    const std::optional<Output> output = readOutput(parser, QStringLiteral("trust list"), err);
    if (!output)
        return Usage;
    const QList<KnownDevices::Entry> entries = store.entries();
    if (!store.problem().isEmpty())
        err << "corvanectl trust: " << store.problem() << '\n';
    const QStringList keys{QStringLiteral("macAddress"), QStringLiteral("publicKey"), QStringLiteral("firstSeen"),
                           QStringLiteral("model"), QStringLiteral("hostName")};
    QList<QStringList> rows;
    QJsonArray records;
    for (const KnownDevices::Entry& entry : entries) {
        const QStringList row{entry.mac, entry.digest, entry.firstSeen.toString(Qt::ISODate), entry.model, entry.name};
        rows.append(row);
        QJsonObject record;
        for (int i = 0; i < keys.size(); ++i)
            record.insert(keys.at(i), row.at(i));
        records.append(record);
    }
    if (*output == Output::Json)
        printJson(out, records);
    else if (*output == Output::Csv)
        out << csvText(keys, records);
    else
        printTable(out,
                   {QStringLiteral("MAC Address"), QStringLiteral("Public Key (SHA-256)"), QStringLiteral("First Seen"),
                    QStringLiteral("Model"), QStringLiteral("Host Name")},
                   rows);
    return Success;
}

} // namespace

int runTrust(const Services& /*services*/, QCommandLineParser& parser, const QStringList& arguments, QTextStream& out,
             QTextStream& err)
{
    addOutputOptions(parser);
    parser.addPositionalArgument(QStringLiteral("list|forget"),
                                 QStringLiteral("list: the known devices; forget MAC: drop a device's pinned key, so "
                                                "that the key it shows next is taken as at a first contact."));
    QString verb;
    for (const QString& argument : arguments.mid(1)) {
        if (!argument.startsWith(QLatin1Char('-'))) {
            verb = argument;
            break;
        }
    }
    if (const std::optional<int> done = parseOptions(parser, arguments, out, err, positionalsOf(verb)))
        return *done;
    KnownDevices store;
    if (verb == QLatin1String("list"))
        return list(parser, store, out, err);
    if (verb == QLatin1String("forget")) {
        const QString mac = parser.positionalArguments().at(1);
        if (KnownDevices::normalMac(mac).isEmpty()) {
            err << "corvanectl trust: \"" << printable(mac) << "\" is no MAC address\n";
            return Usage;
        }
        if (!store.forget(mac)) {
            err << "corvanectl trust: " << store.problem() << '\n';
            return SomeFailed;
        }
        out << "forgot " << KnownDevices::normalMac(mac) << '\n';
        return Success;
    }
    err << "corvanectl trust: no action \"" << printable(verb) << "\" (list or forget)\n";
    return Usage;
}

} // namespace Ctl
