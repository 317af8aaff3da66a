#include "CtlInfo.h"

#include "Credentials.h"
#include "Ctl.h"
#include "CtlCommon.h"
#include "CtlDevices.h"
#include "CtlKeys.h"
#include "CtlOutcome.h"
#include "DeviceFacade.h"
#include "HttpAccessManager.h"
#include "ResultCode.h"
#include "ScannableInterfaces.h"
#include "Services.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QTextStream>

namespace Ctl {

namespace {

// What a login copies into the record, in the order shown.
struct Field
{
    const char* key;
    const char* title;
    DeviceParameter parameter;
};

constexpr Field kFields[] = {
    {"version", "Version", DeviceParameter::Version},
    {"serialNumber", "Serial Number", DeviceParameter::SerialNumber},
    {"subnetMask", "Subnet Mask", DeviceParameter::SubnetMask},
    {"defaultGateway", "Gateway", DeviceParameter::DefaultGateway},
    {"dnsServer1", "DNS 1", DeviceParameter::DnsServer1},
    {"dnsServer2", "DNS 2", DeviceParameter::DnsServer2},
};

QString runningStatusText(const QVariant& value)
{
    switch (value.isValid() ? value.toInt() : -1) {
    case 0:
        return QStringLiteral("idle");
    case 1:
        return QStringLiteral("busy");
    case 2:
        return QStringLiteral("in a call");
    default:
        return QStringLiteral("unknown");
    }
}

} // namespace

int runInfo(const Services& services, QCommandLineParser& parser, const QStringList& arguments, QTextStream& out,
            QTextStream& err)
{
    addScanOptions(parser);
    addTargetOptions(parser);
    addNewKeyOptions(parser);
    addOutputOptions(parser);
    if (const std::optional<int> done = parseOptions(parser, arguments, out, err))
        return *done;
    const std::optional<Output> output = readOutput(parser, QStringLiteral("info"), err);
    const std::optional<NewKeys> newKeys = readNewKeys(parser, QStringLiteral("info"), err);
    const std::optional<bool> proceed = readTableFullProceeds(parser, QStringLiteral("info"), err);
    if (!output || !newKeys || !proceed)
        return Usage;
    const std::optional<QStringList> named = readTargetNames(parser, QStringLiteral("info"), err);
    if (!named)
        return Usage;
    const QStringList names = *named;
    const std::optional<ScanRequest> request = readScanOptions(parser, QStringLiteral("info"), err);
    if (!request)
        return Usage;
    std::optional<Credentials> credentials = Credentials::load(parser.value(QStringLiteral("password-file")), err);
    if (!credentials)
        return Usage;

    DeviceFacade& facade = *services.facade;
    DeviceScan scan(facade, *request, names);
    if (!scan.run(namedDevicesAnswered(facade, names), err))
        return Usage;
    bool full = false;
    if (!scan.allowsAll(names, *proceed, QStringLiteral("info"), err, full))
        return Usage;
    const QList<DeviceIdentity> found = scan.devices();
    const Targets resolved = resolveTargets(found, names, QStringLiteral("info"), err);
    if (resolved.ambiguous)
        return Usage;
    const QList<DeviceIdentity>& targets = resolved.devices;
    for (const QString& name : resolved.missing)
        err << "corvanectl info: " << scan.whyMissing(name) << '\n';
    if (targets.isEmpty())
        return NoDevice;
    credentials->settle(namesOf(found), err);

    // Logins kLoginsAtOnce at a time, to the keys that may be given the
    // credential; each reads the device's settings into its record in its
    // own turn.
    const QHash<QString, KeyCheck> keys = settleKeys(services, targets, *newKeys, QStringLiteral("info"), err);
    QHash<QString, Login> logins = logInAll(services, trustedDevices(targets, keys), *credentials);
    addRefusals(keys, logins);
    const auto value = [&facade](const QString& id, DeviceParameter parameter) {
        QVariant read;
        facade.getDeviceParameter(id, parameter, read, DeviceFindPolicy::ById);
        return read;
    };
    QList<Outcome> outcomes;
    if (full || !resolved.missing.isEmpty())
        outcomes << Outcome::Skipped;
    QJsonArray array;
    QList<QStringList> table;
    for (const DeviceIdentity& target : std::as_const(targets)) {
        const int32_t result = logins.value(target.macAddress).result;
        const bool ok = ResultCode::isSuccess(result);
        outcomes << (ok ? Outcome::Succeeded : failedAs(result, Outcome::Failed));
        QJsonObject object{{QStringLiteral("model"), target.model},
                           {QStringLiteral("hostName"), target.hostName},
                           {QStringLiteral("ipAddress"), target.ipAddress},
                           {QStringLiteral("macAddress"), target.macAddress},
                           {QStringLiteral("key"), keys.value(target.macAddress).word()}};
        QStringList row{target.macAddress, target.ipAddress, target.model, target.hostName};
        if (ok) {
            for (const Field& field : kFields) {
                const QString text = value(target.macAddress, field.parameter).toString();
                object.insert(QLatin1String(field.key), text);
                row.append(text.isEmpty() ? QStringLiteral("-") : text);
            }
            const QString running = runningStatusText(value(target.macAddress, DeviceParameter::RunningStatus));
            object.insert(QStringLiteral("runningStatus"), running);
            row.append(running);
        } else {
            const QString message = failureText(result);
            object.insert(QStringLiteral("error"), ResultCode::toHex(result));
            object.insert(QStringLiteral("message"), message);
            row.append(QStringLiteral("%1 (%2)").arg(message, ResultCode::toHex(result)));
        }
        array.append(object);
        table.append(row);
    }
    if (*output == Output::Json) {
        printJson(out, array);
    } else if (*output == Output::Csv) {
        QStringList columns{QStringLiteral("macAddress"), QStringLiteral("ipAddress"), QStringLiteral("model"),
                            QStringLiteral("hostName")};
        for (const Field& field : kFields)
            columns.append(QLatin1String(field.key));
        // "key" last, so that readers that count columns keep theirs.
        columns << QStringLiteral("runningStatus") << QStringLiteral("error") << QStringLiteral("message")
                << QStringLiteral("key");
        out << csvText(columns, array);
    } else {
        QStringList titles{QStringLiteral("MAC Address"), QStringLiteral("IP Address"), QStringLiteral("Model"),
                           QStringLiteral("Host Name")};
        for (const Field& field : kFields)
            titles.append(QLatin1String(field.title));
        titles.append(QStringLiteral("Status"));
        printTable(out, titles, table);
    }
    return exitStatusOf(outcomes);
}

} // namespace Ctl
