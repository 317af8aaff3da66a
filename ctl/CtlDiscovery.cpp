#include "CtlDiscovery.h"

#include "Ctl.h"
#include "CtlCommon.h"
#include "CtlDevices.h"
#include "DeviceFacade.h"
#include "ScannableInterfaces.h"
#include "Services.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTextStream>

namespace Ctl {

int runInterfaces(const Services& /*services*/, QCommandLineParser& parser, const QStringList& arguments,
                  QTextStream& out, QTextStream& err)
{
    addOutputOptions(parser);
    if (const std::optional<int> done = parseOptions(parser, arguments, out, err))
        return *done;
    const std::optional<Output> output = readOutput(parser, QStringLiteral("interfaces"), err);
    if (!output)
        return Usage;
    const QList<ScannableInterface> rows = scannableInterfaces();
    if (*output != Output::Table) {
        const QStringList keys{QStringLiteral("interfaceName"), QStringLiteral("ipAddress"),
                               QStringLiteral("macAddress"), QStringLiteral("subnetMask")};
        QJsonArray array;
        for (const ScannableInterface& row : rows)
            array.append(QJsonObject{{keys[0], row.interfaceName},
                                     {keys[1], row.ipAddress},
                                     {keys[2], row.macAddress},
                                     {keys[3], row.subnetMask}});
        if (*output == Output::Json)
            printJson(out, array);
        else
            out << csvText(keys, array);
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

int runDiscover(const Services& services, QCommandLineParser& parser, const QStringList& arguments, QTextStream& out,
                QTextStream& err)
{
    const QCommandLineOption count(QStringLiteral("count"),
                                   QStringLiteral("Stop as soon as this many devices have answered, and list "
                                                  "no more than these."),
                                   QStringLiteral("n"));
    addScanOptions(parser);
    addOutputOptions(parser);
    parser.addOption(count);
    if (const std::optional<int> done = parseOptions(parser, arguments, out, err))
        return *done;
    const std::optional<ScanRequest> request = readScanOptions(parser, QStringLiteral("discover"), err);
    const std::optional<int> enough = numberOption(parser, QStringLiteral("count"), 0, 1, 100000, err);
    const std::optional<Output> output = readOutput(parser, QStringLiteral("discover"), err);
    if (!request || !enough || !output)
        return Usage;
    const ScannableInterface* chosen = &request->chosen;
    const int listenSeconds = request->seconds;

    DeviceFacade& facade = *services.facade;
    DeviceScan scan(facade, *request);
    // Counted at every answer: the model's filter only when there is one.
    const auto enoughAnswered = [&] {
        return *enough > 0
               && (request->models.isEmpty() ? facade.deviceIDs().size() : scan.devices().size()) >= *enough;
    };
    if (!scan.run(enoughAnswered, err))
        return Usage;
    // Answers that came in the same pass as the last one counted are past
    // the number asked for.
    QList<DeviceIdentity> found = scan.devices();
    if (*enough > 0 && found.size() > *enough)
        found.resize(*enough);
    const bool full = !(*enough > 0 && *enough <= request->maxDevices && enoughAnswered()) && scan.tableFull();
    if (full)
        err << "corvanectl discover: " << scan.tableFullText() << "; --max-devices takes up to "
            << DeviceFacade::kOperatorMostDevices << '\n';
    facade.stopScan(chosen->toScanMap());

    if (*output != Output::Table) {
        const QStringList keys{QStringLiteral("model"), QStringLiteral("hostName"), QStringLiteral("ipAddress"),
                               QStringLiteral("macAddress")};
        QJsonArray devices;
        for (const DeviceIdentity& device : found)
            devices.append(QJsonObject{{keys[0], device.model},
                                       {keys[1], device.hostName},
                                       {keys[2], device.ipAddress},
                                       {keys[3], device.macAddress}});
        if (*output == Output::Csv)
            out << csvText(keys, devices);
        else
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
