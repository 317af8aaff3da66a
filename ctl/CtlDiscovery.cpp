#include "CtlDiscovery.h"

#include "Ctl.h"
#include "CtlCommon.h"
#include "CtlDevices.h"
#include "DeviceFacade.h"
#include "ScannableInterfaces.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTextStream>

namespace Ctl {

namespace {

const QCommandLineOption kJson(QStringLiteral("json"), QStringLiteral("Print JSON instead of a table."));

} // namespace

int runInterfaces(QCommandLineParser& parser, const QStringList& arguments, QTextStream& out, QTextStream& err)
{
    parser.addOption(kJson);
    if (const std::optional<int> done = parseOptions(parser, arguments, out, err))
        return *done;
    const QList<ScannableInterface> rows = scannableInterfaces();
    if (parser.isSet(kJson)) {
        QJsonArray array;
        for (const ScannableInterface& row : rows)
            array.append(QJsonObject{{QStringLiteral("interfaceName"), row.interfaceName},
                                     {QStringLiteral("ipAddress"), row.ipAddress},
                                     {QStringLiteral("macAddress"), row.macAddress},
                                     {QStringLiteral("subnetMask"), row.subnetMask}});
        printJson(out, array);
        return Success;
    }
    QList<QStringList> table;
    for (const ScannableInterface& row : rows)
        table.append({row.interfaceName, row.ipAddress, row.macAddress, row.subnetMask});
    // The titles of the window's network popup.
    printTable(out,
               {QStringLiteral("Network Interface Name"), QStringLiteral("IP Address"), QStringLiteral("MAC Address"),
                QStringLiteral("Subnet Mask")},
               table);
    return Success;
}

int runDiscover(QCommandLineParser& parser, const QStringList& arguments, QTextStream& out, QTextStream& err)
{
    const QCommandLineOption count(QStringLiteral("count"),
                                   QStringLiteral("Stop as soon as this many devices have answered."),
                                   QStringLiteral("n"));
    addScanOptions(parser);
    parser.addOptions({count, kJson});
    if (const std::optional<int> done = parseOptions(parser, arguments, out, err))
        return *done;
    const std::optional<ScanRequest> request = readScanOptions(parser, QStringLiteral("discover"), err);
    const std::optional<int> enough = numberOption(parser, QStringLiteral("count"), 0, 1, 100000, err);
    if (!request || !enough)
        return Usage;
    const ScannableInterface* chosen = &request->chosen;
    const int listenSeconds = request->seconds;

    DeviceFacade facade;
    const auto enoughAnswered = [&] { return *enough > 0 && facade.deviceIDs().size() >= *enough; };
    DeviceScan scan(facade, *request);
    if (!scan.run(enoughAnswered, err))
        return Usage;
    const QList<DeviceIdentity> found = listDevices(facade);
    const bool full = !(*enough > 0 && *enough <= request->maxDevices && enoughAnswered())
                      && scan.tableFull(QStringLiteral("discover"), err);
    facade.stopScan(chosen->toScanMap());

    if (parser.isSet(kJson)) {
        QJsonArray devices;
        for (const DeviceIdentity& device : found)
            devices.append(QJsonObject{{QStringLiteral("model"), device.model},
                                       {QStringLiteral("hostName"), device.hostName},
                                       {QStringLiteral("ipAddress"), device.ipAddress},
                                       {QStringLiteral("macAddress"), device.macAddress}});
        printJson(out, QJsonObject{{QStringLiteral("interface"), chosen->interfaceName},
                                   {QStringLiteral("ipAddress"), chosen->ipAddress},
                                   {QStringLiteral("devices"), devices}});
    } else {
        QList<QStringList> table;
        for (const DeviceIdentity& device : found)
            table.append({device.model, device.hostName, device.ipAddress, device.macAddress});
        printTable(out,
                   {QStringLiteral("Model"), QStringLiteral("Host Name"), QStringLiteral("IP Address"),
                    QStringLiteral("MAC Address")},
                   table);
    }
    if (found.isEmpty()) {
        err << "corvanectl discover: no device answered on " << chosen->interfaceName << " within " << listenSeconds
            << " s\n";
        return NoDevice;
    }
    return full ? SomeFailed : Success;
}

} // namespace Ctl
