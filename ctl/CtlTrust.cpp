#include "CtlTrust.h"

#include "Ctl.h"
#include "CtlCommon.h"
#include "CtlDevices.h"
#include "CtlKeys.h"
#include "CtlOutcome.h"
#include "DeviceFacade.h"
#include "HttpAccessManager.h"
#include "KnownDevices.h"
#include "PeerTrust.h"
#include "Services.h"
#include "Terminal.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTextStream>

#include <cstdio>

namespace Ctl {

namespace {

// The verb and how many arguments it takes with it.
int positionalsOf(const QString& verb)
{
    return verb == QLatin1String("forget") || verb == QLatin1String("accept") ? 2 : 1;
}

// Pins the key the device shows now, after showing it: on a terminal once
// the operator says yes; in a script only as --trust-new (no key was pinned)
// or --trust-changed (the key shown is the digest given) allow.
int accept(const Services& services, QCommandLineParser& parser, const QString& name, KnownDevices& store,
           QTextStream& out, QTextStream& err)
{
    const QString prefix = QStringLiteral("corvanectl trust: ");
    const std::optional<ScanRequest> request = readScanOptions(parser, QStringLiteral("trust accept"), err);
    if (!request)
        return Usage;
    DeviceFacade& facade = *services.facade;
    DeviceScan scan(facade, *request, {name});
    if (!scan.run(namedDevicesAnswered(facade, {name}), err))
        return Usage;
    const Targets resolved = resolveTargets(scan.devices(), {name}, QStringLiteral("trust accept"), err);
    if (resolved.ambiguous)
        return Usage;
    if (resolved.devices.isEmpty()) {
        err << prefix << scan.whyMissing(name) << '\n';
        return NoDevice;
    }
    const DeviceIdentity& device = resolved.devices.first();
    const ShownKey read = readKeys({device}).value(device.macAddress);
    const QString shown = read.digest;
    if (shown.isEmpty()) {
        err << prefix << device.macAddress << " (" << device.ipAddress << "): no key shown: " << read.why << '\n';
        return SomeFailed;
    }
    const std::optional<KnownDevices::Entry> pin = store.find(device.macAddress);
    out << printable(device.hostName) << " (" << device.macAddress << ", " << device.ipAddress << ", "
        << printable(device.model) << ")\n  shows:  " << shown
        << "\n  pinned: " << (pin ? pin->digest : QStringLiteral("none")) << '\n';
    if (pin && pin->digest == shown) {
        out << "already pinned; nothing changed\n";
        return Success;
    }
    const QString expected = parser.value(QStringLiteral("trust-changed"));
    bool agreed = false;
    if (parser.isSet(QStringLiteral("trust-changed"))) {
        if (expected != shown) {
            err << prefix << "the device shows " << shown << ", not the expected " << printable(expected)
                << "; nothing changed\n";
            return IdentityChanged;
        }
        agreed = true;
    } else if (parser.isSet(QStringLiteral("trust-new"))) {
        if (pin) {
            err << prefix << "another key is pinned for " << device.macAddress
                << "; --trust-new takes only a device met for the first time. Give --trust-changed with the "
                   "key the device should show.\n";
            return IdentityChanged;
        }
        agreed = true;
    } else if (isTerminal(stdin) && isTerminal(stderr)) {
        err << "Pin this key for " << device.macAddress << "? [y/N] ";
        err.flush();
        char answer[16] = {};
        agreed = std::fgets(answer, sizeof answer, stdin) != nullptr && (answer[0] == 'y' || answer[0] == 'Y');
    } else {
        err << prefix
            << "not on a terminal: give --trust-new (no key pinned yet) or --trust-changed <digest> "
               "(the key the device should show)\n";
        return Usage;
    }
    if (!agreed) {
        err << prefix << "nothing changed\n";
        return Usage;
    }
    if (!store.accept({device.macAddress, shown, {}, device.model, device.hostName})) {
        err << prefix << store.problem() << '\n';
        return SomeFailed;
    }
    out << "pinned " << shown << " for " << device.macAddress << '\n';
    return Success;
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

// Pins the keys of the devices found that have none yet, read in handshakes
// that send nothing, in one write: the step a fleet takes once, on a network
// the operator trusts. A pinned key is never replaced here (trust accept
// does that), nor is a key taken where another device claims the address or
// the key is another device's pin.
int enroll(const Services& services, QCommandLineParser& parser, QTextStream& out, QTextStream& err)
{
    const QString command = QStringLiteral("trust enroll");
    const std::optional<Output> output = readOutput(parser, command, err);
    const std::optional<QStringList> names = readTargetNames(parser, command, err);
    const std::optional<ScanRequest> request = readScanOptions(parser, command, err);
    const std::optional<bool> proceed = readTableFullProceeds(parser, command, err);
    if (!output || !names || !request || !proceed)
        return Usage;
    if (!services.trust) {
        err << "corvanectl trust: key pinning is off (CORVANE_KEY_PINNING=off): nothing to enrol\n";
        return Usage;
    }
    DeviceFacade& facade = *services.facade;
    DeviceScan scan(facade, *request, *names);
    if (!scan.run(namedDevicesAnswered(facade, *names), err))
        return Usage;
    bool full = false;
    if (!scan.allowsAll(*names, *proceed, command, err, full))
        return Usage;
    const Targets resolved = resolveTargets(scan.devices(), *names, command, err);
    if (resolved.ambiguous)
        return Usage;
    for (const QString& name : resolved.missing)
        err << "corvanectl " << command << ": " << scan.whyMissing(name) << '\n';
    if (resolved.devices.isEmpty())
        return NoDevice;

    QHash<QString, KeyCheck> keys
        = judgeShownKeys(*services.trust, resolved.devices, readKeys(resolved.devices), command, err);
    pinNewKeys(*services.trust, resolved.devices, keys, QStringLiteral("enrolled"), err);

    QList<Outcome> outcomes;
    if (full || !resolved.missing.isEmpty())
        outcomes << Outcome::Skipped;
    const QStringList columns{QStringLiteral("macAddress"), QStringLiteral("ipAddress"), QStringLiteral("model"),
                              QStringLiteral("hostName"),   QStringLiteral("key"),       QStringLiteral("publicKey"),
                              QStringLiteral("result"),     QStringLiteral("message")};
    QJsonArray records;
    QList<QStringList> rows;
    for (const DeviceIdentity& device : resolved.devices) {
        const KeyCheck key = keys.value(device.macAddress);
        const Outcome outcome
            = key.state == KeyCheck::State::Refused ? failedAs(key.code, Outcome::Failed) : Outcome::Succeeded;
        outcomes << outcome;
        const QString result = key.state == KeyCheck::State::New     ? QStringLiteral("enrolled")
                               : key.state == KeyCheck::State::Known ? QStringLiteral("known")
                                                                     : outcomeName(outcome);
        QString message = key.state == KeyCheck::State::Refused ? failureText(key.code) : QString();
        if (!key.detail.isEmpty())
            message += QStringLiteral(" (%1)").arg(key.detail);
        const QStringList row{device.macAddress, device.ipAddress, device.model, device.hostName,
                              key.word(),        key.digest,       result,       message.trimmed()};
        QJsonObject record;
        for (int i = 0; i < columns.size(); ++i)
            record.insert(columns.at(i), row.at(i));
        records.append(record);
        rows.append(row.mid(0, 7));
    }
    if (*output == Output::Json)
        printJson(out, records);
    else if (*output == Output::Csv)
        out << csvText(columns, records);
    else
        printTable(out,
                   {QStringLiteral("MAC Address"), QStringLiteral("IP Address"), QStringLiteral("Model"),
                    QStringLiteral("Host Name"), QStringLiteral("Key"), QStringLiteral("Public Key (SHA-256)"),
                    QStringLiteral("Result")},
                   rows);
    return exitStatusOf(outcomes);
}

// Writes a damaged store anew with the entries that can still be read, the
// damaged file kept beside it.
int repair(KnownDevices& store, QTextStream& out, QTextStream& err)
{
    const qsizetype before = store.entries().size();
    if (!store.damaged()) {
        if (!store.problem().isEmpty()) {
            err << "corvanectl trust: " << store.problem() << '\n';
            return SomeFailed;
        }
        out << store.path() << " is whole; nothing changed\n";
        return Success;
    }
    if (!store.repair()) {
        err << "corvanectl trust: " << store.problem() << '\n';
        return SomeFailed;
    }
    out << store.problem() << "\nkept " << before
        << " pins; the devices whose entries were lost need their keys pinned again (corvanectl trust enroll)\n";
    return Success;
}

} // namespace

int runTrust(const Services& services, QCommandLineParser& parser, const QStringList& arguments, QTextStream& out,
             QTextStream& err)
{
    addOutputOptions(parser);
    addScanOptions(parser);
    addTargetOptions(parser);
    parser.addOption({QStringLiteral("trust-new"),
                      QStringLiteral("accept: pin the key without asking if none is pinned for the device yet.")});
    parser.addOption({QStringLiteral("trust-changed"),
                      QStringLiteral("accept: replace the pinned key without asking, only if the device shows "
                                     "<digest> (sha256//...)."),
                      QStringLiteral("digest")});
    parser.addPositionalArgument(
        QStringLiteral("list|enroll|accept|forget|repair"),
        QStringLiteral("list: the known devices; enroll (--device ... or --all): pin the keys of the devices found "
                       "that have none yet, read in handshakes that send nothing, on a network you trust; accept "
                       "DEVICE (MAC, IP address or name): show the key the device shows now and pin it, also over "
                       "another; forget MAC|NAME: drop a device's pinned key, so that the key it shows next is new; "
                       "repair: write a damaged store anew with the entries that can still be read."));
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
        QString mac = parser.positionalArguments().at(1);
        // A device is also named by its host name in the store, when only
        // one has it.
        if (KnownDevices::normalMac(mac).isEmpty()) {
            QStringList named;
            for (const KnownDevices::Entry& entry : store.entries()) {
                if (entry.name.compare(mac, Qt::CaseInsensitive) == 0)
                    named << entry.mac;
            }
            if (named.size() != 1) {
                err << "corvanectl trust: \"" << printable(mac) << "\" "
                    << (named.isEmpty() ? QStringLiteral("is no MAC address nor the name of a known device")
                                        : QStringLiteral("names %1 known devices: %2; give a MAC address")
                                              .arg(named.size())
                                              .arg(named.join(QStringLiteral(", "))))
                    << '\n';
                return Usage;
            }
            mac = named.first();
        }
        if (!store.forget(mac)) {
            err << "corvanectl trust: " << store.problem() << '\n';
            return SomeFailed;
        }
        out << "forgot " << KnownDevices::normalMac(mac) << '\n';
        return Success;
    }
    if (verb == QLatin1String("accept"))
        return accept(services, parser, parser.positionalArguments().at(1), store, out, err);
    if (verb == QLatin1String("enroll"))
        return enroll(services, parser, out, err);
    if (verb == QLatin1String("repair"))
        return repair(store, out, err);
    err << "corvanectl trust: no action \"" << printable(verb) << "\" (list, enroll, accept, forget or repair)\n";
    return Usage;
}

} // namespace Ctl
